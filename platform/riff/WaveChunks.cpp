// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/riff/WaveChunks.h"

#include "platform/base/ByteOrder.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

namespace tavrenly {

namespace {

WaveReadResult Failed(WaveReadStep step, int32_t code)
{
    return WaveReadResult{step, code};
}

/// Every reader of the format memory (the codec set-up, the extensible sub-format) takes
/// `cbSize` bytes after the record; a chunk that claims more extra bytes than it holds would
/// have them read past its memory, so the record is made to claim only what the chunk holds.
/// When the caller asked for the record alone, the chunk's size is what counts.
void ClampExtraBytes(WaveChunks& chunks, bool wholeChunkAsked)
{
    constexpr int64_t kRecordSize = sizeof(WAVEFORMATEX);
    constexpr size_t kExtraSizeOffset = offsetof(WAVEFORMATEX, cbSize);
    uint8_t* extraSize = chunks.formatBytes.get() + kExtraSizeOffset;
    const int64_t chunkHeld = wholeChunkAsked ? chunks.formatRead : chunks.format.cksize;
    const int64_t held = std::max<int64_t>(chunkHeld - kRecordSize, 0);
    if (LoadLe16(extraSize) > held)
        StoreLe16(extraSize, static_cast<uint16_t>(held));
}

/// Reads the "fmt " chunk the position is in: at most `rules.formatLimit` bytes, into memory
/// of at least one format record so a short chunk reads as a record with zeros after it.
WaveReadResult ReadFormatBytes(HMMIO file, const WaveReadRules& rules, WaveChunks& chunks,
                               const WaveStepHook& beforeStep)
{
    // A size beyond 2^31 - 1 cannot be read in one call; it is as unreadable as an empty one.
    const int64_t size = chunks.format.cksize;
    const int32_t wanted =
        static_cast<int32_t>(std::min<int64_t>(size, std::max(rules.formatLimit, 0)));
    if (beforeStep)
        beforeStep(WaveReadStep::kFormatSize, chunks);
    if (rules.emptyFormatFails && static_cast<int32_t>(chunks.format.cksize) <= 0)
        return Failed(WaveReadStep::kFormatSize, -1);

    if (beforeStep)
        beforeStep(WaveReadStep::kFormatMemory, chunks);
    const int32_t allocated = std::max<int32_t>(wanted, sizeof(WAVEFORMATEX));
    chunks.formatBytes.reset(new (std::nothrow) uint8_t[static_cast<size_t>(allocated)]());
    if (!chunks.formatBytes)
        return Failed(WaveReadStep::kFormatMemory, -1);
    chunks.formatAllocated = allocated;

    if (beforeStep)
        beforeStep(WaveReadStep::kFormatRead, chunks);
    const int32_t got = mmioRead(file, reinterpret_cast<char*>(chunks.formatBytes.get()), wanted);
    if (got < 0)
        return Failed(WaveReadStep::kFormatRead, -1);
    chunks.formatRead = got;
    ClampExtraBytes(chunks, wanted == static_cast<int64_t>(chunks.format.cksize));
    // Leaving "fmt " only moves the position; a failure here would show in the next search.
    mmioAscend(file, &chunks.format, 0);
    return {};
}

/// Reads the "ds64" chunk that starts an RF64 form's chunks; the position is left after it.
bool ReadDs64(HMMIO file, uint64_t& riffBytes, uint64_t& dataBytes, uint64_t& sampleCount)
{
    MMCKINFO ds64{};
    uint8_t body[kDs64ChunkSize];
    if (mmioDescend(file, &ds64, nullptr, 0) != 0 || ds64.ckid != kDs64ChunkId ||
        ds64.cksize < static_cast<uint32_t>(kDs64ChunkSize) ||
        mmioRead(file, reinterpret_cast<char*>(body), kDs64ChunkSize) != kDs64ChunkSize)
        return false;
    riffBytes = LoadLe64(body);
    dataBytes = LoadLe64(body + 8);
    sampleCount = LoadLe64(body + 16);
    mmioAscend(file, &ds64, 0);
    return true;
}

} // namespace

WAVEFORMATEX WaveChunks::Format() const
{
    WAVEFORMATEX format{};
    if (formatBytes)
        std::memcpy(&format, formatBytes.get(), sizeof format);
    return format;
}

WaveReadResult ReadWaveChunks(HMMIO file, const WaveReadRules& rules, WaveChunks& chunks,
                              const WaveStepHook& beforeStep)
{
    chunks = WaveChunks{};
    if (beforeStep)
        beforeStep(WaveReadStep::kForm, chunks);
    chunks.riff.fccType = kWaveFormType;
    if (const MMRESULT result = mmioDescend(file, &chunks.riff, nullptr, MMIO_FINDRIFF))
        return Failed(WaveReadStep::kForm, static_cast<int32_t>(result));
    uint64_t ds64Data = 0;
    chunks.rf64 = chunks.riff.ckid == FOURCC_RF64;
    if (chunks.rf64) {
        uint64_t riffBytes = 0;
        if (!ReadDs64(file, riffBytes, ds64Data, chunks.sampleCount))
            return Failed(WaveReadStep::kForm, static_cast<int32_t>(MMIOERR_CHUNKNOTFOUND));
    }

    if (beforeStep)
        beforeStep(WaveReadStep::kFormat, chunks);
    chunks.format.ckid = kFormatChunkId;
    if (const MMRESULT result = mmioDescend(file, &chunks.format, &chunks.riff, MMIO_FINDCHUNK))
        return Failed(WaveReadStep::kFormat, static_cast<int32_t>(result));
    if (!rules.emptyFormatFails && chunks.format.cksize == 0)
        return {};
    if (const WaveReadResult read = ReadFormatBytes(file, rules, chunks, beforeStep);
        read.failed != WaveReadStep::kNone)
        return read;

    if (beforeStep)
        beforeStep(WaveReadStep::kData, chunks);
    chunks.data.ckid = kDataChunkId;
    MMRESULT result = 0;
    // The first sub-chunk starts just after the form type.
    if (rules.dataAnywhereInForm &&
        mmioSeek(file, static_cast<int32_t>(chunks.riff.dwDataOffset + 4), SEEK_SET) < 0)
        result = MMIOERR_CANNOTSEEK;
    else
        result = mmioDescend(file, &chunks.data, &chunks.riff, MMIO_FINDCHUNK);
    chunks.haveData = result == 0;
    if (chunks.haveData) {
        // The descend has cut the size to the file; ds64 says how much of that is audio.
        chunks.dataBytes = chunks.data.cksize;
        if (chunks.rf64) {
            const uint64_t held = static_cast<uint64_t>(std::max<int64_t>(
                mmioSeek64(file, 0, SEEK_END) - int64_t{chunks.data.dwDataOffset}, 0));
            chunks.dataBytes = std::min(ds64Data, held);
            chunks.data.cksize =
                static_cast<uint32_t>(std::min<uint64_t>(chunks.dataBytes, chunks.data.cksize));
            mmioSeek64(file, chunks.data.dwDataOffset, SEEK_SET);
        }
    }
    if (result != 0 && rules.dataRequired)
        return Failed(WaveReadStep::kData, static_cast<int32_t>(result));
    return {};
}

} // namespace tavrenly
