// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The result type and the general result codes every platform service shares (RIFF files,
// devices, the codec manager), with the numbers of the classic multimedia layer. Each service
// declares its own range of further codes beside its functions.

#include <cstdint>

namespace tavrenly {

using MMRESULT = uint32_t;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;

} // namespace tavrenly
