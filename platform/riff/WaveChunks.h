// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The chunks of a WAVE file and the one walk that finds them: the RIFF form "WAVE", its
// "fmt " chunk (read into memory) and its "data" chunk. Every reader of WAVE files in the
// library goes through ReadWaveChunks, so a file is judged the same way wherever it is read
// and the fuzzed RIFF layer checks every size on the way.
//
// Usage:
//   UniqueHmmio file(mmioOpenA(path, nullptr, MMIO_READ));
//   WaveChunks chunks;
//   const WaveReadResult read = ReadWaveChunks(file.get(), WaveReadRules{}, chunks);
//   if (read.failed != WaveReadStep::kNone) ... read.code is the failing call's code ...
//   // else the position is at the first audio byte; chunks.data.cksize bytes follow.

#include "platform/base/WaveFormat.h"
#include "platform/riff/Riff.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

namespace tavrenly {

/// The ids of the chunks the library reads and writes, one spelling everywhere.
inline constexpr FOURCC kWaveFormType = mmioFOURCC('W', 'A', 'V', 'E');
inline constexpr FOURCC kFormatChunkId = mmioFOURCC('f', 'm', 't', ' ');
inline constexpr FOURCC kCartChunkId = mmioFOURCC('c', 'a', 'r', 't');
inline constexpr FOURCC kDataChunkId = mmioFOURCC('d', 'a', 't', 'a');
/// The 64-bit sizes of an RF64 file, its first chunk.
inline constexpr FOURCC kDs64ChunkId = mmioFOURCC('d', 's', '6', '4');
/// Room kept for "ds64" by a file that may become RF64 at its close.
inline constexpr FOURCC kJunkChunkId = mmioFOURCC('J', 'U', 'N', 'K');
/// The "ds64" body without a table: RIFF size, "data" size and sample count (64-bit each)
/// and the table's length (32-bit, 0).
inline constexpr int32_t kDs64ChunkSize = 28;
/// What a 32-bit size field of an RF64 file holds: "look in ds64".
inline constexpr uint32_t kRf64SizeInDs64 = 0xFFFFFFFF;

/// The steps of the walk in their order; a failure names the step it stopped at.
enum class WaveReadStep : int32_t
{
    kNone = 0,     ///< nothing failed
    kForm,         ///< finding the RIFF form "WAVE" (code: the descend's; an RF64 form without
                   ///< its "ds64" chunk first is MMIOERR_CHUNKNOTFOUND)
    kFormat,       ///< finding "fmt " inside it (code: the descend's)
    kFormatSize,   ///< "fmt " is empty or larger than one read can take (code -1)
    kFormatMemory, ///< no memory for the "fmt " chunk (code -1)
    kFormatRead,   ///< reading "fmt " failed (code -1)
    kData,         ///< finding "data" (code: the descend's)
};

struct WaveReadResult
{
    WaveReadStep failed = WaveReadStep::kNone;
    int32_t code = 0; ///< 0, -1, or the RIFF file services' code of the failing search
};

/// How a caller wants the walk to judge a file; the defaults are the player's open.
struct WaveReadRules
{
    /// At most this many bytes of "fmt " are read (the memory still holds at least 18).
    int32_t formatLimit = std::numeric_limits<int32_t>::max();
    /// An empty "fmt " chunk is a kFormatSize failure; when false it ends the walk at once
    /// with success, nothing read and no "data" search.
    bool emptyFormatFails = true;
    /// Search "data" from just after "WAVE" (so it may precede "fmt ") instead of forward
    /// from the end of "fmt ".
    bool dataAnywhereInForm = false;
    /// A missing "data" chunk is a kData failure; when false `haveData` says so.
    bool dataRequired = true;
};

/// What the walk found. `riff` and `data` stay valid records of the open file (the player
/// keeps them to leave the chunks at close); `format` has been left again.
struct WaveChunks
{
    MMCKINFO riff{};
    MMCKINFO format{};
    MMCKINFO data{};
    /// The "fmt " chunk's bytes, zero-filled to `formatAllocated` (at least 18) bytes.
    std::unique_ptr<uint8_t[]> formatBytes;
    int32_t formatAllocated = 0;
    int32_t formatRead = 0; ///< bytes of the chunk read into `formatBytes`
    bool haveData = false;
    /// The form is RF64: `data.cksize` was taken from "ds64" (as far as 32 bits and the file
    /// reach), and `dataBytes` and `sampleCount` are its 64-bit values.
    bool rf64 = false;
    /// The "data" size in 64 bits, cut to what the file holds: `data.cksize` for a RIFF form.
    uint64_t dataBytes = 0;
    /// The "ds64" sample count (0 in a RIFF form, or where the writer left it).
    uint64_t sampleCount = 0;

    /// The first 18 bytes of the chunk as a format record (zeros where the chunk is shorter).
    WAVEFORMATEX Format() const;
};

/// Called before each step with the chunks found so far (for callers that trace their steps).
using WaveStepHook = std::function<void(WaveReadStep next, const WaveChunks& found)>;

/// Walks the file from its current position: the RIFF (or RF64) form "WAVE", for RF64 its
/// "ds64" chunk, "fmt " inside it (searched
/// forward from after the form type), its bytes read and the chunk left, then "data" by
/// `rules`. On success with `haveData` the position is the first audio byte. Reports nothing
/// itself and never closes `file`, which the caller owns. Any thread that owns the handle.
WaveReadResult ReadWaveChunks(HMMIO file, const WaveReadRules& rules, WaveChunks& chunks,
                              const WaveStepHook& beforeStep = {});

} // namespace tavrenly
