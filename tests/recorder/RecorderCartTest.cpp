// The cart record's text fields: set before a recording, refused whole when they do not fit,
// written byte for byte into the file, and back to the default record when cleared.

#include "tests/recorder/RecorderFixture.h"

#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

namespace tavrenly {
namespace {

using test::Bytes;

/// The expected record, built from the field offsets a cart reader uses.
Bytes CartWith(const std::vector<std::pair<size_t, std::string>>& fields)
{
    Bytes cart(2048, 0);
    const std::string version = "0101";
    std::copy(version.begin(), version.end(), cart.begin());
    for (const auto& [offset, text] : fields)
        std::copy(text.begin(), text.end(), cart.begin() + static_cast<std::ptrdiff_t>(offset));
    return cart;
}

TEST(RecorderCartTest, TextFieldsAreWrittenWholeOrRefusedWhole)
{
    test::RecorderHarness h;
    const std::string fullUrl(1024, 'u');
    std::string error;
    EXPECT_EQ(h.recorder->SetCartField("Title", "News at ten", error), 0);
    EXPECT_EQ(h.recorder->SetCartField("CutID", "N1000", error), 0);
    EXPECT_EQ(h.recorder->SetCartField("StartDate", "2026-12-06", error), 0);
    EXPECT_EQ(h.recorder->SetCartField("EndTime", "23:59:59", error), 0);
    EXPECT_EQ(h.recorder->SetCartField("URL", fullUrl, error), 0);
    EXPECT_TRUE(error.empty());
    // Refusals leave the field as it was, with a reason.
    const struct
    {
        const char* name;
        std::string value;
    } refused[] = {{"Title", std::string(65, 't')}, {"StartDate", "2026-12-06T"},
                   {"Artist", "Caf\xc3\xa9"},       {"OutCue", "fade\n"},
                   {"title", "lower-case name"},    {"Colour", "x"}};
    for (const auto& r : refused) {
        error.clear();
        EXPECT_EQ(h.recorder->SetCartField(r.name, r.value, error), -1) << r.name;
        EXPECT_FALSE(error.empty()) << r.name;
    }

    ASSERT_EQ(h.Start("take.wav"), 0);
    h.Run(200);
    ASSERT_EQ(h.Close(), 0);
    EXPECT_EQ(test::ChunkBody(test::ReadFileBytes(h.dir.File("take.wav")), "cart"),
              CartWith({{4, "News at ten"},
                        {132, "N1000"},
                        {452, "2026-12-06"},
                        {480, "23:59:59"},
                        {1024, fullUrl}}));

    // The record stays for the next recording until cleared.
    h.recorder->ClearCartFields();
    ASSERT_EQ(h.Start("second.wav"), 0);
    h.Run(200);
    ASSERT_EQ(h.Close(), 0);
    EXPECT_EQ(test::ChunkBody(test::ReadFileBytes(h.dir.File("second.wav")), "cart"), CartWith({}));
}

} // namespace
} // namespace tavrenly
