// The player's core: refused configuration puts, saved settings and devices.

#include "tests/player/PlayerFixture.h"

#include "platform/host/PropertyBag.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace tavrenly::test {
namespace {

class PlayerCoreTest : public ::testing::Test
{
protected:
    ScratchMachineSettings settings;
};

TEST_F(PlayerCoreTest, InvalidPutsAreRefusedWithABoxAndChangeNothing)
{
    PlayerHarness h;
    h.player->ReportErrors(false);
    h.site.changed.clear();
    TavrenPlayer& p = *h.player;
    const std::function<void()> refusals[] = {
        [&] { p.SampleRate(32000); },     [&] { p.SampleRate(96000); },
        [&] { p.NumberChannels(0); },     [&] { p.NumberChannels(3); },
        [&] { p.WaveBufferLengthms(0); }, [&] { p.NumberWavePlayBuffers(-1); },
    };
    // Refused whatever ReportErrors says, with a plain box each, no event and no change.
    for (const auto& put : refusals) {
        h.site.boxes.clear();
        put();
        ASSERT_EQ(h.site.boxes.size(), 1u);
    }
    EXPECT_EQ(std::tuple(h.site.boxes[0].text, h.site.boxes[0].style, h.site.boxes[0].title),
              std::tuple("Invalid Number of Wave Buffers Specified ", 0, "Tavrenly"));
    EXPECT_TRUE(h.site.changed.empty());
    EXPECT_TRUE(h.listener.events.empty()) << "refusals raise no PlayerError";
    const SimulatedStreamPlay& e = *h.engine;
    EXPECT_EQ(std::tuple(p.SampleRate(), p.NumberChannels(), e.SampleRate(), e.NumberChannels(),
                         e.BufferLengthms(), e.NumberBuffers()),
              std::tuple(44100, 2, 44100, 2, 100, 10));
}

TEST_F(PlayerCoreTest, SavedSettingsRoundTrip)
{
    MemoryPropertyBag bag;
    {
        PlayerHarness h;
        TavrenPlayer& p = *h.player;
        p.WaveBufferLengthms(40);
        p.NumberWavePlayBuffers(6);
        p.NumberChannels(1);
        p.SampleRate(48000);
        int16_t cache = 9;
        p.NumberCacheSeconds(cache);
        p.MaxLoopCount(12);
        p.RaiseAudioPositionChanged(false);
        p.RaiseAudioLevelEvents(3);
        p.SampleAudioLevel(false);
        p.ReportErrors(false);
        p.DirectXMode(true);
        p.WriteProperties(bag);
    }
    EXPECT_EQ(bag.ReadText("RaiseLevelChangeEvents"), "3");
    PlayerHarness loaded(false);
    loaded.player->ReadProperties(bag);
    MemoryPropertyBag again;
    loaded.player->WriteProperties(again);
    EXPECT_EQ(again.Values(), bag.Values()) << "every saved value read back";
}

TEST_F(PlayerCoreTest, DeviceNumbersMapToPlatformDevices)
{
    PlayerHarness h;
    h.devices->SetOutputDevices({DeviceInfo{.name = "Studio", .manufacturerId = 39, .backend = {}},
                                 {.name = "Monitor", .manufacturerId = 7, .backend = {}}},
                                1);
    // 0 is the default (mapper) device, here platform device 0; the others count from 1.
    std::vector<uint16_t> chosen;
    for (const int16_t number : {0, 1, 2}) {
        h.player->WaveOutDeviceNumber(number);
        chosen.push_back(h.player->State().OutDeviceCaps.wMid);
    }
    EXPECT_EQ(chosen, (std::vector<uint16_t>{39, 39, 7}));
    EXPECT_EQ(h.player->WaveOutDeviceName().substr(0, 8), std::string("Monitor", 8));
}

} // namespace
} // namespace tavrenly::test
