#pragma once

// Helpers for the FFmpeg codec stage tests: drive a stage the way the stream wrapper does,
// make and decode files with the command-line tools, and judge lossy audio.

#include "platform/codec/CodecStage.h"
#include "tests/platform/codec/CodecTestSupport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly::test {

/// Feeds `input` to `stage` in pieces of the given sizes (in turn, repeated), presenting the
/// unused bytes again in front of the next piece, with output room of MaxOutputBytes for
/// each call; with `drain`, then drains the stage until it is empty. Returns the output; fails
/// the test on an error or when the held bytes grow past `maxHeld`.
std::vector<uint8_t> RunStage(codec::CodecStage& stage, const std::vector<uint8_t>& input,
                              const std::vector<uint32_t>& pieces, size_t maxHeld = 16384,
                              bool drain = false);

std::unique_ptr<codec::CodecStage> MakeDecoder(const FormatBytes& format);
std::unique_ptr<codec::CodecStage> MakeEncoder(const FormatBytes& format);

/// ffmpeg's own decode of a file to interleaved 16-bit PCM.
std::vector<int16_t> FfmpegDecode(const std::string& path);

/// A test signal of `seconds` written as 16-bit PCM: 997 Hz and 3001 Hz on the first channel,
/// 443 Hz on the second, so swapped or mixed channels show.
std::vector<int16_t> TestSignal(uint32_t rate, uint16_t channels, double seconds);
/// The same signal as an ffmpeg source expression (`-f lavfi -i "..."`).
std::string TestSignalSource(uint32_t rate, uint16_t channels, double seconds);

/// A WAVE file with `format` (complete record), a fact chunk and `data`.
std::vector<uint8_t> WaveBytes(const FormatBytes& format, uint32_t frames,
                               const std::vector<uint8_t>& data);

/// SNR in dB of `decoded` against `original` (both interleaved with `channels`), after
/// shifting `decoded` by the delay (up to `maxDelay` frames) that fits best.
double DelayedSnr(const std::vector<int16_t>& original, const std::vector<int16_t>& decoded,
                  uint16_t channels, size_t maxDelay);

/// Index of the first differing sample, or -1 when equal in length and content.
long FirstDifference(const std::vector<int16_t>& a, const std::vector<int16_t>& b);

} // namespace tavrenly::test
