// The tavrenly program run as a user runs it: `info --json` on files made by sox and ffmpeg and
// on byte-built broken ones, `play --render` on the simulated engine checked sample for sample,
// `devices`, and the refusal of bad arguments. The file layouts the expectations are checked
// against are read here from the files' own bytes, not through the library.

#include "tests/apps/ProgramRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace tavrenly::test {
namespace {

using nlohmann::json;

// ---- the files' own bytes ----

const FileChunk* Find(const std::vector<FileChunk>& chunks, const std::string& id)
{
    const auto at = std::find_if(chunks.begin(), chunks.end(),
                                 [&](const FileChunk& chunk) { return chunk.id == id; });
    return at == chunks.end() ? nullptr : &*at;
}

json ChunksJson(const std::vector<FileChunk>& chunks)
{
    json list = json::array();
    for (const FileChunk& chunk : chunks)
        list.push_back({{"id", chunk.id}, {"offset", chunk.offset}, {"size", chunk.size}});
    return list;
}

json FormatJson(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t bytesPerSecond,
                uint16_t blockAlign, uint16_t bits, uint16_t cbSize)
{
    return {{"wFormatTag", tag},         {"nChannels", channels},
            {"nSamplesPerSec", rate},    {"nAvgBytesPerSec", bytesPerSecond},
            {"nBlockAlign", blockAlign}, {"wBitsPerSample", bits},
            {"cbSize", cbSize}};
}

/// The fmt chunk's fields as the file holds them.
json FormatOf(const Bytes& file, const FileChunk& fmt)
{
    const size_t at = fmt.offset + 8;
    return FormatJson(Le16(file, at), Le16(file, at + 2), Le32(file, at + 4), Le32(file, at + 8),
                      Le16(file, at + 12), Le16(file, at + 14),
                      fmt.size >= 18 ? Le16(file, at + 16) : 0);
}

const std::vector<std::string> kInfoKeys = {
    "file",          "header_result", "open_result", "reference_code",     "message",
    "player_errors", "format",        "data_size",   "total_audio_length", "total_blocks",
    "chunks",        "cart",          "playable"};

/// The object the program printed; fails the test when stdout is not one JSON object holding
/// the documented keys, printed in their documented order.
json Info(const TempDir& dir, const std::string& path, int& status)
{
    const Output output = RunProgram(dir, {"info", path, "--json"});
    status = output.status;
    json parsed = json::parse(output.out, nullptr, false);
    EXPECT_TRUE(parsed.is_object()) << "stdout: " << output.out << "\nstderr: " << output.err;
    EXPECT_EQ(parsed.size(), kInfoKeys.size());
    size_t last = 0;
    for (const std::string& key : kInfoKeys) {
        const size_t at = output.out.find("\"" + key + "\":");
        EXPECT_TRUE(at != std::string::npos && at >= last) << key << " missing or out of order";
        last = at == std::string::npos ? last : at;
    }
    return parsed;
}

// ---- info on files made by sox and ffmpeg ----

struct MadeFile
{
    const char* name;
    std::string command; ///< $OUT stands for the file
    uint16_t tag;
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    bool playable;
};

std::string Sox(uint32_t rate, int channels, const std::string& encoding)
{
    return "sox -q -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -n " +
           encoding + " $OUT synth 0.7 sine 440 gain -3";
}

std::string Ffmpeg(uint32_t rate, int channels, const std::string& codec)
{
    return "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=" +
           std::to_string(rate) + ":duration=0.7 -ac " + std::to_string(channels) + " " + codec +
           " $OUT";
}

std::vector<MadeFile> MadeFiles()
{
    return {
        {"Pcm16Mono8000", Sox(8000, 1, "-b 16 -e signed-integer"), 1, 1, 8000, 16, true},
        {"Pcm16Stereo44100", Sox(44100, 2, "-b 16 -e signed-integer"), 1, 2, 44100, 16, true},
        {"Pcm24Mono48000", Sox(48000, 1, "-b 24 -e signed-integer"), 0xFFFE, 1, 48000, 24, true},
        {"FfmpegPcm16Stereo48000", Ffmpeg(48000, 2, "-c:a pcm_s16le"), 1, 2, 48000, 16, true},
        {"FfmpegPcm24Mono32000", Ffmpeg(32000, 1, "-c:a pcm_s24le"), 0xFFFE, 1, 32000, 24, true},
        {"ALawMono8000", Sox(8000, 1, "-e a-law"), 6, 1, 8000, 8, true},
        {"ImaAdpcmMono22050", Sox(22050, 1, "-e ima-adpcm"), 0x11, 1, 22050, 4, true},
        {"FfmpegImaAdpcmStereo44100", Ffmpeg(44100, 2, "-c:a adpcm_ima_wav"), 0x11, 2, 44100, 4,
         true},
        {"Mp2Stereo48000", Ffmpeg(48000, 2, "-c:a mp2 -b:a 256k"), 0x50, 2, 48000, 0, true},
        // 24-bit stereo at 96 kHz is 576000 bytes a second: more than playback takes.
        {"Pcm24Stereo96000", Sox(96000, 2, "-b 24 -e signed-integer"), 0xFFFE, 2, 96000, 24, false},
    };
}

class InfoOnMadeFilesTest : public ::testing::TestWithParam<MadeFile>
{
protected:
    TempDir dir;
};

TEST_P(InfoOnMadeFilesTest, DescribesTheFileAsItsBytesStandAndSaysWhetherItPlays)
{
    const MadeFile& made = GetParam();
    const std::string path = dir.File("made.wav");
    std::string command = made.command;
    command.replace(command.find("$OUT"), 4, Quoted(path));
    RunOrFail(command);
    const Bytes bytes = ReadFileBytes(path);
    const std::vector<FileChunk> chunks = ChunksOf(bytes);
    const FileChunk* fmt = Find(chunks, "fmt ");
    const FileChunk* data = Find(chunks, "data");
    ASSERT_NE(fmt, nullptr);
    ASSERT_NE(data, nullptr);
    const json format = FormatOf(bytes, *fmt);
    ASSERT_EQ(format["wFormatTag"], made.tag) << "the tool wrote another layout than expected";
    ASSERT_EQ(format["nChannels"], made.channels);
    ASSERT_EQ(format["nSamplesPerSec"], made.rate);
    ASSERT_EQ(format["wBitsPerSample"], made.bits);

    int status = -1;
    const json info = Info(dir, path, status);
    ASSERT_TRUE(info.is_object());
    EXPECT_EQ(info["file"], path);
    EXPECT_EQ(info["header_result"], 0);
    EXPECT_EQ(info["format"], format);
    EXPECT_EQ(info["data_size"], data->size);
    // An IMA ADPCM file's length goes by its blocks: writers store other byte rates (ffmpeg
    // always 16000).
    double bytesPerSecond = format["nAvgBytesPerSec"].get<double>();
    if (made.tag == 0x11 && fmt->size >= 20)
        bytesPerSecond = double(made.rate) * format["nBlockAlign"].get<double>() /
                         Le16(bytes, fmt->offset + 8 + 18);
    EXPECT_NEAR(info["total_audio_length"].get<double>(), data->size / bytesPerSecond, 1e-4);
    // Whole blocks, rounded to the nearest: an MP2 stream's last frame may be short.
    EXPECT_EQ(info["total_blocks"],
              std::llrint(static_cast<double>(data->size) / format["nBlockAlign"].get<double>()));
    EXPECT_EQ(info["chunks"], ChunksJson(chunks));
    EXPECT_EQ(info["cart"], nullptr);
    if (made.playable) {
        EXPECT_EQ(info["open_result"], 0);
        EXPECT_EQ(info["reference_code"], nullptr);
        EXPECT_EQ(info["message"], nullptr);
        EXPECT_EQ(info["player_errors"], json::array());
        EXPECT_EQ(info["playable"], true);
        EXPECT_EQ(status, 0);
    } else {
        EXPECT_EQ(info["open_result"], -1);
        EXPECT_EQ(info["reference_code"], 3);
        EXPECT_EQ(info["message"],
                  "The header information in the audio file: " + path +
                      " is corrupt.\nThe details are 96000Hz, 2 channels, 24 bits, format tag "
                      "65534, and the reference code was 3");
        EXPECT_EQ(info["player_errors"], json::array({-1}));
        EXPECT_EQ(info["playable"], false);
        EXPECT_EQ(status, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, InfoOnMadeFilesTest, ::testing::ValuesIn(MadeFiles()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- info on byte-built files that do not play: one row for each way the report is filled
// (the player's own tests hold every refusal) ----

struct Refused
{
    const char* name;
    std::optional<Bytes> bytes; ///< nullopt: no file at all
    int32_t headerResult;
    int32_t openResult;
    std::optional<int32_t> referenceCode;
    std::string message; ///< "%s" stands for the path
    json format;
    uint32_t dataSize;
    size_t playerErrors = 1; ///< PlayerError events, each with openResult
};

std::string Corrupt(const std::string& details)
{
    return "The header information in the audio file: %s is corrupt.\nThe details are " + details;
}

std::vector<Refused> RefusedFiles()
{
    const Bytes data(4000, 1);
    const json noFormat = FormatJson(0, 0, 0, 0, 0, 0, 0);
    const json pcm = FormatJson(1, 2, 44100, 176400, 4, 16, 0);
    const std::string notFound = "The audio information could not be found in the wave file";
    return {
        {"Missing", std::nullopt, -1, -1, std::nullopt, "The file: %s did not exist", noFormat, 0},
        {"NotRiff", RiffBytes({{"fmt ", PcmFmt()}, {"data", data}}, "RIFX"), 265, -1, std::nullopt,
         "The header in the audio file: %s could not be read, and the code was 265", noFormat, 0},
        {"NoDataChunk", RiffBytes({{"fmt ", PcmFmt()}, {"LIST", {'I', 'N', 'F', 'O'}}}), 0, 265,
         std::nullopt, notFound, pcm, 0},
        {"RateNotAccepted",
         RiffBytes({{"fmt ", FmtBody(1, 2, 16000, 64000, 4, 16)}, {"data", data}}), 0, -1, 1,
         Corrupt("16000Hz, 2 channels, 16 bits, format tag 1, and the reference code was 1"),
         FormatJson(1, 2, 16000, 64000, 4, 16, 0), 4000},
        // A codec exists but cannot stream from a data chunk: refused at open, never played.
        {"FlacInsideWave",
         RiffBytes({{"fmt ", FmtBody(0xF1AC, 2, 44100, 176400, 4, 16)}, {"data", data}}), 0, 512,
         std::nullopt, "The codec manager cannot perform this conversion.",
         FormatJson(0xF1AC, 2, 44100, 176400, 4, 16, 0), 4000, 2},
        {"FormatChunkOfSizeZero", RiffBytes({{"fmt ", {}}, {"data", data}}), 0, -1, 1,
         Corrupt("0Hz, 0 channels, 0 bits, format tag 0, and the reference code was 1"), noFormat,
         0},
    };
}

class InfoOnRefusedFilesTest : public ::testing::TestWithParam<Refused>
{
protected:
    TempDir dir;
};

TEST_P(InfoOnRefusedFilesTest, ReportsTheCodesTheMessageAndExitsOne)
{
    const Refused& r = GetParam();
    const std::string path = dir.File("bad.wav");
    if (r.bytes)
        WriteFileBytes(path, *r.bytes);
    int status = -1;
    const json info = Info(dir, path, status);
    ASSERT_TRUE(info.is_object());

    std::string message = r.message;
    if (const size_t at = message.find("%s"); at != std::string::npos)
        message.replace(at, 2, path);
    EXPECT_EQ(info["header_result"], r.headerResult);
    EXPECT_EQ(info["open_result"], r.openResult);
    EXPECT_EQ(info["reference_code"], r.referenceCode ? json(*r.referenceCode) : json(nullptr));
    EXPECT_EQ(info["message"], message);
    EXPECT_EQ(info["player_errors"], json(std::vector<int32_t>(r.playerErrors, r.openResult)));
    EXPECT_EQ(info["format"], r.format);
    EXPECT_EQ(info["data_size"], r.dataSize);
    const double bytesPerSecond = r.format["nAvgBytesPerSec"].get<double>();
    EXPECT_NEAR(info["total_audio_length"].get<double>(),
                bytesPerSecond > 0 ? r.dataSize / bytesPerSecond : 0.0, 1e-4);
    const uint32_t blockAlign = r.format["nBlockAlign"].get<uint32_t>();
    // Rounded to the nearest block as the player counts them: 4000 / 6 is 667.
    EXPECT_EQ(info["total_blocks"],
              blockAlign > 0 ? std::llrint(static_cast<double>(r.dataSize) / blockAlign) : 0);
    const bool riff =
        r.bytes && r.bytes->size() >= 4 && std::memcmp(r.bytes->data(), "RIFF", 4) == 0;
    EXPECT_EQ(info["chunks"], riff ? ChunksJson(ChunksOf(*r.bytes)) : json::array());
    EXPECT_EQ(info["cart"], nullptr);
    EXPECT_EQ(info["playable"], false);
    EXPECT_EQ(status, 1);
}

INSTANTIATE_TEST_SUITE_P(ByteBuilt, InfoOnRefusedFilesTest, ::testing::ValuesIn(RefusedFiles()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the cart chunk ----

Bytes CartBody(const std::string& title, const std::string& artist, const std::string& cutId,
               int32_t levelReference)
{
    Bytes body(2048, 0);
    const auto put = [&](size_t at, const std::string& text) {
        std::memcpy(body.data() + at, text.data(), text.size());
    };
    put(0, "0101");
    put(4, title);
    put(68, artist);
    put(132, cutId);
    const auto level = static_cast<uint32_t>(levelReference);
    for (size_t i = 0; i < 4; ++i)
        body[680 + i] = static_cast<uint8_t>(level >> (8 * i));
    put(1024, "https://example.org/cut");
    return body;
}

TEST(InfoCartTest, CartFieldsAndEveryChunkInFileOrderWithOddSizesPadded)
{
    TempDir dir;
    const std::string path = dir.File("cart.wav");
    // A 64-byte title fills its field with no terminator; an odd LIST chunk moves what follows.
    const std::string title(64, 'T');
    const Bytes list{'I', 'N', 'F', 'O', 'x'};
    const Bytes file = RiffBytes({{"fmt ", PcmFmt()},
                                  {"cart", CartBody(title, "The Artist", "CUT-0042", -12000)},
                                  {"LIST", list},
                                  {"data", Bytes(17640, 0)}});
    WriteFileBytes(path, file);
    int status = -1;
    const json info = Info(dir, path, status);
    ASSERT_TRUE(info.is_object());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(info["playable"], true);
    EXPECT_EQ(info["chunks"], json::parse(R"([{"id":"fmt ","offset":12,"size":16},
                                               {"id":"cart","offset":36,"size":2048},
                                               {"id":"LIST","offset":2092,"size":5},
                                               {"id":"data","offset":2106,"size":17640}])"));
    EXPECT_EQ(info["data_size"], 17640);
    EXPECT_NEAR(info["total_audio_length"].get<double>(), 0.1, 1e-6);
    EXPECT_EQ(info["total_blocks"], 4410);
    const json& cart = info["cart"];
    ASSERT_TRUE(cart.is_object());
    EXPECT_EQ(cart["Version"], "0101");
    EXPECT_EQ(cart["Title"], title);
    EXPECT_EQ(cart["Artist"], "The Artist");
    EXPECT_EQ(cart["CutID"], "CUT-0042");
    EXPECT_EQ(cart["ClientID"], "");
    EXPECT_EQ(cart["LevelReference"], -12000);
    EXPECT_EQ(cart["URL"], "https://example.org/cut");
}

// ---- play --render ----

struct Rendered
{
    json format;
    Bytes data;
};

Rendered ReadRendered(const std::string& path)
{
    const Bytes bytes = ReadFileBytes(path);
    const std::vector<FileChunk> chunks = ChunksOf(bytes);
    const FileChunk* fmt = Find(chunks, "fmt ");
    if (fmt == nullptr) {
        ADD_FAILURE() << path << " is not a WAVE file with a format";
        return {};
    }
    return {FormatOf(bytes, *fmt), ChunkBody(bytes, "data")};
}

class RenderTest : public ::testing::Test
{
protected:
    Output Play(const std::string& file, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"play", file, "--engine", "simulated", "--render", out};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProgram(dir, args);
    }

    TempDir dir;
    std::string out = dir.File("out.wav");
};

TEST_F(RenderTest, PcmAtThePlaybackFormatIsRenderedByteForByte)
{
    const std::string item = dir.File("item.wav");
    RunOrFail("sox -q -r 44100 -c 2 -n -b 16 " + Quoted(item) +
              " synth 2.3 sine 300-3000 sine 2500-200 gain -6");
    const Output output = Play(item, {"--quiet"});
    ASSERT_EQ(output.status, 0) << output.err;
    EXPECT_EQ(output.out, "");
    const Rendered rendered = ReadRendered(out);
    EXPECT_EQ(rendered.format, FormatJson(1, 2, 44100, 176400, 4, 16, 0));
    const Bytes expected = DataChunkBytes(item);
    ASSERT_EQ(rendered.data.size(), expected.size());
    EXPECT_TRUE(rendered.data == expected) << "the rendered samples differ from the file's";
}

TEST_F(RenderTest, StandardOutputAndAFifoGetAStreamAndTheNullDeviceIsAccepted)
{
    const std::string item = dir.File("item.wav");
    RunOrFail("sox -q -r 44100 -c 2 -n -b 16 " + Quoted(item) + " synth 1.3 sine 440 gain -6");
    const Output piped =
        RunShell(dir, ProgramCommand(dir, {"play", item, "--render", "-", "--events"}) + " | cat");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_NE(piped.err.find("AudioEndReached"), std::string::npos) << "events leave stdout";
    // RIFF, fmt (18), cart (2048), data: the two sizes say "to the end of the stream".
    constexpr size_t kHeader = 12 + 8 + 18 + 8 + 2048 + 8;
    const Bytes bytes(piped.out.begin(), piped.out.end());
    ASSERT_GT(bytes.size(), kHeader);
    EXPECT_EQ(piped.out.substr(0, 4) + piped.out.substr(8, 8), "RIFFWAVEfmt ");
    EXPECT_EQ(piped.out.substr(kHeader - 8, 8), std::string("data\xff\xff\xff\xff"));
    EXPECT_TRUE(Bytes(bytes.begin() + kHeader, bytes.end()) == DataChunkBytes(item));

    // A FIFO is written as the same stream once something reads it.
    const std::string fifo = dir.File("fifo");
    const Output fed =
        RunShell(dir, "mkfifo " + Quoted(fifo) + " && { cat " + Quoted(fifo) + " > got.wav & " +
                          ProgramCommand(dir, {"play", item, "--render", fifo}) + "; wait; }");
    ASSERT_EQ(fed.status, 0) << fed.err;
    const Bytes got = ReadFileBytes(dir.File("got.wav"));
    ASSERT_GT(got.size(), kHeader);
    EXPECT_TRUE(Bytes(got.begin(), got.begin() + kHeader) ==
                Bytes(bytes.begin(), bytes.begin() + kHeader));
    EXPECT_TRUE(Bytes(got.begin() + kHeader, got.end()) == DataChunkBytes(item));
    out = "/dev/null";
    EXPECT_EQ(Play(item, {"--quiet"}).status, 0);
}

// The player's own tests hear loops and fades sample for sample; here the options reach it.
TEST_F(RenderTest, LoopAndFadeOptionsReachThePlayer)
{
    const std::string counter = dir.File("counter.wav");
    WriteCounterWave(counter, 3);
    Output output = Play(counter, {"--loop", "1:1.75:2", "--events"});
    ASSERT_EQ(output.status, 0) << output.err;
    const std::vector<int32_t> played = CounterFramesIn(ReadRendered(out).data);
    ASSERT_EQ(played.size(), 3u * 44100 + 2 * 33075);
    EXPECT_EQ(played[77175], 44100) << "the first pass jumps back at 1.75 s to 1 s";
    EXPECT_EQ(played.back(), 3 * 44100 - 1);
    std::vector<std::string> loopEvents;
    std::istringstream lines(output.out);
    for (std::string line; std::getline(lines, line);) {
        for (const char* name : {"LoopRestart", "LoopCompleted"})
            if (line.find(name) != std::string::npos)
                loopEvents.emplace_back(name);
    }
    EXPECT_EQ(loopEvents,
              (std::vector<std::string>{"LoopRestart", "LoopRestart", "LoopCompleted"}));

    // A fade from 1 s to 3 s down to 0 on the fast-start curve (mode 2): full before it, 14.6 %
    // of the level halfway (the curve at 50), silent after it.
    const std::string level = dir.File("level.wav");
    WriteFileBytes(level, PcmWave(ConstantFrames(4 * 44100, 30000)));
    output = Play(level, {"--fade", "1:2:100:0", "--fade-mode", "2", "--quiet"});
    ASSERT_EQ(output.status, 0) << output.err;
    const std::vector<int16_t> left = LeftSamples(ReadRendered(out).data);
    ASSERT_EQ(left.size(), 4u * 44100);
    EXPECT_EQ(left[44099], 30000);
    EXPECT_NEAR(left[2 * 44100], 30000 * (1 - std::log(51.0) / std::log(100.0)), 2);
    EXPECT_LE(*std::max_element(left.begin() + 3 * 44100, left.end()), 1);
}

TEST_F(RenderTest, AFileThatDoesNotOpenExitsOneWithThePlayersMessage)
{
    const std::string missing = dir.File("missing.wav");
    const Output output = Play(missing);
    EXPECT_EQ(output.status, 1);
    EXPECT_NE(output.err.find("The file: " + missing + " did not exist"), std::string::npos)
        << output.err;
    EXPECT_NE(output.err.find("tavrenly: " + missing + " did not open (code -1)"),
              std::string::npos)
        << output.err;
    EXPECT_FALSE(std::filesystem::exists(out)) << "nothing was played, nothing is written";
}

// ---- devices and arguments ----

TEST(DevicesCommandTest, ListsTheDefaultOutputAsDeviceZero)
{
    TempDir dir;
    const Output output = RunProgram(dir, {"devices"});
    EXPECT_EQ(output.status, 0) << output.err;
    EXPECT_EQ(output.out.rfind("Output devices (WaveOutDeviceNumber):\n  0  ", 0), 0u)
        << output.out;
    EXPECT_NE(output.out.find(" (default)\n"), std::string::npos) << output.out;
    EXPECT_NE(output.out.find("Input devices:\n"), std::string::npos) << output.out;
}

TEST(DemoCommandTest, PlaysTheJingleWithItsLoopAndFadeToTheEndInVirtualTime)
{
    TempDir dir;
    const Output output = RunProgram(dir, {"demo", "--engine", "simulated", "--quiet"});
    EXPECT_EQ(output.status, 0) << output.err;
    EXPECT_NE(output.out.find("Done: ended at 10.000 s, 1 loop restart(s)"), std::string::npos)
        << output.out;
    EXPECT_TRUE(std::filesystem::exists(dir.File("tavrenly-demo/jingle.wav")));
}

} // namespace
} // namespace tavrenly::test
