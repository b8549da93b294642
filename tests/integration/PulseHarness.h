// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The real sound path for the integration tests: a private PulseAudio server with one null
// sink, "tavrenly", whose monitor is the default source, so a test can play into the sink and
// record what it hears (parecord), or play a file into it (paplay) and record the monitor with
// the recorder. Also: child processes (the server, the tools, the program), and the analysis
// that finds a known section in a recording and measures its level.
//
// The server runs in a temporary folder of its own (runtime folder, socket, home), so a test
// never touches a session's sound server and works as root: the daemon is started in user mode
// (--system=false) with no configuration file (-F /dev/null) and only the two modules it needs,
// and is stopped at the end, also when the test fails.

#include "platform/host/EventLoop.h"
#include "player/TavrenPlayer.h"
#include "tests/support/RecordingListener.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavrenly::test {

/// The sink's rate and the rate of every file the tests make: nothing is resampled.
constexpr int32_t kPulseRate = 44100;

/// Runs `loop` until `done` or `timeoutMs`, checking every 20 ms even when nothing else happens.
bool WaitFor(EventLoop& loop, const std::function<bool()>& done, int64_t timeoutMs);
/// Runs `loop` for `ms`.
void Pause(EventLoop& loop, int64_t ms);

/// A child process with its output sent to `logFile`; stopped with `stopSignal` when the object
/// goes, then killed if it has not gone after two seconds.
class ChildProcess
{
public:
    ChildProcess(EventLoop& loop, const std::vector<std::string>& args, const std::string& logFile,
                 int stopSignal);
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0 || m_exitStatus >= 0; }
    bool Running();
    /// The status the process ended with (128 + signal when killed), once Running() has seen
    /// it end; -1 before.
    int ExitStatus() const { return m_exitStatus; }
    void Stop();

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

/// Every place where `section` (stereo) is heard in `heard`, each with a normalised correlation
/// of at least `threshold` over the whole section.
std::vector<Match> FindEvery(const std::vector<int16_t>& section, const std::vector<int16_t>& heard,
                             double threshold);
/// RMS of both channels of stereo `samples` over `count` frames from `first`.
double Rms(const std::vector<int16_t>& samples, size_t first, size_t count);
/// Makes a 16-bit stereo file at the sink's rate with sox: `effects` follow "synth" ("5 sine
/// 440 vol 0.5"); returns its path in the test's folder.
std::string SoxFile(const TempDir& dir, const std::string& name, const std::string& effects);

/// A private PulseAudio server for the length of a test, with one null sink, "tavrenly", the
/// default sink, and its monitor the default source. Skips the test when the tools are missing
/// or the server does not start here.
class PulseTest : public testing::Test
{
protected:
    void SetUp() override;

    bool StartServer();
    void StopServer() { server.reset(); }
    std::string Socket() const { return dir.File("pulse") + "/native"; }

    /// Runs the program with `args` for 1.5 s, stops the server under it and waits for the
    /// program to end; its exit status, and its output in `text`.
    int RunProgramWhileTheServerDies(const std::vector<std::string>& args, std::string& text);
    /// Records the sink's monitor (raw 16-bit stereo) while `play` runs; returns its samples.
    std::vector<int16_t> Heard(const std::function<void()>& play);

    TempDir dir;
    EventLoop loop{EventLoop::Clock::Real};
    std::unique_ptr<ChildProcess> server;
};

/// The player on the device engine, played through the private sink while its monitor is
/// recorded.
class DevicePlaybackTest : public PulseTest
{
protected:
    using Setup = std::function<void(TavrenPlayer&)>;

    /// Plays `item` to its end: `beforeOpen` sets what the open takes, `setup` what the play
    /// takes. `listener` holds the player's events. Returns the time from Playing to
    /// AudioEndReached.
    int64_t Play(
        const std::string& item, RecordingListener& listener, const Setup& setup,
        const Setup& beforeOpen = [](TavrenPlayer&) {});
    /// A player on the device engine with `item` open.
    std::unique_ptr<TavrenPlayer> OpenPlayer(RecordingSite& site, const std::string& item);
};

} // namespace tavrenly::test
