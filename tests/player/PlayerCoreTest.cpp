// The player's core: its configuration properties and their validation, start-up from the
// machine-wide settings, first-time defaults, saved settings, devices and the engine wiring.

#include "tests/player/PlayerFixture.h"

#include "platform/host/PropertyBag.h"

#include <gtest/gtest.h>

namespace tavrenly::test {
namespace {

class PlayerCoreTest : public ::testing::Test
{
protected:
    ScratchMachineSettings settings;
};

TEST_F(PlayerCoreTest, RefusesInvalidConfigurationWithPlainBoxesWhateverReportErrorsSays)
{
    PlayerHarness h;
    h.player->ReportErrors(false);
    h.site.boxes.clear();
    h.site.changed.clear();

    h.player->SampleRate(32000);
    h.player->SampleRate(96000);
    h.player->NumberChannels(0);
    h.player->NumberChannels(3);
    h.player->WaveBufferLengthms(0);
    h.player->NumberWavePlayBuffers(-1);

    const std::vector<std::string> expected = {
        "Invalid SampleRate Specified, must be 11025, 22050, 44100, 48000",
        "Invalid SampleRate Specified, must be 11025, 22050, 44100, 48000",
        "Invalid NumberChannels Specified : \nMax = 2",
        "Invalid NumberChannels Specified : \nMax = 2",
        "Invalid Buffer Length Specified",
        "Invalid Number of Wave Buffers Specified ",
    };
    ASSERT_EQ(h.site.boxes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(h.site.boxes[i].text, expected[i]);
        EXPECT_EQ(h.site.boxes[i].style, 0);
        EXPECT_EQ(h.site.boxes[i].title, "Tavrenly");
    }
    EXPECT_TRUE(h.site.changed.empty());
    EXPECT_EQ(h.player->SampleRate(), 44100);
    EXPECT_EQ(h.engine->SampleRate(), 44100);
    EXPECT_EQ(h.player->NumberChannels(), 2);
    EXPECT_EQ(h.engine->BufferLengthms(), 100);
    EXPECT_EQ(h.engine->NumberBuffers(), 10);
    EXPECT_TRUE(h.listener.events.empty()) << "refusals raise no PlayerError";
}

TEST_F(PlayerCoreTest, StartUpWithoutSettingsFileUsesDefaults)
{
    PlayerHarness h(false);
    EXPECT_EQ(h.player->FadeMode(), efmFastStart);
    EXPECT_TRUE(h.player->FlushBuffers());
    EXPECT_EQ(h.engine->FlushBufferLengthms(), 1);
    // Start-up assigns through the properties, so the host hears of both.
    EXPECT_EQ(h.site.changed, (std::vector<std::string>{"FadeMode", "FlushBuffers"}));
}

TEST_F(PlayerCoreTest, StartUpReadsTheMachineWideSettings)
{
    settings.Write("FadeMode=1\nFlushBuffers=0\nFlushBufferLengthms=0x100\n");
    {
        PlayerHarness h(false);
        EXPECT_EQ(h.player->FadeMode(), efmSlowStart);
        EXPECT_TRUE(h.player->InverseLogFades());
        EXPECT_FALSE(h.player->FlushBuffers());
        EXPECT_EQ(h.engine->FlushBufferLengthms(), 256);
    }
    // Any non-zero value switches flushing on; a value wider than 32 bits is refused like an
    // over-long registry value and the default applies.
    settings.Write("FlushBuffers=-3\nFadeMode=0x100000000\nFadeMode2=7\n");
    {
        PlayerHarness h(false);
        EXPECT_TRUE(h.player->FlushBuffers());
        EXPECT_EQ(h.player->FadeMode(), efmFastStart);
    }
    // FadeMode is taken unchanged, without a range test.
    settings.Write("FadeMode=77\n");
    PlayerHarness h(false);
    EXPECT_EQ(h.player->FadeMode(), 77);
}

TEST_F(PlayerCoreTest, FirstTimeDefaultsAreAssignedThroughThePropertiesInOrder)
{
    PlayerHarness h(false);
    h.site.changed.clear();
    h.player->InitNew();

    EXPECT_EQ(h.site.changed, (std::vector<std::string>{
                                  "Width", "RaiseAudioPositionChanged", "MaxLoopCount",
                                  "RaiseAudioLevelEvents", "SampleAudioLevel", "WaveBufferLengthms",
                                  "NumberWavePlayBuffers", "NumberCacheSeconds", "NumberChannels",
                                  "SampleRate", "ReportErrors", "WaveOutDeviceNumber"}));
    EXPECT_EQ(h.player->Width(), 1800);
    EXPECT_TRUE(h.player->RaiseAudioPositionChanged());
    EXPECT_EQ(h.player->MaxLoopCount(), 1000);
    EXPECT_EQ(h.engine->RaiseAudioLevelEvents(), 1);
    EXPECT_TRUE(h.engine->SampleAudioLevel());
    EXPECT_EQ(h.engine->BufferLengthms(), 100);
    EXPECT_EQ(h.engine->NumberBuffers(), 10);
    EXPECT_EQ(h.player->NumberCacheSeconds(), 4);
    EXPECT_EQ(h.engine->NumberChannels(), 2);
    EXPECT_EQ(h.engine->SampleRate(), 44100);
    EXPECT_TRUE(h.engine->ReportErrors());
    EXPECT_EQ(h.engine->DeviceNumber(), 0);
}

TEST_F(PlayerCoreTest, SavedSettingsRoundTripAndAnEmptyBagGivesTheDefaultsButPositionEvents)
{
    MemoryPropertyBag bag;
    {
        PlayerHarness h;
        h.player->WaveBufferLengthms(40);
        h.player->NumberWavePlayBuffers(6);
        h.player->NumberChannels(1);
        h.player->SampleRate(48000);
        int16_t cache = 9;
        h.player->NumberCacheSeconds(cache);
        h.player->MaxLoopCount(12);
        h.player->RaiseAudioPositionChanged(false);
        h.player->RaiseAudioLevelEvents(3);
        h.player->SampleAudioLevel(false);
        h.player->ReportErrors(false);
        h.player->DirectXMode(true);
        h.player->WriteProperties(bag);
    }
    EXPECT_EQ(bag.ReadText("RaiseLevelChangeEvents"), "3");
    EXPECT_FALSE(bag.ReadText("RaiseAudioLevelEvents").has_value());
    {
        PlayerHarness h(false);
        h.player->ReadProperties(bag);
        EXPECT_EQ(h.engine->BufferLengthms(), 40);
        EXPECT_EQ(h.engine->NumberBuffers(), 6);
        MemoryPropertyBag again;
        h.player->WriteProperties(again);
        EXPECT_EQ(again.Values(), bag.Values()) << "every saved value read back";
    }

    // Loading nothing gives the first-time defaults, except that position events stay off.
    PlayerHarness fresh;
    MemoryPropertyBag defaults;
    fresh.player->WriteProperties(defaults);
    PlayerHarness loaded(false);
    MemoryPropertyBag empty;
    loaded.player->ReadProperties(empty);
    MemoryPropertyBag fromEmpty;
    loaded.player->WriteProperties(fromEmpty);
    EXPECT_TRUE(fresh.player->RaiseAudioPositionChanged());
    EXPECT_FALSE(loaded.player->RaiseAudioPositionChanged());
    loaded.player->RaiseAudioPositionChanged(true);
    MemoryPropertyBag fromEmptyWithEvents;
    loaded.player->WriteProperties(fromEmptyWithEvents);
    EXPECT_EQ(fromEmptyWithEvents.Values(), defaults.Values());
    EXPECT_NE(fromEmpty.Values(), defaults.Values());
}

TEST_F(PlayerCoreTest, SavedSettingsLoadMaxLoopCountUnclampedAndSkipUnreadableKeys)
{
    MemoryPropertyBag bag;
    bag.WriteText("MaxLoopCount", "-3");
    bag.WriteText("SampleRate", "fast");  // cannot be read: skipped
    bag.WriteText("NumberChannels", "7"); // read, then refused by the property
    PlayerHarness h(false);
    h.player->ReadProperties(bag);
    EXPECT_EQ(h.player->MaxLoopCount(), -3);
    EXPECT_EQ(h.player->SampleRate(), 0) << "the key was skipped, nothing assigned";
    ASSERT_EQ(h.site.boxes.size(), 1u);
    EXPECT_EQ(h.site.boxes[0].text, "Invalid NumberChannels Specified : \nMax = 2");
}

TEST_F(PlayerCoreTest, DeviceNumbersMapToPlatformDevices)
{
    PlayerHarness h;
    DeviceInfo first;
    first.name = "Studio A Console Output With A Very Long Name";
    first.manufacturerId = 39;
    DeviceInfo second;
    second.name = "Monitor";
    second.manufacturerId = 7;
    h.devices->SetOutputDevices({first, second}, 1);

    h.player->WaveOutDeviceNumber(0);
    EXPECT_EQ(h.player->State().OutDeviceCaps.wMid, 39) << "0 reads platform device 0";
    h.player->WaveOutDeviceNumber(1);
    EXPECT_EQ(h.player->State().OutDeviceCaps.wMid, 39);
    h.player->WaveOutDeviceNumber(2);
    EXPECT_EQ(h.player->State().OutDeviceCaps.wMid, 7);

    const std::string second32 = h.player->WaveOutDeviceName();
    ASSERT_EQ(second32.size(), 32u);
    EXPECT_EQ(second32.substr(0, 8), std::string("Monitor\0", 8));
    h.player->WaveOutDeviceNumber(1);
    const std::string first32 = h.player->WaveOutDeviceName();
    ASSERT_EQ(first32.size(), 32u);
    EXPECT_EQ(first32.substr(0, 31), first.name.substr(0, 31));
    h.player->WaveOutDeviceNumber(0);
    const std::string mapper = h.player->WaveOutDeviceName();
    ASSERT_EQ(mapper.size(), 32u);
    EXPECT_NE(mapper, first32) << "device 0 names the default (mapper) device";
}

} // namespace
} // namespace tavrenly::test
