// SPDX-License-Identifier: LGPL-2.1-or-later

// play-file: the smallest host of a TavrenPlayer. It opens a WAVE file, plays it to the end,
// prints the position once a second and each cue marker as the player reaches it, and quits
// when the audio has ended.
//
//   play-file [--engine=device|null|simulated] FILE.wav
//
// Exit status: 0 when the file played to its end, 1 when it could not be opened.

#include "ExampleEngine.h"

#include <tavrenly/platform/host/ControlSite.h>
#include <tavrenly/platform/host/EventLoop.h>
#include <tavrenly/player/TavrenPlayer.h>

#include <cstdio>

namespace {

// The player tells its host everything through one listener; every member has a default that
// does nothing, so a host overrides only what it cares about.
class Events : public tavrenly::TavrenPlayerEvents
{
public:
    explicit Events(const tavrenly::TavrenPlayer& player) : m_player(player) {}

    bool ended = false;

    void Playing() override
    {
        std::printf("playing %s\n", m_player.AudioFileName().c_str());
        m_playing = true;
    }

    // Raised every 50 ms while the audio plays (RaiseAudioPositionChanged on), and also when
    // the position is set (an open, a seek, a close); this host prints each new whole second
    // of playback only.
    void AudioPositionChanged(bool& /*AudioPartChanging*/) override
    {
        if (!m_playing)
            return;
        const int second = static_cast<int>(m_player.SecondsPlayed());
        if (second == m_lastSecond)
            return;
        m_lastSecond = second;
        std::printf("position %d s, %.1f s to go\n", second, m_player.SecondsRemain());
    }

    // The cue markers come from the file's cart chunk, or from the host's setters.
    void IntroEndReached() override { Marker("intro end"); }
    void ExtroReached() override { Marker("extro"); }
    void AudioEndReached() override
    {
        Marker("audio end");
        ended = true;
        m_playing = false;
    }

    void PlayerError(int32_t& ErrorCode) override { std::printf("error %d\n", ErrorCode); }

private:
    void Marker(const char* name)
    {
        std::printf("marker %s at %.2f s\n", name, m_player.SecondsPlayed());
    }

    const tavrenly::TavrenPlayer& m_player;
    bool m_playing = false;
    int m_lastSecond = -1;
};

} // namespace

int main(int argc, char** argv)
{
    using namespace tavrenly;
    const example::EngineChoice engine = example::TakeEngineOption(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: play-file [--engine=NAME] FILE.wav\n");
        return 2;
    }

    // The loop is the host's UI thread: every call into the player and every event happens on
    // it. The site is the player's window on the host (message boxes, property changes); the
    // headless one writes boxes to standard error.
    EventLoop loop(engine.Clock());
    HeadlessSite site(loop);
    TavrenPlayer player(site, CreateStreamPlay(loop, engine.kind));
    player.InitNew(); // the first-time defaults; a host with saved settings calls ReadProperties

    Events events(player);
    player.SetEventListener(&events);
    player.RaiseAudioPositionChanged(true);
    // A marker the file does not set can be set by the host: here the intro ends at one second.
    if (player.OpenAudio(argv[1]) != 0) {
        std::fprintf(stderr, "play-file: cannot open %s\n", argv[1]);
        return 1;
    }
    player.IntroEnd(1.0f);
    std::printf("opened %s: %.2f s\n", argv[1], player.AudioLength());

    player.PlayAudio();
    // Run the loop until the end is reached, with a generous bound in case the device stalls.
    const auto limitMs = static_cast<int64_t>((player.AudioLength() + 10.0f) * 1000.0f);
    loop.RunUntil([&] { return events.ended; }, limitMs);
    player.CloseAudio();
    return events.ended ? 0 : 1;
}
