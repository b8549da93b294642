// SPDX-License-Identifier: LGPL-2.1-or-later

// The recorder through its dispatch interface: every documented member by id and name, a
// recording made by calls on the simulated engine with its events by id, and refused calls.

#include "recorder/RecorderDispatch.h"

#include "tests/recorder/RecorderFixture.h"
#include "tests/support/DispatchExpect.h"

#include <filesystem>

namespace tavrenly::test {
namespace {

namespace id = recorder_ids;

// The documented members of _TavrenRecorder, written out independently of the table.
const ExpectedMember kRecorderMembers[] = {
    {0x60030015, "RecordAudio", 'M'},
    {0x6003002C, "RecordAudioEx", 'M'},
    {0x60030016, "CloseRecording", 'M'},
    {0x60030017, "PauseRecording", 'M'},
    {0x60030018, "ResumeRecording", 'M'},
    {0x60030019, "LoadAudioEngine", 'M'},
    {0x6003001A, "ClearBuffer", 'M'},
    {0x6003002B, "SetDebugFile", 'M'},
    {0x68030014, "AudioFileName", 'G'},
    {0x68030013, "TotalSecondsRecorded", 'G'},
    {0x68030012, "TotalSecondsRemain", 'G'},
    {0x68030011, "TotalPercentageRecorded", 'G'},
    {0x68030010, "Status", 'G'},
    {0x6803000F, "WaveBufferLengthms", 'R'},
    {0x6803000E, "SampleRate", 'R'},
    {0x6803000D, "NumberChannels", 'R'},
    {0x6803000C, "NumberCacheSeconds", 'R'},
    {0x6803000B, "AudioLength", 'G'},
    {0x6803000A, "RaiseAudioPositionChanged", 'P'},
    {0x68030009, "CanSetRecordVolume", 'G'},
    {0x68030008, "RecordVolume", 'P'},
    {0x68030007, "RaiseAudioLevelEvents", 'P'},
    {0x68030006, "AudioLevel", 'G'},
    {0x68030005, "LeftAudioLevel", 'G'},
    {0x68030004, "RightAudioLevel", 'G'},
    {0x68030003, "ReportErrors", 'P'},
    {0x68030002, "NumberWaveRecordBuffers", 'R'},
    {0x68030001, "WaveInDeviceName", 'G'},
    {0x68030000, "WaveInDeviceNumber", 'P'},
    {0x6803001D, "TriggerLevel", 'P', true},
    {0x6803001C, "TriggerLevelActive", 'G'},
    {0x6803001B, "DebugFile", 'P'},
};

class RecorderDispatchTest : public ::testing::Test
{
protected:
    RecorderDispatchTest() { dispatch.SetEventSink(&sink); }

