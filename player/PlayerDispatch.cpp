// SPDX-License-Identifier: LGPL-2.1-or-later

// The player's dispatch table: every member of `_TavrenPlayer` with its id, types, access,
// flags and help string, bound to the player's own members; and the events of
// `__TavrenPlayer` by id.

#include "player/PlayerDispatch.h"

#include "platform/host/DispatchRows.h"
#include "platform/host/DispatchTable.h"
#include "player/TavrenPlayer.h"

#include <cstring>

namespace tavrenly {

namespace {

using namespace dispatch_rows;
using P = TavrenPlayer;
using Args = std::span<Variant>;
namespace id = player_ids;
namespace ev = player_event_ids;

constexpr std::string_view kFlushBuffersHelp = "Causes the soundcard buffers to be flushed with "
                                               "silent buffers when seeking. Reads setting  from "
                                               "the Registry at startup.";
constexpr std::string_view kInverseLogFadesHelp = "Causes fades to be faded slower at start then "
                                                  "speed up. Reads setting  from the Registry at "
                                                  "startup.";
constexpr std::string_view kMaxLoopCountHelp =
    "The maximum number of times that a loop will be perfomed before leaving the loop. Setting "
    "this too high could cause unpredictable playback positions to be returned.";

Variant::Bytes RecordBytes(const VCHEV& record)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    return Variant::Bytes(bytes, bytes + sizeof(record));
}

// One row per member, grouped as the player's header groups them.
constexpr DispatchEntry<P> kPlayerTable[] = {
    // Core and settings.
    {Help(Hidden(Get(id::Status, "Status", I4, "ePlyStatus")),
          "Displays the current status of the TavrenPlayer"),
     [](P& p) -> Variant { return int32_t{p.Status()}; }},
    {Method(id::LoadAudioEngine, "LoadAudioEngine", None), nullptr, nullptr,
     [](P& p, Args) -> Variant {
         p.LoadAudioEngine();
         return {};
     }},
    {Help(GetPut(id::WaveOutDeviceNumber, "WaveOutDeviceNumber", I2),
          "The windows device number of the device used to play the file"),
     [](P& p) -> Variant { return p.WaveOutDeviceNumber(); },
     [](P& p, Variant& v) { p.WaveOutDeviceNumber(v.AsI2()); }},
    {Help(Hidden(Get(id::WaveOutDeviceName, "WaveOutDeviceName", Str)),
          "The name of the sound device used to play the file"),
     [](P& p) -> Variant { return p.WaveOutDeviceName(); }},
    {GetPutRef(id::WaveBufferLengthms, "WaveBufferLengthms", I4),
     [](P& p) -> Variant { return p.WaveBufferLengthms(); },
     [](P& p, Variant& v) { p.WaveBufferLengthms(v.AsI4()); }},
    {Help(GetPutRef(id::NumberWavePlayBuffers, "NumberWavePlayBuffers", I4),
          "The number of buffers to use for playback."),
     [](P& p) -> Variant { return p.NumberWavePlayBuffers(); },
     [](P& p, Variant& v) { p.NumberWavePlayBuffers(v.AsI4()); }},
    {Help(GetPutRef(id::SampleRate, "SampleRate", I4, "enSampleRate"),
          "The samplerate that the audio will be played back at (11025,22050,33075,44100)"),
     [](P& p) -> Variant { return p.SampleRate(); },
     [](P& p, Variant& v) { p.SampleRate(v.AsI4()); }},
    {Help(GetPutRef(id::NumberChannels, "NumberChannels", I4),
          "The number of channels to use for playback - 1(Mono) or 2(Stereo)"),
     [](P& p) -> Variant { return p.NumberChannels(); },
     [](P& p, Variant& v) { p.NumberChannels(v.AsI4()); }},
    {GetPutRef(id::NumberCacheSeconds, "NumberCacheSeconds", I2),
     [](P& p) -> Variant { return p.NumberCacheSeconds(); },
     [](P& p, Variant& v) {
         int16_t seconds = v.AsI2();
         p.NumberCacheSeconds(seconds);
         v = Variant(seconds);
     }},
    {GetPut(id::ReportErrors, "ReportErrors", Bool),
     [](P& p) -> Variant { return p.ReportErrors(); },
     [](P& p, Variant& v) { p.ReportErrors(v.AsBool()); }},
    {GetPut(id::DirectXMode, "DirectXMode", Bool), [](P& p) -> Variant { return p.DirectXMode(); },
     [](P& p, Variant& v) { p.DirectXMode(v.AsBool()); }},
    {Help(Hidden(GetPut(id::FlushBuffers, "FlushBuffers", Bool)), kFlushBuffersHelp),
     [](P& p) -> Variant { return p.FlushBuffers(); },
     [](P& p, Variant& v) { p.FlushBuffers(v.AsBool()); }},

    // Diagnostic log.
    {GetPut(id::DebugFile, "DebugFile", Str), [](P& p) -> Variant { return p.DebugFile(); },
     [](P& p, Variant& v) { p.DebugFile(v.AsString()); }},
    {Method(id::SetDebugFile, "SetDebugFile", None,
            {In("DebugFileName", Str), Ref("DebugMode", I4, "enDebugMode")}),
     nullptr, nullptr,
     [](P& p, Args a) -> Variant {
         p.SetDebugFile(a[0].AsString(), a[1].AsI4());
         return {};
     }},

    // Files.
    {Help(Method(id::OpenAudio, "OpenAudio", I4, {Ref("fName", Str)}), "Opens a new audio file"),
     nullptr, nullptr, [](P& p, Args a) -> Variant { return p.OpenAudio(a[0].AsString()); }},
    {Method(id::CloseAudio, "CloseAudio", I4), nullptr, nullptr,
     [](P& p, Args) -> Variant { return p.CloseAudio(); }},

    // Transport.
    {Method(id::PlayAudio, "PlayAudio", I4), nullptr, nullptr,
     [](P& p, Args) -> Variant { return p.PlayAudio(); }},
    {Method(id::PauseAudio, "PauseAudio", I4), nullptr, nullptr,
     [](P& p, Args) -> Variant { return p.PauseAudio(); }},
    {Method(id::CueAudio, "CueAudio", I4), nullptr, nullptr,
     [](P& p, Args) -> Variant { return p.CueAudio(); }},
    {Method(id::SeekPercentage, "SeekPercentage", Bool,
            {In("newPosition", R4), OptionalRef("TotalFile", false)}),
     nullptr, nullptr,
     [](P& p, Args a) -> Variant { return p.SeekPercentage(a[0].AsR4(), a[1].AsBool()); }},
    {Method(id::SeekTime, "SeekTime", Bool, {In("newTime", R4), OptionalRef("TotalFile", false)}),
     nullptr, nullptr,
     [](P& p, Args a) -> Variant { return p.SeekTime(a[0].AsR4(), a[1].AsBool()); }},

    // Position and cue markers.
    {Hidden(Get(id::AudioFileName, "AudioFileName", Str)),
     [](P& p) -> Variant { return p.AudioFileName(); }},
    {Hidden(Get(id::SecondsPlayed, "SecondsPlayed", R4)),
     [](P& p) -> Variant { return p.SecondsPlayed(); }},
    {Hidden(Get(id::SecondsRemain, "SecondsRemain", R4)),
     [](P& p) -> Variant { return p.SecondsRemain(); }},
    {Hidden(Get(id::PercentagePlayed, "PercentagePlayed", R4)),
     [](P& p) -> Variant { return p.PercentagePlayed(); }},
    {Hidden(Get(id::TotalSecondsPlayed, "TotalSecondsPlayed", R4)),
     [](P& p) -> Variant { return p.TotalSecondsPlayed(); }},
    {Hidden(Get(id::TotalSecondsRemain, "TotalSecondsRemain", R4)),
     [](P& p) -> Variant { return p.TotalSecondsRemain(); }},
    {Hidden(Get(id::TotalPercentagePlayed, "TotalPercentagePlayed", R4)),
     [](P& p) -> Variant { return p.TotalPercentagePlayed(); }},
    {Hidden(GetPut(id::AudioStart, "AudioStart", R4)),
     [](P& p) -> Variant { return p.AudioStart(); },
     [](P& p, Variant& v) { p.AudioStart(v.AsR4()); }},
    {Hidden(GetPut(id::AudioEnd, "AudioEnd", R4)), [](P& p) -> Variant { return p.AudioEnd(); },
     [](P& p, Variant& v) { p.AudioEnd(v.AsR4()); }},
    {Hidden(Get(id::AudioLength, "AudioLength", R4)),
     [](P& p) -> Variant { return p.AudioLength(); }},
    {Hidden(Get(id::TotalAudioLength, "TotalAudioLength", R4)),
     [](P& p) -> Variant { return p.TotalAudioLength(); }},
    {GetPut(id::RaiseAudioPositionChanged, "RaiseAudioPositionChanged", Bool),
     [](P& p) -> Variant { return p.RaiseAudioPositionChanged(); },
     [](P& p, Variant& v) { p.RaiseAudioPositionChanged(v.AsBool()); }},
    {Hidden(GetPut(id::IntroStart, "IntroStart", R4)),
     [](P& p) -> Variant { return p.IntroStart(); },
     [](P& p, Variant& v) { p.IntroStart(v.AsR4()); }},
    {Hidden(GetPut(id::IntroEnd, "IntroEnd", R4)), [](P& p) -> Variant { return p.IntroEnd(); },
     [](P& p, Variant& v) { p.IntroEnd(v.AsR4()); }},
    {GetPut(id::HookStart, "HookStart", R4), [](P& p) -> Variant { return p.HookStart(); },
     [](P& p, Variant& v) { p.HookStart(v.AsR4()); }},
    {GetPut(id::HookEnd, "HookEnd", R4), [](P& p) -> Variant { return p.HookEnd(); },
     [](P& p, Variant& v) { p.HookEnd(v.AsR4()); }},
    {Hidden(GetPut(id::Extro, "Extro", R4)), [](P& p) -> Variant { return p.Extro(); },
     [](P& p, Variant& v) { p.Extro(v.AsR4()); }},
    {Hidden(GetPut(id::SweeperStart, "SweeperStart", R4)),
     [](P& p) -> Variant { return p.SweeperStart(); },
     [](P& p, Variant& v) { p.SweeperStart(v.AsR4()); }},
    {Hidden(Get(id::AudioPart, "AudioPart", I4, "eAudioPart")),
     [](P& p) -> Variant { return int32_t{p.AudioPart()}; }},

    // Volume and the volume envelope.
    {Method(id::AddVolumeChangeEvent, "AddVolumeChangeEvent", Bool,
            {Ref("ReferenceNumber", I2), In("StartTime", R4), In("Duration", R4),
             In("StartVolume", R4), In("EndVolume", R4), In("NotifyVolume", R4),
             In("RemoveWhenComplete", Bool), Ref("SetVolumePermanently", Bool)}),
     nullptr, nullptr,
     [](P& p, Args a) -> Variant {
         return p.AddVolumeChangeEvent(a[0].AsI2(), a[1].AsR4(), a[2].AsR4(), a[3].AsR4(),
                                       a[4].AsR4(), a[5].AsR4(), a[6].AsBool(), a[7].AsBool());
     }},
    {Method(id::RemoveVolumeChangeEvent, "RemoveVolumeChangeEvent", Bool,
            {Ref("ReferenceNumber", I2)}),
     nullptr, nullptr,
     [](P& p, Args a) -> Variant { return p.RemoveVolumeChangeEvent(a[0].AsI2()); }},
    {Method(id::GetVolumeChangeEvent, "GetVolumeChangeEvent", Bool,
            {Ref("ReferenceNumber", I2), Ref("VolChangeEvent", VarType::Record, "VCHEV")}),
     nullptr, nullptr,
     [](P& p, Args a) -> Variant {
         // The record is only written; one of another size starts from zeros.
         VCHEV record{};
         const Variant::Bytes& given = a[1].AsRecord();
         if (given.size() == sizeof(record))
             std::memcpy(&record, given.data(), sizeof(record));
         const bool found = p.GetVolumeChangeEvent(a[0].AsI2(), record);
         a[1] = Variant(RecordBytes(record));
         return found;
     }},
    {Get(id::NumberVolumeChangeEvents, "NumberVolumeChangeEvents", I2),
     [](P& p) -> Variant { return p.NumberVolumeChangeEvents(); }},
    {Get(id::FirstVolumeChangeEventTime, "FirstVolumeChangeEventTime", R4),
     [](P& p) -> Variant { return p.FirstVolumeChangeEventTime(); }},
    {Get(id::LastVolumeChangeEventTime, "LastVolumeChangeEventTime", R4),
     [](P& p) -> Variant { return p.LastVolumeChangeEventTime(); }},
    {Get(id::CanSetPlayVolume, "CanSetPlayVolume", Bool),
     [](P& p) -> Variant { return p.CanSetPlayVolume(); }},
    {GetPut(id::PlayVolume, "PlayVolume", R4), [](P& p) -> Variant { return p.PlayVolume(); },
     [](P& p, Variant& v) { p.PlayVolume(v.AsR4()); }},
    {Hidden(GetPut(id::FadeMode, "FadeMode", I4, "eFadeMode")),
     [](P& p) -> Variant { return p.FadeMode(); },
     [](P& p, Variant& v) { p.FadeMode(v.AsI4()); }},
    {Help(Hidden(GetPut(id::InverseLogFades, "InverseLogFades", Bool)), kInverseLogFadesHelp),
     [](P& p) -> Variant { return p.InverseLogFades(); },
     [](P& p, Variant& v) { p.InverseLogFades(v.AsBool()); }},

    // Loops and levels.
    {Hidden(GetPut(id::LoopStart, "LoopStart", R4)), [](P& p) -> Variant { return p.LoopStart(); },
     [](P& p, Variant& v) { p.LoopStart(v.AsR4()); }},
    {Hidden(GetPut(id::LoopEnd, "LoopEnd", R4)), [](P& p) -> Variant { return p.LoopEnd(); },
     [](P& p, Variant& v) { p.LoopEnd(v.AsR4()); }},
    {Hidden(GetPut(id::UseLoop, "UseLoop", Bool)), [](P& p) -> Variant { return p.UseLoop(); },
     [](P& p, Variant& v) { p.UseLoop(v.AsBool()); }},
    {Get(id::InLoop, "InLoop", Bool), [](P& p) -> Variant { return p.InLoop(); }},
    {Method(id::ExitLoop, "ExitLoop", None), nullptr, nullptr,
     [](P& p, Args) -> Variant {
         p.ExitLoop();
         return {};
     }},
    {Help(GetPut(id::MaxLoopCount, "MaxLoopCount", I2), kMaxLoopCountHelp),
     [](P& p) -> Variant { return p.MaxLoopCount(); },
     [](P& p, Variant& v) { p.MaxLoopCount(v.AsI2()); }},
    {Get(id::LoopCount, "LoopCount", I2), [](P& p) -> Variant { return p.LoopCount(); }},
    {GetPut(id::SampleAudioLevel, "SampleAudioLevel", Bool),
     [](P& p) -> Variant { return p.SampleAudioLevel(); },
     [](P& p, Variant& v) { p.SampleAudioLevel(v.AsBool()); }},
    {GetPut(id::RaiseAudioLevelEvents, "RaiseAudioLevelEvents", I4),
     [](P& p) -> Variant { return p.RaiseAudioLevelEvents(); },
     [](P& p, Variant& v) { p.RaiseAudioLevelEvents(v.AsI4()); }},
    {Get(id::AudioLevel, "AudioLevel", I2), [](P& p) -> Variant { return p.AudioLevel(); }},
    {Get(id::LeftAudioLevel, "LeftAudioLevel", I2),
     [](P& p) -> Variant { return p.LeftAudioLevel(); }},
    {Get(id::RightAudioLevel, "RightAudioLevel", I2),
     [](P& p) -> Variant { return p.RightAudioLevel(); }},
};

constexpr EventInfo kPlayerEvents[] = {
    Event(ev::Playing, "Playing"),
    Event(ev::Paused, "Paused"),
    Event(ev::Cued, "Cued"),
    Event(ev::Opened, "Opened"),
    Event(ev::Closed, "Closed"),
    Event(ev::AudioPositionChanged, "AudioPositionChanged", {Ref("AudioPartChanging", Bool)}),
    Event(ev::AudioLevelChanged, "AudioLevelChanged",
          {In("MaxLeftLevel", I2), In("MaxRightLevel", I2)}),
    Event(ev::VolumeChangeStartNotify, "VolumeChangeStartNotify", {Ref("ChangeReference", I2)}),
    Event(ev::VolumeChangeNotify, "VolumeChangeNotify", {Ref("ChangeReference", I2)}),
    Event(ev::VolumeChangeEndNotify, "VolumeChangeEndNotify", {Ref("ChangeReference", I2)}),
    Event(ev::PlayerError, "PlayerError", {Ref("ErrorCode", I4)}),
    Event(ev::IntroStartReached, "IntroStartReached"),
    Event(ev::IntroEndReached, "IntroEndReached"),
    Event(ev::ExtroReached, "ExtroReached"),
    Event(ev::AudioEndReached, "AudioEndReached"),
    Event(ev::SweeperStartReached, "SweeperStartReached"),
    Event(ev::AudioVolumeChanged, "AudioVolumeChanged", {In("NewLevel", I2)}),
    Event(ev::LoopRestart, "LoopRestart"),
    Event(ev::LoopCompleted, "LoopCompleted"),
    Event(ev::HookStartReached, "HookStartReached"),
    Event(ev::HookEndReached, "HookEndReached"),
};

constexpr auto kPlayerMembers = DispatchMembers(kPlayerTable);

} // namespace

