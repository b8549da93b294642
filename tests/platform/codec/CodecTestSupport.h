#pragma once

// Helpers for the codec manager's tests: wave format records as byte vectors, a minimal WAVE
// reader for files the command-line tools make, and a converter that drives a stream the way
// the controls do (unused input presented again in front of the next input).

#include "platform/base/WaveFormat.h"
#include "platform/codec/Codec.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavrenly::test {

/// A complete wave format record (18 bytes + cbSize).
using FormatBytes = std::vector<uint8_t>;

FormatBytes FormatRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits);
/// WAVE_FORMAT_EXTENSIBLE with the PCM (subTag 1) or float (subTag 3) sub-format.
FormatBytes ExtensibleRecord(uint16_t subTag, uint16_t channels, uint32_t rate, uint16_t bits);
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

std::vector<int16_t> AsSamples16(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> AsBytes(const std::vector<int16_t>& samples);

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

/// Signal-to-noise ratio in dB of channel `channel` of `samples` against the ideal sine,
/// over frames [first, last).
double SineSnr(const std::vector<int16_t>& samples, uint16_t channels, uint16_t channel,
               double frequency, double amplitude, uint32_t rate, size_t first, size_t last);

} // namespace tavrenly::test
