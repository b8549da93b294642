// The multimedia result check and the error texts behind it.

#include "common/MultimediaAPI.h"

#include "platform/devices/Devices.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace tavrenly {
namespace {

using test::RecordingSite;

const std::string kFallback =
    "The Windows(TM) Multimedia Sub-System has returned with an unknown error, the code was: ";

std::string TextOf(uint32_t code)
{
    char text[128];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(waveInGetErrorTextA(code, text, sizeof text), MMSYSERR_NOERROR);
    return text;
}

class CheckMultimediaResultTest : public ::testing::Test
{
protected:
    int32_t Check(int32_t code, Bool16 show, std::string_view caption)
    {
        return CheckMultimediaResult(code, show, caption, m_site);
    }

    EventLoop m_loop{EventLoop::Clock::Virtual};
    RecordingSite m_site{m_loop};
};

TEST_F(CheckMultimediaResultTest, SuccessOrSwitchOffShowsNothing)
{
    EXPECT_EQ(Check(0, kTrue, "TavrenPlayer Play Close"), 0);
    EXPECT_EQ(Check(0, kFalse, "TavrenPlayer Play Close"), 0);
    EXPECT_EQ(Check(265, kFalse, "TavrenPlayer Play Close"), 265);
    EXPECT_TRUE(m_site.boxes.empty());
}

TEST_F(CheckMultimediaResultTest, KnownCodeShowsItsTextUnderTheCaption)
{
    EXPECT_EQ(Check(265, -5, "TavrenPlayer Record Descend Riff"), 265); // any non-zero is on
    ASSERT_EQ(m_site.boxes.size(), 1u);
    EXPECT_EQ(m_site.boxes[0].text, TextOf(265));
    EXPECT_FALSE(m_site.boxes[0].text.empty());
    EXPECT_EQ(m_site.boxes[0].style, 64);
    EXPECT_EQ(m_site.boxes[0].title, "Tavrenly - TavrenPlayer Record Descend Riff");
}

TEST_F(CheckMultimediaResultTest, UnknownCodeShowsTheFallbackWithTheNumber)
{
    EXPECT_EQ(Check(4711, kTrue, "TavrenCompress Open"), 4711);
    EXPECT_EQ(Check(-1, kTrue, ""), -1);
    ASSERT_EQ(m_site.boxes.size(), 2u);
    EXPECT_EQ(m_site.boxes[0].text, kFallback + "4711");
    EXPECT_EQ(m_site.boxes[0].title, "Tavrenly - TavrenCompress Open");
    EXPECT_EQ(m_site.boxes[1].text, kFallback + "-1");
    EXPECT_EQ(m_site.boxes[1].title, "Tavrenly");
    EXPECT_EQ(m_site.boxes[1].style, 64);
}

TEST(ErrorTextTest, EveryCodeOfTheThreeLayersHasItsOwnText)
{
    std::vector<uint32_t> known;
    for (uint32_t code = 0; code <= 21; ++code)
        known.push_back(code);
    for (uint32_t code = 32; code <= 35; ++code)
        known.push_back(code);
    for (uint32_t code = 256; code <= 272; ++code)
        known.push_back(code);
    for (uint32_t code = 512; code <= 515; ++code)
        known.push_back(code);
    std::set<std::string> texts;
    for (uint32_t code : known) {
        const std::string text = TextOf(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_LT(text.size(), 128u) << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), known.size()) << "each code reads differently";
    for (uint32_t code : {22u, 31u, 36u, 255u, 273u, 511u, 516u, 0xFFFFFFFFu})
        EXPECT_EQ(TextOf(code), "") << code;
}

TEST(ErrorTextTest, TextIsCutToTheBufferAndBadBuffersAreRefused)
{
    char small[6];
    ASSERT_EQ(waveInGetErrorTextA(265, small, sizeof small), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(small), TextOf(265).substr(0, 5));
    EXPECT_EQ(waveInGetErrorTextA(265, nullptr, 10), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInGetErrorTextA(265, small, 0), MMSYSERR_INVALPARAM);
}

} // namespace
} // namespace tavrenly
