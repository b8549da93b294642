#include "tests/platform/codec/CodecTestSupport.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

namespace tavrenly::test {

FormatBytes FormatRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits)
{
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return FmtBody(tag, channels, rate, rate * align, align, bits, 18);
}

FormatBytes Suggest(const FormatBytes& source, uint16_t tag, uint16_t channels, uint32_t rate,
                    MMRESULT* result, uint32_t room)
{
    FormatBytes dest(room, 0xEE);
    const WAVEFORMATEX wanted{tag, channels, rate, 0, 0, 0, 0};
    std::memcpy(dest.data(), &wanted, 8);
    const MMRESULT answer = acmFormatSuggest(
        nullptr, AsFormat(source), reinterpret_cast<WAVEFORMATEX*>(dest.data()), room,
        ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
            ACM_FORMATSUGGESTF_NSAMPLESPERSEC);
    if (result)
        *result = answer;
    else
        EXPECT_EQ(answer, 0u) << tag;
    const size_t size = answer != 0 ? 0 : 18u + AsFormat(dest)->cbSize;
    EXPECT_TRUE(std::all_of(dest.begin() + std::clamp<size_t>(size, 8, room), dest.end(),
                            [](uint8_t b) { return b == 0xEE; }))
        << "written past the record of " << tag;
    dest.resize(size);
    return dest;
}

ACMSTREAMHEADER StreamHeader(uint8_t* source, uint32_t sourceLength, uint8_t* dest,
                             uint32_t destLength)
{
    return {sizeof(ACMSTREAMHEADER), 0, 0, source, sourceLength, 0, 0, dest, destLength, 0, 0, {}};
}

ACMFORMATTAGDETAILSA TagDetails(uint16_t tag, MMRESULT& result)
{
    ACMFORMATTAGDETAILSA details{sizeof(ACMFORMATTAGDETAILSA), 0, tag, 0, 0, 0, {}};
    result = acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG);
    return details;
}

WaveFile ReadWave(const std::string& path)
{
    const Bytes file = ReadFileBytes(path);
    WaveFile wave{ChunkBody(file, "fmt "), ChunkBody(file, "data")};
    if (wave.format.size() == 16)
        wave.format.resize(18, 0); // a PCM record without cbSize
    EXPECT_GE(wave.format.size(), 18u) << path;
    return wave;
}

AcmStream::AcmStream(const FormatBytes& from, const FormatBytes& to, uint32_t sourceSize)
    : source(sourceSize)
{
    EXPECT_EQ(acmStreamOpen(&handle, nullptr, AsFormat(from), AsFormat(to), nullptr, 0, 0, 0), 0u);
    uint32_t destSize = 0;
    EXPECT_EQ(acmStreamSize(handle, sourceSize, &destSize, ACM_STREAMSIZEF_SOURCE), 0u);
    dest.resize(destSize);
    header = StreamHeader(source.data(), sourceSize, dest.data(), destSize);
    EXPECT_EQ(acmStreamPrepareHeader(handle, &header, 0), 0u);
}

AcmStream::~AcmStream()
{
    header.cbSrcLength = static_cast<uint32_t>(source.size());
    header.cbDstLength = static_cast<uint32_t>(dest.size());
    EXPECT_EQ(acmStreamUnprepareHeader(handle, &header, 0), 0u);
    EXPECT_EQ(acmStreamClose(handle, 0), 0u);
}

MMRESULT AcmStream::Convert(uint32_t length, uint32_t flags, uint32_t room)
{
    header.cbSrcLength = length;
    header.cbDstLength = room == 0 ? static_cast<uint32_t>(dest.size()) : room;
    const MMRESULT result = acmStreamConvert(handle, &header, flags);
    output.assign(dest.begin(), dest.begin() + (result == 0 ? header.cbDstLengthUsed : 0));
    return result;
}

