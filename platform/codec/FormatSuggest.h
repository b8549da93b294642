// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: format suggestion and format-tag details (the work behind
// acmFormatSuggest and acmFormatTagDetailsA, after the driver handle is checked).

#include "platform/codec/Codec.h"

namespace tavrenly::codec {

MMRESULT SuggestFormat(const WAVEFORMATEX* source, WAVEFORMATEX* dest, uint32_t destSize,
                       uint32_t flags);

MMRESULT FormatTagDetails(ACMFORMATTAGDETAILSA* details, uint32_t flags);

} // namespace tavrenly::codec
