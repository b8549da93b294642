// The codec manager's calling conventions as the controls rely on them: format suggestion,
// tag details, stream open and the header life cycle.

#include "platform/codec/Codec.h"
#include "tests/platform/codec/CodecTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tavrenly::test {
namespace {

constexpr uint32_t kKeepTagChannelsRate = ACM_FORMATSUGGESTF_WFORMATTAG |
                                          ACM_FORMATSUGGESTF_NCHANNELS |
                                          ACM_FORMATSUGGESTF_NSAMPLESPERSEC;
constexpr uint16_t kUnknownTag = 0x7A7A;

/// Suggests from `source`, keeping tag, channels and rate as the controls do, into a room of
/// 20 bytes filled with 0xEE, the wanted fields first.
std::vector<uint8_t> Suggest(const FormatBytes& source, WAVEFORMATEX wanted, uint32_t expected = 0)
{
    std::vector<uint8_t> room(20, 0xEE);
    std::memcpy(room.data(), &wanted, 8);
    EXPECT_EQ(acmFormatSuggest(nullptr, AsFormat(source),
                               reinterpret_cast<WAVEFORMATEX*>(room.data()), 20,
                               kKeepTagChannelsRate),
              expected);
    return room;
}

TEST(FormatSuggestTest, CompletesAPcmRecordKeepingWhatTheFlagsSayAndWritesNoMore)
{
    const WAVEFORMATEX stereo44{WAVE_FORMAT_PCM, 2, 44100, 0, 0, 0, 0};
    ByteWriter kept; // nothing past the 18 bytes of the record
    kept.U16(WAVE_FORMAT_PCM).U16(2).U32(44100).U32(176400).U16(4).U16(16).U16(0).U16(0xEEEE);
    EXPECT_EQ(Suggest(FormatRecord(WAVE_FORMAT_PCM, 1, 22050, 16), stereo44), kept.Data());
}

TEST(CodecRefusalTest, AnswersNotPossibleForWhatNoCodecOrStreamConverts)
{
    const FormatBytes pcm = FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    Suggest(pcm, {WAVE_FORMAT_PCM, 6, 44100, 0, 0, 0, 0}, ACMERR_NOTPOSSIBLE);
    Suggest(FormatRecord(kUnknownTag, 2, 44100, 4), {WAVE_FORMAT_PCM, 2, 44100, 0, 0, 0, 0},
            ACMERR_NOTPOSSIBLE);
    Suggest(pcm, {kUnknownTag, 2, 44100, 0, 0, 0, 0}, ACMERR_NOTPOSSIBLE);
    ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = kUnknownTag;
    EXPECT_EQ(acmFormatTagDetailsA(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(details.cbFormatSize, 0u);
    // No codec, too many channels, no such sample size, no such float size.
    for (const FormatBytes& other :
         {FormatRecord(kUnknownTag, 2, 44100, 16), FormatRecord(WAVE_FORMAT_PCM, 6, 44100, 16),
          FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 12),
          FormatRecord(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 16)}) {
        for (const auto& [from, to] : {std::pair{&other, &pcm}, {&pcm, &other}}) {
            HACMSTREAM stream = reinterpret_cast<HACMSTREAM>(1);
            EXPECT_EQ(
                acmStreamOpen(&stream, nullptr, AsFormat(*from), AsFormat(*to), nullptr, 0, 0, 0),
                ACMERR_NOTPOSSIBLE)
                << AsFormat(other)->wFormatTag;
            EXPECT_EQ(stream, nullptr);
        }
    }
    EXPECT_EQ(acmStreamOpen(nullptr, nullptr, AsFormat(pcm), AsFormat(pcm), nullptr, 0, 0,
                            ACM_STREAMOPENF_QUERY),
              0u);
}

TEST(StreamHeaderTest, EnforcesThePreparedBuffersAndLengthsAndTheHandlesLife)
{
    const FormatBytes pcm = FormatRecord(WAVE_FORMAT_PCM, 2, 44100, 16);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(acmStreamOpen(&stream, nullptr, AsFormat(pcm), AsFormat(pcm), nullptr, 0, 0, 0), 0u);
    uint8_t source[400];
    uint8_t dest[400];
    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    header.pbSrc = source;
    header.cbSrcLength = sizeof source;
    header.pbDst = dest;
    header.cbDstLength = sizeof dest;
    EXPECT_EQ(acmStreamConvert(stream, &header, 0), ACMERR_UNPREPARED);
    ASSERT_EQ(acmStreamPrepareHeader(stream, &header, 0), 0u);
    header.cbSrcLength = sizeof source + 1;
    EXPECT_EQ(acmStreamConvert(stream, &header, 0), MMSYSERR_INVALPARAM);
    header.cbSrcLength = 8;
    header.pbSrc = source + 4;
    EXPECT_EQ(acmStreamConvert(stream, &header, 0), MMSYSERR_INVALPARAM);
    header.pbSrc = source;
    EXPECT_EQ(acmStreamConvert(stream, &header, 0), 0u);
    EXPECT_EQ(acmStreamClose(stream, 0), ACMERR_BUSY);
    // Unpreparing needs the prepared lengths back.
    EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), MMSYSERR_INVALPARAM);
    header.cbSrcLength = sizeof source;
    EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), 0u);
    EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), ACMERR_UNPREPARED);
    EXPECT_EQ(acmStreamClose(stream, 0), 0u);
    EXPECT_EQ(acmStreamReset(stream, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(acmStreamClose(stream, 0), MMSYSERR_INVALHANDLE);
}

} // namespace
} // namespace tavrenly::test
