// SPDX-License-Identifier: LGPL-2.1-or-later

// A seeded random sequence of host actions in virtual time: starts with random formats, flags,
// lengths and trigger levels, pauses, resumes, closes with and without saving, property
// changes, ClearBuffer, engine errors and stream events, with host code calling back into the
// recorder from inside every event. After each step the facts a host relies on are checked,
// and every closed recording is read back: a kept file is valid and, when it is PCM in the
// capture format, holds exactly the buffers that arrived while the recorder was recording; a
// file once closed never changes again. A fixed set of seeds runs always (10^5 steps in all);
// TAVRENLY_RANDOM_STEPS=n runs n steps per seed instead.

#include "tests/recorder/RecorderFixture.h"
#include "tests/support/RandomSequence.h"

#include "common/WaveFile.h"
#include "platform/system/System.h"
#include "tests/support/WaveBytes.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <unistd.h>

namespace tavrenly::test {
namespace {

/// One buffer the recorder was to write; the first after a trigger may lose its front.
struct ExpectedBuffer
{
    Bytes bytes;
    bool mayTrimFront;
};

struct OpenRecording
{
    std::string destination;
    bool exact = false; ///< PCM in the capture format: the file holds the buffers as they came
    std::vector<ExpectedBuffer> buffers;
    size_t lengthBytes = SIZE_MAX; ///< what the requested length lets through
};

/// True when `data` is the buffers in order, each trimmable one cut at a multiple of 48 bytes,
/// the end cut back to whole blocks of `blockAlign` bytes and to the requested length.
bool HoldsExactly(const Bytes& data, const OpenRecording& recording, size_t blockAlign)
{
    const std::vector<ExpectedBuffer>& buffers = recording.buffers;
    size_t at = 0;
    const auto matches = [&](const Bytes& b, size_t skip) {
        const size_t length = std::min(b.size() - skip, data.size() - std::min(at, data.size()));
        return std::equal(b.begin() + static_cast<std::ptrdiff_t>(skip),
                          b.begin() + static_cast<std::ptrdiff_t>(skip + length),
                          data.begin() + static_cast<std::ptrdiff_t>(at));
    };
    for (const ExpectedBuffer& buffer : buffers) {
        size_t skip = 0;
        while (!matches(buffer.bytes, skip)) {
            skip += 48;
            if (!buffer.mayTrimFront || skip >= buffer.bytes.size())
                return false;
        }
        at += buffer.bytes.size() - skip;
    }
    const size_t expected = std::min(at, recording.lengthBytes);
    return expected >= data.size() && expected - data.size() < blockAlign;
}

class RandomRecorderHost : public TavrenRecorderEvents, public RandomSequence
{
public:
    RandomRecorderHost(RecorderHarness& h, uint32_t seed)
        : RandomSequence(seed), m_h(h), m_r(*h.recorder)
    {
        m_r.SetEventListener(this);
        h.engine->KeepLogs(false);
        // Counter frames, so every buffer shows where in the capture it came from.
        h.engine->CaptureSamples(Samples16(CounterFrames(44100 * 3)), true);
    }
    ~RandomRecorderHost() override
    {
        if (m_h.recorder)
            m_h.recorder->SetEventListener(nullptr);
    }

    void Step()
    {
        if (Pick(3) == 0)
            m_h.loop.RunUntil([] { return false; }, Pick(300) + 1);
        else
            Act(0);
        CheckState("after a step");
    }

    /// The recorder is destroyed while recording as a host would: it keeps the recording. Its
    /// events still come, but no host calls into it any more.
    void Destroy()
    {
        bool keep = true;
        m_saving = &keep;
        m_destroying = true;
        m_h.engine = nullptr; // goes with the recorder
        m_h.recorder.reset();
    }

    int64_t exactFilesChecked = 0;

private:
    /// A close the host asks for; one the recorder makes itself keeps nothing.
    void Close(bool save)
    {
        m_saving = &save;
        m_r.CloseRecording(save);
        m_saving = nullptr;
    }

