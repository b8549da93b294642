// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The broadcast cart record a recording carries after its "fmt " chunk (the fixed part of the
// AES46-2002 cart chunk), as a packed record and as the bytes written into the file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrenly {

#pragma pack(push, 1)
/// One post-timer entry of the cart record: a four-character usage id and a sample position.
struct CartTimer
{
    char dwUsage[4];
    uint32_t dwValue; ///< little-endian on disk
};

/// The fixed part of the broadcast cart chunk (AES46-2002), 2048 bytes, text fields in
/// single-byte characters, not NUL-terminated when full.
struct CartChunk
{
    char Version[4];
    char Title[64];
    char Artist[64];
    char CutID[64];
    char ClientID[64];
    char Category[64];
    char Classification[64];
    char OutCue[64];
    char StartDate[10];
    char StartTime[8];
    char EndDate[10];
    char EndTime[8];
    char ProducerAppID[64];
    char ProducerAppVersion[64];
    char UserDef[64];
    int32_t LevelReference; ///< little-endian on disk
    CartTimer PostTimer[8];
    char Reserved[276];
    char URL[1024];
};
#pragma pack(pop)

inline constexpr size_t kCartChunkSize = 2048;
static_assert(sizeof(CartTimer) == 8, "a post-timer entry is 8 bytes");
static_assert(sizeof(CartChunk) == kCartChunkSize, "the cart record is 2048 bytes");
static_assert(offsetof(CartChunk, Title) == 4);
static_assert(offsetof(CartChunk, Artist) == 68);
static_assert(offsetof(CartChunk, CutID) == 132);
static_assert(offsetof(CartChunk, ClientID) == 196);
static_assert(offsetof(CartChunk, Category) == 260);
static_assert(offsetof(CartChunk, Classification) == 324);
static_assert(offsetof(CartChunk, OutCue) == 388);
static_assert(offsetof(CartChunk, StartDate) == 452);
static_assert(offsetof(CartChunk, StartTime) == 462);
static_assert(offsetof(CartChunk, EndDate) == 470);
static_assert(offsetof(CartChunk, EndTime) == 480);
static_assert(offsetof(CartChunk, ProducerAppID) == 488);
static_assert(offsetof(CartChunk, ProducerAppVersion) == 552);
static_assert(offsetof(CartChunk, UserDef) == 616);
static_assert(offsetof(CartChunk, LevelReference) == 680);
static_assert(offsetof(CartChunk, PostTimer) == 684);
static_assert(offsetof(CartChunk, Reserved) == 748);
static_assert(offsetof(CartChunk, URL) == 1024);

/// The cart record a recording carries: version "0101", every other field empty or 0.
CartChunk MakeRecordingCartChunk();

/// Sets the text field `name` of `cart` (Title, Artist, CutID, ClientID, Category,
/// Classification, OutCue, StartDate, StartTime, EndDate, EndTime, ProducerAppID,
/// ProducerAppVersion, UserDef, URL; exactly so spelt) to `value`, zero-filling the rest of the
/// field; a value as wide as the field fills it without a terminating zero. Returns "" when
/// set, else why it was refused (unknown name, wider than the field, a character outside
/// printable single-byte ASCII), and the field keeps its value: a value is never cut.
std::string SetCartText(CartChunk& cart, std::string_view name, std::string_view value);

/// The record as it is written into the "cart" chunk, numbers little-endian.
std::array<uint8_t, kCartChunkSize> CartChunkBytes(const CartChunk& cart);

} // namespace tavrenly
