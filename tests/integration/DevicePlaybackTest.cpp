// The real sound path end to end: a private PulseAudio server with a null sink, the player on
// the device engine, and parecord listening to the sink's monitor. What the recording holds
// must be the file's audio at the file's level, and the player's events must follow the sound;
// a loop's section must be heard once per pass with sample-exact joins, and a fade-out must
// fall steadily into silence.
//
// The server runs in a temporary folder of its own (runtime folder, socket, home), so the test
// never touches a session's sound server and works as root: the daemon is started in user
// mode (--system=false) with no configuration file (-F /dev/null) and only the two modules it
// needs, and is stopped at the end, also when the test fails.

#include "engine/EngineFactory.h"
#include "platform/host/EventLoop.h"
#include "player/TavrenPlayer.h"
#include "tests/support/RecordingListener.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"
#include "tstream2/DeviceStreamPlay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

// RtAudio's PulseAudio device probe leaves a few small libpulse allocations behind on each
// query (88 bytes each); they are the library's, not ours.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libpulse.so\n";
}

// libpulse is not built for ThreadSanitizer: its own threads and locks look racy from outside.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libpulsecommon-16.1.so\ncalled_from_lib:libpulse.so.0\n"
           "race:libpulse\n";
}

namespace tavrenly {
namespace {

constexpr int32_t kRate = 44100;
constexpr double kItemSeconds = 5.0;

bool HaveProgram(const std::string& name)
{
    return std::system(("command -v " + name + " > /dev/null 2>&1").c_str()) == 0;
}

/// Runs until `done` or `timeoutMs`, checking every 20 ms even when nothing else happens.
bool WaitFor(EventLoop& loop, const std::function<bool()>& done, int64_t timeoutMs)
{
    Timer poll(loop, 20, [] {});
    poll.Enabled(true);
    return loop.RunUntil(done, timeoutMs);
}

/// A child process with its output sent to `logFile`; stopped with `stopSignal` when the
/// object goes, then killed if it has not gone after two seconds.
class ChildProcess
{
public:
    ChildProcess(EventLoop& loop, const std::vector<std::string>& args, const std::string& logFile,
                 int stopSignal)
        : m_loop(loop), m_stopSignal(stopSignal)
    {
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    bool Running()
    {
        if (m_pid <= 0)
            return false;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return true;
    }
    /// The status the process ended with, once Running() has seen it end; -1 before.
    int ExitStatus() const { return m_exitStatus; }
    void Stop()
    {
        if (!Running())
            return;
        kill(m_pid, m_stopSignal);
        if (!WaitFor(
                m_loop, [this] { return !Running(); }, 2000)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    EventLoop& m_loop;
    int m_stopSignal;
    pid_t m_pid = -1;
    int m_exitStatus = -1;
};

struct Match
{
    size_t lag = 0;           ///< frames of the recording before the section's first frame
    double correlation = 0.0; ///< normalised, both channels
    double gainDb = 0.0;      ///< level of the recording against the section
};

/// Where `section` (stereo) is heard in `heard`, each place with a normalised correlation of
/// at least `threshold` over the whole section. Candidates are the lags where the section's
/// first 1024 left samples match closely; each is then measured over the whole section, both
/// channels, at the lags just after it, where the probe's own peak lies.
std::vector<Match> FindEvery(const std::vector<int16_t>& section, const std::vector<int16_t>& heard,
                             double threshold)
{
    constexpr size_t kProbe = 1024;
    const size_t frames = section.size() / 2;
    const size_t heardFrames = heard.size() / 2;
    std::vector<Match> found;
    if (heardFrames < frames || frames < kProbe)
        return found;
    double probeEnergy = 0.0;
    for (size_t i = 0; i < kProbe; ++i)
        probeEnergy += static_cast<double>(section[2 * i]) * section[2 * i];
    // Running energy of the heard left channel, so each lag costs only its cross products.
    std::vector<double> energy(heardFrames + 1, 0.0);
    for (size_t i = 0; i < heardFrames; ++i)
        energy[i + 1] = energy[i] + static_cast<double>(heard[2 * i]) * heard[2 * i];

    const auto whole = [&](size_t lag) {
        double cross = 0.0;
        double heardEnergy = 0.0;
        double sectionEnergy = 0.0;
        const int16_t* at = heard.data() + 2 * lag;
        for (size_t i = 0; i < section.size(); ++i) {
            cross += static_cast<double>(section[i]) * at[i];
            heardEnergy += static_cast<double>(at[i]) * at[i];
            sectionEnergy += static_cast<double>(section[i]) * section[i];
        }
        Match match;
        match.lag = lag;
        if (heardEnergy > 0.0) {
            match.correlation = cross / std::sqrt(sectionEnergy * heardEnergy);
            match.gainDb = 10.0 * std::log10(heardEnergy / sectionEnergy);
        }
        return match;
    };

    for (size_t lag = 0; lag + frames <= heardFrames; ++lag) {
        const double heardEnergy = energy[lag + kProbe] - energy[lag];
        if (heardEnergy <= 0.0)
            continue;
        double cross = 0.0;
        const int16_t* at = heard.data() + 2 * lag;
        for (size_t i = 0; i < kProbe; ++i)
            cross += static_cast<double>(section[2 * i]) * at[2 * i];
        if (cross / std::sqrt(probeEnergy * heardEnergy) < 0.95)
            continue;
        Match best = whole(lag);
        for (size_t near = lag + 1; near <= lag + 8 && near + frames <= heardFrames; ++near) {
            const Match candidate = whole(near);
            if (candidate.correlation > best.correlation)
                best = candidate;
        }
        if (best.correlation >= threshold) {
            found.push_back(best);
            lag = best.lag + kProbe; // a section is not heard twice within a probe's length
        }
    }
    return found;
}

/// A private PulseAudio server with one null sink, "tavrenly", for the length of a test.
class DevicePlaybackTest : public testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* program : {"pulseaudio", "pactl", "parecord", "sox"})
            if (!HaveProgram(program))
                GTEST_SKIP() << program
                             << " is not installed (scripts/install-deps.sh installs it)";
        setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
        setenv("PULSE_RUNTIME_PATH", dir.File("pulse").c_str(), 1);
        setenv("HOME", dir.Path().c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + Socket()).c_str(), 1);
        unsetenv("PULSE_SINK");
        if (!StartServer()) {
            const std::vector<uint8_t> log = test::ReadFileBytes(dir.File("pulseaudio.log"));
            GTEST_SKIP() << "PulseAudio did not start here; its log:\n"
                         << std::string(log.begin(), log.end());
        }
    }