namespace {

/// One call of a driver: converts (or drains) `pending`, appends to `output`, says how much
/// of `pending` it used; false on an error.
using Step = std::function<bool(const Bytes& pending, uint32_t& used, Bytes& output)>;

/// Presents `input` in pieces (in turn, repeated) with what the last call left unused in
/// front, then drains until a call gives nothing.
Bytes Pump(const Bytes& input, const std::vector<uint32_t>& pieces, size_t maxHeld,
           const Step& convert, const Step& drain)
{
    Bytes output;
    Bytes pending;
    const auto call = [&](const Step& step) {
        uint32_t used = 0;
        const bool ok = step(pending, used, output);
        EXPECT_TRUE(ok && used <= pending.size()) << used << " of " << pending.size();
        pending.erase(pending.begin(), pending.begin() + std::min<size_t>(used, pending.size()));
        return ok;
    };
    for (size_t turn = 0, position = 0; position < input.size(); ++turn) {
        const size_t piece =
            std::min<size_t>(pieces[turn % pieces.size()], input.size() - position);
        pending.insert(pending.end(), input.begin() + position, input.begin() + position + piece);
        position += piece;
        if (!call(convert) || pending.size() > maxHeld) {
            ADD_FAILURE() << "holds " << pending.size() << " bytes";
            return output;
        }
    }
    // A drain ends within a few calls; more would mean it never reports empty.
    for (int calls = 0; drain && calls < 10000; ++calls) {
        const size_t before = output.size();
        if (!call(drain))
            return output;
        if (output.size() == before) {
            EXPECT_TRUE(pending.empty()) << "an empty drain uses all its source";
            return output;
        }
    }
    EXPECT_FALSE(drain) << "the drain never reported empty";
    return output;
}

} // namespace

std::vector<uint8_t> ConvertInPieces(const FormatBytes& source, const FormatBytes& dest,
                                     const std::vector<uint8_t>& input,
                                     const std::vector<uint32_t>& pieces, uint32_t drainRoom)
{
    const uint32_t largest = *std::max_element(pieces.begin(), pieces.end());
    AcmStream stream(source, dest, 2 * largest);
    const auto step = [&](uint32_t flags, uint32_t room) {
        return [&stream, flags, room](const Bytes& pending, uint32_t& used, Bytes& output) {
            std::copy(pending.begin(), pending.end(), stream.source.begin());
            const bool ok = stream.Convert(static_cast<uint32_t>(pending.size()), flags, room) == 0;
            used = ok ? stream.header.cbSrcLengthUsed : 0;
            output.insert(output.end(), stream.output.begin(), stream.output.end());
            return ok;
        };
    };
    const uint32_t room = std::min<uint32_t>(drainRoom, static_cast<uint32_t>(stream.dest.size()));
    return Pump(input, pieces, largest,
                step(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END, 0),
                drainRoom ? Step(step(ACM_STREAMCONVERTF_DRAIN, room)) : Step());
}

std::vector<uint8_t> RunStage(codec::CodecStage& stage, const std::vector<uint8_t>& input,
                              const std::vector<uint32_t>& pieces, size_t maxHeld,
                              uint32_t drainRoom)
{
    Bytes dest;
    const auto step = [&](bool draining) {
        return [&, draining](const Bytes& pending, uint32_t& used, Bytes& output) {
            const auto length = static_cast<uint32_t>(pending.size());
            dest.resize(draining ? std::min(stage.MaxOutputBytes(65536), drainRoom)
                                 : stage.MaxOutputBytes(length));
            const auto room = static_cast<uint32_t>(dest.size());
            uint32_t produced = 0;
            const uint32_t result =
                draining ? stage.Drain(pending.data(), length, used, dest.data(), room, produced)
                         : stage.Convert(pending.data(), length, used, dest.data(), room, produced,
                                         true);
            EXPECT_LE(produced, room);
            output.insert(output.end(), dest.begin(), dest.begin() + std::min(produced, room));
            return result == 0;
        };
    };
    return Pump(input, pieces, maxHeld, step(false), drainRoom ? Step(step(true)) : Step());
}

std::vector<int16_t> Sine16(double frequency, double amplitude, uint32_t rate, uint16_t channels,
                            size_t frames)
{
    std::vector<int16_t> samples(frames * channels);
    for (size_t n = 0; n < samples.size(); ++n)
        samples[n] = static_cast<int16_t>(
            std::lrint(amplitude * 32767 * std::sin(2 * M_PI * frequency * (n / channels) / rate)));
    return samples;
}

} // namespace tavrenly::test
