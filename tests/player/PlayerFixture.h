// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A player on a virtual-time loop with the simulated engine, a recording site and listener,
// running it to the end of its item, and the reference output of the codec layer converting
// a whole file in one piece.

#include "player/PlayerState.h"
#include "player/TavrenPlayer.h"
#include "tests/support/RecordingListener.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WaveBytes.h"
#include "tstream2/SimulatedDevices.h"
#include "tstream2/SimulatedStreamPlay.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace tavrenly::test {

using Events = std::vector<std::string>;
using Counts = std::vector<size_t>;
using TimeSetter = void (TavrenPlayer::*)(float);

/// Everything a player test needs. The player is made in the constructor with first-time
/// defaults (InitNew) unless `initNew` is false.
class PlayerHarness
{
public:
    explicit PlayerHarness(bool initNew = true);
    ~PlayerHarness();

    /// Opens `path`; fails the test unless the open returns 0.
    void Open(const std::string& path) { ASSERT_EQ(player->OpenAudio(path), 0) << path; }
    /// Writes a stereo counter wave of `seconds` at `path` and opens it; returns its data.
    Bytes OpenCounter(const std::string& path, double seconds)
    {
        Bytes data = WriteCounterWave(path, seconds);
        Open(path);
        return data;
    }
    /// Adds an envelope entry (the player takes the reference and the flag by reference).
    bool Envelope(int16_t reference, float start, float duration, float from, float to,
                  float notify = -1, bool remove = false, bool permanently = false)
    {
        return player->AddVolumeChangeEvent(reference, start, duration, from, to, notify, remove,
                                            permanently);
    }
    /// The events `act` raises, without levels and the position updates that change no marker.
    template <typename Act> Events Marks(Act act)
    {
        listener.events.clear();
        act();
        return listener.Marks();
    }
    /// Loops from `start` to `end` (the end set first, so neither moves the other) and
    /// switches looping on; fails the test if it stays off.
    void Loop(float start, float end, int16_t maxLoopCount);
    /// Sets IntroStart, IntroEnd, HookStart, HookEnd, Extro and SweeperStart (the hook's end
    /// before its start, so a start past the old end moves nothing).
    void Markers(const std::array<float, 6>& times);
    /// Chooses the one output device whose driver keeps playing through a pause, so the player
    /// must empty it on every pause.
    void UseDeviceEmptiedOnPause();
    /// How often each of `names` was raised, in the order given.
    std::vector<size_t> Counts(const Events& names) const
    {
        std::vector<size_t> counts;
        for (const std::string& name : names)
            counts.push_back(listener.Count(name));
        return counts;
    }

    EventLoop loop{EventLoop::Clock::Virtual};
    RecordingSite site{loop};
    RecordingListener listener;
    SimulatedStreamPlay* engine = nullptr; // owned by the player
    std::unique_ptr<TavrenPlayer> player;
    std::shared_ptr<SimulatedDeviceProvider> devices;
};

/// Follows what the player hands the engine and reports against what is heard, for files of
/// counter frames: every buffer's tag names the block the next buffer starts at (an ordinary or
/// loop-ended tag: the next one follows on), and the position is the time of the block being
/// heard. The one join no tag can name, a jump back cut where nothing was read while audio was
/// still queued, must be named by the buffer after it; the position is not checked until that
/// buffer has played. The first failure is kept.
class HeardFollower
{
public:
    explicit HeardFollower(PlayerHarness& h) : m_h(h) {}
    /// A buffer the engine accepted, from a file whose first counter frame is `firstFrame`.
    void Queued(const uint8_t* bytes, int32_t length, int32_t tag, int32_t firstFrame);
    /// The position against the block being heard, within 2 ms (the engine counts whole
    /// milliseconds); nothing is checked without a file, once the item has ended or with
    /// nothing queued.
    void CheckPosition(const std::string& where, int32_t firstFrame);
    /// LoopRestart: a jump named late has been heard.
    void Restarted() { m_riderPlaying = false; }
    /// A join queued from inside a host handler may be dropped by the call the handler ran
    /// in before anything plays: a wrong join counts once the engine has kept it past that
    /// call. Run between the event loop's tasks.
    void Settled()
    {
        if (!m_wrongJoin.empty() && m_wrongJoinDrops == m_h.engine->QueueDrops())
            Fail(m_wrongJoin);
        m_wrongJoin.clear();
    }

    std::string failure;

private:
    void Fail(const std::string& what)
    {
        if (failure.empty())
            failure = what;
    }

    PlayerHarness& m_h;
    int64_t m_drops = -1;
    int32_t m_lastBlock = 0;
    int32_t m_lastTag = -1;
    bool m_riderPlaying = false;
    std::string m_wrongJoin;
    int64_t m_wrongJoinDrops = 0;
};

/// The fixture most player tests share: scratch machine settings (made first, the harness
/// reads them), a scratch folder and a harness.
class PlayerTest : public ::testing::Test
{
protected:
    ScratchMachineSettings settings;
    TempDir dir;
    PlayerHarness h;
};

/// Advances virtual time in 10 ms steps until `AudioEndReached` was raised or `maxMs` passed;
/// true when it was raised.
bool PlayToEnd(PlayerHarness& h, int64_t maxMs);

/// What the codec layer makes of `audio` in the open file's format in one conversion per
/// stage, each drained at the end, with the stages the player uses for it (read from the
/// player's state).
Bytes ConvertedInOnePiece(PlayerHarness& h, Bytes audio);

/// A WAVE file the codec layer has no decoder for (format tag 0x7777).
void WriteUndecodableWave(const std::string& path);

/// True when the state holds no file, format, buffer or codec stream any more.
bool Released(const PlayerState& s);

/// Fails unless the counter frames of `audio` are the runs [from, to) one after another,
/// naming the first frame that differs.
void ExpectFrameRuns(const Bytes& audio, const std::vector<std::pair<int32_t, int32_t>>& runs);

/// Fills "%s" in a command with `path` and runs it; fails the test when it does not exit 0. A
/// command that does not start with sox is the input and codec options of an ffmpeg run.
void MakeFile(const std::string& command, const std::string& path);

} // namespace tavrenly::test