const InterfaceInfo& PlayerDispatch::Interface() noexcept
{
    static constexpr InterfaceInfo kInterface{"_TavrenPlayer", "__TavrenPlayer", kPlayerMembers,
                                              kPlayerEvents};
    return kInterface;
}

PlayerDispatch::PlayerDispatch(TavrenPlayer& player) noexcept
    : ControlDispatch(player, kPlayerTable, Interface())
{}

void PlayerDispatch::Playing()
{
    Raise(ev::Playing);
}
void PlayerDispatch::Paused()
{
    Raise(ev::Paused);
}
void PlayerDispatch::Cued()
{
    Raise(ev::Cued);
}
void PlayerDispatch::Opened()
{
    Raise(ev::Opened);
}
void PlayerDispatch::Closed()
{
    Raise(ev::Closed);
}
void PlayerDispatch::IntroStartReached()
{
    Raise(ev::IntroStartReached);
}
void PlayerDispatch::IntroEndReached()
{
    Raise(ev::IntroEndReached);
}
void PlayerDispatch::ExtroReached()
{
    Raise(ev::ExtroReached);
}
void PlayerDispatch::AudioEndReached()
{
    Raise(ev::AudioEndReached);
}
void PlayerDispatch::SweeperStartReached()
{
    Raise(ev::SweeperStartReached);
}
void PlayerDispatch::LoopRestart()
{
    Raise(ev::LoopRestart);
}
void PlayerDispatch::LoopCompleted()
{
    Raise(ev::LoopCompleted);
}
void PlayerDispatch::HookStartReached()
{
    Raise(ev::HookStartReached);
}
void PlayerDispatch::HookEndReached()
{
    Raise(ev::HookEndReached);
}

