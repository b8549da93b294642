#include "common/DiagnosticLog.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
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

TEST(DiagnosticLogLevelTest, DebugFileAndSetDebugFileSetTheLevel)
{
    DiagnosticLog log;
    EXPECT_EQ(log.DebugFile(), "");
    EXPECT_EQ(log.DebugLevel(), dmOff);

    int32_t full = dmFull;
    log.SetDebugFile("", full);
    EXPECT_EQ(log.DebugFile(), "");
    EXPECT_EQ(log.DebugLevel(), 255);
    EXPECT_TRUE(log.Full()) << "producers build their texts; the writer drops them";
    log.WriteLog("goes nowhere");

    int32_t off = dmOff;
    log.SetDebugFile("/tmp/trace.log", off);
    EXPECT_EQ(log.DebugFile(), "/tmp/trace.log");
    EXPECT_EQ(log.DebugLevel(), 0);
    EXPECT_FALSE(log.Basic());

    log.SetDebugFile("/tmp/trace.log", full);
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

TEST_F(DiagnosticLogFileTest, WritesDateTimeMessageAndCrLf)
{
    const std::string before = Today();
    m_log.WriteLog("Start Function PlayAudio");
    m_log.WriteLog("End Function PlayAudio\r\n");
    const std::string after = Today();

    const std::string text = ReadText(m_path);
    const std::regex shape(R"((\d\d/\d\d/\d{4}) ([01]\d|2[0-3]):[0-5]\d:[0-5]\d )"
                           "Start Function PlayAudio\r\n"
                           R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d )"
                           "End Function PlayAudio\r\n\r\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, shape)) << text;
    EXPECT_TRUE(match[1] == before || match[1] == after) << match[1] << " is not today";
}

TEST_F(DiagnosticLogFileTest, FileAtTheCapIsAppendedToAndAboveItStartsAgain)
{
    constexpr size_t kCap = 1258291; // 1.2 MiB rounded down: still below the limit
    test::WriteFileBytes(m_path, std::vector<uint8_t>(kCap, 'x'));
    m_log.WriteLog("kept");
    std::string text = ReadText(m_path);
    ASSERT_EQ(text.size(), kCap + 20 + 4 + 2);
    EXPECT_EQ(text.substr(0, kCap), std::string(kCap, 'x'));
    EXPECT_EQ(text.substr(kCap + 20), "kept\r\n");

    test::WriteFileBytes(m_path, std::vector<uint8_t>(kCap + 1, 'x'));
    m_log.WriteLog("fresh");
    text = ReadText(m_path);
    ASSERT_EQ(text.size(), 20u + 5 + 2) << "only the new line survives";
    EXPECT_EQ(text.substr(20), "fresh\r\n");
}

TEST_F(DiagnosticLogFileTest, UnwritablePathLosesTheLineSilently)
{
    const std::string missing = m_dir.File("no such folder/trace.log");
    m_log.DebugFile(missing);
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
