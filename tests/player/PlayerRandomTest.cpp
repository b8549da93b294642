// SPDX-License-Identifier: LGPL-2.1-or-later

// A seeded random sequence of host actions in virtual time: opens of good and broken files,
// transport, seeks, markers, loops, envelopes, property changes and engine faults, with host
// code calling back into the player from inside every event. After each step (and inside
// each event) the facts a host relies on are checked. A fixed set of seeds runs always;
// TAVRENLY_RANDOM_STEPS=n runs n steps per seed instead.

#include "tests/player/PlayerFixture.h"
#include "tests/support/RandomSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <tuple>

namespace tavrenly::test {
namespace {

/// The player's files: counter frames starting at `firstFrame`, so every queued buffer shows
/// which file and which blocks it came from.
struct CounterFile
{
    std::string path;
    int32_t firstFrame;
    int32_t frames;
};

/// The once-per-arming events, in the order of the player's arming counters; the end last.
const std::string kMarkers[] = {"IntroStartReached", "IntroEndReached", "HookStartReached",
                                "HookEndReached",    "ExtroReached",    "SweeperStartReached",
                                "AudioEndReached"};
constexpr size_t kAudioEnd = 6;
/// Besides the markers, the events that only make sense about an open file.
const std::string kFileEvents[] = {"Cued", "Opened", "VolumeChange", "LoopRestart",
                                   "LoopCompleted"};

const TimeSetter kTimeSetters[] = {&TavrenPlayer::IntroStart, &TavrenPlayer::IntroEnd,
                                   &TavrenPlayer::HookStart,  &TavrenPlayer::HookEnd,
                                   &TavrenPlayer::Extro,      &TavrenPlayer::SweeperStart,
                                   &TavrenPlayer::AudioStart, &TavrenPlayer::AudioEnd,
                                   &TavrenPlayer::LoopStart,  &TavrenPlayer::LoopEnd};

class RandomHost : public RandomSequence
{
public:
    RandomHost(PlayerHarness& h, std::vector<CounterFile> files, std::string broken, uint32_t seed)
        : RandomSequence(seed), m_h(h), m_files(std::move(files)), m_broken(std::move(broken))
    {
        h.listener.onAny = [this](const std::string& text) {
            m_h.listener.events.clear();
            Event(text.substr(0, text.find('(')));
        };
        h.engine->KeepLogs(false);
        h.engine->KeepPlayedAudio(false);
        h.engine->OnAddBuffer([this](const uint8_t* bytes, int32_t length, int32_t tag) {
            if (CheckQueued(bytes, length))
                m_follower.Queued(bytes, length, tag, OpenFile()->firstFrame);
        });
    }
    ~RandomHost()
    {
        m_h.engine->OnAddBuffer(nullptr);
        m_h.listener.onAny = nullptr;
    }

    /// One top-level step: a host action or time passing; then the invariants.
    void Step()
    {
        m_stale = false;
        if (Pick(3) == 0) {
            // Time passes task by task, so a file change inside one task does not make the
            // events of the next task stale.
            m_h.loop.RunUntil(
                [this] {
                    m_follower.Settled();
                    return m_stale = false;
                },
                Pick(400) + 1);
        } else {
            ActGuarded(0);
        }
        m_follower.Settled();
        CheckState("after a step");
    }

private:
    /// A time for a seek or a setter: mostly inside the file, sometimes at or past its ends,
    /// sometimes not a number at all.
    float AnyTime()
    {
        const float length = m_h.player->TotalAudioLength();
        const float inf = std::numeric_limits<float>::infinity();
        const int pick = Pick(12);
        if (pick == 1)
            return Pick(2) ? inf : -inf;
        const float special[] = {std::numeric_limits<float>::quiet_NaN(), 0, length,
                                 m_h.player->AudioEnd(), m_h.player->LoopEnd()};
        return pick < 5 ? special[pick] : Uniform(-0.2f, length + 0.3f);
    }

    /// The documented arithmetic errors may end any call; nothing else may leave the player.
    void ActGuarded(int depth)
    {
        try {
            Act(depth);
        } catch (const RuntimeError&) {
        }
    }

