// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/WaveFile.h"

#include "common/TavrenlyFN.h"
#include "platform/base/ByteOrder.h"
#include "platform/riff/WaveChunks.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavrenly {

namespace {

bool IsAcceptedRate(uint32_t rate)
{
    // Up to 32075 Hz the list holds both 32000 and 32075; above it only the three studio rates.
    if (rate <= 32075)
        return rate == 8000 || rate == 11025 || rate == 22050 || rate == 32000 || rate == 32075;
    return rate == 44100 || rate == 48000 || rate == 96000;
}

/// Samples per block a decoder gets from a block of `blockAlign` bytes: `headerBytes` per
/// channel, then two 4-bit samples per byte per channel, plus the `headerSamples` a header
/// holds. 0 when the block is too small.
uint32_t SamplesFromBlock(uint32_t blockAlign, uint32_t channels, uint32_t headerBytes,
                          uint32_t headerSamples)
{
    if (channels == 0 || blockAlign <= headerBytes * channels)
        return 0;
    return (blockAlign - headerBytes * channels) * 2 / channels + headerSamples;
}

} // namespace

double BlockLayoutBytesPerSecond(const uint8_t* format, int32_t formatSize)
{
    if (format == nullptr || formatSize < static_cast<int32_t>(sizeof(WAVEFORMATEX)))
        return 0.0;
    WAVEFORMATEX record;
    std::memcpy(&record, format, sizeof record);
    // wSamplesPerBlock, the first extra word of all three records, where the record has it.
    uint32_t samplesPerBlock = 0;
    const int32_t extra = std::min<int32_t>(record.cbSize, formatSize - int32_t{sizeof record});
    if (extra >= 2)
        samplesPerBlock = LoadLe16(format + sizeof record);
    const uint32_t channels = record.nChannels;
    const uint32_t blockAlign = record.nBlockAlign;
    switch (record.wFormatTag) {
    case WAVE_FORMAT_IMA_ADPCM: // a 4-byte header per channel holding the first sample
        if (samplesPerBlock == 0)
            samplesPerBlock = SamplesFromBlock(blockAlign, channels, 4, 1);
        break;
    case WAVE_FORMAT_ADPCM: // a 7-byte header per channel holding the first two samples
        if (samplesPerBlock == 0)
            samplesPerBlock = SamplesFromBlock(blockAlign, channels, 7, 2);
        break;
    case WAVE_FORMAT_GSM610: // 320 samples in each 65 bytes (two 160-sample frames)
        if (samplesPerBlock == 0)
            samplesPerBlock = blockAlign / 65 * 320;
        break;
    default:
        return 0.0;
    }
    if (samplesPerBlock == 0 || blockAlign == 0)
        return 0.0;
    return static_cast<double>(record.nSamplesPerSec) * blockAlign / samplesPerBlock;
}

uint64_t WaveSampleCount(const uint8_t* format, int32_t formatSize, uint64_t dataBytes)
{
    // A PCM record may end before cbSize, after the 16 bytes the sample layout takes.
    constexpr int32_t kPlainRecordBytes = 16;
    if (format == nullptr || formatSize < kPlainRecordBytes)
        return 0;
    WAVEFORMATEX record{};
    std::memcpy(&record, format, std::min<size_t>(sizeof record, static_cast<size_t>(formatSize)));
    if (record.nBlockAlign == 0)
        return 0;
    const uint64_t blocks = dataBytes / record.nBlockAlign;
    switch (record.wFormatTag) {
    case WAVE_FORMAT_PCM:
    case WAVE_FORMAT_IEEE_FLOAT:
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
    case WAVE_FORMAT_EXTENSIBLE:
        return blocks;
    default:
        break;
    }
    // A block codec's layout fixes its rate; a stream codec has only the average one.
    double bytesPerSecond = BlockLayoutBytesPerSecond(format, formatSize);
    const bool blockCodec = bytesPerSecond > 0;
    if (!blockCodec)
        bytesPerSecond = record.nAvgBytesPerSec;
    if (bytesPerSecond <= 0)
        return 0;
    const double samplesPerByte = record.nSamplesPerSec / bytesPerSecond;
    const double bytes = static_cast<double>(blockCodec ? blocks * record.nBlockAlign : dataBytes);
    return static_cast<uint64_t>(std::llround(bytes * samplesPerByte));
}

int32_t ReadWaveHeader(const std::string& fileName, WAVEFORMATEX& format, int32_t& dataSize)
{
    // A missing or empty file leaves `dataSize` as it was.
    if (!(FileLength(fileName) > 0))
        return -1;
    uint64_t dataBytes = 0;
    const int32_t result = ReadWaveHeader(fileName, format, dataBytes);
    dataSize = static_cast<int32_t>(static_cast<uint32_t>(dataBytes));
    return result;
}

int32_t ReadWaveHeader(const std::string& fileName, WAVEFORMATEX& format, uint64_t& dataBytes,
                       bool* rf64)
{
    if (!(FileLength(fileName) > 0))
        return -1;
    dataBytes = 0;
    UniqueHmmio file(mmioOpenA(fileName.c_str(), nullptr, MMIO_READ));
    if (!file)
        return -1;

    WaveReadRules rules;
    rules.formatLimit = sizeof(WAVEFORMATEX);
    rules.emptyFormatFails = false;
    rules.dataAnywhereInForm = true;
    rules.dataRequired = false;
    WaveChunks chunks;
    const WaveReadResult read = ReadWaveChunks(file.get(), rules, chunks);
    if (read.failed != WaveReadStep::kNone)
        return read.code;
    // Only the bytes the chunk holds are copied: a 16-byte chunk leaves `cbSize` as it was.
    if (chunks.formatBytes)
        std::memcpy(&format, chunks.formatBytes.get(), static_cast<size_t>(chunks.formatRead));
    if (chunks.haveData)
        dataBytes = chunks.dataBytes;
    if (rf64 != nullptr)
        *rf64 = chunks.rf64;
    return 0;
}

int32_t CheckPlaybackFileFormat(const WAVEFORMATEX& format)
{
    if (!IsAcceptedRate(format.nSamplesPerSec))
        return 1;
    int32_t code = 0;
    if (format.nChannels != 1 && format.nChannels != 2)
        code = 2;
    if (format.nAvgBytesPerSec > kMaxPlaybackBytesPerSecond)
        code = 3;
    return code;
}

} // namespace tavrenly
