// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/CartChunk.h"

#include "platform/base/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace tavrenly {

CartChunk MakeRecordingCartChunk()
{
    CartChunk cart{};
    std::memcpy(cart.Version, "0101", sizeof cart.Version);
    return cart;
}

namespace {

struct CartTextField
{
    std::string_view name;
    size_t offset;
    size_t width;
};

constexpr CartTextField kCartTextFields[] = {
    {"Title", offsetof(CartChunk, Title), sizeof(CartChunk::Title)},
    {"Artist", offsetof(CartChunk, Artist), sizeof(CartChunk::Artist)},
    {"CutID", offsetof(CartChunk, CutID), sizeof(CartChunk::CutID)},
    {"ClientID", offsetof(CartChunk, ClientID), sizeof(CartChunk::ClientID)},
    {"Category", offsetof(CartChunk, Category), sizeof(CartChunk::Category)},
    {"Classification", offsetof(CartChunk, Classification), sizeof(CartChunk::Classification)},
    {"OutCue", offsetof(CartChunk, OutCue), sizeof(CartChunk::OutCue)},
    {"StartDate", offsetof(CartChunk, StartDate), sizeof(CartChunk::StartDate)},
    {"StartTime", offsetof(CartChunk, StartTime), sizeof(CartChunk::StartTime)},
    {"EndDate", offsetof(CartChunk, EndDate), sizeof(CartChunk::EndDate)},
    {"EndTime", offsetof(CartChunk, EndTime), sizeof(CartChunk::EndTime)},
    {"ProducerAppID", offsetof(CartChunk, ProducerAppID), sizeof(CartChunk::ProducerAppID)},
    {"ProducerAppVersion", offsetof(CartChunk, ProducerAppVersion),
     sizeof(CartChunk::ProducerAppVersion)},
    {"UserDef", offsetof(CartChunk, UserDef), sizeof(CartChunk::UserDef)},
    {"URL", offsetof(CartChunk, URL), sizeof(CartChunk::URL)},
};

} // namespace

std::string SetCartText(CartChunk& cart, std::string_view name, std::string_view value)
{
    const auto* field = std::find_if(std::begin(kCartTextFields), std::end(kCartTextFields),
                                     [&](const CartTextField& f) { return f.name == name; });
    if (field == std::end(kCartTextFields))
        return "there is no cart text field named '" + std::string(name) + "'";
    if (value.size() > field->width)
        return "the cart field " + std::string(name) + " holds at most " +
               std::to_string(field->width) + " characters, not " + std::to_string(value.size());
    // Readers take the fields as single-byte text; anything else would read as other letters.
    const auto bad = std::find_if(value.begin(), value.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E;
    });
    if (bad != value.end())
        return "the cart field " + std::string(name) + " takes printable ASCII only; character " +
               std::to_string(bad - value.begin() + 1) + " is not";
    char* text = reinterpret_cast<char*>(&cart) + field->offset;
    std::memset(text, 0, field->width);
    std::memcpy(text, value.data(), value.size());
    return {};
}

std::array<uint8_t, kCartChunkSize> CartChunkBytes(const CartChunk& cart)
{
    std::array<uint8_t, kCartChunkSize> bytes{};
    std::memcpy(bytes.data(), &cart, kCartChunkSize);
    // The numbers are written byte by byte so the layout does not depend on the host's order.
    StoreLe32(bytes.data() + offsetof(CartChunk, LevelReference),
              static_cast<uint32_t>(cart.LevelReference));
    for (size_t i = 0; i < 8; ++i)
        StoreLe32(bytes.data() + offsetof(CartChunk, PostTimer) + i * sizeof(CartTimer) + 4,
                  cart.PostTimer[i].dwValue);
    return bytes;
}

} // namespace tavrenly
