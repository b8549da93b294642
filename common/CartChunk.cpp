#include "common/CartChunk.h"

#include "platform/base/ByteOrder.h"

#include <cstring>

namespace tavrenly {

CartChunk MakeRecordingCartChunk()
{
    CartChunk cart{};
    std::memcpy(cart.Version, "0101", sizeof cart.Version);
    return cart;
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
