#pragma once

// The player on the device engine, played through the private sink while its monitor is
// recorded: the fixture of the playback integration tests.

#include "tests/integration/PulseHarness.h"

#include "player/TavrenPlayer.h"
#include "tests/support/RecordingListener.h"
#include "tstream2/DeviceStreamPlay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

namespace tavrenly::test {

class DevicePlaybackTest : public PulseTest
{
protected:
    /// Plays `item` to its end on the device engine, with `setup` applied after the open.
    /// `listener` holds the player's events, and playedMs the time from Playing to
    /// AudioEndReached. `beforeOpen` sets what the open takes.
    void Play(
        const std::string& item, const std::function<void(TavrenPlayer&)>& setup,
        RecordingListener& listener, int64_t& playedMs,
        const std::function<void(TavrenPlayer&)>& beforeOpen = [](TavrenPlayer&) {})
    {
        RecordingSite site(loop);
        auto engine = std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Device);
        const DeviceStreamPlay& device = *engine;
        int64_t playingAt = -1;
        int64_t endedAt = -1;
        listener.on["Playing"] = [&] { playingAt = loop.NowMs(); };
        listener.on["AudioEndReached"] = [&] { endedAt = loop.NowMs(); };
        TavrenPlayer player(site, std::move(engine));
        player.InitNew();
        player.SetEventListener(&listener);
        beforeOpen(player);
        std::string name = item;
        if (player.OpenAudio(name) == 0 && device.StreamActive() != 0) {
            EXPECT_EQ(device.BackendName(), expectedBackend);
            setup(player);
            player.PlayAudio();
            EXPECT_TRUE(WaitFor(
                loop, [&] { return endedAt >= 0; }, 20'000));
        }
        player.CloseAudio();
        player.SetEventListener(nullptr);
        listener.on.clear();
        playedMs = endedAt - playingAt;
    }

    /// A player on the device engine with `item` open.
    std::unique_ptr<TavrenPlayer> OpenPlayer(RecordingSite& site, const std::string& item)
    {
        auto player = std::make_unique<TavrenPlayer>(
            site, std::make_unique<DeviceStreamPlay>(loop, DeviceStreamPlay::Backend::Device));
        player->InitNew();
        std::string name = item;
        EXPECT_EQ(player->OpenAudio(name), 0);
        return player;
    }

    void TearDown() override { unsetenv("TAVRENLY_AUDIO_API"); }

    std::string expectedBackend = "PulseAudio";
};

} // namespace tavrenly::test
