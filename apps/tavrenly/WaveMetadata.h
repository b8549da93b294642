// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The descriptive chunks of a WAVE file that the player itself never reads: the broadcast
// extension (`bext`), the text of `LIST`/`INFO`, the cue points of `cue ` with their labels
// and notes from `LIST`/`adtl`, the sampler loops of `smpl`, and the `cart` record. `info`
// shows them and `play --markers-from-file` takes its markers from them.
//
// Every parser takes a chunk's body as the file holds it, of any length: a field the body
// does not reach reads as zero or empty, an array is bounded by the body, and nothing is
// trusted beyond it.

#include "common/CartChunk.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavrenly::app {

/// The broadcast extension chunk, version 0 to 2. Text is as the file holds it, cut at its
/// first zero byte.
struct BextChunk
{
    std::string Description;
    std::string Originator;
    std::string OriginatorReference;
    std::string OriginationDate; ///< "yyyy-mm-dd"
    std::string OriginationTime; ///< "hh:mm:ss"
    uint64_t TimeReference = 0;  ///< samples since midnight at the first sample
    uint16_t Version = 0;
    std::string UMID; ///< hexadecimal; empty when all zero
    /// Version 2 only, in hundredths (LUFS, LU, dBTP, LUFS, LUFS); nullopt when the version is
    /// older or the value is the "not measured" 0x7FFF.
    std::optional<int16_t> LoudnessValue;
    std::optional<int16_t> LoudnessRange;
    std::optional<int16_t> MaxTruePeakLevel;
    std::optional<int16_t> MaxMomentaryLoudness;
    std::optional<int16_t> MaxShortTermLoudness;
    std::string CodingHistory; ///< lines separated by "\r\n" as written
};

/// A cue point, with the `labl`, `note` and `ltxt` entries of `LIST`/`adtl` that name it.
struct CuePoint
{
    uint32_t id = 0;
    /// Sample frames from the first of the data chunk: the point's sample offset, which
    /// writers of plain data chunks set; its play-order position when the offset is 0.
    uint32_t frame = 0;
    std::string label;
    std::string note;
    /// The length in frames of the region starting at the point (`ltxt`), when given.
    std::optional<uint32_t> length;
};

struct SamplerLoop
{
    uint32_t id = 0;
    uint32_t type = 0;      ///< 0 forward, 1 alternating, 2 backward
    uint32_t start = 0;     ///< first frame of the loop
    uint32_t end = 0;       ///< last frame of the loop, which is played too
    uint32_t playCount = 0; ///< 0: for ever
};

struct SamplerChunk
{
    uint32_t manufacturer = 0;
    uint32_t product = 0;
    uint32_t samplePeriod = 0; ///< nanoseconds
    uint32_t midiUnityNote = 0;
    std::vector<SamplerLoop> loops;
};

/// One used post timer of the cart record: its usage id and its sample position.
struct CartTimerEntry
{
    std::string usage;
    uint32_t frame = 0;
};

struct WaveMetadata
{
    std::optional<BextChunk> bext;
    /// `LIST`/`INFO` texts by their four-character ids, in id order.
    std::map<std::string, std::string> info;
    std::vector<CuePoint> cues; ///< in the order of the `cue ` chunk
    std::optional<SamplerChunk> sampler;
    std::optional<CartChunk> cart;
    std::vector<CartTimerEntry> cartTimers; ///< the used ones, in record order
    std::vector<uint8_t> format;            ///< the first `fmt ` chunk's body

    /// The `fmt ` chunk's rate; 0 without one.
    uint32_t SampleRate() const;
};

std::optional<BextChunk> ParseBext(std::span<const uint8_t> body);
/// A `LIST` body of type "INFO" into `info`, of type "adtl" onto the matching `cues` (points
/// it names that `cue ` lacks are left out); other types are skipped.
void ParseList(std::span<const uint8_t> body, std::map<std::string, std::string>& info,
               std::vector<CuePoint>& cues);
std::vector<CuePoint> ParseCue(std::span<const uint8_t> body);
std::optional<SamplerChunk> ParseSampler(std::span<const uint8_t> body);
/// The cart record of a body of any length, zero-filled past its end.
CartChunk ParseCart(std::span<const uint8_t> body);
/// The post timers of `cart` whose usage is set.
std::vector<CartTimerEntry> UsedCartTimers(const CartChunk& cart);

/// Walks the top-level chunks of the RIFF or RF64 file at `path` (an RF64 data chunk is
/// stepped over by its `ds64` size) and parses the chunks above; the first of each kind
/// counts, a `LIST` of each type. Reads at most a bounded amount of each chunk, so a forged
/// size cannot make it read the whole disk. A file that is no WAVE form gives an empty
/// result; nothing is reported.
WaveMetadata ReadWaveMetadata(const std::string& path);

/// `text` fit to print and to put into JSON: valid UTF-8 is kept, other bytes are taken as
/// Latin-1, control characters other than tab and line breaks become '?'.
std::string PrintableText(const std::string& text);

/// "h:mm:ss.mmm", as sound tools show a duration or a position; never negative.
std::string ClockTime(double seconds);

} // namespace tavrenly::app