    void Act(int depth)
    {
        bool* const outerSaving = m_saving;
        m_saving = nullptr;
        const int action = Pick(depth > 0 ? 10 : 11);
        Note(std::to_string(depth) + ":a" + std::to_string(action));
        const auto close = [&] { Close(Pick(3) != 0); };
        const std::function<void()> actions[] = {
            [&] { Start(); },
            close,
            close,
            [&] { m_r.PauseRecording(); },
            [&] { m_r.ResumeRecording(); },
            [&] { m_r.ClearBuffer(); },
            [&] {
                int16_t cache = static_cast<int16_t>(Pick(3) * 2 - 1);
                m_r.SampleRate(std::array{11025, 22050, 44100, 48000, 12345}[size_t(Pick(5))]);
                m_r.NumberChannels(Pick(4));
                m_r.WaveBufferLengthms(std::array{10, 50, 120, 0, -5}[size_t(Pick(5))]);
                m_r.NumberWaveRecordBuffers(Pick(6) - 1);
                m_r.NumberCacheSeconds(cache);
                m_r.ReportErrors(Pick(2) == 0);
            },
            [&] {
                m_r.TriggerLevel(static_cast<int16_t>(Pick(60)));
                m_r.RecordVolume(static_cast<float>(Pick(120)));
            },
            [&] { m_h.engine->RaiseLevelChanged(int16_t(Pick(101)), int16_t(Pick(101))); },
            [&] {
                if (Pick(2) == 0)
                    m_h.engine->RaiseEngineError(77);
                else if (Pick(2) == 0)
                    m_h.engine->RaiseStreamStopped();
                else
                    m_h.engine->RaiseStreamStarted();
            },
            [&] {
                if (m_r.Status() == ersClosed)
                    Start();
            }};
        actions[action]();
        m_saving = outerSaving;
    }

    /// A start as a host makes it: an open recording is closed and kept first (when the
    /// close's events start another, this start is not made).
    void Start()
    {
        if (!m_r.State().TemporaryFileName.empty())
            Close(true);
        if (!m_r.State().TemporaryFileName.empty())
            return;
        const std::string destination = m_h.dir.File(std::string(1, char('a' + Pick(3))) + ".wav");
        m_saved.erase(destination); // its old file is deleted by the start
        const int32_t rate = Pick(3) == 0
                                 ? std::array{44100, 44100, 22050, 48000, 8000}[size_t(Pick(5))]
                                 : m_r.SampleRate();
        const auto channels = Pick(4) == 0 ? int16_t(1 + Pick(2)) : m_r.NumberChannels();
        const auto tag = std::array<int16_t, 7>{1, 1, 1, 6, 7, 0x11, 0x7777}[size_t(Pick(7))];
        const auto trigger = int16_t(Pick(4) == 0 ? Pick(40) : 0);
        const float length = Pick(3) == 0 ? float(Pick(30)) / 10.0f : 0.0f;
        const int32_t flags = std::array{0, 0, int32_t(erfEnterPauseModeImmediately), 4,
                                         int32_t(erfRecordDirectToDestination)}[size_t(Pick(5))];
        m_current =
            OpenRecording{destination,
                          tag == 1 && rate == m_r.SampleRate() && channels == m_r.NumberChannels(),
                          {}};
        if (length > 0)
            m_current->lengthBytes = static_cast<size_t>(std::lround(length * m_r.SampleRate())) *
                                     size_t(m_r.NumberChannels()) * 2;
        const int32_t counter = m_r.State().OpenedFileCounter;
        Note("Start " + std::to_string(rate) + " " + std::to_string(channels) + " " +
             std::to_string(tag) + " " + std::to_string(flags));
        if (m_r.RecordAudioEx(destination, rate, channels, tag, trigger, length, flags) != 0 &&
            counter == m_r.State().OpenedFileCounter && m_r.Status() == ersClosed)
            m_current.reset();
    }

    /// A closed recording, read back as it lies on the disk.
    void CheckClosed()
    {
        if (!m_current)
            return;
        const OpenRecording recording = std::move(*m_current);
        m_current.reset();
        const bool kept = m_saving != nullptr && *m_saving;
        const bool exists = FileExists(recording.destination);
        if (!kept || !exists) {
            if (exists)
                Fail("a recording closed without saving left " + recording.destination);
            else if (kept && !recording.buffers.empty())
                Fail("a kept recording with audio is missing: " + recording.destination);
            return;
        }
        WAVEFORMATEX format{};
        int32_t dataSize = 0;
        const Bytes file = ReadFileBytes(recording.destination);
        if (ReadWaveHeader(recording.destination, format, dataSize) != 0 || dataSize <= 0)
            return Fail("a kept recording does not read: " + recording.destination);
        if (format.nBlockAlign == 0 || dataSize % format.nBlockAlign != 0)
            return Fail("a partial block in the data of tag " + std::to_string(format.wFormatTag));
        // The form ends with the audio; at most a partial block lies after it.
        const std::vector<FileChunk> chunks = ChunksOf(file);
        const size_t formEnd = size_t{Le32(file, 4)} + 8;
        if (chunks.empty() || chunks.back().id != "data" ||
            formEnd != chunks.back().offset + 8 + size_t(dataSize) + (dataSize & 1) ||
            file.size() < formEnd || file.size() - formEnd >= format.nBlockAlign)
            return Fail("the RIFF size does not end with the audio");
        m_saved[recording.destination] = static_cast<int64_t>(file.size());
        if (!recording.exact)
            return;
        ++exactFilesChecked;
        if (!HoldsExactly(ChunkBody(file, "data"), recording, format.nBlockAlign))
            Fail("a kept recording differs from the audio captured while recording");
    }

