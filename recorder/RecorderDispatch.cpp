// SPDX-License-Identifier: LGPL-2.1-or-later

// The recorder's dispatch table: every member of `_TavrenRecorder` with its id, types, access
// and flags, bound to the recorder's own members; and the events of `__TavrenRecorder` by id.

#include "recorder/RecorderDispatch.h"

#include "platform/host/DispatchRows.h"
#include "platform/host/DispatchTable.h"
#include "recorder/TavrenRecorder.h"

namespace tavrenly {

namespace {

using namespace dispatch_rows;
using R = TavrenRecorder;
using Args = std::span<Variant>;
namespace id = recorder_ids;
namespace ev = recorder_event_ids;

// One row per member: the methods, then the properties in member id order.
constexpr DispatchEntry<R> kRecorderTable[] = {
    {Method(id::RecordAudio, "RecordAudio", I4,
            {Ref("NewAudioFileName", Str), Ref("SampleRate", I4), Ref("Channels", I2),
             Ref("FormatTag", I2), Ref("TriggerLevel", I2), Ref("RecordLength", R4)}),
     nullptr, nullptr,
     [](R& r, Args a) -> Variant {
         return r.RecordAudio(a[0].AsString(), a[1].AsI4(), a[2].AsI2(), a[3].AsI2(), a[4].AsI2(),
                              a[5].AsR4());
     }},
    {Method(id::RecordAudioEx, "RecordAudioEx", I4,
            {Ref("Filename", Str), Ref("RecSampleRate", I4), Ref("RecChannels", I2),
             Ref("RecFormatTag", I2), Ref("RecTriggerLevel", I2), Ref("RecordLength", R4),
             Ref("RecordFlags", I4, "eRecFlags")}),
     nullptr, nullptr,
     [](R& r, Args a) -> Variant {
         return r.RecordAudioEx(a[0].AsString(), a[1].AsI4(), a[2].AsI2(), a[3].AsI2(), a[4].AsI2(),
                                a[5].AsR4(), a[6].AsI4());
     }},
    {Method(id::CloseRecording, "CloseRecording", I4, {Ref("SaveRecording", Bool)}), nullptr,
     nullptr,
     [](R& r, Args a) -> Variant {
         bool save = a[0].AsBool();
         const int32_t result = r.CloseRecording(save);
         a[0] = Variant(save);
         return result;
     }},
    {Method(id::PauseRecording, "PauseRecording", I4), nullptr, nullptr,
     [](R& r, Args) -> Variant { return r.PauseRecording(); }},
    {Method(id::ResumeRecording, "ResumeRecording", I4), nullptr, nullptr,
     [](R& r, Args) -> Variant { return r.ResumeRecording(); }},
    {Method(id::LoadAudioEngine, "LoadAudioEngine", None), nullptr, nullptr,
     [](R& r, Args) -> Variant {
         r.LoadAudioEngine();
         return {};
     }},
    {Method(id::ClearBuffer, "ClearBuffer", None), nullptr, nullptr,
     [](R& r, Args) -> Variant {
         r.ClearBuffer();
         return {};
     }},
    // The recorder's methods return 32-bit results unless they return nothing; this one
    // always succeeds.
    {Method(id::SetDebugFile, "SetDebugFile", I4,
            {In("DebugFileName", Str), Ref("DebugMode", I4, "enDebugMode")}),
     nullptr, nullptr,
     [](R& r, Args a) -> Variant {
         r.SetDebugFile(a[0].AsString(), a[1].AsI4());
         return int32_t{0};
     }},

    {GetPut(id::WaveInDeviceNumber, "WaveInDeviceNumber", I2),
     [](R& r) -> Variant { return r.WaveInDeviceNumber(); },
     [](R& r, Variant& v) { r.WaveInDeviceNumber(v.AsI2()); }},
    {Get(id::WaveInDeviceName, "WaveInDeviceName", Str),
     [](R& r) -> Variant { return r.WaveInDeviceName(); }},
    {GetPutRef(id::NumberWaveRecordBuffers, "NumberWaveRecordBuffers", I4),
     [](R& r) -> Variant { return r.NumberWaveRecordBuffers(); },
     [](R& r, Variant& v) { r.NumberWaveRecordBuffers(v.AsI4()); }},
    {GetPut(id::ReportErrors, "ReportErrors", Bool),
     [](R& r) -> Variant { return r.ReportErrors(); },
     [](R& r, Variant& v) { r.ReportErrors(v.AsBool()); }},
    {Get(id::RightAudioLevel, "RightAudioLevel", I2),
     [](R& r) -> Variant { return r.RightAudioLevel(); }},
    {Get(id::LeftAudioLevel, "LeftAudioLevel", I2),
     [](R& r) -> Variant { return r.LeftAudioLevel(); }},
    {Get(id::AudioLevel, "AudioLevel", I2), [](R& r) -> Variant { return r.AudioLevel(); }},
    {GetPut(id::RaiseAudioLevelEvents, "RaiseAudioLevelEvents", I4),
     [](R& r) -> Variant { return r.RaiseAudioLevelEvents(); },
     [](R& r, Variant& v) { r.RaiseAudioLevelEvents(v.AsI4()); }},
    {GetPut(id::RecordVolume, "RecordVolume", R4), [](R& r) -> Variant { return r.RecordVolume(); },
     [](R& r, Variant& v) { r.RecordVolume(v.AsR4()); }},
    {Get(id::CanSetRecordVolume, "CanSetRecordVolume", Bool),
     [](R& r) -> Variant { return r.CanSetRecordVolume(); }},
    {GetPut(id::RaiseAudioPositionChanged, "RaiseAudioPositionChanged", Bool),
     [](R& r) -> Variant { return r.RaiseAudioPositionChanged(); },
     [](R& r, Variant& v) { r.RaiseAudioPositionChanged(v.AsBool()); }},
    {Get(id::AudioLength, "AudioLength", R4), [](R& r) -> Variant { return r.AudioLength(); }},
    {GetPutRef(id::NumberCacheSeconds, "NumberCacheSeconds", I2),
     [](R& r) -> Variant { return r.NumberCacheSeconds(); },
     [](R& r, Variant& v) {
         int16_t seconds = v.AsI2();
         r.NumberCacheSeconds(seconds);
         v = Variant(seconds);
     }},
    {GetPutRef(id::NumberChannels, "NumberChannels", I4),
     [](R& r) -> Variant { return int32_t{r.NumberChannels()}; },
     [](R& r, Variant& v) { r.NumberChannels(v.AsI4()); }},
    {GetPutRef(id::SampleRate, "SampleRate", I4, "enSampleRate"),
     [](R& r) -> Variant { return r.SampleRate(); },
     [](R& r, Variant& v) { r.SampleRate(v.AsI4()); }},
    {GetPutRef(id::WaveBufferLengthms, "WaveBufferLengthms", I4),
     [](R& r) -> Variant { return r.WaveBufferLengthms(); },
     [](R& r, Variant& v) { r.WaveBufferLengthms(v.AsI4()); }},
    {Get(id::Status, "Status", I4, "eRecStatus"),
     [](R& r) -> Variant { return int32_t{r.Status()}; }},
    {Get(id::TotalPercentageRecorded, "TotalPercentageRecorded", R4),
     [](R& r) -> Variant { return r.TotalPercentageRecorded(); }},
    {Get(id::TotalSecondsRemain, "TotalSecondsRemain", R4),
     [](R& r) -> Variant { return r.TotalSecondsRemain(); }},
    {Get(id::TotalSecondsRecorded, "TotalSecondsRecorded", R4),
     [](R& r) -> Variant { return r.TotalSecondsRecorded(); }},
    {Get(id::AudioFileName, "AudioFileName", Str),
     [](R& r) -> Variant { return r.AudioFileName(); }},
    {GetPut(id::DebugFile, "DebugFile", Str), [](R& r) -> Variant { return r.DebugFile(); },
     [](R& r, Variant& v) { r.DebugFile(v.AsString()); }},
    {Get(id::TriggerLevelActive, "TriggerLevelActive", Bool),
     [](R& r) -> Variant { return r.TriggerLevelActive(); }},
    {Hidden(GetPut(id::TriggerLevel, "TriggerLevel", I2)),
     [](R& r) -> Variant { return r.TriggerLevel(); },
     [](R& r, Variant& v) { r.TriggerLevel(v.AsI2()); }},
};

constexpr EventInfo kRecorderEvents[] = {
    Event(ev::RecordingEndReached, "RecordingEndReached"),
    Event(ev::Recording, "Recording"),
    Event(ev::Paused, "Paused"),
    Event(ev::RecordOpen, "RecordOpen"),
    Event(ev::Closed, "Closed"),
    Event(ev::AudioPositionChanged, "AudioPositionChanged"),
    Event(ev::AudioLevelChanged, "AudioLevelChanged",
          {In("MaxLeftLevel", I2), In("MaxRightLevel", I2)}),
    Event(ev::PlayerError, "PlayerError", {Ref("ErrorCode", I4)}),
    Event(ev::BufferRecieved, "BufferRecieved",
          {In("ptrBuffer", VarType::Record), In("BufferSize", I4)}),
};

constexpr auto kRecorderMembers = DispatchMembers(kRecorderTable);

} // namespace

const InterfaceInfo& RecorderDispatch::Interface() noexcept
{
    static constexpr InterfaceInfo kInterface{"_TavrenRecorder", "__TavrenRecorder",
                                              kRecorderMembers, kRecorderEvents};
    return kInterface;
}

RecorderDispatch::RecorderDispatch(TavrenRecorder& recorder) noexcept
    : ControlDispatch(recorder, kRecorderTable, Interface())
{}

void RecorderDispatch::RecordingEndReached()
{
    Raise(ev::RecordingEndReached);
}
void RecorderDispatch::Recording()
{
    Raise(ev::Recording);
}
void RecorderDispatch::Paused()
{
    Raise(ev::Paused);
}
void RecorderDispatch::RecordOpen()
{
    Raise(ev::RecordOpen);
}
void RecorderDispatch::Closed()
{
    Raise(ev::Closed);
}
void RecorderDispatch::AudioPositionChanged()
{
    Raise(ev::AudioPositionChanged);
}

void RecorderDispatch::AudioLevelChanged(int16_t MaxLeftLevel, int16_t MaxRightLevel)
{
    Variant args[] = {MaxLeftLevel, MaxRightLevel};
    Raise(ev::AudioLevelChanged, args);
}

void RecorderDispatch::PlayerError(int32_t& ErrorCode)
{
    RaiseByRef(ev::PlayerError, ErrorCode, I4);
}

void RecorderDispatch::BufferRecieved(const void* ptrBuffer, int32_t BufferSize)
{
    if (m_sink == nullptr)
        return;
    // The bytes go into the record kept from the last buffer, whose capacity stays: a steady
    // recording allocates nothing here after its first buffer.
    if (m_bufferArgs[0].Type() != VarType::Record)
        m_bufferArgs[0] = Variant(Variant::Bytes{});
    Variant::Bytes& bytes = m_bufferArgs[0].MutableRecord();
    const auto* first = static_cast<const uint8_t*>(ptrBuffer);
    bytes.assign(first, first + (BufferSize > 0 ? BufferSize : 0));
    m_bufferArgs[1] = Variant(BufferSize);
    Raise(ev::BufferRecieved, m_bufferArgs);
}

} // namespace tavrenly