    std::string Socket() const { return dir.File("pulse") + "/native"; }

    /// User mode even as root, no configuration file, no shared memory to leave behind.
    /// norewinds: a null sink that rewinds (when a new stream ends its start-up underrun)
    /// renders part of its output twice, and its monitor has already recorded the first take.
    bool StartServer()
    {
        server = std::make_unique<ChildProcess>(
            loop,
            std::vector<std::string>{
                "pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                "--disallow-exit", "--disable-shm=yes", "--use-pid-file=no", "-F", "/dev/null",
                "--load=module-null-sink sink_name=tavrenly rate=44100 channels=2 norewinds=1",
                "--load=module-native-protocol-unix auth-anonymous=1 socket=" + Socket()},
            dir.File("pulseaudio.log"), SIGTERM);
        const auto answers = [] { return std::system("pactl info > /dev/null 2>&1") == 0; };
        return server->Started() && WaitFor(loop, answers, 10'000);
    }

    /// Records the sink's monitor into `file` and returns once the recording grows: a freshly
    /// started null sink renders in one long idle block (up to two seconds) before it follows
    /// the low latency the recorder asks for, as a sound card would from the start.
    std::unique_ptr<ChildProcess> StartRecording(const std::string& file)
    {
        auto recorder = std::make_unique<ChildProcess>(
            loop,
            std::vector<std::string>{"parecord", "--raw", "-d", "tavrenly.monitor",
                                     "--latency-msec=20", "--rate=44100", "--channels=2",
                                     "--format=s16le", file},
            dir.File("parecord.log"), SIGINT);
        const auto recording = [&] {
            std::error_code error;
            const auto bytes = std::filesystem::file_size(file, error);
            return !error && bytes >= kRate / 10 * 4; // a tenth of a second has come through
        };
        EXPECT_TRUE(WaitFor(loop, recording, 10'000)) << "the sink's monitor records nothing";
        return recorder;
    }

    /// Plays `item` to its end on the device engine, with `setup` applied after the open,
    /// while the sink's monitor is recorded; returns what the sink heard. `listener` holds the
    /// player's events, and playedMs the time from Playing to AudioEndReached.
    std::vector<int16_t> PlayAndRecord(const std::string& item,
                                       const std::function<void(TavrenPlayer&)>& setup,
                                       test::RecordingListener& listener, int64_t& playedMs)
    {
        const std::string heardFile = dir.File("heard.raw");
        std::unique_ptr<ChildProcess> recorder = StartRecording(heardFile);
        test::RecordingSite site(loop);
        auto engine = std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Device);
        const DeviceStreamPlay& device = *engine;
        int64_t playingAt = -1;
        int64_t endedAt = -1;
        listener.on["Playing"] = [&] { playingAt = loop.NowMs(); };
        listener.on["AudioEndReached"] = [&] { endedAt = loop.NowMs(); };
        {
            TavrenPlayer player(site, std::move(engine));
            player.InitNew();
            player.SetEventListener(&listener);
            std::string name = item;
            EXPECT_EQ(player.OpenAudio(name), 0);
            EXPECT_EQ(device.BackendName(), "PulseAudio");
            setup(player);
            player.PlayAudio();
            EXPECT_TRUE(WaitFor(
                loop, [&] { return endedAt >= 0; }, 20'000));
            player.CloseAudio();
            player.SetEventListener(nullptr);
        }
        listener.on.clear();
        playedMs = endedAt - playingAt;
        EXPECT_TRUE(listener.Only({"PlayerError"}).empty());
        // Let the sink's last buffers reach the recording, then stop it cleanly.
        WaitFor(
            loop, [] { return false; }, 500);
        recorder->Stop();
        return test::Samples16(test::ReadFileBytes(heardFile));
    }

    test::TempDir dir;
    EventLoop loop{EventLoop::Clock::Real};
    std::unique_ptr<ChildProcess> server;
};

TEST_F(DevicePlaybackTest, ThePulseAudioSinkHearsTheFileAsItIsAndTheEventsFollowTheSound)
{
    // Two sweeps in opposite directions: no lag but the right one matches both channels.
    const std::string item = dir.File("item.wav");
    test::RunOrFail("sox -n -r 44100 -c 2 -b 16 " + item +
                    " synth 5 sine 300-3000 sine 2500-200 vol 0.5");
    test::RecordingListener listener;
    std::vector<float> positions;
    TavrenPlayer* playing = nullptr;
    const auto setup = [&](TavrenPlayer& player) {
        playing = &player;
        listener.on["AudioPositionChanged(True)"] =
            listener.on["AudioPositionChanged(False)"] = [&] {
                if (listener.Count("Playing") > 0 && listener.Count("AudioEndReached") == 0)
                    positions.push_back(playing->SecondsPlayed());
            };
    };
    int64_t playedMs = 0;
    const std::vector<int16_t> heard = PlayAndRecord(item, setup, listener, playedMs);

    std::printf("AudioEndReached %lld ms after Playing; %zu position events\n",
                static_cast<long long>(playedMs), positions.size());
    EXPECT_NEAR(static_cast<double>(playedMs), kItemSeconds * 1000.0, 300.0);
    // The position timer ticks every 50 ms: about 20 moves a second, each one forward.
    EXPECT_GE(positions.size(), 80u);
    EXPECT_LE(positions.size(), 105u);
    for (size_t i = 1; i < positions.size(); ++i)
        ASSERT_GT(positions[i], positions[i - 1]) << "event " << i;

    const std::vector<int16_t> file = test::Samples16(test::DataChunkBytes(item));
    ASSERT_EQ(file.size(), static_cast<size_t>(kItemSeconds * kRate * 2));
    ASSERT_GT(heard.size(), file.size()) << "the recording is shorter than the file";
    const std::vector<Match> found = FindEvery(file, heard, 0.95);
    ASSERT_EQ(found.size(), 1u) << "the file is heard once, whole, at full level";
    EXPECT_NEAR(found[0].gainDb, 0.0, 0.5);
    std::printf("the file starts %.1f ms into the recording; correlation %.6f, level %+.3f dB\n",
                found[0].lag * 1000.0 / kRate, found[0].correlation, found[0].gainDb);
}

/// RMS of both channels over `count` frames from `first`.
double Rms(const std::vector<int16_t>& samples, size_t first, size_t count)
{
    double sum = 0.0;
    for (size_t i = 2 * first; i < 2 * (first + count); ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(2 * count));
}

TEST_F(DevicePlaybackTest, ALoopIsHeardTheTimesAskedAndTheFadeOutEndsInSilence)
{
    // One second of a 440 Hz tone, the loop section (two opposite sweeps, which match only
    // themselves), then two seconds of a 1 kHz tone that the fade takes out.
    const std::string item = dir.File("item.wav");
    const std::string section = dir.File("section.wav");
    test::RunOrFail("sox -n -r 44100 -c 2 -b 16 " + dir.File("intro.wav") +
                    " synth 1 sine 440 vol 0.5");
    test::RunOrFail("sox -n -r 44100 -c 2 -b 16 " + section +
                    " synth 1 sine 600-3000 sine 2800-400 vol 0.5");
    test::RunOrFail("sox -n -r 44100 -c 2 -b 16 " + dir.File("tone.wav") +
                    " synth 2 sine 1000 vol 0.5");
    test::RunOrFail("sox " + dir.File("intro.wav") + " " + section + " " + dir.File("tone.wav") +
                    " " + item);
    constexpr int16_t kMaxLoopCount = 2;
    constexpr int kPasses = kMaxLoopCount + 1;
    constexpr float kFadeStart = 2.5f; // item seconds, after the loop
    constexpr float kFadeLength = 1.0f;

    const auto setup = [&](TavrenPlayer& player) {
        player.FadeMode(efmFastStart);
        player.LoopStart(1.0f);
        player.LoopEnd(2.0f);
        player.MaxLoopCount(kMaxLoopCount);
        player.UseLoop(true);
        // Kept at its end volume: on a real clock no update lands exactly on the fade's end,
        // and the first one past the envelope goes back to the standing volume.
        int16_t reference = 1;
        bool permanently = true;
        ASSERT_TRUE(player.AddVolumeChangeEvent(reference, kFadeStart, kFadeLength, 100.0f, 0.0f,
                                                -1.0f, true, permanently));
    };
    test::RecordingListener listener;
    int64_t playedMs = 0;
    const std::vector<int16_t> heard = PlayAndRecord(item, setup, listener, playedMs);
    EXPECT_EQ(listener.Only({"Loop", "VolumeChangeStart", "VolumeChangeEnd"}),
              (std::vector<std::string>{"LoopRestart", "LoopRestart", "LoopCompleted",
                                        "VolumeChangeStartNotify(1)", "VolumeChangeEndNotify(1)"}));
    EXPECT_NEAR(static_cast<double>(playedMs), (4.0 + kMaxLoopCount) * 1000.0, 300.0);

    const std::vector<int16_t> sectionSamples = test::Samples16(test::DataChunkBytes(section));
    ASSERT_EQ(sectionSamples.size(), static_cast<size_t>(2 * kRate));

    // The section is heard once per pass, back to back: every join sample-exact.
    const std::vector<Match> places = FindEvery(sectionSamples, heard, 0.9);
    for (const Match& place : places)
        std::printf("section at %.4f s into the recording: correlation %.6f, level %+.3f dB\n",
                    static_cast<double>(place.lag) / kRate, place.correlation, place.gainDb);
    ASSERT_EQ(places.size(), static_cast<size_t>(kPasses));
    for (size_t i = 0; i < places.size(); ++i) {
        EXPECT_GE(places[i].correlation, 0.95) << "pass " << i;
        EXPECT_NEAR(places[i].gainDb, 0.0, 0.5) << "pass " << i;
        if (i > 0) {
            EXPECT_EQ(places[i].lag - places[i - 1].lag, static_cast<size_t>(kRate))
                << "pass " << i << " does not follow the one before at once";
        }
    }

    // The fade, in 50 ms windows over the tone's two seconds of the timeline: full level
    // before it, a fall that never rises, silence after it. A volume set on the position's
    // tick reaches the samples the device takes next, so it is heard up to a tick and the
    // device's latency later than its place in the item (about 150 ms here).
    constexpr double kVolumeLag = 0.25;
    const size_t itemStart = places.front().lag - static_cast<size_t>(kRate); // the intro's second
    const auto frameAt = [&](double seconds) {
        return itemStart + static_cast<size_t>(seconds * kRate);
    };
    const double toneStart = 2.0 + kMaxLoopCount; // played seconds
    const double fadeStart = kFadeStart + kMaxLoopCount;
    const double fadeEnd = fadeStart + kFadeLength;
    const size_t window = kRate / 20;
    ASSERT_GE(heard.size() / 2, frameAt(toneStart + 2.0)) << "the recording ends too soon";
    const double full = 0.5 * 32767.0 / std::sqrt(2.0);
    std::vector<double> levels;
    for (double t = toneStart; t < toneStart + 2.0 - 1e-9; t += 0.05)
        levels.push_back(Rms(heard, frameAt(t), window));
    for (size_t i = 0; i < levels.size(); ++i) {
        const double t = toneStart + 0.05 * static_cast<double>(i);
        SCOPED_TRACE(testing::Message() << "window at " << t << " s: RMS " << levels[i]);
        if (t + 0.05 <= fadeStart - 0.05) {
            EXPECT_NEAR(20.0 * std::log10(levels[i] / full), 0.0, 0.5);
        }
        if (i > 0) {
            EXPECT_LE(levels[i], levels[i - 1] * 1.01 + 1.0) << "the level rose during the fade";
        }
        if (t >= fadeEnd + kVolumeLag) {
            EXPECT_LE(levels[i], 1.0) << "not silent after the fade";
        }
    }
    // Halfway the linear volume is 50, which the fast-start curve plays at about 15 %.
    const double middle = Rms(heard, frameAt(fadeStart + kFadeLength / 2), window) / full;
    EXPECT_GT(middle, 0.05);
    EXPECT_LT(middle, 0.35);
}

/// Records the engine's events and how many buffers came back.
class EngineEvents : public StreamPlayEvents
{
public:
    std::vector<std::string> events;
    int returned = 0;

    void BufferAvailable(int32_t, const void*, int32_t) override { ++returned; }
    void StreamStarted() override { events.emplace_back("StreamStarted"); }
    void StreamReset() override { events.emplace_back("StreamReset"); }
    void EngineError(int32_t code) override
    {
        events.push_back("EngineError " + std::to_string(code));
    }
};

TEST_F(DevicePlaybackTest, AServerThatDiesClosesTheStreamAndTheNextStartRecovers)
{
    DeviceStreamPlay engine(loop, DeviceStreamPlay::Backend::Device);
    EngineEvents events;
    engine.SetListener(&events);
    const std::vector<uint8_t> silence(kRate / 10 * 4, 0); // 100 ms
    const auto play = [&] {
        for (int i = 0; i < 10; ++i)
            engine.AddBuffer(silence.data(), static_cast<int32_t>(silence.size()), i);
        engine.StartPlayback();
    };

    engine.StartTavrenStream();
    ASSERT_EQ(engine.BackendName(), "PulseAudio");
    play();
    ASSERT_TRUE(WaitFor(
        loop, [&] { return events.returned > 0; }, 10'000));

    server.reset(); // the server goes away in the middle of the item
    ASSERT_TRUE(WaitFor(
        loop, [&] { return !events.events.empty() && events.events.back() == "StreamReset"; },
        10'000));
    EXPECT_EQ(events.events,
              (std::vector<std::string>{"StreamStarted", "EngineError 1", "StreamReset"}));
    EXPECT_EQ(engine.StreamActive(), 0);
    EXPECT_EQ(engine.State(), 0);
    EXPECT_EQ(engine.FreeBuffers(), engine.NumberBuffers());

    ASSERT_TRUE(StartServer());
    engine.StartTavrenStream();
    EXPECT_EQ(engine.BackendName(), "PulseAudio");
    const int before = events.returned;
    play();
    EXPECT_TRUE(WaitFor(
        loop, [&] { return events.returned >= before + 10; }, 10'000));
    EXPECT_EQ(engine.PlayedTimems(), 1000);
}

TEST_F(DevicePlaybackTest, NothingPastAudioEndIsHeard)
{
    // A sweep (unique at every lag) for 4 s, then noise: with AudioStart 1 and AudioEnd 4 the
    // sink must hear the sweep's seconds 1 to 4 and not one sample of the noise.
    const std::string item = dir.File("item.wav");
    test::RunOrFail("sox -n -r 44100 -c 2 -b 16 " + dir.File("sweep.wav") +
                    " synth 4 sine 300-3000 sine 2500-200 vol 0.5");
    test::RunOrFail("sox -n -r 44100 -c 2 -b 16 " + dir.File("noise.wav") +
                    " synth 1 whitenoise vol 0.5");
    test::RunOrFail("sox " + dir.File("sweep.wav") + " " + dir.File("noise.wav") + " " + item);
    test::RunOrFail("sox " + dir.File("sweep.wav") + " -t raw " + dir.File("range.raw") +
                    " trim 1 3");
    constexpr double kAudioEnd = 4.0;

    // As a playout system does: the item is closed the moment its end is reported.
    test::RecordingListener listener;
    int64_t playedMs = 0;
    const std::vector<int16_t> heard = PlayAndRecord(
        item,
        [&](TavrenPlayer& player) {
            player.AudioEnd(static_cast<float>(kAudioEnd));
            player.AudioStart(1.0f);
        },
        listener, playedMs);
    const std::vector<int16_t> range = test::Samples16(test::ReadFileBytes(dir.File("range.raw")));
    const std::vector<Match> found = FindEvery(range, heard, 0.95);
    ASSERT_EQ(found.size(), 1u);
    const Match& match = found[0];
    EXPECT_NEAR(match.gainDb, 0.0, 0.5);
    // The range's last 10 ms are heard as they are, and after them only silence.
    const size_t end = match.lag + range.size() / 2;
    ASSERT_GE(heard.size() / 2, end + kRate / 2) << "the recording ends too soon";
    for (size_t i = 2 * (end - kRate / 100); i < 2 * end; ++i)
        ASSERT_EQ(heard[i], range[i - 2 * match.lag]) << "frame " << i / 2 - match.lag;
    size_t lastLoud = end;
    for (size_t frame = end; frame < heard.size() / 2; ++frame)
        if (std::abs(heard[2 * frame]) > 16 || std::abs(heard[2 * frame + 1]) > 16)
            lastLoud = frame + 1;
    std::printf("audio heard past AudioEnd: %.1f ms\n",
                static_cast<double>(lastLoud - end) * 1000.0 / kRate);
    EXPECT_EQ(lastLoud, end) << "the noise after AudioEnd was heard";
}

TEST_F(DevicePlaybackTest, TheProgramEndsWithAnErrorWhenTheServerDiesMidItem)
{
    const std::string item = dir.File("item.wav");
    test::RunOrFail("sox -n -r 44100 -c 2 -b 16 " + item + " synth 20 sine 440 vol 0.5");
    ChildProcess program(loop, {TAVRENLY_PROGRAM, "play", item, "--quiet"}, dir.File("program.log"),
                         SIGINT);
    ASSERT_TRUE(program.Started());
    WaitFor(
        loop, [] { return false; }, 1500);
    ASSERT_TRUE(program.Running()) << "the program ended before the server went";

    server.reset();
    EXPECT_TRUE(WaitFor(
        loop, [&] { return !program.Running(); }, 10'000))
        << "the program still runs after the server died";
    const std::vector<uint8_t> log = test::ReadFileBytes(dir.File("program.log"));
    const std::string text(log.begin(), log.end());
    EXPECT_EQ(program.ExitStatus(), 1) << text;
    EXPECT_NE(text.find("tavrenly: playback stopped: the output device failed (code 1)"),
              std::string::npos)
        << text;
}

} // namespace
} // namespace tavrenly