    /// A host action; `depth` > 0 inside an event.
    void Act(int depth)
    {
        TavrenPlayer& p = *m_h.player;
        const int action = depth > 0 ? Pick(6) == 0 ? 0 : 1 + Pick(16) : Pick(17);
        Note("a" + std::to_string(action));
        // Every host call re-arms what it may re-arm; counts start again.
        m_endCount = 0;
        m_markerCounts.fill(0);
        int16_t reference = 0;
        bool permanent = false;
        const std::function<void()> acts[] = {
            [&] { p.OpenAudio(Pick(6) == 0 ? m_broken : m_files[Pick(int(m_files.size()))].path); },
            [&] { p.CloseAudio(); },
            [&] { p.PlayAudio(); },
            [&] { p.PauseAudio(); },
            [&] { p.CueAudio(); },
            [&] {
                const bool totalFile = Pick(2) == 0;
                Pick(3) == 0 ? p.SeekPercentage(Uniform(-10, 110), totalFile)
                             : p.SeekTime(AnyTime(), totalFile);
            },
            [&] { (p.*kTimeSetters[Pick(int(std::size(kTimeSetters)))])(AnyTime()); },
            [&] {
                p.MaxLoopCount(static_cast<int16_t>(Pick(4)));
                p.UseLoop(Pick(3) != 0);
                m_loopSwitchedOn = m_loopSwitchedOn || p.UseLoop();
            },
            [&] { p.ExitLoop(); },
            [&] {
                reference = static_cast<int16_t>(Pick(4));
                permanent = Pick(2) == 0;
                p.AddVolumeChangeEvent(
                    reference, AnyTime(), Pick(8) == 0 ? AnyTime() : Uniform(-0.1f, 0.6f),
                    Pick(8) == 0 ? AnyTime() : Uniform(-10, 110),
                    Pick(8) == 0 ? AnyTime() : Uniform(0, 100),
                    Pick(8) == 0 ? AnyTime() : Uniform(-5, 100), Pick(2) == 0, permanent);
            },
            [&] { p.RemoveVolumeChangeEvent(static_cast<int16_t>(Pick(4))); },
            [&] { p.PlayVolume(Pick(8) == 0 ? AnyTime() : Uniform(-10, 110)); },
            [&] {
                p.WaveBufferLengthms(std::array{10, 40, 100, 250, 1200}[size_t(Pick(5))]);
                p.NumberWavePlayBuffers(1 + Pick(6));
            },
            [&] {
                Pick(2) == 0   ? m_h.engine->RaiseEngineError(77)
                : Pick(2) == 0 ? m_h.engine->RaiseStreamReset()
                               : m_h.engine->RaiseStreamStarted();
            }};
        // Play and the time setters come up more often than the rest.
        constexpr int kActOf[] = {0, 1, 2, 2, 3, 4, 5, 6, 6, 6, 7, 8, 9, 10, 11, 12, 13};
        acts[kActOf[action]]();
    }

    /// Every event: the file-scoped ones only with a file open, none after a handler changed
    /// the file, ends and markers once per arming, loop events only for a file that looped;
    /// then, sometimes, host code runs.
    void Event(const std::string& name)
    {
        const auto is = [&](const std::string& p) { return name.rfind(p, 0) == 0; };
        const size_t marker = size_t(std::find(kMarkers, std::end(kMarkers), name) - kMarkers);
        const bool needsFile =
            marker <= kAudioEnd || std::any_of(kFileEvents, std::end(kFileEvents), is);
        if (is("Loop") && !m_loopSwitchedOn)
            Fail(name + " for a file that never looped");
        if (name == "Opened" || name == "Closed")
            m_loopSwitchedOn = false;
        ++events;
        Note(std::to_string(m_depth) + ":" + name);
        const PlayerState& s = m_h.player->State();
        // A close from inside the close an open starts with leaves that open to go on with
        // its new file.
        if (m_stale && m_closedOnly && s.OpenedFileCounter != m_staleCounter)
            m_stale = false;
        // An operation's failure is still reported after a handler closed its file.
        if (m_stale && !(m_closedOnly && name == "PlayerError"))
            Fail(name + " raised after a handler changed the file");
        if (needsFile && s.hAudioFile == nullptr)
            Fail(name + " raised with no file open");
        // The player arms markers again on its own too, e.g. when an open or a cue seeks to
        // the item's start after its first event.
        for (size_t i = 0; i < kAudioEnd; ++i)
            if (s.MarkerArmings[i] != m_armings[i])
                m_markerCounts[i] = 0;
        if (s.MarkerArmings != m_armings)
            m_endCount = 0;
        m_armings = s.MarkerArmings;
        if ((marker == kAudioEnd  ? ++m_endCount
             : marker < kAudioEnd ? ++m_markerCounts[marker]
                                  : 0) > 1)
            Fail(name + " twice for one arming");
        if (name == "LoopRestart")
            m_follower.Restarted();
        if (name == "LoopRestart" || name == "AudioPositionChanged")
            m_follower.CheckPosition(name,
                                     OpenFile() == m_files.end() ? 0 : OpenFile()->firstFrame);
        CheckState(name);
        if (m_depth >= 2 || Pick(7) != 0)
            return;
        const int32_t counter = s.OpenedFileCounter;
        const bool open = s.hAudioFile != nullptr;
        // The handler's own call is a fresh one: its events are not stale for the operation
        // this event came from, which stays as stale as it was.
        const auto outer = std::tuple(m_stale, m_closedOnly, m_staleCounter);
        m_stale = false;
        ++m_depth;
        Note(std::to_string(m_depth) + ":act");
        ActGuarded(m_depth);
        --m_depth;
        std::tie(m_stale, m_closedOnly, m_staleCounter) = outer;
        CheckState(name);
        if (s.OpenedFileCounter != counter || (open && s.hAudioFile == nullptr && !m_stale)) {
            m_closedOnly = s.OpenedFileCounter == counter;
            m_staleCounter = counter;
            m_stale = true;
        }
    }

