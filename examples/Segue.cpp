// SPDX-License-Identifier: LGPL-2.1-or-later

// segue: two players run into each other, as a playout system moves from one item to the
// next. Player 1 plays the first file; when it reaches its extro (the point its cart chunk
// marks for the next item to start, or, when the file marks none, FADE seconds before its end),
// player 2 starts the second file and player 1 fades out over FADE seconds.
//
//   segue [--engine=device|null|simulated] FIRST.wav SECOND.wav [FADE]
//
// The fade is a volume change event: player 1 runs it itself from its own position, so it
// stays in step with the audio heard even when the host is busy.
//
// Exit status: 0 when both files played to their end, 1 when one could not be opened.

#include "ExampleEngine.h"

#include <tavrenly/platform/host/ControlSite.h>
#include <tavrenly/platform/host/EventLoop.h>
#include <tavrenly/player/TavrenPlayer.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

using tavrenly::TavrenPlayer;

/// The one volume change event of this host, on player 1.
constexpr int16_t kFadeOut = 1;

// Player 1's listener: it starts player 2 at the extro and reports the fade.
class FirstEvents : public tavrenly::TavrenPlayerEvents
{
public:
    FirstEvents(TavrenPlayer& first, TavrenPlayer& second) : m_first(first), m_second(second) {}

    bool ended = false;

    void ExtroReached() override
    {
        std::printf("player 1: extro at %.2f s, player 2 starts\n", m_first.SecondsPlayed());
        m_second.PlayAudio();
    }
    void VolumeChangeStartNotify(int16_t& /*ChangeReference*/) override
    {
        std::printf("player 1: fade out starts at %.2f s\n", m_first.SecondsPlayed());
    }
    void VolumeChangeEndNotify(int16_t& /*ChangeReference*/) override
    {
        std::printf("player 1: fade out ends at %.2f s\n", m_first.SecondsPlayed());
    }
    void AudioEndReached() override
    {
        std::printf("player 1: ended\n");
        ended = true;
    }

private:
    TavrenPlayer& m_first;
    TavrenPlayer& m_second;
};

class SecondEvents : public tavrenly::TavrenPlayerEvents
{
public:
    explicit SecondEvents(const TavrenPlayer& second) : m_second(second) {}

    bool ended = false;

    void Playing() override { std::printf("player 2: playing\n"); }
    void AudioEndReached() override
    {
        std::printf("player 2: ended after %.2f s\n", m_second.SecondsPlayed());
        ended = true;
    }

private:
    const TavrenPlayer& m_second;
};

} // namespace

int main(int argc, char** argv)
{
    using namespace tavrenly;
    const example::EngineChoice engine = example::TakeEngineOption(argc, argv);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: segue [--engine=NAME] FIRST.wav SECOND.wav [FADE]\n");
        return 2;
    }
    const float fade = argc == 4 ? std::strtof(argv[3], nullptr) : 2.0f;

    // Both players share the host's one loop and site; each has its own engine.
    EventLoop loop(engine.Clock());
    HeadlessSite site(loop);
    TavrenPlayer first(site, CreateStreamPlay(loop, engine.kind));
    TavrenPlayer second(site, CreateStreamPlay(loop, engine.kind));
    first.InitNew();
    second.InitNew();
    FirstEvents firstEvents(first, second);
    SecondEvents secondEvents(second);
    first.SetEventListener(&firstEvents);
    second.SetEventListener(&secondEvents);

    for (auto [player, path] : {std::pair{&first, argv[1]}, std::pair{&second, argv[2]}}) {
        if (player->OpenAudio(path) != 0) {
            std::fprintf(stderr, "segue: cannot open %s\n", path);
            return 1;
        }
    }

    // A file without an extro marker has it at its end; this host then puts it FADE seconds
    // before the end, so the second item starts while the first is still fading.
    if (first.Extro() >= first.AudioEnd())
        first.Extro(first.AudioEnd() - fade);
    // The fade: from full volume to silence over FADE seconds, starting at the extro (file
    // time). No intermediate notification (-1); the event is removed when done, and the
    // volume it leaves is not made the player's standing volume.
    const bool keepVolume = false;
    first.AddVolumeChangeEvent(kFadeOut, first.Extro(), fade, 100.0f, 0.0f, -1.0f, true,
                               keepVolume);
    std::printf("player 1: %.2f s, extro at %.2f s; player 2: %.2f s; fade %.1f s\n",
                first.AudioLength(), first.Extro(), second.AudioLength(), fade);

    first.PlayAudio();
    const auto limitMs =
        static_cast<int64_t>((first.AudioLength() + second.AudioLength() + 10.0f) * 1000.0f);
    loop.RunUntil([&] { return firstEvents.ended && secondEvents.ended; }, limitMs);
    return firstEvents.ended && secondEvents.ended ? 0 : 1;
}
