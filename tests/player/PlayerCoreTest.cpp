// The player's core: its configuration properties and their validation, start-up from the
// machine-wide settings, first-time defaults, saved settings, devices and the engine wiring.

#include "tests/player/PlayerFixture.h"

#include "platform/host/PropertyBag.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <tuple>

namespace tavrenly::test {
namespace {

class PlayerCoreTest : public ::testing::Test
{
protected:
    ScratchMachineSettings settings;
};

TEST_F(PlayerCoreTest, FirstTimeDefaultsGoThroughThePropertiesAndInvalidPutsAreRefusedWithBoxes)
{
    PlayerHarness h(false);
    h.site.changed.clear();
    h.player->InitNew();
    EXPECT_EQ(h.site.changed,
              (Events{"Width", "RaiseAudioPositionChanged", "MaxLoopCount", "RaiseAudioLevelEvents",
                      "SampleAudioLevel", "WaveBufferLengthms", "NumberWavePlayBuffers",
                      "NumberCacheSeconds", "NumberChannels", "SampleRate", "ReportErrors",
                      "WaveOutDeviceNumber"}));

    // Refused whatever ReportErrors says, with a plain box, no event and no change.
    h.player->ReportErrors(false);
    h.site.changed.clear();
    TavrenPlayer& p = *h.player;
    const std::string rate = "Invalid SampleRate Specified, must be 11025, 22050, 44100, 48000";
    const std::string channels = "Invalid NumberChannels Specified : \nMax = 2";
    const std::pair<std::function<void()>, std::string> refusals[] = {
        {[&] { p.SampleRate(32000); }, rate},
        {[&] { p.SampleRate(96000); }, rate},
        {[&] { p.NumberChannels(0); }, channels},
        {[&] { p.NumberChannels(3); }, channels},
        {[&] { p.WaveBufferLengthms(0); }, "Invalid Buffer Length Specified"},
        {[&] { p.NumberWavePlayBuffers(-1); }, "Invalid Number of Wave Buffers Specified "},
    };
    for (const auto& [put, text] : refusals) {
        h.site.boxes.clear();
        put();
        ASSERT_EQ(h.site.boxes.size(), 1u) << text;
        EXPECT_EQ(std::tuple(h.site.boxes[0].text, h.site.boxes[0].style, h.site.boxes[0].title),
                  std::tuple(text, 0, "Tavrenly"));
    }
    EXPECT_TRUE(h.site.changed.empty());
    EXPECT_TRUE(h.listener.events.empty()) << "refusals raise no PlayerError";
    // What stands is the defaults, in the player and in its engine.
    const SimulatedStreamPlay& e = *h.engine;
    EXPECT_EQ(std::tuple(p.Width(), p.RaiseAudioPositionChanged(), p.MaxLoopCount(),
                         p.NumberCacheSeconds(), p.SampleRate(), p.NumberChannels()),
              std::tuple(1800, true, 1000, 4, 44100, 2));
    EXPECT_EQ(std::tuple(e.RaiseAudioLevelEvents(), e.SampleAudioLevel(), e.BufferLengthms(),
                         e.NumberBuffers(), e.NumberChannels(), e.SampleRate(), e.DeviceNumber(),
                         e.ReportErrors()),
              std::tuple(1, true, 100, 10, 2, 44100, 0, false));
}

TEST_F(PlayerCoreTest, StartUpTakesTheMachineWideSettingsOrTheDefaults)
{
    struct Case
    {
        const char* file; ///< null: none
        int32_t fadeMode;
        bool flush;
        int32_t flushms;
    };
    const Case cases[] = {
        {nullptr, efmFastStart, true, 1},
        {"FadeMode=1\nFlushBuffers=0\nFlushBufferLengthms=0x100\n", efmSlowStart, false, 256},
        // Any non-zero value switches flushing on; a value wider than 32 bits is refused like
        // an over-long registry value and the default applies.
        {"FlushBuffers=-3\nFadeMode=0x100000000\nFadeMode2=7\n", efmFastStart, true, 1},
        // FadeMode is taken unchanged, without a range test.
        {"FadeMode=77\n", 77, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file ? c.file : "no file");
        if (c.file)
            settings.Write(c.file);
        PlayerHarness h(false);
        EXPECT_EQ(std::tuple(h.player->FadeMode(), h.player->InverseLogFades(),
                             h.player->FlushBuffers(), h.engine->FlushBufferLengthms()),
                  std::tuple(c.fadeMode, c.fadeMode == efmSlowStart, c.flush, c.flushms));
        // Start-up assigns through the properties, so the host hears of both.
        EXPECT_EQ(h.site.changed, (Events{"FadeMode", "FlushBuffers"}));
    }
}

/// What the player writes of its settings.
auto Saved(TavrenPlayer& player)
{
    MemoryPropertyBag bag;
    player.WriteProperties(bag);
    return bag.Values();
}

TEST_F(PlayerCoreTest, SavedSettingsRoundTripAnEmptyBagGivesTheDefaultsAndOddKeysAreSkipped)
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
    EXPECT_FALSE(bag.ReadText("RaiseAudioLevelEvents").has_value());
    PlayerHarness loaded(false);
    loaded.player->ReadProperties(bag);
    EXPECT_EQ(std::tuple(loaded.engine->BufferLengthms(), loaded.engine->NumberBuffers()),
              std::tuple(40, 6));
    EXPECT_EQ(Saved(*loaded.player), bag.Values()) << "every saved value read back";

