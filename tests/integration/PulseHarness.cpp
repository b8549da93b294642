// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tests/integration/PulseHarness.h"

#include "tests/support/WaveBytes.h"
#include "tstream2/DeviceStreamPlay.h"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <numeric>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// RtAudio's PulseAudio device probe leaves a few small libpulse allocations behind on each
// query (88 bytes each); they are the library's, not ours.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libpulse.so\n";
}

// libpulse is not built for ThreadSanitizer: its own threads and locks look racy from outside.
// Nor is RtAudio, whose stream state (read by isStreamRunning while a drain ends the stream on
// its callback thread) is a plain field.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libpulsecommon-16.1.so\ncalled_from_lib:libpulse.so.0\n"
           "race:libpulse\nrace:librtaudio\n";
}

namespace tavrenly::test {

bool WaitFor(EventLoop& loop, const std::function<bool()>& done, int64_t timeoutMs)
{
    Timer poll(loop, 20, [] {});
    poll.Enabled(true);
    return loop.RunUntil(done, timeoutMs);
}

void Pause(EventLoop& loop, int64_t ms)
{
    WaitFor(
        loop, [] { return false; }, ms);
}

ChildProcess::ChildProcess(EventLoop& loop, const std::vector<std::string>& args,
                           const std::string& logFile, int stopSignal)
    : m_loop(loop), m_stopSignal(stopSignal)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
}

bool ChildProcess::Running()
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

void ChildProcess::Stop()
{
    if (!Running())
        return;
    kill(m_pid, m_stopSignal);
    if (!WaitFor(
            m_loop, [this] { return !Running(); }, 2000)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        m_exitStatus = 128 + SIGKILL;
    }
}

/// Candidates are the lags where the section's first 1024 left samples match closely; each is
/// then measured over the whole section, both channels, at the lags just after it, where the
/// probe's own peak lies.
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

    const double sectionEnergy =
        std::inner_product(section.begin(), section.end(), section.begin(), 0.0);
    const auto whole = [&](size_t lag) {
        const int16_t* at = heard.data() + 2 * lag;
        const double cross = std::inner_product(section.begin(), section.end(), at, 0.0);
        const double heardEnergy = std::inner_product(at, at + section.size(), at, 0.0);
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

double Rms(const std::vector<int16_t>& samples, size_t first, size_t count)
{
    const int16_t* at = samples.data() + 2 * first;
    return std::sqrt(std::inner_product(at, at + 2 * count, at, 0.0) /
                     static_cast<double>(2 * count));
}

std::string SoxFile(const TempDir& dir, const std::string& name, const std::string& effects)
{
    const std::string path = dir.File(name);
    RunOrFail("sox -n -r 44100 -c 2 -b 16 " + path + " synth " + effects);
    return path;
}

void PulseTest::SetUp()
{
    for (const std::string program : {"pulseaudio", "pactl", "parecord", "sox"})
        if (std::system(("command -v " + program + " > /dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
    setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", dir.File("pulse").c_str(), 1);
    setenv("HOME", dir.Path().c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + Socket()).c_str(), 1);
    unsetenv("PULSE_SINK");
    unsetenv("PULSE_SOURCE");
    // The program a test starts uses the same libraries, so the leak checker must forgive it
    // the same things; a leak report at exit would end it with an abort. (The thread checker's
    // runs leave that test out.) Nor may it print the list of what it forgave: the tests
    // compare the program's whole error output.
    WriteText(dir.File("lsan.supp"), __lsan_default_suppressions());
    setenv("LSAN_OPTIONS",
           ("suppressions=" + dir.File("lsan.supp") + ":print_suppressions=0").c_str(), 1);
    if (!StartServer()) {
        GTEST_SKIP() << "PulseAudio did not start here; its log:\n"
                     << ReadText(dir.File("pulseaudio.log"));
    }
}

/// User mode even as root, no configuration file, no shared memory to leave behind.
/// norewinds: a null sink that rewinds (when a new stream ends its start-up underrun) renders
/// part of its output twice, and its monitor has already recorded the first take.
bool PulseTest::StartServer()
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
    if (!server->Started() || !WaitFor(loop, answers, 10'000))
        return false;
    return test::Run(
               "pactl set-default-sink tavrenly && pactl set-default-source tavrenly.monitor") == 0;
}

int PulseTest::RunProgramWhileTheServerDies(const std::vector<std::string>& args, std::string& text)
{
    const std::string logFile = dir.File("program.log");
    ChildProcess program(loop, args, logFile, SIGINT);
    Pause(loop, 1500);
    EXPECT_TRUE(program.Running()) << "the program ended before the server went";
    StopServer();
    EXPECT_TRUE(WaitFor(
        loop, [&] { return !program.Running(); }, 10'000))
        << "the program still runs";
    text = ReadText(logFile);
    return program.Running() ? -1 : program.ExitStatus();
}

/// Plays once the recording grows: a freshly started null sink renders in one long idle block
/// (up to two seconds) before it follows the low latency the recorder asks for, as a sound card
/// would from the start. Then lets the sink's last buffers reach the recording.
std::vector<int16_t> PulseTest::Heard(const std::function<void()>& play)
{
    const std::string file = dir.File("heard.raw");
    ChildProcess recorder(loop,
                          {"parecord", "--raw", "-d", "tavrenly.monitor", "--latency-msec=20",
                           "--rate=44100", "--channels=2", "--format=s16le", file},
                          dir.File("parecord.log"), SIGINT);
    const auto recording = [&] {
        std::error_code error;
        const auto bytes = std::filesystem::file_size(file, error);
        return !error && bytes >= kPulseRate / 10 * 4; // a tenth of a second has come through
    };
    EXPECT_TRUE(WaitFor(loop, recording, 10'000)) << "the sink's monitor records nothing";
    play();
    Pause(loop, 500);
    recorder.Stop();
    return Samples16(ReadFileBytes(file));
}

int64_t DevicePlaybackTest::Play(const std::string& item, RecordingListener& listener,
                                 const Setup& setup, const Setup& beforeOpen)
{
    RecordingSite site(loop);
    TavrenPlayer player(
        site, std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Device));
    const StreamPlay& engine = player.Engine();
    int64_t playingAt = -1;
    int64_t endedAt = -1;
    listener.on["Playing"] = [&] { playingAt = loop.NowMs(); };
    listener.on["AudioEndReached"] = [&] { endedAt = loop.NowMs(); };
    player.InitNew();
    player.SetEventListener(&listener);
    beforeOpen(player);
    std::string name = item;
    // A refused buffer setting opens the item but starts no stream.
    if (player.OpenAudio(name) == 0 && engine.StreamActive() != 0) {
        setup(player);
        player.PlayAudio();
        EXPECT_TRUE(WaitFor(
            loop, [&] { return endedAt >= 0; }, 20'000));
    }
    player.CloseAudio();
    player.SetEventListener(nullptr);
    listener.on.clear();
    return endedAt - playingAt;
}

std::unique_ptr<TavrenPlayer> DevicePlaybackTest::OpenPlayer(RecordingSite& site,
                                                             const std::string& item)
{
    auto player = std::make_unique<TavrenPlayer>(
        site, std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Device));
    player->InitNew();
    std::string name = item;
    EXPECT_EQ(player->OpenAudio(name), 0);
    return player;
}

} // namespace tavrenly::test
