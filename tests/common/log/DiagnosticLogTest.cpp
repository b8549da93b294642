// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/DiagnosticLog.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace tavrenly {
namespace {

using test::ReadText;

TEST(DiagnosticLogTest, LinesCarryDateTimeAndCrLfAFileAboveTheCapStartsAgainAndUnwritableLosesIt)
{
    test::TempDir dir;
    const std::string path = dir.File("trace.log");
    DiagnosticLog log;
    log.DebugFile(path);
    log.WriteLog("Start Function PlayAudio");
    log.WriteLog("End Function PlayAudio\r\n");
    const std::regex shape(R"(\d\d/\d\d/\d{4} ([01]\d|2[0-3]):[0-5]\d:[0-5]\d )"
                           "Start Function PlayAudio\r\n"
                           R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d )"
                           "End Function PlayAudio\r\n\r\n");
    const std::string text = ReadText(path);
    ASSERT_TRUE(std::regex_match(text, shape)) << text;

    constexpr size_t kCap = 1258291; // 1.2 MiB rounded down: still below the limit
    for (const size_t size : {kCap, kCap + 1}) {
        test::WriteFileBytes(path, std::vector<uint8_t>(size, 'x'));
        log.WriteLog("line");
        const std::string grown = ReadText(path);
        const std::string kept = size == kCap ? std::string(kCap, 'x') : "";
        ASSERT_EQ(grown.size(), kept.size() + 20 + 4 + 2) << size;
        EXPECT_EQ(grown.substr(0, kept.size()) + grown.substr(kept.size() + 20), kept + "line\r\n");
    }
    log.DebugFile(dir.File("no such folder/trace.log"));
    log.WriteLog("lost");
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "no such folder"));
    log.DebugFile(dir.Path().string()); // a folder cannot be appended to
    log.WriteLog("lost");
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path()));
}

} // namespace
} // namespace tavrenly
