// SPDX-License-Identifier: LGPL-2.1-or-later

// Recorded files: their exact chunk layout and sizes and how close their audio is to what was
// captured; where the written file lives for each start flag; and the cart record's text
// fields, laid out byte for byte or refused whole when they do not fit.

#include "tests/recorder/RecorderFixture.h"

#include "platform/base/WaveFormat.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fmt/format.h>
#include <functional>
#include <optional>
#include <tuple>

#include <sys/stat.h>

namespace tavrenly::test {
namespace {

namespace fs = std::filesystem;

struct FileCase
{
    const char* name;
    int32_t captureRate;
    int16_t captureChannels;
    int32_t fileRate;
    int16_t fileChannels;
    uint16_t tag;
    double minSnrDb;      ///< 0 = the data must equal the captured bytes
    size_t maxLagFrames;  ///< codec delay: frames the decoded file may hold beyond the capture
    int32_t bufferMs = 0; ///< engine buffer length and count; 0 keeps the defaults
    int16_t buffers = 0;
};

class RecordedFileTest : public testing::TestWithParam<FileCase>
{};

/// Signal-to-noise ratio in dB of every channel of `decoded` against the 440 Hz sine of half
/// full scale at the phase that fits it best (a codec's delay only shifts it), leaving 2048
/// frames out at either end.
double ShiftedSineSnr(const std::vector<int16_t>& decoded, int channels, int32_t rate)
{
    const size_t frames = decoded.size() / size_t(channels);
    if (frames < 3 * 2048)
        return -100.0;
    const double w = 2 * M_PI * 440.0 / rate;
    double sine = 0, cosine = 0;
    for (size_t n = 2048; n < frames - 2048; ++n) {
        sine += decoded[n * size_t(channels)] * std::sin(w * double(n));
        cosine += decoded[n * size_t(channels)] * std::cos(w * double(n));
    }
    const double phase = std::atan2(cosine, sine);
    double signal = 0, noise = 0;
    for (size_t i = 2048 * size_t(channels); i < (frames - 2048) * size_t(channels); ++i) {
        const double ideal = 0.5 * 32767 * std::sin(w * double(i / size_t(channels)) + phase);
        signal += ideal * ideal;
        noise += (decoded[i] - ideal) * (decoded[i] - ideal);
    }
    return 10 * std::log10(signal / std::max(noise, 1e-30));
}

TEST_P(RecordedFileTest, HasTheRecordingLayoutAndTheCapturedAudio)
{
    const FileCase& c = GetParam();
    RecorderHarness h;
    h.recorder->SampleRate(c.captureRate);
    h.recorder->NumberChannels(c.captureChannels);
    int16_t cache = 0; // every buffer goes to the disk as it comes
    h.recorder->NumberCacheSeconds(cache);
    if (c.bufferMs > 0) {
        h.recorder->WaveBufferLengthms(c.bufferMs);
        h.recorder->NumberWaveRecordBuffers(c.buffers);
    }
    h.engine->CaptureSine(440.0, 0.5);
    const std::string path = h.dir.File("take.wav");
    ASSERT_EQ(h.Start("take.wav", c.fileRate, c.fileChannels, static_cast<int16_t>(c.tag)), 0);
    const Bytes format(h.recorder->State().pFormat,
                       h.recorder->State().pFormat + h.recorder->State().FormatSize);
    h.Run(1050);
    ASSERT_EQ(h.Close(), 0);
    const Bytes file = ReadFileBytes(path);
    const auto chunks = ChunksOf(file);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].id + chunks[1].id + chunks[2].id, "fmt cartdata");
    EXPECT_EQ(Le32(file, 4), file.size() - 8);
    EXPECT_EQ(ChunkBody(file, "fmt "), format);
    const Bytes cart = ChunkBody(file, "cart");
    EXPECT_EQ(std::string(cart.begin(), cart.end()), "0101" + std::string(2044, '\0'));
    const Bytes data = ChunkBody(file, "data");
    ASSERT_GT(data.size(), 0u);
    EXPECT_EQ(file.size(), chunks[2].offset + 8 + data.size() + (data.size() & 1))
        << "odd sizes are padded";

