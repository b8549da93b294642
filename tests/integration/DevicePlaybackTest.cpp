// The real sound path end to end: a private PulseAudio server with a null sink, the player on
// the device engine, and parecord listening to the sink's monitor. What the recording holds
// must be the file's audio at the file's level, and the player's events must follow the sound.
//
// The server runs in a temporary folder of its own (runtime folder, socket, home), so the test
// never touches a session's sound server and works as root: the daemon is started in user
// mode (--system=false) with no configuration file (-F /dev/null) and only the two modules it
// needs, and is stopped at the end, also when the test fails.

#include "engine/EngineFactory.h"
#include "platform/host/EventLoop.h"
#include "player/TavrenPlayer.h"
#include "tests/support/TestSupport.h"
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
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        return true;
    }
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
};

/// Interleaved 16-bit stereo samples of a raw file.
std::vector<int16_t> ReadSamples(const std::string& path)
{
    const std::vector<uint8_t> bytes = test::ReadFileBytes(path);
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

size_t FirstLoudFrame(const std::vector<int16_t>& samples)
{
    for (size_t i = 0; i + 1 < samples.size(); i += 2)
        if (std::abs(samples[i]) > 2000 || std::abs(samples[i + 1]) > 2000)
            return i / 2;
    return samples.size() / 2;
}

struct Match
{
    size_t lag = 0;           ///< frames of the recording before the file's first frame
    double correlation = 0.0; ///< normalised, both channels
    double gainDb = 0.0;      ///< level of the recording against the file
};

/// Where the file sits in the recording: near the first loud frame, refined to the lag with
/// the highest correlation over the whole file.
Match FindInRecording(const std::vector<int16_t>& file, const std::vector<int16_t>& heard)
{
    Match best;
    const size_t frames = file.size() / 2;
    const size_t heardFrames = heard.size() / 2;
    const auto coarse =
        static_cast<int64_t>(FirstLoudFrame(heard)) - static_cast<int64_t>(FirstLoudFrame(file));
    double fileEnergy = 0.0;
    for (const int16_t sample : file)
        fileEnergy += static_cast<double>(sample) * sample;
    for (int64_t lag = std::max<int64_t>(0, coarse - 256); lag <= coarse + 256; ++lag) {
        if (static_cast<size_t>(lag) + frames > heardFrames)
            break;
        double cross = 0.0;
        double heardEnergy = 0.0;
        const int16_t* at = heard.data() + 2 * lag;
        for (size_t i = 0; i < file.size(); ++i) {
            cross += static_cast<double>(file[i]) * at[i];
            heardEnergy += static_cast<double>(at[i]) * at[i];
        }
        if (heardEnergy <= 0.0)
            continue;
        const double correlation = cross / std::sqrt(fileEnergy * heardEnergy);
        if (correlation > best.correlation) {
            best.lag = static_cast<size_t>(lag);
            best.correlation = correlation;
            best.gainDb = 10.0 * std::log10(heardEnergy / fileEnergy);
        }
    }
    return best;
}

class Listener : public TavrenPlayerEvents
{
public:
    Listener(EventLoop& loop, const TavrenPlayer& player) : m_loop(loop), m_player(player) {}

    int64_t playingAtMs = -1;
    int64_t endedAtMs = -1;
    std::vector<float> positions; // between Playing and AudioEndReached
    std::vector<int32_t> errors;

    void Playing() override { playingAtMs = m_loop.NowMs(); }
    void AudioPositionChanged(bool&) override
    {
        if (playingAtMs >= 0 && endedAtMs < 0)
            positions.push_back(m_player.SecondsPlayed());
    }
    void AudioEndReached() override { endedAtMs = m_loop.NowMs(); }
    void PlayerError(int32_t& code) override { errors.push_back(code); }

private:
    EventLoop& m_loop;
    const TavrenPlayer& m_player;
};

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
    test::RunOrFail("sox " + item + " -t raw " + dir.File("item.raw"));

    const std::string heardFile = dir.File("heard.raw");
    std::unique_ptr<ChildProcess> recorder = StartRecording(heardFile);

    test::RecordingSite site(loop);
    auto engine = std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Device);
    const DeviceStreamPlay& device = *engine;
    {
        TavrenPlayer player(site, std::move(engine));
        player.InitNew();
        Listener listener(loop, player);
        player.SetEventListener(&listener);
        std::string name = item;
        ASSERT_EQ(player.OpenAudio(name), 0);
        ASSERT_EQ(device.BackendName(), "PulseAudio");

        player.PlayAudio();
        ASSERT_TRUE(WaitFor(
            loop, [&] { return listener.endedAtMs >= 0; }, 20'000));
        player.CloseAudio();
        player.SetEventListener(nullptr);

        EXPECT_TRUE(listener.errors.empty());
        std::printf("AudioEndReached %lld ms after Playing; %zu position events\n",
                    static_cast<long long>(listener.endedAtMs - listener.playingAtMs),
                    listener.positions.size());
        EXPECT_NEAR(static_cast<double>(listener.endedAtMs - listener.playingAtMs),
                    kItemSeconds * 1000.0, 300.0);
        // The position timer ticks every 50 ms: about 20 moves a second, each one forward.
        EXPECT_GE(listener.positions.size(), 80u);
        EXPECT_LE(listener.positions.size(), 105u);
        for (size_t i = 1; i < listener.positions.size(); ++i)
            ASSERT_GT(listener.positions[i], listener.positions[i - 1]) << "event " << i;
    }
    // Let the sink's last buffers reach the recording, then stop it cleanly.
    WaitFor(
        loop, [] { return false; }, 500);
    recorder->Stop();

    const std::vector<int16_t> file = ReadSamples(dir.File("item.raw"));
    const std::vector<int16_t> heard = ReadSamples(dir.File("heard.raw"));
    ASSERT_EQ(file.size(), static_cast<size_t>(kItemSeconds * kRate * 2));
    ASSERT_GT(heard.size(), file.size()) << "the recording is shorter than the file";
    const Match match = FindInRecording(file, heard);
    EXPECT_GE(match.correlation, 0.95) << "lag " << match.lag;
    EXPECT_NEAR(match.gainDb, 0.0, 0.5);
    std::printf("the file starts %.1f ms into the recording; correlation %.6f, level %+.3f dB\n",
                match.lag * 1000.0 / kRate, match.correlation, match.gainDb);
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

} // namespace
} // namespace tavrenly
