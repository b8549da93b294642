#include "common/WaveFile.h"

#include "common/TavrenlyFN.h"
#include "platform/riff/WaveChunks.h"

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

} // namespace

int32_t ReadWaveHeader(const std::string& fileName, WAVEFORMATEX& format, int32_t& dataSize)
{
    if (!(FileLength(fileName) > 0))
        return -1;
    dataSize = 0;
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
        dataSize = static_cast<int32_t>(chunks.data.cksize);
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
