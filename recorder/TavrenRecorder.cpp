// SPDX-License-Identifier: LGPL-2.1-or-later

// The recorder's core: its settings with their validation and engine wiring, the saved
// settings, the status, the position tick and the end-of-length handling.

#include "recorder/TavrenRecorder.h"

#include "common/MultimediaAPI.h"
#include "common/WaveFileWriter.h"
#include "engine/EngineFactory.h"
#include "platform/base/UniqueFd.h"
#include "platform/devices/Devices.h"
#include "platform/host/ControlSite.h"
#include "platform/host/PropertyBag.h"
#include "platform/host/SavedSettings.h"
#include "recorder/RecorderState.h"

#include <algorithm>
#include <exception>
#include <fmt/format.h>

namespace tavrenly {

namespace {

/// Interval of the position timer: the recorded time moves in 50 ms steps.
constexpr int32_t kPositionTimerIntervalms = 50;

} // namespace

TavrenRecorder::TavrenRecorder(ControlSite& site, std::unique_ptr<StreamRecord> engine)
    : m_site(site), m_engine(engine ? std::move(engine) : CreateStreamRecord(site.Loop())),
      m_stateStorage(std::make_unique<RecorderState>()), m_state(*m_stateStorage),
      m_tmrPosition(site.Loop(), kPositionTimerIntervalms, [this] { tmrPosition_Timer(); }),
      m_writerStorage(std::make_unique<WaveFileWriter>()), m_writer(*m_writerStorage),
      m_cart(MakeRecordingCartChunk()), m_fileInUseStorage(std::make_unique<UniqueFd>()),
      m_fileInUse(*m_fileInUseStorage)
{
    m_engine->SetListener(this);
}

TavrenRecorder::~TavrenRecorder()
{
    // A recording still open is kept under its destination name. Nothing may escape a
    // destructor, and a failing close leaves nothing to undo.
    try {
        bool saveRecording = true;
        CloseRecording(saveRecording);
    } catch (...) {
    }
    m_tmrPosition.Enabled(false);
    m_engine->SetListener(nullptr);
}

// The getters that only read the state record, and the setters without checks.

const std::string& TavrenRecorder::AudioFileName() const
{
    return m_state.AudioFileName;
}

float TavrenRecorder::TotalSecondsRecorded() const
{
    return m_state.TotalSecondsRecorded;
}

float TavrenRecorder::TotalSecondsRemain() const
{
    return m_state.TotalSecondsRemain;
}

float TavrenRecorder::TotalPercentageRecorded() const
{
    return m_state.TotalPercentageRecorded;
}

float TavrenRecorder::AudioLength() const
{
    return m_state.AudioLength;
}

int32_t TavrenRecorder::WaveBufferLengthms() const
{
    return m_state.WaveBufferLengthms;
}

int32_t TavrenRecorder::SampleRate() const
{
    return m_state.SampleRate;
}

int16_t TavrenRecorder::NumberChannels() const
{
    return m_state.NumberChannels;
}

int16_t TavrenRecorder::NumberCacheSeconds() const
{
    return m_state.NumberCacheSeconds;
}

bool TavrenRecorder::RaiseAudioPositionChanged() const
{
    return m_state.RaiseAudioPositionChanged;
}

int32_t TavrenRecorder::RaiseAudioLevelEvents() const
{
    return m_state.RaiseAudioLevelEvents;
}

bool TavrenRecorder::ReportErrors() const
{
    return m_state.ReportErrors;
}

int16_t TavrenRecorder::TriggerLevel() const
{
    return m_state.TriggerLevel;
}

bool TavrenRecorder::TriggerLevelActive() const
{
    return m_state.TriggerLevelActive;
}

const RecorderState& TavrenRecorder::State() const
{
    return m_state;
}

void TavrenRecorder::TriggerLevel(int16_t value)
{
    m_state.TriggerLevel = value;
}

void TavrenRecorder::ClearCartFields()
{
    m_cart = MakeRecordingCartChunk();
}

void TavrenRecorder::InitNew()
{
    RaiseAudioPositionChanged(true);
    RaiseAudioLevelEvents(1);
    WaveBufferLengthms(50);
    NumberWaveRecordBuffers(20);
    int16_t cacheSeconds = 4;
    NumberCacheSeconds(cacheSeconds);
    NumberChannels(2);
    SampleRate(esr44100);
    ReportErrors(true);
    WaveInDeviceNumber(0);
}

std::span<const SavedSetting<TavrenRecorder>> TavrenRecorder::SavedSettings()
{
    using R = TavrenRecorder;
    // In load order. Each value is assigned through its property, so validation and the engine
    // updates apply; the engine keeps the buffer count and device number, saved from it.
    static constexpr SavedSetting<R> kSettings[] = {
        {"WaveBufferLengthms", SettingType::Int32, 50,
         [](R& r, int32_t v) { r.WaveBufferLengthms(v); },
         [](R& r) { return r.m_state.WaveBufferLengthms; }},
        {"NumberWaveRecordBuffers", SettingType::Int32, 20,
         [](R& r, int32_t v) { r.NumberWaveRecordBuffers(v); },
         [](R& r) { return r.m_engine->NumberBuffers(); }},
        {"NumberChannels", SettingType::Int32, 2, [](R& r, int32_t v) { r.NumberChannels(v); },
         [](R& r) { return int32_t{r.m_state.NumberChannels}; }},
        {"SampleRate", SettingType::Int32, esr44100, [](R& r, int32_t v) { r.SampleRate(v); },
         [](R& r) { return r.m_state.SampleRate; }},
        {"NumberCacheSeconds", SettingType::Int16, 4,
         [](R& r, int32_t v) {
             int16_t seconds = static_cast<int16_t>(v);
             r.NumberCacheSeconds(seconds);
         },
         [](R& r) { return int32_t{r.m_state.NumberCacheSeconds}; }},
        {"WaveInDeviceNumber", SettingType::Int16, 0,
         [](R& r, int32_t v) { r.WaveInDeviceNumber(static_cast<int16_t>(v)); },
         [](R& r) { return int32_t{r.m_engine->DeviceNumber()}; }},
        // A new instance raises position events, but settings saved without the key load False.
        {"RaiseAudioPositionChanged", SettingType::Bool, 0,
         [](R& r, int32_t v) { r.RaiseAudioPositionChanged(v != 0); },
         [](R& r) { return int32_t{r.m_state.RaiseAudioPositionChanged}; }},
        // The key differs from the property's name.
        {"RaiseLevelChangeEvents", SettingType::Int32, 1,
         [](R& r, int32_t v) { r.RaiseAudioLevelEvents(v); },
         [](R& r) { return r.m_state.RaiseAudioLevelEvents; }},
        {"ReportErrors", SettingType::Bool, 1, [](R& r, int32_t v) { r.ReportErrors(v != 0); },
         [](R& r) { return int32_t{r.m_state.ReportErrors}; }},
    };
    return kSettings;
}

void TavrenRecorder::ReadProperties(PropertyBag& bag)
{
    ReadSavedSettings(bag, *this, SavedSettings());
}

void TavrenRecorder::WriteProperties(PropertyBag& bag)
{
    // Saved in another order than loaded: the buffer count first.
    static constexpr std::string_view kSaveOrder[] = {"NumberWaveRecordBuffers",
                                                      "WaveBufferLengthms",
                                                      "NumberChannels",
                                                      "SampleRate",
                                                      "NumberCacheSeconds",
                                                      "WaveInDeviceNumber",
                                                      "RaiseAudioPositionChanged",
                                                      "RaiseLevelChangeEvents",
                                                      "ReportErrors"};
    WriteSavedSettings(bag, *this, SavedSettings(), std::span<const std::string_view>(kSaveOrder));
}

eRecStatus TavrenRecorder::Status() const
{
    // A paused start without its file yet is waiting too, so this comes before the file test.
    if (m_state.FileOpenPending)
        return ersWaitingLevel;
    if (m_state.hAudioFile == nullptr)
        return ersClosed;
    if (m_state.TriggerLevelActive)
        return ersWaitingLevel;
    return m_state.WritingToDisk ? ersRecording : ersPaused;
}

void TavrenRecorder::UpdateRecordPosition()
{
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    if (m_state.AudioFileName.empty())
        return;

    float current = m_state.TimeRecordedBeforeLastPause;
    if (m_engine->State() == kEngineCapturing && Status() == ersRecording)
        current = static_cast<float>(m_engine->RecordedTimems()) / 1000.0f -
                  m_state.EngineTimeAtResume + m_state.TimeRecordedBeforeLastPause;

    const float audioLength = m_state.AudioLength;
    if (audioLength > 0) {
        m_state.TotalPercentageRecorded = std::clamp(current / audioLength * 100.0f, 0.0f, 100.0f);
        m_state.TotalSecondsRecorded = audioLength * m_state.TotalPercentageRecorded / 100.0f;
        m_state.TotalSecondsRemain =
            (100.0f - m_state.TotalPercentageRecorded) * audioLength / 100.0f;
    } else {
        m_state.TotalPercentageRecorded = 0;
        m_state.TotalSecondsRecorded = current;
        m_state.TotalSecondsRemain = 0;
    }

    if (m_state.TotalSecondsRecorded != m_state.LastPositionSeconds &&
        m_state.RaiseAudioPositionChanged)
        RaiseAudioPositionChangedEvent();
    if (openedFileCounter != m_state.OpenedFileCounter)
        return;

    // At its length the recording is paused, not closed: the host decides when to close it,
    // and until then every tick pauses again and repeats the end event.
    if (audioLength > 0 && m_state.TotalSecondsRecorded >= audioLength) {
        PauseRecording();
        if (openedFileCounter != m_state.OpenedFileCounter)
            return;
        if (m_events != nullptr)
            m_events->RecordingEndReached();
    }
    m_state.LastPositionSeconds = m_state.TotalSecondsRecorded;
}

void TavrenRecorder::LoadAudioEngine()
{
    m_log.Basic("Start Function LoadAudioEngine");
    m_engine->LoadAudioEngine();
    m_log.Basic("End Function LoadAudioEngine");
}

void TavrenRecorder::WaveBufferLengthms(const int32_t& value)
{
    if (value <= 0)
        return;
    if (value > kMostWaveBufferLengthms) {
        ShowPlainMessage(fmt::format("Invalid WaveBufferLengthms Specified, must be 1 to {}",
                                     kMostWaveBufferLengthms));
        return;
    }
    m_state.WaveBufferLengthms = value;
    Notify("WaveBufferLengthms");
}

void TavrenRecorder::SampleRate(const int32_t& value)
{
    if (!IsControlSampleRate(value)) {
        ShowPlainMessage(std::string(kInvalidSampleRateText));
        return;
    }
    m_state.SampleRate = value;
    m_engine->SampleRate(value);
    Notify("SampleRate");
}

void TavrenRecorder::NumberChannels(const int32_t& value)
{
    if (!IsControlChannelCount(value)) {
        ShowPlainMessage(std::string(kInvalidNumberChannelsText));
        return;
    }
    m_state.NumberChannels = static_cast<int16_t>(value);
    m_engine->NumberChannels(m_state.NumberChannels);
    Notify("NumberChannels");
}

void TavrenRecorder::NumberCacheSeconds(int16_t& value)
{
    if (value < 0)
        value = 0;
    if (value > kMostCacheSeconds) {
        ShowPlainMessage(fmt::format("Invalid NumberCacheSeconds Specified, must be 0 to {}",
                                     kMostCacheSeconds));
        return;
    }
    m_state.NumberCacheSeconds = value;
    Notify("NumberCacheSeconds");
}

void TavrenRecorder::RaiseAudioPositionChanged(bool value)
{
    m_state.RaiseAudioPositionChanged = value;
    Notify("RaiseAudioPositionChanged");
}

bool TavrenRecorder::CanSetRecordVolume() const
{
    return m_engine->CanSetVolume();
}

float TavrenRecorder::RecordVolume() const
{
    return m_engine->Volume();
}

void TavrenRecorder::RecordVolume(float value)
{
    m_engine->Volume(value);
}

void TavrenRecorder::RaiseAudioLevelEvents(int32_t value)
{
    m_state.RaiseAudioLevelEvents = value;
    m_engine->RaiseAudioLevelEvents(value);
    // The notification names the saved-settings key, which differs from the property's name.
    Notify("RaiseLevelChangeEvents");
}

int16_t TavrenRecorder::AudioLevel() const
{
    return m_engine->Level();
}

int16_t TavrenRecorder::LeftAudioLevel() const
{
    return m_engine->LeftLevel();
}

int16_t TavrenRecorder::RightAudioLevel() const
{
    return m_engine->RightLevel();
}

void TavrenRecorder::ReportErrors(bool value)
{
    m_state.ReportErrors = value;
    m_engine->ReportErrors(value);
    Notify("ReportErrors");
}

int32_t TavrenRecorder::NumberWaveRecordBuffers() const
{
    return m_engine->NumberBuffers();
}

void TavrenRecorder::NumberWaveRecordBuffers(const int32_t& value)
{
    if (value <= 0)
        return;
    if (value > kMostWaveRecordBuffers) {
        ShowPlainMessage(fmt::format("Invalid NumberWaveRecordBuffers Specified, must be 1 to {}",
                                     kMostWaveRecordBuffers));
        return;
    }
    m_engine->NumberBuffers(value);
    Notify("NumberWaveRecordBuffers");
}

std::string TavrenRecorder::WaveInDeviceName() const
{
    // Device 0 is the default device, which the platform numbers -1 (the mapper).
    WAVEINCAPS caps{};
    waveInGetDevCapsA(m_engine->DeviceNumber() - 1, &caps, sizeof(caps));
    return std::string(caps.szPname, sizeof(caps.szPname));
}

int16_t TavrenRecorder::WaveInDeviceNumber() const
{
    return m_engine->DeviceNumber();
}

void TavrenRecorder::WaveInDeviceNumber(int16_t value)
{
    m_engine->DeviceNumber(value);
    Notify("WaveInDeviceNumber");
}

void TavrenRecorder::SetDebugFile(const std::string& DebugFileName, const int32_t& DebugMode)
{
    DebugFile(DebugFileName);
    m_log.DebugLevel(DebugMode);
}

void TavrenRecorder::RaisePlayerError(int32_t code)
{
    if (m_events != nullptr)
        m_events->PlayerError(code);
}

void TavrenRecorder::RaiseAudioPositionChangedEvent()
{
    if (m_events != nullptr)
        m_events->AudioPositionChanged();
}

void TavrenRecorder::ShowPlainMessage(const std::string& text)
{
    m_site.ShowMessage(text, kMessageOk, kApplicationTitle);
}

void TavrenRecorder::Notify(const char* key)
{
    m_site.PropertyChanged(key);
}

bool TavrenRecorder::FileStepFailed(int32_t& code, const char* caption)
{
    Bool16 showMessage = ToBool16(m_state.ReportErrors);
    return CheckMultimediaResult(code, showMessage, caption, m_site) != 0;
}

} // namespace tavrenly