    void CheckState(const std::string& where)
    {
        const RecorderState& s = m_r.State();
        const eRecStatus status = m_r.Status();
        if (status == ersRecording && !(s.WritingToDisk && s.hAudioFile != nullptr))
            Fail(where + ": recording without a file being written");
        if (where == "after a step" && (status == ersClosed) != s.AudioFileName.empty())
            Fail(where + ": Status " + std::to_string(status) + ", file '" + s.AudioFileName + "'");
        if (!std::isfinite(s.TotalSecondsRecorded) || s.TotalSecondsRecorded < 0.0f)
            Fail(where + ": TotalSecondsRecorded " + std::to_string(s.TotalSecondsRecorded));
        for (const auto& [path, size] : m_saved)
            if (GetFileLength(path) != size)
                Fail(where + ": a closed recording changed: " + path);
    }

    void Event(const std::string& name)
    {
        ++events;
        if (name != "AudioPositionChanged" && name != "AudioLevelChanged")
            Note(name);
        if (m_destroying)
            return;
        CheckState(name);
        if (m_depth >= 2 || Pick(7) != 0)
            return;
        ++m_depth;
        Act(m_depth);
        --m_depth;
        CheckState(name);
    }

public:
    void BufferRecieved(const void* buffer, int32_t size) override
    {
        const int32_t counter = m_r.State().OpenedFileCounter;
        Event("BufferRecieved");
        // What the recorder is to write once the handler is done.
        if (m_current && counter == m_r.State().OpenedFileCounter && m_r.Status() == ersRecording &&
            size > 0) {
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            m_current->buffers.push_back(
                {Bytes(bytes, bytes + size), m_r.State().FirstBufferAfterTrigger});
        }
    }
    void Closed() override
    {
        CheckClosed();
        Event("Closed");
    }
    void RecordingEndReached() override { Event("RecordingEndReached"); }
    void Recording() override { Event("Recording"); }
    void Paused() override { Event("Paused"); }
    void RecordOpen() override { Event("RecordOpen"); }
    void AudioPositionChanged() override { Event("AudioPositionChanged"); }
    void AudioLevelChanged(int16_t, int16_t) override { Event("AudioLevelChanged"); }
    void PlayerError(int32_t&) override { Event("PlayerError"); }

private:
    RecorderHarness& m_h;
    TavrenRecorder& m_r; ///< stays valid while its destructor raises its last events
    bool m_destroying = false;
    int m_depth = 0;
    bool* m_saving = nullptr;
    std::optional<OpenRecording> m_current;
    std::map<std::string, int64_t> m_saved;
};

class RecorderRandomTest : public ::testing::TestWithParam<uint32_t>
{
protected:
    // The scratch folders on a memory file system where there is one: every kept recording is
    // synced to its disk, and thousands of syncs to a real disk would take minutes.
    ScopedEnv memory{"TMPDIR", ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : nullptr};
    ScratchMachineSettings settings;
};

TEST_P(RecorderRandomTest, HostActionsAndReentryKeepRecordingsWholeAndExact)
{
    const int steps = RandomSequence::Steps(12500);
    RecorderHarness h;
    h.recorder->ReportErrors(false);
    RandomRecorderHost host(h, GetParam());
    for (int step = 0; step < steps && host.failure.empty(); ++step) {
        host.Step();
        ASSERT_TRUE(host.failure.empty())
            << "seed " << GetParam() << ", step " << step << ": " << host.failure;
    }
    host.Destroy();
    EXPECT_TRUE(host.failure.empty()) << "seed " << GetParam() << ": " << host.failure;
    EXPECT_GT(host.events, steps);
    EXPECT_GT(host.exactFilesChecked, 10) << "the sequence hardly kept a recording";
}

INSTANTIATE_TEST_SUITE_P(Seeds, RecorderRandomTest, ::testing::Range(1u, 9u));

} // namespace
} // namespace tavrenly::test
