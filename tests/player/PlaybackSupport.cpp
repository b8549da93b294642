#include "tests/player/PlaybackSupport.h"

#include "common/ConversionStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace tavrenly::test {

std::vector<uint8_t> FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                             uint16_t blockAlign, uint16_t bits, size_t size)
{
    ByteWriter w;
    w.U16(tag).U16(channels).U32(rate).U32(avgBytes).U16(blockAlign).U16(bits);
    std::vector<uint8_t> body = w.Data();
    body.resize(size, 0);
    return body;
}

std::vector<uint8_t> RiffBytes(const std::vector<Chunk>& chunks, const std::string& riff,
                               const std::string& form)
{
    std::vector<uint8_t> inner(form.begin(), form.end());
    for (const Chunk& chunk : chunks) {
        inner.insert(inner.end(), chunk.id.begin(), chunk.id.end());
        const uint32_t size = static_cast<uint32_t>(chunk.body.size());
        for (int i = 0; i < 4; ++i)
            inner.push_back(static_cast<uint8_t>(size >> (8 * i)));
        inner.insert(inner.end(), chunk.body.begin(), chunk.body.end());
        if (size % 2 != 0)
            inner.push_back(0);
    }
    std::vector<uint8_t> file(riff.begin(), riff.end());
    const uint32_t size = static_cast<uint32_t>(inner.size());
    for (int i = 0; i < 4; ++i)
        file.push_back(static_cast<uint8_t>(size >> (8 * i)));
    file.insert(file.end(), inner.begin(), inner.end());
    return file;
}

std::vector<uint8_t> CounterFrames(int32_t frames, uint16_t channels)
{
    ByteWriter w;
    for (int32_t i = 0; i < frames; ++i) {
        w.U16(static_cast<uint16_t>(i % 32768));
        if (channels == 2)
            w.U16(static_cast<uint16_t>(i / 32768));
    }
    return w.Data();
}

int32_t CounterFrameAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    const int32_t left = bytes[offset] | (bytes[offset + 1] << 8);
    const int32_t right = bytes[offset + 2] | (bytes[offset + 3] << 8);
    return right * 32768 + left;
}

std::vector<uint8_t> WriteCounterWave(const std::string& path, double seconds, uint32_t rate)
{
    std::vector<uint8_t> data = CounterFrames(static_cast<int32_t>(seconds * rate));
    WriteFileBytes(path,
                   RiffBytes({{"fmt ", FmtBody(1, 2, rate, rate * 4, 4, 16)}, {"data", data}}));
    return data;
}

std::vector<uint8_t> DataChunkBytes(const std::string& path)
{
    const std::vector<uint8_t> file = ReadFileBytes(path);
    size_t at = 12;
    while (at + 8 <= file.size()) {
        const uint32_t size = static_cast<uint32_t>(file[at + 4] | (file[at + 5] << 8) |
                                                    (file[at + 6] << 16) | (file[at + 7] << 24));
        if (std::memcmp(&file[at], "data", 4) == 0) {
            const size_t end = std::min(file.size(), at + 8 + size);
            return std::vector<uint8_t>(file.begin() + at + 8, file.begin() + end);
        }
        at += 8 + size + (size % 2);
    }
    ADD_FAILURE() << "no data chunk in " << path;
    return {};
}

std::vector<std::string> LogLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 20 && line[2] == '/' && line[5] == '/')
            line.erase(0, 20); // "dd/mm/yyyy hh:nn:ss "
        lines.push_back(line);
    }
    return lines;
}

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted)
{
    auto at = lines.begin();
    for (const std::string& w : wanted) {
        at = std::find(at, lines.end(), w);
        if (at == lines.end()) {
            ADD_FAILURE() << "missing or out of order: \"" << w << "\"";
            return false;
        }
        ++at;
    }
    return true;
}

bool PlayToEnd(PlayerHarness& h, int64_t maxMs)
{
    for (int64_t t = 0; t < maxMs; t += 10) {
        if (h.listener.Count("AudioEndReached") > 0)
            return true;
        h.loop.Advance(10);
    }
    return h.listener.Count("AudioEndReached") > 0;
}

namespace {

std::vector<uint8_t> ConvertWhole(const WAVEFORMATEX* source, const WAVEFORMATEX* destination,
                                  std::vector<uint8_t> input, ControlSite& site)
{
    StreamInfo stream;
    stream.SourceBufferSize = std::max(static_cast<int32_t>(input.size()), 1);
    EXPECT_EQ(OpenConversionStream(stream, source, destination, site), 0);
    const auto room = static_cast<size_t>(stream.DestBufferSize);
    std::vector<uint8_t> output = input;
    output.resize(std::max(output.size(), room));
    auto length = static_cast<int32_t>(input.size());
    EXPECT_EQ(ConvertStreamData(stream, output.data(), length, site), 0);
    output.resize(static_cast<size_t>(length));
    // Then what the stream holds back at the end.
    std::vector<uint8_t> tail(room);
    for (int call = 0; call < 1000; ++call) {
        length = stream.DestBufferSize;
        EXPECT_EQ(DrainConversionStream(stream, tail.data(), length, site), 0);
        if (length <= 0)
            break;
        output.insert(output.end(), tail.begin(), tail.begin() + length);
    }
    EXPECT_EQ(CloseConversionStream(stream, site), 0);
    return output;
}

} // namespace

std::vector<uint8_t> ConvertedInOnePiece(PlayerHarness& h, const std::string& path)
{
    return ConvertedInOnePiece(h, DataChunkBytes(path));
}

std::vector<uint8_t> ConvertedInOnePiece(PlayerHarness& h, std::vector<uint8_t> audio)
{
    const PlayerState& s = h.player->State();
    const bool decompress = s.FileFormat.wFormatTag != 1 || s.FileFormat.wBitsPerSample != 16;
    const bool convert = s.FileFormat.nSamplesPerSec != s.PlaybackFormat.nSamplesPerSec ||
                         s.FileFormat.nChannels != s.PlaybackFormat.nChannels;
    if (decompress) {
        std::vector<uint8_t> format(s.pFormat, s.pFormat + std::max<int32_t>(s.FormatSize, 18));
        audio = ConvertWhole(reinterpret_cast<const WAVEFORMATEX*>(format.data()), &s.FilePCMFormat,
                             std::move(audio), h.site);
    }
    if (convert)
        audio = ConvertWhole(&s.FilePCMFormat, &s.PlaybackFormat, std::move(audio), h.site);
    return audio;
}

std::vector<std::string> StateEvents(const RecordingListener& listener)
{
    return listener.Without({"AudioPositionChanged", "AudioLevelChanged"});
}

} // namespace tavrenly::test
