// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The demo's jingle: a short item made by our own code (tones and a noise burst), written as a
// 16-bit stereo WAVE file by the library's WAVE writer.

#include <cstdint>
#include <string>
#include <vector>

namespace tavrenly::app {

inline constexpr uint32_t kJingleRate = 44100;
inline constexpr double kJingleSeconds = 10.0;

/// Interleaved stereo 16-bit samples of the jingle.
std::vector<int16_t> MakeJingle();

/// Writes 16-bit PCM as a WAVE file in the recording layout ("RIFF", "fmt ", "cart", "data").
/// Returns false when the file cannot be written.
bool WritePcm16Wave(const std::string& path, const std::vector<int16_t>& samples,
                    uint32_t sampleRate, uint16_t channels);

} // namespace tavrenly::app
