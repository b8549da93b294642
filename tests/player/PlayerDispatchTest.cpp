// SPDX-License-Identifier: LGPL-2.1-or-later

// The player through its dispatch interface: every documented member by id and name, calls
// that reach the real player on the simulated engine, events by id, and refused calls.

#include "player/PlayerDispatch.h"

#include "tests/player/PlayerFixture.h"
#include "tests/support/DispatchExpect.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace tavrenly::test {
namespace {

namespace id = player_ids;

// The documented members of _TavrenPlayer, written out independently of the table.
const ExpectedMember kPlayerMembers[] = {
    {0x68030020, "Status", 'G', true},
    {0x60030031, "LoadAudioEngine", 'M'},
    {0x68030028, "WaveOutDeviceNumber", 'P'},
    {0x6803001f, "WaveOutDeviceName", 'G', true},
    {0x6803001e, "WaveBufferLengthms", 'R'},
    {0x6803001d, "NumberWavePlayBuffers", 'R'},
    {0x6803001c, "SampleRate", 'R'},
    {0x6803001b, "NumberChannels", 'R'},
    {0x6803001a, "NumberCacheSeconds", 'R'},
    {0x6803000d, "ReportErrors", 'P'},
    {0x6803004d, "DirectXMode", 'P'},
    {0x68030088, "FlushBuffers", 'P', true},
    {0x6003002a, "OpenAudio", 'M'},
    {0x60030029, "CloseAudio", 'M'},
    {0x6003002b, "PlayAudio", 'M'},
    {0x6003002c, "PauseAudio", 'M'},
    {0x6003002d, "CueAudio", 'M'},
    {0x6003002e, "SeekPercentage", 'M'},
    {0x6003002f, "SeekTime", 'M'},
    {0x68030027, "AudioFileName", 'G', true},
    {0x68030026, "SecondsPlayed", 'G', true},
    {0x68030025, "SecondsRemain", 'G', true},
    {0x68030024, "PercentagePlayed", 'G', true},
    {0x68030023, "TotalSecondsPlayed", 'G', true},
    {0x68030022, "TotalSecondsRemain", 'G', true},
    {0x68030021, "TotalPercentagePlayed", 'G', true},
    {0x68030019, "AudioStart", 'P', true},
    {0x68030018, "AudioEnd", 'P', true},
    {0x68030017, "AudioLength", 'G', true},
    {0x68030016, "TotalAudioLength", 'G', true},
    {0x68030015, "RaiseAudioPositionChanged", 'P'},
    {0x68030014, "IntroStart", 'P', true},
    {0x68030013, "IntroEnd", 'P', true},
    {0x68030085, "HookStart", 'P'},
    {0x68030084, "HookEnd", 'P'},
    {0x68030012, "Extro", 'P', true},
    {0x68030010, "SweeperStart", 'P', true},
    {0x68030011, "AudioPart", 'G', true},
    {0x60030047, "AddVolumeChangeEvent", 'M'},
    {0x60030048, "RemoveVolumeChangeEvent", 'M'},
    {0x6003004c, "GetVolumeChangeEvent", 'M'},
    {0x68030003, "NumberVolumeChangeEvents", 'G'},
    {0x68030002, "FirstVolumeChangeEventTime", 'G'},
    {0x68030001, "LastVolumeChangeEventTime", 'G'},
    {0x6803000f, "CanSetPlayVolume", 'G'},
    {0x6803000e, "PlayVolume", 'P'},
    {0x68030089, "FadeMode", 'P', true},
    {0x68030087, "InverseLogFades", 'P', true},
    {0x6803000c, "LoopStart", 'P', true},
    {0x6803000b, "LoopEnd", 'P', true},
    {0x6803000a, "UseLoop", 'P', true},
    {0x68030009, "InLoop", 'G'},
    {0x60030083, "ExitLoop", 'M'},
    {0x6803006a, "MaxLoopCount", 'P'},
    {0x68030086, "LoopCount", 'G'},
    {0x68030008, "SampleAudioLevel", 'P'},
    {0x68030007, "RaiseAudioLevelEvents", 'P'},
    {0x68030006, "AudioLevel", 'G'},
    {0x68030005, "LeftAudioLevel", 'G'},
    {0x68030004, "RightAudioLevel", 'G'},
    {0x68030000, "DebugFile", 'P'},
    {0x60030069, "SetDebugFile", 'M'},
};

class PlayerDispatchTest : public PlayerTest
{
protected:
    PlayerDispatchTest() { dispatch.SetEventSink(&sink); }

