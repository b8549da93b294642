// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Little-endian loads and stores of the fields of binary records (RIFF headers, format and
// cart records), written byte by byte so the layout never depends on the host's byte order
// or on the alignment of the bytes.

#include <cstdint>

namespace tavrenly {

constexpr uint16_t LoadLe16(const uint8_t* bytes) noexcept
{
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

constexpr uint32_t LoadLe32(const uint8_t* bytes) noexcept
{
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

constexpr uint64_t LoadLe64(const uint8_t* bytes) noexcept
{
    return uint64_t{LoadLe32(bytes)} | uint64_t{LoadLe32(bytes + 4)} << 32;
}

constexpr void StoreLe16(uint8_t* bytes, uint16_t value) noexcept
{
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

constexpr void StoreLe32(uint8_t* bytes, uint32_t value) noexcept
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

constexpr void StoreLe64(uint8_t* bytes, uint64_t value) noexcept
{
    StoreLe32(bytes, static_cast<uint32_t>(value));
    StoreLe32(bytes + 4, static_cast<uint32_t>(value >> 32));
}

} // namespace tavrenly