    void CheckState(const std::string& where)
    {
        const TavrenPlayer& p = *m_h.player;
        const PlayerState& s = p.State();
        if ((p.Status() == epsClosed) != (s.hAudioFile == nullptr))
            Fail(where + ": Status disagrees with the open file");
        if (s.hAudioFile == nullptr && !Released(s))
            Fail(where + ": no file open, but its buffer, format or a codec stream is held");
        for (float value : {s.TotalSecondsPlayed, s.SecondsPlayed, s.PercentagePlayed,
                            s.TotalPercentagePlayed, s.SecondsRemain, s.TotalSecondsRemain,
                            s.AudioStart, s.AudioEnd, s.IntroStart, s.IntroEnd, s.HookStart,
                            s.HookEnd, s.Extro, s.SweeperStart, s.SavedPlayVolume, p.PlayVolume()})
            if (!std::isfinite(value))
                Fail(where + ": a position, marker or volume is not finite");
        if (s.hAudioFile != nullptr &&
            (s.TotalSecondsPlayed < 0.0f || s.TotalSecondsPlayed > s.TotalAudioLength + 1e-4f))
            Fail(where + ": position " + std::to_string(s.TotalSecondsPlayed) +
                 " outside the file");
        if (m_depth == 0 && where == "after a step" &&
            (s.Seeking || s.EngineLoading || s.SettingLoopBounds))
            Fail("a guard flag was left set");
        if (!m_follower.failure.empty())
            Fail(m_follower.failure);
    }

    std::vector<CounterFile>::const_iterator OpenFile() const
    {
        return std::find_if(m_files.begin(), m_files.end(), [&](const CounterFile& f) {
            return f.path == m_h.player->AudioFileName();
        });
    }

    /// Every queued buffer is a run of consecutive frames of the open file.
    bool CheckQueued(const uint8_t* bytes, int32_t length)
    {
        const std::vector<int32_t> frames = CounterFramesIn(Bytes(bytes, bytes + length));
        const auto file = OpenFile();
        if (file == m_files.end() || frames.empty()) {
            Fail("a buffer was queued with no counter file open");
            return false;
        }
        for (size_t i = 0; i < frames.size(); ++i)
            if (frames[i] != frames[0] + int32_t(i) || frames[i] < file->firstFrame ||
                frames[i] >= file->firstFrame + file->frames) {
                Fail("a queued buffer is not one run of the open file");
                return false;
            }
        return true;
    }

    PlayerHarness& m_h;
    HeardFollower m_follower{m_h};
    std::vector<CounterFile> m_files;
    std::string m_broken;
    int m_depth = 0;
    bool m_stale = false;
    bool m_closedOnly = false;
    int32_t m_staleCounter = 0;
    bool m_loopSwitchedOn = false;
    int m_endCount = 0;
    std::array<int, kAudioEnd> m_markerCounts{};
    std::array<uint32_t, kAudioEnd> m_armings{};
};

// 4 x 10^5 steps in all, 10^5 where the sanitizers slow every call down.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultSteps = 12500;
#else
constexpr int kDefaultSteps = 50000;
#endif

class PlayerRandomTest : public PlayerTest, public ::testing::WithParamInterface<uint32_t>
{};

TEST_P(PlayerRandomTest, HostActionsAndReentryKeepThePlayerConsistent)
{
    std::vector<CounterFile> files = {{dir.File("long.wav"), 0, 30000},
                                      {dir.File("short.wav"), 100000, 9000},
                                      {dir.File("one.wav"), 200000, 1}};
    for (const CounterFile& f : files) {
        const Bytes counted = CounterFrames(f.firstFrame + f.frames);
        WriteFileBytes(f.path, PcmWave(Bytes(counted.begin() + 4 * f.firstFrame, counted.end())));
    }
    const std::string broken = dir.File("broken.wav");
    WriteUndecodableWave(broken);

    const int steps = RandomSequence::Steps(kDefaultSteps);
    // Odd seeds play on the device that is emptied on every pause.
    if (GetParam() % 2 == 1)
        h.UseDeviceEmptiedOnPause();
    h.player->ReportErrors(false);
    RandomHost host(h, files, broken, GetParam());
    for (int step = 0; step < steps && host.failure.empty(); ++step) {
        host.Step();
        ASSERT_TRUE(host.failure.empty())
            << "seed " << GetParam() << ", step " << step << ": " << host.failure;
    }
    EXPECT_GT(host.events, steps / 2) << "the sequence hardly reached the player's events";
}

// After the first eight, seeds that once found a fault: a seek or pause from AudioLevelChanged
// at a loop join, a play from Paused on the device emptied on pause, a play from a fade's
// notice after the end, an event of a handler's own call taken for a stale one, a loop moved
// before a jump already queued.
INSTANTIATE_TEST_SUITE_P(Seeds, PlayerRandomTest,
                         ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 30u, 35u, 40u, 44u, 64u,
                                           78u, 96u, 144u, 218u, 343u));

} // namespace
} // namespace tavrenly::test
