#pragma once

// Helpers for the codec tests: wave format records as byte vectors, the "fmt " and "data" of
// files the command-line tools make, drivers of a stream (through the codec manager) and of a
// codec stage the way the controls use them (unused input presented again in front of the
// next input), ffmpeg's own decode, test signals and their measures.

#include "platform/base/WaveFormat.h"
#include "platform/codec/Codec.h"
#include "platform/codec/CodecStage.h"
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

/// The manager's suggestion from `source` keeping `tag`, channels and rate, as the controls
/// ask for it, into `room` bytes: the record, or nothing with the answer in `result`. Fails
/// the test when the suggestion writes past its record.
FormatBytes Suggest(const FormatBytes& source, uint16_t tag, uint16_t channels, uint32_t rate,
                    MMRESULT* result = nullptr, uint32_t room = 64);

/// A stream header over these buffers, as the controls fill it.
ACMSTREAMHEADER StreamHeader(uint8_t* source, uint32_t sourceLength, uint8_t* dest,
                             uint32_t destLength);
/// The details of `tag`, with the answer in `result`.
ACMFORMATTAGDETAILSA TagDetails(uint16_t tag, MMRESULT& result);

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

/// The same for a codec stage, with output room of MaxOutputBytes for each conversion and
/// (with a `drainRoom`) for each drain call at most that; fails the test when the held bytes
/// grow past `maxHeld`.
std::vector<uint8_t> RunStage(codec::CodecStage& stage, const std::vector<uint8_t>& input,
                              const std::vector<uint32_t>& pieces, size_t maxHeld = 16384,
                              uint32_t drainRoom = 0);

/// 16-bit samples of amplitude x sin(2 pi f n / rate + 0), rounded, on every channel.
std::vector<int16_t> Sine16(double frequency, double amplitude, uint32_t rate, uint16_t channels,
                            size_t frames);
} // namespace tavrenly::test