    PlayerDispatch dispatch{*h.player};
    EventSinkLog sink{PlayerDispatch::Interface()};
};

TEST_F(PlayerDispatchTest, ListsEveryDocumentedMemberAndEvent)
{
    ExpectMembers(dispatch, kPlayerMembers);
    ExpectEvents(dispatch, {"Playing",
                            "Paused",
                            "Cued",
                            "Opened",
                            "Closed",
                            "AudioPositionChanged",
                            "AudioLevelChanged",
                            "VolumeChangeStartNotify",
                            "VolumeChangeNotify",
                            "VolumeChangeEndNotify",
                            "PlayerError",
                            "IntroStartReached",
                            "IntroEndReached",
                            "ExtroReached",
                            "AudioEndReached",
                            "SweeperStartReached",
                            "AudioVolumeChanged",
                            "LoopRestart",
                            "LoopCompleted",
                            "HookStartReached",
                            "HookEndReached"});

    const InterfaceInfo& info = dispatch.TypeInfo();
    EXPECT_EQ(info.name, "_TavrenPlayer");
    EXPECT_EQ(info.eventsName, "__TavrenPlayer");
    const MemberInfo* seek = info.FindMember(id::SeekTime);
    ASSERT_NE(seek, nullptr);
    EXPECT_EQ(seek->type, VarType::Bool);
    EXPECT_EQ(seek->ParamCount(), 2u);
    EXPECT_EQ(seek->RequiredParamCount(), 1u);
    EXPECT_TRUE(seek->params[1].byRef && seek->params[1].optional);
    EXPECT_EQ(info.FindMember(id::FlushBuffers)->helpString,
              "Causes the soundcard buffers to be flushed with silent buffers when seeking. "
              "Reads setting  from the Registry at startup.");
    EXPECT_EQ(info.FindMember(id::AddVolumeChangeEvent)->ParamCount(), 8u);
    EXPECT_EQ(info.FindEvent(player_event_ids::PlayerError)->params[0].byRef, true);
}

TEST_F(PlayerDispatchTest, SettingsGoThroughTheirValidation)
{
    Put(dispatch, "samplerate", int32_t{22050});
    EXPECT_EQ(h.player->SampleRate(), 22050);
    EXPECT_EQ(h.engine->SampleRate(), 22050);
    // A refused value keeps the old one and shows the player's own box.
    Put(dispatch, "SampleRate", int32_t{12345});
    EXPECT_EQ(Get(dispatch, "SampleRate"), Variant(int32_t{22050}));
    ASSERT_FALSE(h.site.boxes.empty());
    EXPECT_EQ(h.site.boxes.back().text,
              "Invalid SampleRate Specified, must be 11025, 22050, 44100, 48000");

    // A by-reference put hands back what the player made of the value; a by-value one does not.
    std::vector<Variant> cache = {int16_t{-5}};
    Variant none;
    ASSERT_EQ(dispatch.Invoke(id::NumberCacheSeconds, DISPATCH_PROPERTYPUT, cache, none), 0);
    EXPECT_EQ(cache[0], Variant(int16_t{0}));
    std::vector<Variant> loops = {int32_t{-3}};
    ASSERT_EQ(dispatch.Invoke(id::MaxLoopCount, DISPATCH_PROPERTYPUT, loops, none), 0);
    EXPECT_EQ(loops[0], Variant(int32_t{-3}));
    EXPECT_EQ(Get(dispatch, "MaxLoopCount"), Variant(int16_t{0}));

    // Numbers convert to the declared type, floats rounding half to even.
    Put(dispatch, "MaxLoopCount", 2.5f);
    EXPECT_EQ(h.player->MaxLoopCount(), 2);
    Put(dispatch, "MaxLoopCount", 3.5f);
    EXPECT_EQ(h.player->MaxLoopCount(), 4);
    Put(dispatch, "ReportErrors", int32_t{0});
    EXPECT_FALSE(h.player->ReportErrors());
    Put(dispatch, "FadeMode", true); // a true boolean is -1 as a number
    EXPECT_EQ(h.player->FadeMode(), -1);
    Put(dispatch, "InverseLogFades", true);
    EXPECT_EQ(Get(dispatch, "FadeMode"), Variant(int32_t{efmSlowStart}));
    EXPECT_EQ(Get(dispatch, "Status"), Variant(int32_t{epsClosed}));
    EXPECT_EQ(Get(dispatch, "WaveOutDeviceName").AsString().size(), 32u);
}

TEST_F(PlayerDispatchTest, PlaysSeeksAndFadesWithEventsInOrder)
{
    const std::string path = dir.File("item.wav");
    WriteCounterWave(path, 3.0);
    EXPECT_EQ(Call(dispatch, "OpenAudio", DISPATCH_METHOD, {path}), Variant(int32_t{0}));
    EXPECT_EQ(Get(dispatch, "AudioFileName"), Variant(path));
    Put(dispatch, "IntroEnd", 0.5f);
    sink.events.clear();
    sink.ids.clear();

    EXPECT_EQ(Call(dispatch, "PlayAudio", DISPATCH_METHOD), Variant(int32_t{0}));
    h.loop.Advance(600);
    EXPECT_EQ(Get(dispatch, "Status"), Variant(int32_t{epsPlaying}));
    const float played = Get(dispatch, "TotalSecondsPlayed").AsR4();
    EXPECT_GT(played, 0.5f);
    EXPECT_LT(played, 0.7f);

    // TotalFile left out takes its default, and the seek lands on the item time asked for.
    EXPECT_EQ(Call(dispatch, "SeekTime", DISPATCH_METHOD, {2.0f}), Variant(true));
    EXPECT_NEAR(h.player->TotalSecondsPlayed(), 2.0f, 0.06f);

    // A fade down to 0 over the rest, its notifications by id with the reference.
    EXPECT_EQ(Call(dispatch, "AddVolumeChangeEvent", DISPATCH_METHOD,
                   {int16_t{7}, 2.1f, 0.5f, 100.0f, 0.0f, -1.0f, true, false}),
              Variant(true));
    EXPECT_EQ(Get(dispatch, "NumberVolumeChangeEvents"), Variant(int16_t{1}));
    std::vector<Variant> getArgs = {int16_t{7}, Variant::Bytes{}};
    Variant found;
    ASSERT_EQ(dispatch.Invoke(id::GetVolumeChangeEvent, DISPATCH_METHOD, getArgs, found), 0);
    EXPECT_EQ(found, Variant(true));
    ASSERT_EQ(getArgs[1].AsRecord().size(), sizeof(VCHEV));
    VCHEV entry{};
    std::memcpy(&entry, getArgs[1].AsRecord().data(), sizeof(entry));
    EXPECT_EQ(entry.Reference, 7);
    EXPECT_FLOAT_EQ(entry.Duration, 0.5f);

    const auto ended = [&] {
        return std::count(sink.ids.begin(), sink.ids.end(), player_event_ids::AudioEndReached) > 0;
    };
    for (int64_t t = 0; t < 5000 && !ended(); t += 10)
        h.loop.Advance(10);
    ASSERT_TRUE(ended());
    EXPECT_EQ(Call(dispatch, "CloseAudio", DISPATCH_METHOD), Variant(int32_t{0}));

    std::vector<std::string> marks;
    for (const std::string& e : sink.events) {
        if (e.rfind("AudioPositionChanged", 0) != 0 && e.rfind("AudioLevelChanged", 0) != 0 &&
            e.rfind("AudioVolumeChanged", 0) != 0)
            marks.push_back(e);
    }
    // The seek passes both intro markers again after its pause.
    EXPECT_EQ(marks,
              (std::vector<std::string>{"Playing", "IntroStartReached", "IntroEndReached", "Paused",
                                        "IntroStartReached", "IntroEndReached", "Playing",
                                        "VolumeChangeStartNotify(7)", "VolumeChangeEndNotify(7)",
                                        "ExtroReached", "AudioEndReached", "Paused", "Closed"}));
    EXPECT_EQ(sink.ids.front(), player_event_ids::Playing);
}

TEST_F(PlayerDispatchTest, EventsCarryTheirDeclaredArgumentsUntilTheSinkGoes)
{
    // A sink that puts a value of another type into a by-reference argument changes nothing.
    sink.on = [](int32_t eventId, std::span<Variant> args) {
        if (eventId == player_event_ids::AudioPositionChanged)
            args[0] = Variant("not a boolean");
    };
    WriteCounterWave(dir.File("a.wav"), 1.0);
    ASSERT_EQ(Call(dispatch, "OpenAudio", DISPATCH_METHOD, {dir.File("a.wav")}),
              Variant(int32_t{0}));
    Call(dispatch, "PlayAudio", DISPATCH_METHOD);
    h.loop.Advance(120);
    ASSERT_GE(sink.events.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(sink.events.begin(), sink.events.begin() + 4),
              (std::vector<std::string>{"Opened", "AudioPositionChanged(False)", "Playing",
                                        "AudioPositionChanged(True)"}));
    dispatch.SetEventSink(nullptr);
    sink.events.clear();
    Call(dispatch, "CloseAudio", DISPATCH_METHOD);
    EXPECT_TRUE(sink.events.empty());
}

TEST_F(PlayerDispatchTest, RefusesBadCallsWithDispatchErrors)
{
    const float infinite = std::numeric_limits<float>::infinity();
    constexpr uint16_t kMethod = DISPATCH_METHOD, kGet = DISPATCH_PROPERTYGET;
    constexpr uint16_t kPut = DISPATCH_PROPERTYPUT, kPutRef = DISPATCH_PROPERTYPUTREF;
    constexpr int32_t kNotFound = DISP_E_MEMBERNOTFOUND, kCount = DISP_E_BADPARAMCOUNT;
    constexpr int32_t kType = DISP_E_TYPEMISMATCH, kNotOptional = DISP_E_PARAMNOTOPTIONAL;
    const RefusedCall calls[] = {
        {"unknown id", 0x60039999, kMethod, {}, kNotFound},
        {"get of a method", id::PlayAudio, kGet, {}, kNotFound},
        {"put of a read-only property", id::Status, kPut, {int32_t{5}}, kNotFound},
        {"putref", id::SampleRate, kPutRef, {int32_t{44100}}, kNotFound},
        {"required argument missing", id::SeekTime, kMethod, {}, kCount},
        {"too many arguments", id::SeekTime, kMethod, {1.0f, true, true}, kCount},
        {"get with an argument", id::Status, kGet, {int32_t{1}}, kCount},
        {"put without value", id::SampleRate, kPut, {}, kCount},
        {"required argument empty", id::SeekTime, kMethod, {Variant{}, true}, kNotOptional, 0},
        {"put of empty", id::PlayVolume, kPut, {Variant{}}, kNotOptional, 0},
        {"number for a string", id::OpenAudio, kMethod, {int32_t{3}}, kType, 0},
        {"string for a number", id::SampleRate, kPut, {"44100"}, kType, 0},
        {"record for a float", id::SeekTime, kMethod, {1.0f, Variant::Bytes{1}}, kType, 1},
        {"too big for 16 bits", id::NumberCacheSeconds, kPut, {int32_t{40000}}, DISP_E_OVERFLOW, 0},
        {"infinite for an integer", id::MaxLoopCount, kPut, {infinite}, DISP_E_OVERFLOW, 0},
    };
    ExpectRefused(dispatch, calls, id::Status);
    EXPECT_TRUE(h.site.boxes.empty()) << "a refused call reached the player";
    EXPECT_EQ(h.player->SampleRate(), esr44100);
}

TEST_F(PlayerDispatchTest, ArithmeticErrorsBecomeDispatchExceptions)
{
    // A cache of 32767 seconds of the file cannot be sized: the player throws its overflow,
    // which the caller gets as an exception result with the code and text.
    WriteCounterWave(dir.File("big.wav"), 0.5);
    Put(dispatch, "NumberCacheSeconds", int16_t{32767});
    std::vector<Variant> args = {dir.File("big.wav")};
    Variant result(int32_t{99});
    DispatchError error;
    EXPECT_EQ(dispatch.Invoke(id::OpenAudio, DISPATCH_METHOD, args, result, &error),
              DISP_E_EXCEPTION);
    EXPECT_EQ(error.code, RuntimeError::kOverflow);
    EXPECT_FALSE(error.description.empty());
    EXPECT_EQ(result, Variant(int32_t{99}));
    EXPECT_EQ(Get(dispatch, "Status"), Variant(int32_t{epsClosed}));
}

} // namespace
} // namespace tavrenly::test