    const size_t capturedFrames = h.listener.written.size() / (2u * c.captureChannels);
    if (c.minSnrDb == 0) {
        EXPECT_EQ(data, h.listener.written);
        return;
    }
    RunOrFail("ffmpeg -v error -y -i '" + path + "' -f s16le -acodec pcm_s16le '" + path + ".raw'");
    const std::vector<int16_t> decoded = Samples16(ReadFileBytes(path + ".raw"));
    const double fileFrames = double(capturedFrames) * c.fileRate / c.captureRate;
    const double decodedFrames = double(decoded.size()) / c.fileChannels;
    // What the codec streams held back is drained at the close: PCM keeps every sample (within
    // the rounding of the rate change), a codec adds at most its last block.
    const double slack = c.tag == WAVE_FORMAT_PCM ? 1.0 : 2048.0;
    EXPECT_GE(decodedFrames, fileFrames - 1.0);
    EXPECT_NEAR(decodedFrames, fileFrames, slack + double(c.maxLagFrames));
    EXPECT_GE(ShiftedSineSnr(decoded, c.fileChannels, c.fileRate), c.minSnrDb);
}

INSTANTIATE_TEST_SUITE_P(
    RecorderFileTest, RecordedFileTest,
    testing::Values(
        FileCase{"Pcm44100Stereo", 44100, 2, 44100, 2, WAVE_FORMAT_PCM, 0, 0},
        FileCase{"Pcm44100To22050Mono", 44100, 2, 22050, 1, WAVE_FORMAT_PCM, 80, 2},
        FileCase{"Pcm11025MonoTo48000Stereo", 11025, 1, 48000, 2, WAVE_FORMAT_PCM, 80, 2},
        FileCase{"Gsm610", 44100, 2, 8000, 1, WAVE_FORMAT_GSM610, 25, 400},
        // Buffers shorter than one codec block, and inputs grown by the rate change: the
        // compressor must hold the partial blocks, not refuse the buffers and lose them.
        FileCase{"ImaAdpcmShortBuffers", 44100, 2, 44100, 2, WAVE_FORMAT_IMA_ADPCM, 40, 0, 5, 2},
        FileCase{"MsAdpcm11025MonoTo44100StereoShortBuffers", 11025, 1, 44100, 2, WAVE_FORMAT_ADPCM,
                 30, 2, 5, 2},
        FileCase{"Mp2", 44100, 2, 44100, 2, WAVE_FORMAT_MPEG, 40, 1200}),
    [](const testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

std::vector<fs::path> FilesIn(const fs::path& folder)
{
    return {fs::directory_iterator(folder), fs::directory_iterator()};
}

// A destination without a folder is recorded in the temporary folder (on another file system
// where there is one) and moved to the working folder by a saving close; a close that does
// not save leaves nothing anywhere. Destinations with a folder are the random host's.
TEST(RecorderFileTest, ADestinationWithoutAFolderIsMovedAcrossFileSystemsWhenSaved)
{
    for (const bool save : {true, false}) {
        RecorderHarness h;
        const fs::path work = h.dir.Path();
        std::optional<ScopedEnv> shm;
        if (fs::is_directory("/dev/shm"))
            shm.emplace("TMPDIR", "/dev/shm");
        const TempDir tempDir;
        const fs::path temp = tempDir.Path();
        const ScopedEnv tmpdir("TMPDIR", temp.c_str());
        const fs::path oldCwd = fs::current_path();
        fs::current_path(work);
        ASSERT_EQ(h.recorder->RecordAudioEx("take.wav", 44100, 2, 1, 0, 0, 0), 0);
        EXPECT_EQ(std::pair(FilesIn(temp).size(), FilesIn(work).size()), std::pair(1ul, 0ul));
        h.Run(500);
        EXPECT_EQ(h.Close(save), 0);
        EXPECT_TRUE(FilesIn(temp).empty());
        EXPECT_EQ(fs::exists(work / "take.wav"), save);
        if (save) {
            EXPECT_EQ(DataChunkBytes((work / "take.wav").string()), h.listener.written);
        }
        fs::current_path(oldCwd);
    }
}

// A name that is not a regular file (or not a name the file system can take) is refused at
// the start, before anything happens to it: nothing is deleted, created or left behind.
TEST(RecorderFileTest, NamesThatAreNotRegularFilesAreRefusedAndLeftAlone)
{
    struct Row
    {
        const char* what;
        std::function<std::string(const fs::path&)> make; ///< makes the name in the folder
        int32_t result;
    };
    const Row rows[] = {
        {"fifo", [](const fs::path& d) { return (d / "f.wav").string(); }, -1},
        {"folder", [](const fs::path& d) { return (d / "folder.wav").string(); }, -1},
        {"symbolic link", [](const fs::path& d) { return (d / "link.wav").string(); }, -1},
        {"empty name", [](const fs::path&) { return std::string(); }, -1},
        {"folder name", [](const fs::path& d) { return d.string() + "/"; }, -1},
        {"name too long",
         [](const fs::path& d) { return (d / (std::string(300, 'n') + ".wav")).string(); },
         ENAMETOOLONG},
        {"file as folder", [](const fs::path& d) { return (d / "kept.wav" / "x.wav").string(); },
         ENOTDIR},
    };
    for (const Row& row : rows) {
        RecorderHarness h;
        const fs::path dir = h.dir.Path();
        ASSERT_EQ(::mkfifo((dir / "f.wav").c_str(), 0644), 0);
        fs::create_directory(dir / "folder.wav");
        WriteText((dir / "kept.wav").string(), "kept");
        fs::create_symlink(dir / "kept.wav", dir / "link.wav");
        const auto before = FilesIn(dir);
        EXPECT_EQ(h.recorder->RecordAudioEx(row.make(dir), 44100, 2, 1, 0, 0, 0), row.result)
            << row.what;
        h.Run(200);
        EXPECT_EQ(h.recorder->Status(), ersClosed) << row.what;
        EXPECT_EQ(h.listener.StateEvents(),
                  std::vector<std::string>{
                      fmt::format("PlayerError({})", row.result == -1 ? -1 : -row.result)})
            << row.what;
        EXPECT_EQ(h.site.boxes.size(), 1u) << row.what;
        EXPECT_EQ(h.site.boxes.empty() ? "" : h.site.boxes[0].text.substr(0, 18),
                  "Cannot record to \"")
            << row.what;
        EXPECT_EQ(FilesIn(dir).size(), before.size()) << row.what;
        EXPECT_TRUE(fs::is_fifo(dir / "f.wav")) << row.what;
        EXPECT_TRUE(fs::is_directory(dir / "folder.wav")) << row.what;
        EXPECT_TRUE(fs::is_symlink(dir / "link.wav")) << row.what;
        EXPECT_EQ(ReadText((dir / "kept.wav").string()), "kept") << row.what;
    }
}

// The recording never takes a name from a file the start did not delete itself (one made
// meanwhile, another recorder's): it is kept beside it under the first free number, and the
// host is told where. A backslash is an ordinary character of a name.
TEST(RecorderFileTest, AFileThatTookTheNameMeanwhileIsNeverReplaced)
{
    struct Row
    {
        const char* name;
        std::vector<std::string> madeMeanwhile;
        std::string keptAs;
    };
    const Row rows[] = {
        {"take.wav", {"take.wav"}, "take-1.wav"},
        {"take.wav", {"take.wav", "take-1.wav"}, "take-2.wav"},
        {"take", {"take"}, "take-1"},
        {"a\\b.wav", {}, "a\\b.wav"},
    };
    for (const Row& row : rows) {
        RecorderHarness h;
        if (h.Start(row.name) != 0) {
            ADD_FAILURE() << row.name << " did not start";
            continue;
        }
        h.Run(300);
        for (const std::string& other : row.madeMeanwhile)
            WriteText(h.dir.File(other), "another file " + other);
        const int32_t expected = row.madeMeanwhile.empty() ? 0 : EEXIST;
        EXPECT_EQ(h.Close(), expected) << row.name;
        EXPECT_EQ(h.recorder->SavedFileName(), h.dir.File(row.keptAs));
        for (const std::string& other : row.madeMeanwhile)
            EXPECT_EQ(ReadText(h.dir.File(other)), "another file " + other) << row.name;
        EXPECT_EQ(DataChunkBytes(h.dir.File(row.keptAs)), h.listener.written) << row.name;
        EXPECT_EQ(FilesIn(h.dir.Path()).size(), row.madeMeanwhile.size() + 1) << row.name;
        if (expected != 0) {
            EXPECT_EQ(h.listener.StateEvents(),
                      (std::vector<std::string>{"RecordOpen", "Recording", "PlayerError(-17)",
                                                "Closed"}));
            EXPECT_EQ(h.site.boxes.size(), 1u) << row.name;
            EXPECT_NE(h.site.boxes.empty() ? std::string::npos
                                           : h.site.boxes[0].text.find(h.dir.File(row.keptAs)),
                      std::string::npos)
                << row.name;
        }
    }

    // Two recorders to one name: the second to close keeps its own audio beside the first's.
    RecorderHarness first, second;
    const std::string name = first.dir.File("take.wav");
    ASSERT_EQ(first.Start(name), 0);
    ASSERT_EQ(second.Start(name), 0);
    first.Run(300);
    second.Run(500);
    EXPECT_EQ(first.Close(), 0);
    EXPECT_EQ(second.Close(), EEXIST);
    EXPECT_EQ(DataChunkBytes(name), first.listener.written);
    EXPECT_EQ(DataChunkBytes(first.dir.File("take-1.wav")), second.listener.written);

    // One writing straight into the name keeps it: the other's start is refused, not deleting.
    RecorderHarness direct, other;
    ASSERT_EQ(direct.Start(name, 44100, 2, 1, 0, 0, erfRecordDirectToDestination), 0);
    direct.Run(300);
    EXPECT_EQ(other.Start(name), EBUSY);
    EXPECT_EQ(other.listener.StateEvents(), std::vector<std::string>{"PlayerError(-16)"});
    direct.Run(300);
    EXPECT_EQ(direct.Close(), 0);
    EXPECT_EQ(DataChunkBytes(name), direct.listener.written);
    EXPECT_EQ(other.Start(name), 0) << "a closed recording is replaced as any file";
}

TEST(RecorderCartTest, TextFieldsAreLaidOutByteForByteOrRefusedWhole)
{
    RecorderHarness h;
    // Each field at the offset a cart reader takes it from; the URL fills its field.
    const std::tuple<const char*, size_t, std::string> fields[] = {
        {"Title", 4, "News at ten"},
        {"CutID", 132, "N1000"},
        {"StartDate", 452, "2026-12-06"},
        {"EndTime", 480, "23:59:59"},
        {"URL", 1024, std::string(1024, 'u')}};
    std::string error;
    Bytes expected(2048, 0);
    std::copy_n("0101", 4, expected.begin());
    for (const auto& [name, offset, value] : fields) {
        EXPECT_EQ(h.recorder->SetCartField(name, value, error), 0) << name;
        std::copy(value.begin(), value.end(), expected.begin() + std::ptrdiff_t(offset));
    }
    const auto record = [&] {
        const auto bytes = CartChunkBytes(h.recorder->CartFields());
        return Bytes(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(record(), expected);
    // A value that does not fit is refused whole, the field left as it was.
    EXPECT_EQ(h.recorder->SetCartField("Title", std::string(65, 't'), error), -1);
    EXPECT_EQ(record(), expected);
}

} // namespace
} // namespace tavrenly::test
