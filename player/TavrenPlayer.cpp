// SPDX-License-Identifier: LGPL-2.1-or-later

#include "player/TavrenPlayer.h"

#include "common/MultimediaAPI.h"
#include "common/Registry.h"
#include "common/TavrenlyFN.h"
#include "engine/EngineFactory.h"
#include "platform/host/ControlSite.h"
#include "platform/host/PropertyBag.h"
#include "platform/host/SavedSettings.h"
#include "player/PlayerState.h"

#include <cstring>

namespace tavrenly {

namespace {

/// The one size property of the surface that a new instance sets.
constexpr int32_t kFirstTimeWidth = 1800;

} // namespace

TavrenPlayer::TavrenPlayer(ControlSite& site, std::unique_ptr<StreamPlay> engine)
    : m_site(site), m_engine(engine ? std::move(engine) : CreateStreamPlay(site.Loop())),
      m_stateStorage(std::make_unique<PlayerState>()), m_state(*m_stateStorage),
      m_tmrPosition(site.Loop(), kPositionTimerIntervalms, [this] { tmrPosition_Timer(); }),
      m_deferredLoopTag(kBufferTagOrdinary)
{
    m_engine->SetListener(this);

    // Start-up, before any settings are loaded.
    QueryOSVersion();
    for (int16_t slot = 1; slot <= kVolumeChangeSlots; ++slot) {
        VCHEV& entry = m_state.VolumeChangeEvents[static_cast<size_t>(slot - 1)];
        entry.Reference = -1;
        entry.NotifyVolume = -1.0f;
    }

    int32_t fadeModeDefault = efmFastStart;
    FadeMode(ReadRegistryLong(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "FadeMode", fadeModeDefault));
    int32_t flushDefault = 1;
    FlushBuffers(
        ReadRegistryLong(HKEY_LOCAL_MACHINE, kTavrenStreamKey, "FlushBuffers", flushDefault) != 0);
    int32_t flushLengthDefault = 1;
    m_engine->FlushBufferLengthms(ReadRegistryLong(HKEY_LOCAL_MACHINE, kTavrenStreamKey,
                                                   "FlushBufferLengthms", flushLengthDefault));
}

TavrenPlayer::~TavrenPlayer()
{
    // Nothing may escape a destructor; a failing close leaves nothing to undo.
    try {
        CloseAudio();
    } catch (...) {
    }
    m_tmrPosition.Enabled(false);
    m_engine->SetListener(nullptr);
}

// The getters that only read the state record.

int32_t TavrenPlayer::SampleRate() const
{
    return m_state.SampleRate;
}

int32_t TavrenPlayer::NumberChannels() const
{
    return m_state.NumberChannels;
}

int16_t TavrenPlayer::NumberCacheSeconds() const
{
    return m_state.NumberCacheSeconds;
}

bool TavrenPlayer::ReportErrors() const
{
    return m_state.ReportErrors;
}

bool TavrenPlayer::DirectXMode() const
{
    return m_state.DirectXMode;
}

bool TavrenPlayer::FlushBuffers() const
{
    return m_state.FlushBuffers;
}

const std::string& TavrenPlayer::AudioFileName() const
{
    return m_state.AudioFileName;
}

float TavrenPlayer::SecondsPlayed() const
{
    return m_state.SecondsPlayed;
}

float TavrenPlayer::SecondsRemain() const
{
    return m_state.SecondsRemain;
}

float TavrenPlayer::PercentagePlayed() const
{
    return m_state.PercentagePlayed;
}

float TavrenPlayer::TotalSecondsPlayed() const
{
    return m_state.TotalSecondsPlayed;
}

float TavrenPlayer::TotalSecondsRemain() const
{
    return m_state.TotalSecondsRemain;
}

float TavrenPlayer::TotalPercentagePlayed() const
{
    return m_state.TotalPercentagePlayed;
}

float TavrenPlayer::AudioStart() const
{
    return m_state.AudioStart;
}

float TavrenPlayer::AudioEnd() const
{
    return m_state.AudioEnd;
}

float TavrenPlayer::AudioLength() const
{
    return m_state.AudioLength;
}

float TavrenPlayer::TotalAudioLength() const
{
    return m_state.TotalAudioLength;
}

float TavrenPlayer::IntroStart() const
{
    return m_state.IntroStart;
}

float TavrenPlayer::IntroEnd() const
{
    return m_state.IntroEnd;
}

float TavrenPlayer::HookStart() const
{
    return m_state.HookStart;
}

float TavrenPlayer::HookEnd() const
{
    return m_state.HookEnd;
}

float TavrenPlayer::Extro() const
{
    return m_state.Extro;
}

float TavrenPlayer::SweeperStart() const
{
    return m_state.SweeperStart;
}

float TavrenPlayer::FirstVolumeChangeEventTime() const
{
    return m_state.FirstVolumeChangeEventTime;
}

float TavrenPlayer::LastVolumeChangeEventTime() const
{
    return m_state.LastVolumeChangeEventTime;
}

bool TavrenPlayer::UseLoop() const
{
    return m_state.UseLoop;
}

int16_t TavrenPlayer::LoopCount() const
{
    return m_state.LoopCount;
}

bool TavrenPlayer::RaiseAudioPositionChanged() const
{
    return m_state.RaiseAudioPositionChanged;
}

int32_t TavrenPlayer::FadeMode() const
{
    return m_state.FadeMode;
}

bool TavrenPlayer::InverseLogFades() const
{
    return m_state.FadeMode == efmSlowStart;
}

int16_t TavrenPlayer::MaxLoopCount() const
{
    return m_state.MaxLoopCount;
}

int32_t TavrenPlayer::RaiseAudioLevelEvents() const
{
    return m_state.RaiseAudioLevelEvents;
}

bool TavrenPlayer::SampleAudioLevel() const
{
    return m_state.SampleAudioLevel;
}

const PlayerState& TavrenPlayer::State() const
{
    return m_state;
}

void TavrenPlayer::InitNew()
{
    Width(kFirstTimeWidth);
    RaiseAudioPositionChanged(true);
    MaxLoopCount(1000);
    RaiseAudioLevelEvents(1);
    SampleAudioLevel(true);
    WaveBufferLengthms(100);
    NumberWavePlayBuffers(10);
    int16_t cacheSeconds = 4;
    NumberCacheSeconds(cacheSeconds);
    NumberChannels(2);
    SampleRate(esr44100);
    ReportErrors(true);
    WaveOutDeviceNumber(0);
}

std::span<const SavedSetting<TavrenPlayer>> TavrenPlayer::SavedSettings()
{
    using P = TavrenPlayer;
    // Each value is assigned through its property, so validation and the engine updates apply,
    // except MaxLoopCount, which is stored as saved, without the property's clamp. The engine
    // keeps the buffer length, buffer count and device number; they are saved from it.
    static constexpr SavedSetting<P> kSettings[] = {
        {"WaveBufferLengthms", SettingType::Int32, 100,
         [](P& p, int32_t v) { p.WaveBufferLengthms(v); },
         [](P& p) { return p.m_engine->BufferLengthms(); }},
        {"NumberWavePlayBuffers", SettingType::Int32, 10,
         [](P& p, int32_t v) { p.NumberWavePlayBuffers(v); },
         [](P& p) { return p.m_engine->NumberBuffers(); }},
        {"NumberChannels", SettingType::Int32, 2, [](P& p, int32_t v) { p.NumberChannels(v); },
         [](P& p) { return int32_t{p.m_state.NumberChannels}; }},
        {"SampleRate", SettingType::Int32, esr44100, [](P& p, int32_t v) { p.SampleRate(v); },
         [](P& p) { return p.m_state.SampleRate; }},
        {"NumberCacheSeconds", SettingType::Int16, 4,
         [](P& p, int32_t v) {
             int16_t seconds = static_cast<int16_t>(v);
             p.NumberCacheSeconds(seconds);
         },
         [](P& p) { return int32_t{p.m_state.NumberCacheSeconds}; }},
        {"WaveOutDeviceNumber", SettingType::Int16, 0,
         [](P& p, int32_t v) { p.WaveOutDeviceNumber(static_cast<int16_t>(v)); },
         [](P& p) { return int32_t{p.m_engine->DeviceNumber()}; }},
        {"MaxLoopCount", SettingType::Int16, 1000,
         [](P& p, int32_t v) { p.m_state.MaxLoopCount = static_cast<int16_t>(v); },
         [](P& p) { return int32_t{p.m_state.MaxLoopCount}; }},
        {"RaiseAudioPositionChanged", SettingType::Bool, 0,
         [](P& p, int32_t v) { p.RaiseAudioPositionChanged(v != 0); },
         [](P& p) { return int32_t{p.m_state.RaiseAudioPositionChanged}; }},
        // The key differs from the property's name.
        {"RaiseLevelChangeEvents", SettingType::Int32, 1,
         [](P& p, int32_t v) { p.RaiseAudioLevelEvents(v); },
         [](P& p) { return p.m_state.RaiseAudioLevelEvents; }},
        {"SampleAudioLevel", SettingType::Bool, 1,
         [](P& p, int32_t v) { p.SampleAudioLevel(v != 0); },
         [](P& p) { return int32_t{p.m_state.SampleAudioLevel}; }},
        {"ReportErrors", SettingType::Bool, 1, [](P& p, int32_t v) { p.ReportErrors(v != 0); },
         [](P& p) { return int32_t{p.m_state.ReportErrors}; }},
        {"DirectXMode", SettingType::Bool, 0, [](P& p, int32_t v) { p.DirectXMode(v != 0); },
         [](P& p) { return int32_t{p.m_state.DirectXMode}; }},
    };
    return kSettings;
}

void TavrenPlayer::ReadProperties(PropertyBag& bag)
{
    ReadSavedSettings(bag, *this, SavedSettings());
}

void TavrenPlayer::WriteProperties(PropertyBag& bag)
{
    WriteSavedSettings(bag, *this, SavedSettings());
}

ePlyStatus TavrenPlayer::Status() const
{
    if (m_state.hAudioFile == nullptr)
        return epsClosed;
    if (m_state.EnginePlaying)
        return epsPlaying;
    return m_state.SecondsPlayed == 0.0f ? epsCued : epsPaused;
}

void TavrenPlayer::LoadAudioEngine()
{
    m_log.Basic("Start Function LoadAudioEngine");
    {
        const ScopedFlag loading(m_state.EngineLoading);
        m_engine->LoadAudioEngine();
    }
    m_log.Basic("End Function LoadAudioEngine\r\n");
}

int16_t TavrenPlayer::WaveOutDeviceNumber() const
{
    return m_engine->DeviceNumber();
}

void TavrenPlayer::WaveOutDeviceNumber(int16_t value)
{
    m_engine->DeviceNumber(value);
    Notify("WaveOutDeviceNumber");
    RefreshOutDeviceCaps();
}

void TavrenPlayer::RefreshOutDeviceCaps()
{
    // Device 0 (the default device) reports the capabilities of the first platform device.
    const int16_t deviceNumber = m_engine->DeviceNumber();
    const int32_t platformDevice = deviceNumber == 0 ? 0 : deviceNumber - 1;
    waveOutGetDevCapsA(platformDevice, &m_state.OutDeviceCaps, sizeof(WAVEOUTCAPS));
}

std::string TavrenPlayer::WaveOutDeviceName() const
{
    WAVEOUTCAPS caps{};
    waveOutGetDevCapsA(m_engine->DeviceNumber() - 1, &caps, sizeof(caps));
    return std::string(caps.szPname, sizeof(caps.szPname));
}

int32_t TavrenPlayer::WaveBufferLengthms() const
{
    return m_engine->BufferLengthms();
}

void TavrenPlayer::WaveBufferLengthms(const int32_t& value)
{
    if (value <= 0) {
        ShowPlainMessage("Invalid Buffer Length Specified");
        return;
    }
    m_engine->BufferLengthms(value);
    Notify("WaveBufferLengthms");
}

int32_t TavrenPlayer::NumberWavePlayBuffers() const
{
    return m_engine->NumberBuffers();
}

void TavrenPlayer::NumberWavePlayBuffers(const int32_t& value)
{
    if (value <= 0) {
        ShowPlainMessage("Invalid Number of Wave Buffers Specified ");
        return;
    }
    m_engine->NumberBuffers(value);
    Notify("NumberWavePlayBuffers");
}

void TavrenPlayer::SampleRate(const int32_t& value)
{
    if (!IsControlSampleRate(value)) {
        ShowPlainMessage(std::string(kInvalidSampleRateText));
        return;
    }
    m_state.SampleRate = value;
    m_engine->SampleRate(value);
    Notify("SampleRate");
}

void TavrenPlayer::NumberChannels(const int32_t& value)
{
    if (!IsControlChannelCount(value)) {
        ShowPlainMessage(std::string(kInvalidNumberChannelsText));
        return;
    }
    m_state.NumberChannels = static_cast<int16_t>(value);
    m_engine->NumberChannels(m_state.NumberChannels);
    Notify("NumberChannels");
}

void TavrenPlayer::NumberCacheSeconds(int16_t& value)
{
    if (value < 0)
        value = 0;
    m_state.NumberCacheSeconds = value;
    Notify("NumberCacheSeconds");
}

void TavrenPlayer::ReportErrors(bool value)
{
    m_state.ReportErrors = value;
    m_engine->ReportErrors(value);
    Notify("ReportErrors");
}

void TavrenPlayer::DirectXMode(bool value)
{
    m_engine->DirectXMode(value);
    m_state.DirectXMode = m_engine->DirectXMode();
    Notify("DirectXMode");
}

void TavrenPlayer::FlushBuffers(bool value)
{
    m_state.FlushBuffers = value;
    Notify("FlushBuffers");
}

void TavrenPlayer::SetDebugFile(const std::string& DebugFileName, const int32_t& DebugMode)
{
    DebugFile(DebugFileName);
    m_log.DebugLevel(DebugMode);
}

void TavrenPlayer::RaiseAudioPositionChanged(bool value)
{
    m_state.RaiseAudioPositionChanged = value;
    Notify("RaiseAudioPositionChanged");
}

void TavrenPlayer::FadeMode(int32_t value)
{
    m_state.FadeMode = value;
    Notify("FadeMode");
}

void TavrenPlayer::InverseLogFades(bool value)
{
    FadeMode(value ? efmSlowStart : efmNormal);
    Notify("InverseLogFades");
}

void TavrenPlayer::MaxLoopCount(int16_t value)
{
    m_state.MaxLoopCount = value < 0 ? int16_t{0} : value;
    Notify("MaxLoopCount");
}

void TavrenPlayer::RaiseAudioLevelEvents(int32_t value)
{
    m_state.RaiseAudioLevelEvents = value;
    m_engine->RaiseAudioLevelEvents(value);
    Notify("RaiseAudioLevelEvents");
}

void TavrenPlayer::SampleAudioLevel(bool value)
{
    m_state.SampleAudioLevel = value;
    m_engine->SampleAudioLevel(value);
    Notify("SampleAudioLevel");
}

void TavrenPlayer::Width(int32_t value)
{
    m_width = value;
    Notify("Width");
}

void TavrenPlayer::ShowPlainMessage(const std::string& text)
{
    m_site.ShowMessage(text, kMessageOk, kApplicationTitle);
}

void TavrenPlayer::Notify(const char* propertyName)
{
    m_site.PropertyChanged(propertyName);
}

} // namespace tavrenly
