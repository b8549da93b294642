// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Helpers for the codec tests: wave format records as byte vectors, the "fmt " and "data" of
// files the command-line tools make, a driver of a stream through the codec manager the way
// the controls use it (unused input presented again in front of the next input), and a test
// signal.

#include "platform/base/WaveFormat.h"
#include "platform/codec/Codec.h"
#include "tests/support/WaveBytes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly::test {

/// A complete wave format record (18 bytes + cbSize).
using FormatBytes = std::vector<uint8_t>;

FormatBytes FormatRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits);
inline const WAVEFORMATEX* AsFormat(const FormatBytes& bytes)
{
    return reinterpret_cast<const WAVEFORMATEX*>(bytes.data());
}

struct WaveFile
{
    FormatBytes format;
    std::vector<uint8_t> data;
};
/// Reads the "fmt " and "data" chunks of a RIFF WAVE file; fails the test when it cannot.
WaveFile ReadWave(const std::string& path);

/// A stream through the codec manager with one header prepared over buffers of its own: a
/// source of `sourceSize` bytes and the destination the stream's size query asks for. Closing
/// at the end fails the test when the stream does not unprepare or close.
struct AcmStream
{
    AcmStream(const FormatBytes& from, const FormatBytes& to, uint32_t sourceSize);
    ~AcmStream();
    /// Converts the first `length` bytes of the source with `flags` into at most `room` bytes
    /// (0: the whole destination); returns the result, the output in `output`.
    MMRESULT Convert(uint32_t length, uint32_t flags, uint32_t room = 0);

    HACMSTREAM handle = nullptr;
    ACMSTREAMHEADER header{};
    std::vector<uint8_t> source;
    std::vector<uint8_t> dest;
    std::vector<uint8_t> output;
};

/// Converts `input` through a new stream, presenting it in pieces of the given sizes (in
/// turn, repeated), with the same flags as the controls; with a `drainRoom`, then drains the
/// stream with at most that many output bytes per call until it is empty. Returns the
/// concatenated output. Fails the test on any error.
std::vector<uint8_t> ConvertInPieces(const FormatBytes& source, const FormatBytes& dest,
                                     const std::vector<uint8_t>& input,
                                     const std::vector<uint32_t>& pieces, uint32_t drainRoom = 0);
/// Room enough for any drain call of ConvertInPieces.
inline constexpr uint32_t kWholeDrain = 0xFFFFFFFF;

/// 16-bit samples of amplitude x sin(2 pi f n / rate + 0), rounded, on every channel.
std::vector<int16_t> Sine16(double frequency, double amplitude, uint32_t rate, uint16_t channels,
                            size_t frames);
} // namespace tavrenly::test
