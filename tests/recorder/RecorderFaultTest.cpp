// SPDX-License-Identifier: LGPL-2.1-or-later

// What a recording keeps when the disk fills up mid-recording.

#include "tests/recorder/RecorderFixture.h"

#include "common/WaveFile.h"
#include "platform/system/System.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tavrenly {
namespace {

using test::Bytes;
using test::FileSizeLimit;

constexpr int32_t kBytesPerSecond = 44100 * 4; // 16-bit stereo; also the 1 s cache

/// `data` is `captured` with at most one run left out: the length of the run, or -1 when the
/// two differ otherwise.
int64_t GapIn(const Bytes& captured, const uint8_t* data, size_t size)
{
    if (size > captured.size())
        return -1;
    const auto gap = static_cast<int64_t>(captured.size() - size);
    const size_t same =
        std::mismatch(data, data + size, captured.begin()).first - data; // the kept start
    return std::equal(data + same, data + size, captured.end() - (size - same)) ? gap : -1;
}

// The disk fills up mid-recording (a file size limit stands in for it) and, in some rows, has
// room again later. The audio the disk takes is kept in order and in whole blocks, the cache
// is written once there is room, each fault is reported once (one box, one PlayerError, and
// one more when the close cannot flush), and the sizes describe exactly the bytes in the file.
TEST(RecorderFaultTest, AFullDiskLeavesAReportedGapAndTheFileKeepsWhatTheDiskTook)
{
    struct Row
    {
        const char* name;
        rlim_t room;          // bytes the disk takes after 3 s, beyond what it holds then
        int64_t fullMs;       // how long it stays full
        int64_t afterMs;      // recording after it has room again (-1: full until the close)
        int32_t closed;       // CloseRecording's result
        int32_t playerErrors; // PlayerError(262) raised
        bool gap;             // audio is missing between the start and the end
    };
    const Row rows[] = {
        // One more cache fits, the next only in part: it is kept and written when room comes.
        {"full for 3.5 s, then room", 2 * kBytesPerSecond + 1001, 3500, 2000, 0, 1, true},
        {"full until the close", 2 * kBytesPerSecond + 1001, 5000, -1, 262, 2, false},
        // The cache still held at the close reaches the disk only in part.
        {"full at the close", 1001, 0, -1, 262, 1, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
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
        const auto limit = static_cast<rlim_t>(GetFileLength(temporary)) + row.room;
        int32_t closed = 0;
        {
            const FileSizeLimit full(limit);
            h.Run(row.fullMs);
            if (row.afterMs < 0)
                closed = h.Close();
        }
        if (row.afterMs >= 0) {
            h.Run(row.afterMs);
            closed = h.Close();
        }
        EXPECT_EQ(closed, row.closed);
        const auto boxes = std::count_if(h.site.boxes.begin(), h.site.boxes.end(), [](auto& box) {
            return box.text == "Failed to write data during 'WriteAudioData'";
        });
        EXPECT_EQ(boxes, row.fullMs > 0 ? 1 : 0);
        std::vector<std::string> events{"RecordOpen", "Recording"};
        events.insert(events.end(), static_cast<size_t>(row.playerErrors), "PlayerError(262)");
        events.push_back("Closed");
        EXPECT_EQ(h.listener.StateEvents(), events);

        const Bytes file = test::ReadFileBytes(path);
        WAVEFORMATEX format{};
        int32_t dataSize = 0;
        ASSERT_EQ(ReadWaveHeader(path, format, dataSize), 0);
        const auto size = static_cast<uint32_t>(dataSize);
        EXPECT_EQ(size % 4, 0u);
        EXPECT_EQ(test::Le32(file, 4), audioStart + size - 8);
        ASSERT_GE(file.size(), audioStart + size);
        if (row.afterMs < 0) { // the disk's limit, in whole blocks
            EXPECT_EQ(size, (static_cast<uint32_t>(limit) - audioStart) / 4 * 4);
        }
        const int64_t gap = GapIn(h.listener.written, file.data() + audioStart, size);
        EXPECT_GE(gap, 0) << "the file's audio is the captured audio with one run left out";
        if (row.gap) {
            // Only what came while the cache could not be written is missing; the cache held
            // then is in the file, and so is the audio after the gap.
            EXPECT_GT(gap, 0);
            EXPECT_LT(gap, kBytesPerSecond);
            EXPECT_GT(size, limit - audioStart);
        }
    }
}
} // namespace
} // namespace tavrenly
