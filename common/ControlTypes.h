// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// What both controls share about their own format: the sample rates they accept and the
// messages that refuse a rate or a channel count.

#include <cstdint>
#include <string_view>

namespace tavrenly {

/// The capture and playback rates the controls accept for their own format.
enum enSampleRate : int32_t
{
    esr11025 = 11025,
    esr22050 = 22050,
    esr44100 = 44100,
    esr48000 = 48000,
};

constexpr bool IsControlSampleRate(int32_t rate) noexcept
{
    return rate == esr11025 || rate == esr22050 || rate == esr44100 || rate == esr48000;
}

constexpr bool IsControlChannelCount(int32_t channels) noexcept
{
    return channels == 1 || channels == 2;
}

/// The plain boxes that refuse a SampleRate or NumberChannels value.
inline constexpr std::string_view kInvalidSampleRateText =
    "Invalid SampleRate Specified, must be 11025, 22050, 44100, 48000";
inline constexpr std::string_view kInvalidNumberChannelsText =
    "Invalid NumberChannels Specified : \nMax = 2";

} // namespace tavrenly