    // Loading nothing gives the first-time defaults, except that position events stay off.
    PlayerHarness fresh, empty(false);
    MemoryPropertyBag nothing;
    empty.player->ReadProperties(nothing);
    EXPECT_NE(Saved(*empty.player), Saved(*fresh.player));
    empty.player->RaiseAudioPositionChanged(true);
    EXPECT_EQ(Saved(*empty.player), Saved(*fresh.player));

    // MaxLoopCount loads unclamped; a key read is assigned through its property, which may
    // refuse it. (The settings table skips an unreadable key for every control.)
    MemoryPropertyBag odd;
    odd.WriteText("MaxLoopCount", "-3");
    odd.WriteText("NumberChannels", "7");
    PlayerHarness h(false);
    h.player->ReadProperties(odd);
    EXPECT_EQ(h.player->MaxLoopCount(), -3);
    ASSERT_EQ(h.site.boxes.size(), 1u);
    EXPECT_EQ(h.site.boxes[0].text, "Invalid NumberChannels Specified : \nMax = 2");
}

TEST_F(PlayerCoreTest, DeviceNumbersMapToPlatformDevices)
{
    PlayerHarness h;
    h.devices->SetOutputDevices({DeviceInfo{.name = "Studio", .manufacturerId = 39, .backend = {}},
                                 {.name = "Monitor", .manufacturerId = 7, .backend = {}}},
                                1);
    // 0 is the default (mapper) device, here platform device 0; the others count from 1. The
    // name is the platform's 32-byte field.
    std::vector<std::pair<uint16_t, std::string>> seen;
    for (const int16_t number : {0, 1, 2}) {
        h.player->WaveOutDeviceNumber(number);
        seen.emplace_back(h.player->State().OutDeviceCaps.wMid, h.player->WaveOutDeviceName());
    }
    EXPECT_EQ(seen[1], std::pair(uint16_t{39}, "Studio" + std::string(26, '\0')));
    EXPECT_EQ(seen[2], std::pair(uint16_t{7}, "Monitor" + std::string(25, '\0')));
    EXPECT_EQ(seen[0].first, 39);
    EXPECT_NE(seen[0].second, seen[1].second) << "device 0 names the default (mapper) device";
}

} // namespace
} // namespace tavrenly::test