void PlayerDispatch::AudioPositionChanged(bool& AudioPartChanging)
{
    RaiseByRef(ev::AudioPositionChanged, AudioPartChanging, Bool);
}

void PlayerDispatch::AudioLevelChanged(int16_t MaxLeftLevel, int16_t MaxRightLevel)
{
    Variant args[] = {MaxLeftLevel, MaxRightLevel};
    Raise(ev::AudioLevelChanged, args);
}

void PlayerDispatch::VolumeChangeStartNotify(int16_t& ChangeReference)
{
    RaiseByRef(ev::VolumeChangeStartNotify, ChangeReference, I2);
}

void PlayerDispatch::VolumeChangeNotify(int16_t& ChangeReference)
{
    RaiseByRef(ev::VolumeChangeNotify, ChangeReference, I2);
}

void PlayerDispatch::VolumeChangeEndNotify(int16_t& ChangeReference)
{
    RaiseByRef(ev::VolumeChangeEndNotify, ChangeReference, I2);
}

void PlayerDispatch::PlayerError(int32_t& ErrorCode)
{
    RaiseByRef(ev::PlayerError, ErrorCode, I4);
}

void PlayerDispatch::AudioVolumeChanged(int16_t NewLevel)
{
    Variant args[] = {NewLevel};
    Raise(ev::AudioVolumeChanged, args);
}

} // namespace tavrenly
