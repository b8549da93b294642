// SPDX-License-Identifier: LGPL-2.1-or-later

// The tavrenly program run as a user runs it: `info --json` on files made by sox and ffmpeg and
// on one that does not play, `play --render` on the simulated engine checked sample for
// sample, and `demo`. The file layouts the expectations are checked against are read here
// from the files' own bytes, not through the library.

#include "tests/apps/ProgramRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tavrenly::test {
namespace {

using nlohmann::json;

const FileChunk* Find(const std::vector<FileChunk>& chunks, const std::string& id)
{
    const auto at = std::find_if(chunks.begin(), chunks.end(),
                                 [&](const FileChunk& chunk) { return chunk.id == id; });
    return at == chunks.end() ? nullptr : &*at;
}

/// The fmt chunk's fields as the file holds them; all zero when there is no whole record.
json FormatOf(const Bytes& file, const FileChunk* fmt)
{
    const bool whole = fmt != nullptr && fmt->size >= 16;
    const auto field = [&](size_t at, size_t size) -> uint32_t {
        if (!whole || (at == 16 && fmt->size < 18))
            return 0;
        return size == 2 ? Le16(file, fmt->offset + 8 + at) : Le32(file, fmt->offset + 8 + at);
    };
    return {{"wFormatTag", field(0, 2)},     {"nChannels", field(2, 2)},
            {"nSamplesPerSec", field(4, 4)}, {"nAvgBytesPerSec", field(8, 4)},
            {"nBlockAlign", field(12, 2)},   {"wBitsPerSample", field(14, 2)},
            {"cbSize", field(16, 2)}};
}

/// One file `info` reports on. Its format, data size, length, blocks and chunks are expected
/// as the file's own bytes hold them.
struct InfoCase
{
    const char* name;
    std::string command; ///< the tool that makes the file ($OUT); empty: `bytes`
    std::optional<Bytes> bytes{};
    int32_t headerResult = 0;
    int32_t openResult = 0;
    std::string message{};   ///< "%s" stands for the path; empty: none
    size_t playerErrors = 0; ///< PlayerError events, each with openResult
};

std::vector<InfoCase> InfoCases()
{
    const std::string ffmpeg = "ffmpeg -nostdin -v error -y -f lavfi -i "
                               "sine=frequency=440:duration=0.7:sample_rate=";
    // The header reader's own tests read every format the tools make and odd chunks, and the
    // player's tests the length of each codec and every refusal; here a tool's PCM file, the
    // rounded blocks of an MP2 stream and a file that is not a wave file.
    return {
        {"Pcm16Stereo44100",
         "sox -q -n -c 2 -e signed-integer -b 16 -r 44100 $OUT synth 0.7 sine 440 gain -3"},
        {"Mp2Stereo48000", ffmpeg + "48000 -ac 2 -c:a mp2 -b:a 256k $OUT"},
        {"NotRiff", "", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, 265, -1,
         "The header in the audio file: %s could not be read, and the code was 265", 1},
    };
}

// Every file in one run: one JSON object a line, and the worst status.
TEST(InfoTest, DescribesEachFileAsItsBytesStandAndSaysWhetherItPlays)
{
    TempDir dir;
    const std::vector<InfoCase> cases = InfoCases();
    std::vector<std::string> args{"info", "--json"};
    for (const InfoCase& c : cases) {
        args.push_back(dir.File(std::string(c.name) + ".wav"));
        std::string command = c.command;
        if (!command.empty())
            RunOrFail(command.replace(command.find("$OUT"), 4, Quoted(args.back())));
        else if (c.bytes)
            WriteFileBytes(args.back(), *c.bytes);
    }
    const Output output = RunProgram(dir, args);
    EXPECT_EQ(output.status, 1) << "some files do not play";
    std::istringstream lines(output.out);
    for (size_t i = 0; i < cases.size(); ++i) {
        const InfoCase& c = cases[i];
        const std::string& path = args[i + 2];
        SCOPED_TRACE(c.name);
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << output.err;
        const json info = json::parse(line, nullptr, false);
        ASSERT_TRUE(info.is_object()) << line;

        const Bytes bytes = ReadFileBytes(path);
        const std::vector<FileChunk> chunks = ChunksOf(bytes);
        const FileChunk* fmt = Find(chunks, "fmt ");
        const FileChunk* data = Find(chunks, "data");
        const json format = FormatOf(bytes, c.headerResult == 0 ? fmt : nullptr);
        // No data size is read without a whole format record.
        const bool whole = c.headerResult == 0 && fmt != nullptr && fmt->size >= 16;
        const uint32_t dataSize = whole && data != nullptr ? data->size : 0;
        std::string message = c.message;
        if (const size_t at = message.find("%s"); at != std::string::npos)
            message.replace(at, 2, path);
        EXPECT_EQ(info["file"], path);
        EXPECT_EQ(info["header_result"], c.headerResult);
        EXPECT_EQ(info["open_result"], c.openResult);
        EXPECT_EQ(info["reference_code"], nullptr);
        EXPECT_EQ(info["message"], message.empty() ? json(nullptr) : json(message));
        EXPECT_EQ(info["player_errors"], json(std::vector<int32_t>(c.playerErrors, c.openResult)));
        EXPECT_EQ(info["format"], format);
        EXPECT_EQ(info["data_size"], dataSize);
        const double bytesPerSecond = format["nAvgBytesPerSec"].get<double>();
        EXPECT_NEAR(info["total_audio_length"].get<double>(),
                    bytesPerSecond > 0 ? dataSize / bytesPerSecond : 0.0, 1e-4);
        // Whole blocks, rounded to the nearest (4000 / 6 is 667): an MP2 stream's last frame may
        // be short.
        const auto blockAlign = format["nBlockAlign"].get<double>();
        EXPECT_EQ(info["total_blocks"], blockAlign > 0 ? std::llrint(dataSize / blockAlign) : 0);
        json walked = json::array();
        for (const FileChunk& chunk : chunks)
            walked.push_back({{"id", chunk.id}, {"offset", chunk.offset}, {"size", chunk.size}});
        EXPECT_EQ(info["chunks"], walked);
        EXPECT_EQ(info["cart"], nullptr);
        EXPECT_EQ(info["playable"], c.openResult == 0);
    }
}

// The render to a file and to standard output, with the fade options reaching the
// player (its own tests hear fades sample for sample, and the several-item play test hears the
// loop option and the render to a file frame by frame).
// What is no file to read is named for what it is, without reading it: a FIFO is never
// opened (the read would wait for a writer).
TEST(InfoTest, WhatIsNoFileIsNamedAndNothingIsRead)
{
    TempDir dir;
    std::filesystem::create_directory(dir.File("folder.wav"));
    WriteFileBytes(dir.File("empty.wav"), {});
    ASSERT_EQ(mkfifo(dir.File("fifo.wav").c_str(), 0600), 0);
    const std::pair<const char*, const char*> rows[] = {{"folder.wav", "is a folder"},
                                                        {"empty.wav", "is empty"},
                                                        {"fifo.wav", "is not a regular file"},
                                                        {"missing.wav", "does not exist"}};
    std::vector<std::string> args{"info", "--json"};
    for (const auto& [name, problem] : rows)
        args.push_back(dir.File(name));
    const Output lines = RunProgram(dir, args);
    args.erase(args.begin() + 1);
    const Output text = RunProgram(dir, args);
    EXPECT_EQ(std::pair(lines.status, text.status), std::pair(1, 1));
    std::istringstream objects(lines.out);
    for (const auto& [name, problem] : rows) {
        SCOPED_TRACE(name);
        std::string line;
        ASSERT_TRUE(std::getline(objects, line));
        const json info = json::parse(line);
        EXPECT_EQ(info["problem"], problem);
        EXPECT_EQ(info["playable"], false);
        EXPECT_NE(text.out.find("Problem       " + dir.File(name) + " " + problem +
                                "\nPlays         no\n"),
                  std::string::npos)
            << text.out;
    }
}

TEST(RenderTest, PcmIsRenderedByteForByteAndTheFadeOptionsReachThePlayer)
{
    TempDir dir;
    const std::string item = dir.File("item.wav");
    const Bytes expected = WriteCounterWave(item, 2.3);
    const auto play = [&](const std::string& file, const std::string& out,
                          std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"play", file, "--engine", "simulated", "--render", out});
        return extra;
    };
    const Output piped =
        RunShell(dir, ProgramCommand(dir, play(item, "-", {"--events"})) + " | cat");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_NE(piped.err.find("AudioEndReached"), std::string::npos) << "events leave stdout";
    // RIFF, fmt (18), cart (2048), data: the two sizes say "to the end of the stream".
    constexpr size_t kHeader = 12 + 8 + 18 + 8 + 2048 + 8;
    const Bytes bytes(piped.out.begin(), piped.out.end());
    ASSERT_GT(bytes.size(), kHeader);
    EXPECT_EQ(piped.out.substr(0, 4) + piped.out.substr(8, 8), "RIFFWAVEfmt ");
    EXPECT_EQ(ChunkBody(bytes, "fmt "), FmtBody(1, 2, 44100, 176400, 4, 16, 18));
    EXPECT_EQ(piped.out.substr(kHeader - 8, 8), std::string("data\xff\xff\xff\xff"));
    EXPECT_TRUE(Bytes(bytes.begin() + kHeader, bytes.end()) == expected);

    // A fade from 1 s to 3 s down to 0 on the fast-start curve (mode 2): full before it, 14.6 %
    // of the level halfway (the curve at 50), silent after it.
    const std::string level = dir.File("level.wav");
    WriteFileBytes(level, PcmWave(ConstantFrames(4 * 44100, 30000)));
    const Output faded = RunProgram(
        dir, play(level, "out.wav", {"--fade", "1:2:100:0", "--fade-mode", "2", "--quiet"}));
    ASSERT_EQ(faded.status, 0) << faded.err;
    EXPECT_EQ(faded.out, "");
    const std::vector<int16_t> left = Samples16(DataChunkBytes(dir.File("out.wav")), 2);
    ASSERT_EQ(left.size(), 4u * 44100);
    EXPECT_EQ(left[44099], 30000);
    EXPECT_NEAR(left[2 * 44100], 30000 * (1 - std::log(51.0) / std::log(100.0)), 2);
    EXPECT_LE(*std::max_element(left.begin() + 3 * 44100, left.end()), 1);

    // A data chunk that ends inside a frame: the engine gets its whole frames and never the
    // part (a partial frame would shift every channel of whatever the device plays next).
    struct Cut
    {
        uint16_t channels;
        size_t dataBytes;
    };
    for (const Cut cut : {Cut{1, 3}, Cut{2, 176401}, Cut{2, 7}}) {
        SCOPED_TRACE(cut.dataBytes);
        Bytes data(cut.dataBytes);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7 + 1);
        const std::string cutFile = dir.File("cut.wav");
        WriteFileBytes(cutFile, PcmWave(data, 44100, cut.channels));
        const Output rendered =
            RunProgram(dir, play(cutFile, "cut-out.wav",
                                 {"--channels", std::to_string(cut.channels), "--quiet"}));
        ASSERT_EQ(rendered.status, 0) << rendered.err;
        const size_t whole = cut.dataBytes / (2u * cut.channels) * (2u * cut.channels);
        data.resize(whole);
        EXPECT_TRUE(DataChunkBytes(dir.File("cut-out.wav")) == data);
    }
}

