#include "common/DiagnosticLog.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace tavrenly {
namespace {

using test::ReadText;

std::string Today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char date[16];
    std::strftime(date, sizeof date, "%d/%m/%Y", &local);
    return date;
}

TEST(DiagnosticLogLevelTest, APathSwitchesTheBasicLevelOnAndSetDebugFileTakesTheGivenLevel)
{
    DiagnosticLog log;
    EXPECT_EQ(log.DebugLevel(), dmOff);
    int32_t full = dmFull;
    int32_t off = dmOff;
    log.SetDebugFile("", full);
    EXPECT_TRUE(log.Full()) << "producers build their texts; the writer drops them";
    log.WriteLog("goes nowhere");
    log.SetDebugFile("/tmp/trace.log", off);
    EXPECT_FALSE(log.Basic());
    EXPECT_EQ(log.DebugFile(), "/tmp/trace.log");
    log.DebugFile("/tmp/other.log");
    EXPECT_EQ(log.DebugLevel(), dmBasic);
    log.DebugFile("");
    EXPECT_EQ(log.DebugLevel(), dmOff);
}

class DiagnosticLogFileTest : public ::testing::Test
{
protected:
    void SetUp() override { m_log.DebugFile(m_path); }

    test::TempDir m_dir;
    std::string m_path = m_dir.File("trace.log");
    DiagnosticLog m_log;
};

TEST_F(DiagnosticLogFileTest,
       LinesCarryDateTimeAndCrLfAFileAboveTheCapStartsAgainAndUnwritableLosesTheLine)
{
    const std::string before = Today();
    m_log.WriteLog("Start Function PlayAudio");
    m_log.WriteLog("End Function PlayAudio\r\n");
    const std::string after = Today();
    const std::regex shape(R"((\d\d/\d\d/\d{4}) ([01]\d|2[0-3]):[0-5]\d:[0-5]\d )"
                           "Start Function PlayAudio\r\n"
                           R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d )"
                           "End Function PlayAudio\r\n\r\n");
    std::smatch match;
    const std::string text = ReadText(m_path);
    ASSERT_TRUE(std::regex_match(text, match, shape)) << text;
    EXPECT_TRUE(match[1] == before || match[1] == after) << match[1] << " is not today";

    constexpr size_t kCap = 1258291; // 1.2 MiB rounded down: still below the limit
    for (const size_t size : {kCap, kCap + 1}) {
        test::WriteFileBytes(m_path, std::vector<uint8_t>(size, 'x'));
        m_log.WriteLog("line");
        const std::string grown = ReadText(m_path);
        const std::string kept = size == kCap ? std::string(kCap, 'x') : "";
        ASSERT_EQ(grown.size(), kept.size() + 20 + 4 + 2) << size;
        EXPECT_EQ(grown.substr(0, kept.size()) + grown.substr(kept.size() + 20), kept + "line\r\n");
    }
    m_log.DebugFile(m_dir.File("no such folder/trace.log"));
    m_log.WriteLog("lost");
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() / "no such folder"));
    m_log.DebugFile(m_dir.Path().string()); // a folder cannot be appended to
    m_log.WriteLog("lost");
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.Path()));
}

TEST_F(DiagnosticLogFileTest, TwoWritersInterleaveWholeLines)
{
    // Two processes append to one file, as a player and a recorder of two hosts may.
    constexpr int kLines = 2000;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const char* who = child == 0 ? "child " : "parent ";
    for (int i = 0; i < kLines; ++i)
        m_log.WriteLog(who + std::to_string(i));
    if (child == 0)
        ::_exit(0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    std::istringstream lines(ReadText(m_path));
    const std::regex shape(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d (child|parent) (\d+)\r)");
    int next[2] = {0, 0};
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << "torn line: " << line;
        int& expected = next[match[1] == "child" ? 0 : 1];
        EXPECT_EQ(std::stoi(match[2]), expected);
        ++expected;
    }
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
}

} // namespace
} // namespace tavrenly
