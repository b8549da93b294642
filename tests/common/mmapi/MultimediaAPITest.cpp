// The multimedia result check and the error texts behind it.

#include "common/MultimediaAPI.h"

#include "platform/devices/Devices.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
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

TEST(CheckMultimediaResultTest, ShowsTheCodesTextOrTheFallbackUnderTheCaptionWhenSwitchedOn)
{
    EventLoop loop{EventLoop::Clock::Virtual};
    RecordingSite site{loop};
    // Any non-zero switch is on; success shows nothing.
    const std::tuple<int32_t, Bool16, const char*, std::string, std::string> cases[] = {
        {0, kTrue, "TavrenPlayer Play Close", "", ""},
        {265, kFalse, "TavrenPlayer Play Close", "", ""},
        {265, -5, "TavrenPlayer Record Descend Riff", TextOf(265),
         "Tavrenly - TavrenPlayer Record Descend Riff"},
        {4711, kTrue, "TavrenCompress Open", kFallback + "4711", "Tavrenly - TavrenCompress Open"},
        {-1, kTrue, "", kFallback + "-1", "Tavrenly"},
    };
    for (auto [code, show, caption, text, title] : cases) {
        site.boxes.clear();
        const int32_t given = code;
        EXPECT_EQ(CheckMultimediaResult(code, show, caption, site), given);
        ASSERT_EQ(site.boxes.size(), text.empty() ? 0u : 1u) << code;
        if (!text.empty()) {
            EXPECT_EQ(site.boxes[0].text, text);
            EXPECT_EQ(site.boxes[0].title, title);
            EXPECT_EQ(site.boxes[0].style, 64);
        }
    }
    // The text is cut to the buffer; bad buffers are refused.
    char small[6];
    ASSERT_EQ(waveInGetErrorTextA(265, small, sizeof small), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(small), TextOf(265).substr(0, 5));
    EXPECT_EQ(waveInGetErrorTextA(265, nullptr, 10), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInGetErrorTextA(265, small, 0), MMSYSERR_INVALPARAM);
}

} // namespace
} // namespace tavrenly
