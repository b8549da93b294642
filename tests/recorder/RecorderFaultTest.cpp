// What a recording keeps when the disk fills up mid-recording.

#include "tests/recorder/RecorderFixture.h"

#include "common/WaveFile.h"
#include "platform/system/System.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace tavrenly {
namespace {

using test::Bytes;

/// Caps the size of every file this process writes (a full disk without root) while it
/// lives; writes past the cap fail with EFBIG instead of raising SIGXFSZ.
struct FileSizeLimit
{
    explicit FileSizeLimit(rlim_t bytes) : handler(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limited = old;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, handler);
    }
    void (*handler)(int);
    rlimit old{};
};

constexpr int32_t kBytesPerSecond = 44100 * 4; // 16-bit stereo

// The header is on the disk before any audio. When the disk fills up, the saved file keeps
// exactly the captured audio up to the limit in whole blocks, and the host is told. (How far the
// disk may fall behind the capture is measured on recordings killed mid-way and repaired.)
TEST(RecorderFaultTest, AFullDiskKeepsTheCapturedAudioInWholeBlocks)
{
    test::RecorderHarness h;
    int16_t seconds = 1;
    h.recorder->NumberCacheSeconds(seconds);
    h.engine->CaptureNoise(0.5);
    const std::string path = h.dir.File("take.wav");
    ASSERT_EQ(h.Start(path), 0);
    const std::string temporary = h.recorder->State().TemporaryFileName;
    const uint32_t audioStart = h.recorder->State().DataChunk.dwDataOffset;
    EXPECT_EQ(GetFileLength(temporary), audioStart);
    h.Run(3000);

    // Two more flushes of the cache fit; the third is cut inside a block.
    const rlim_t limit = static_cast<rlim_t>(GetFileLength(temporary)) + 2 * kBytesPerSecond + 1001;
    {
        const FileSizeLimit full(limit);
        h.Run(5000);
        EXPECT_EQ(h.Close(), 0);
    }
    ASSERT_FALSE(h.site.boxes.empty());
    EXPECT_EQ(h.site.boxes.back().text, "Failed to write data during 'WriteAudioData'");
    EXPECT_EQ(h.listener.StateEvents(),
              (std::vector<std::string>{"RecordOpen", "Recording", "Closed"}));

    const Bytes file = test::ReadFileBytes(path);
    const uint32_t wholeBytes = (static_cast<uint32_t>(limit) - audioStart) / 4 * 4;
    WAVEFORMATEX format{};
    int32_t dataSize = 0;
    ASSERT_EQ(ReadWaveHeader(path, format, dataSize), 0);
    EXPECT_EQ(static_cast<uint32_t>(dataSize), wholeBytes);
    EXPECT_EQ(test::Le32(file, 4), audioStart + wholeBytes - 8);
    ASSERT_GE(h.listener.written.size(), wholeBytes);
    EXPECT_TRUE(std::equal(file.begin() + audioStart, file.begin() + audioStart + wholeBytes,
                           h.listener.written.begin()));
}

} // namespace
} // namespace tavrenly