    RecorderHarness h;
    RecorderDispatch dispatch{*h.recorder};
    EventSinkLog sink{RecorderDispatch::Interface()};
};

TEST_F(RecorderDispatchTest, ListsEveryDocumentedMemberAndEvent)
{
    ExpectMembers(dispatch, kRecorderMembers);
    ExpectEvents(dispatch,
                 {"RecordingEndReached", "Recording", "Paused", "RecordOpen", "Closed",
                  "AudioPositionChanged", "AudioLevelChanged", "PlayerError", "BufferRecieved"});
    EXPECT_EQ(dispatch.TypeInfo().name, "_TavrenRecorder");
    EXPECT_EQ(dispatch.TypeInfo().FindMember(id::RecordAudioEx)->ParamCount(), 7u);
}

TEST_F(RecorderDispatchTest, RecordsAFileWithEventsInOrderAndKeepsNoFileWithoutAudio)
{
    const std::string path = h.dir.File("take.wav");
    // Captured as mono: the channel count goes through the recorder's own check.
    Put(dispatch, "NumberChannels", int32_t{1});
    EXPECT_EQ(h.recorder->NumberChannels(), 1);
    Put(dispatch, "NumberChannels", int32_t{3});
    EXPECT_EQ(Get(dispatch, "NumberChannels"), Variant(int32_t{1}));
    ASSERT_EQ(h.site.boxes.size(), 1u);

    EXPECT_EQ(Call(dispatch, "RecordAudioEx", DISPATCH_METHOD,
                   {path, int32_t{22050}, int16_t{1}, int16_t{1}, int16_t{0}, 1.0f, int32_t{0}}),
              Variant(int32_t{0}));
    EXPECT_EQ(Get(dispatch, "Status"), Variant(int32_t{ersRecording}));
    h.Run(1200);
    EXPECT_EQ(Get(dispatch, "TotalSecondsRecorded"), Variant(1.0f));

    std::vector<Variant> save = {true};
    Variant result;
    ASSERT_EQ(dispatch.Invoke(id::CloseRecording, DISPATCH_METHOD, save, result), 0);
    EXPECT_EQ(result, Variant(int32_t{0}));
    EXPECT_EQ(save[0], Variant(true));
    // One second of 22050 Hz mono 16-bit audio, the header before it.
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_GT(std::filesystem::file_size(path), 44100u);

    std::vector<std::string> states;
    int32_t bytes = 0;
    for (size_t i = 0; i < sink.ids.size(); ++i) {
        if (sink.ids[i] == recorder_event_ids::BufferRecieved)
            bytes += std::stoi(sink.events[i].substr(sink.events[i].find(',') + 1));
        else if (sink.ids[i] != recorder_event_ids::AudioPositionChanged &&
                 sink.ids[i] != recorder_event_ids::AudioLevelChanged)
            states.push_back(sink.events[i]);
    }
    // At its length the recording pauses and, each tick until closed, says so again.
    ASSERT_GE(states.size(), 5u);
    EXPECT_EQ(
        std::vector<std::string>(states.begin(), states.begin() + 4),
        (std::vector<std::string>{"RecordOpen", "Recording", "Paused", "RecordingEndReached"}));
    EXPECT_EQ(states.back(), "Closed");
    EXPECT_GT(bytes, 0);

    // A recording closed before any audio keeps nothing and hands back false for the flag.
    const std::string empty = h.dir.File("empty.wav");
    ASSERT_EQ(Call(dispatch, "RecordAudio", DISPATCH_METHOD,
                   {empty, int32_t{44100}, int16_t{2}, int16_t{1}, int16_t{0}, 0.0f}),
              Variant(int32_t{0}));
    sink.events.clear();
    save = {true};
    ASSERT_EQ(dispatch.Invoke(id::CloseRecording, DISPATCH_METHOD, save, result), 0);
    EXPECT_EQ(save[0], Variant(false));
    EXPECT_FALSE(std::filesystem::exists(empty));
    EXPECT_EQ(sink.events, (std::vector<std::string>{"Closed", "AudioPositionChanged"}));
}

// The refusals themselves are the shared dispatch layer's, tried in full on the player; these
// check the recorder's own parameter lists: what is required and of which type.
TEST_F(RecorderDispatchTest, RefusesCallsThatDoNotFitTheParameterLists)
{
    constexpr uint16_t kMethod = DISPATCH_METHOD;
    const std::vector<Variant> badRate = {"x.wav",    "fast",     int16_t{2},
                                          int16_t{1}, int16_t{0}, 0.0f};
    const std::vector<Variant> manyChannels = {"x.wav",    int32_t{44100}, int32_t{70000},
                                               int16_t{1}, int16_t{0},     0.0f};
    const RefusedCall calls[] = {
        {"too few arguments", id::RecordAudioEx, kMethod, {"x.wav"}, DISP_E_BADPARAMCOUNT},
        {"rate of the wrong type", id::RecordAudio, kMethod, badRate, DISP_E_TYPEMISMATCH, 1},
        {"channels over 16 bits", id::RecordAudio, kMethod, manyChannels, DISP_E_OVERFLOW, 2},
        {"empty save flag", id::CloseRecording, kMethod, {Variant{}}, DISP_E_PARAMNOTOPTIONAL},
    };
    ExpectRefused(dispatch, calls, id::Status);
    EXPECT_TRUE(sink.events.empty()) << "a refused call reached the recorder";
}

} // namespace
} // namespace tavrenly::test