// The README's main job: the jingle with its loop and fade, to the end in virtual time.
TEST(ProgramCommandsTest, TheDemoPlaysToItsEnd)
{
    TempDir dir;
    const Output demo = RunProgram(dir, {"demo", "--engine", "simulated", "--quiet"});
    EXPECT_EQ(demo.status, 0) << demo.err;
    EXPECT_NE(demo.out.find("Done: ended at 10.000 s, 1 loop restart(s)"), std::string::npos)
        << demo.out;
    EXPECT_TRUE(std::filesystem::exists(dir.File("tavrenly-demo/jingle.wav")));
}

struct TerminalRun
{
    int status = -1; ///< the exit status, or 100 + the signal that stopped the program
    std::string out; ///< what reached the terminal
};

/// Runs the program on a pseudo-terminal of its own session, as a shell with job control runs
/// a job: in the terminal's foreground process group, or in a group of its own (`&`).
TerminalRun RunOnTerminal(const TempDir& dir, const std::vector<std::string>& args, bool background)
{
    const std::string command =
        "cd " + Quoted(dir.Path().string()) + " && exec env " + ProgramCommand(dir, args);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return {};
    const std::string terminal = ptsname(master);
    const pid_t session = fork();
    if (session == 0) {
        // The session leader plays the shell: the terminal is its, and its group the
        // foreground one.
        setsid();
        const int slave = open(terminal.c_str(), O_RDWR);
        const pid_t job = fork();
        if (job == 0) {
            if (background)
                setpgid(0, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(job, &status, WUNTRACED);
        if (WIFSTOPPED(status)) {
            kill(job, SIGKILL);
            _exit(100 + WSTOPSIG(status));
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    }
    TerminalRun run;
    char bytes[4096];
    // The terminal reads as ended (EIO) once the session has closed it.
    for (ssize_t got; (got = read(master, bytes, sizeof bytes)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        run.out.append(bytes, static_cast<size_t>(got));
    }
    close(master);
    int status = 0;
    waitpid(session, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// On a terminal the item plays with its live line and keys; a job in the background neither
// changes the terminal's modes nor draws there (either would stop it, SIGTTOU), and plays to
// its end as with its output to a file.
TEST(TerminalJobTest, ABackgroundJobPlaysToItsEndWithoutTheTerminal)
{
    TempDir dir;
    WriteCounterWave(dir.File("item.wav"), 0.5);
    for (const bool background : {false, true}) {
        SCOPED_TRACE(background ? "background" : "foreground");
        const TerminalRun run =
            RunOnTerminal(dir, {"play", "item.wav", "--engine", "null"}, background);
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(run.out.find("\033[K") != std::string::npos, !background) << run.out;
    }
}

} // namespace
} // namespace tavrenly::test
