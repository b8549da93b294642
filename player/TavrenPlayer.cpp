#include "player/TavrenPlayer.h"

#include "common/MultimediaAPI.h"
#include "common/Registry.h"
#include "common/TavrenlyFN.h"
#include "engine/EngineFactory.h"
#include "platform/host/ControlSite.h"
#include "platform/host/PropertyBag.h"

#include <cstring>
#include <limits>

namespace tavrenly {

namespace {

/// Interval of the position timer: the position, markers and envelope move in 50 ms steps.
constexpr int32_t kPositionTimerIntervalms = 50;

/// The one size property of the surface that a new instance sets.
constexpr int32_t kFirstTimeWidth = 1800;

std::optional<int16_t> To16(std::optional<int32_t> value)
{
    if (!value || *value < std::numeric_limits<int16_t>::min() ||
        *value > std::numeric_limits<int16_t>::max())
        return std::nullopt;
    return static_cast<int16_t>(*value);
}

} // namespace

TavrenPlayer::TavrenPlayer(ControlSite& site, std::unique_ptr<StreamPlay> engine)
    : m_site(site), m_engine(engine ? std::move(engine) : CreateStreamPlay(site.Loop())),
      m_tmrPosition(site.Loop(), kPositionTimerIntervalms, [this] { tmrPosition_Timer(); })
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

void TavrenPlayer::ReadProperties(PropertyBag& bag)
{
    if (auto value = bag.ReadInt32("WaveBufferLengthms", 100))
        WaveBufferLengthms(*value);
    if (auto value = bag.ReadInt32("NumberWavePlayBuffers", 10))
        NumberWavePlayBuffers(*value);
    if (auto value = bag.ReadInt32("NumberChannels", 2))
        NumberChannels(*value);
    if (auto value = bag.ReadInt32("SampleRate", esr44100))
        SampleRate(*value);
    if (auto value = To16(bag.ReadInt32("NumberCacheSeconds", 4)))
        NumberCacheSeconds(*value);
    if (auto value = To16(bag.ReadInt32("WaveOutDeviceNumber", 0)))
        WaveOutDeviceNumber(*value);
    // Stored as saved, without the property's clamp.
    if (auto value = To16(bag.ReadInt32("MaxLoopCount", 1000)))
        m_state.MaxLoopCount = *value;
    if (auto value = bag.ReadBool("RaiseAudioPositionChanged", false))
        RaiseAudioPositionChanged(*value);
    if (auto value = bag.ReadInt32("RaiseLevelChangeEvents", 1))
        RaiseAudioLevelEvents(*value);
    if (auto value = bag.ReadBool("SampleAudioLevel", true))
        SampleAudioLevel(*value);
    if (auto value = bag.ReadBool("ReportErrors", true))
        ReportErrors(*value);
    if (auto value = bag.ReadBool("DirectXMode", false))
        DirectXMode(*value);
}

void TavrenPlayer::WriteProperties(PropertyBag& bag)
{
    bag.WriteInt32("WaveBufferLengthms", m_engine->BufferLengthms(), 100);
    bag.WriteInt32("NumberWavePlayBuffers", m_engine->NumberBuffers(), 10);
    bag.WriteInt32("NumberChannels", m_state.NumberChannels, 2);
    bag.WriteInt32("SampleRate", m_state.SampleRate, esr44100);
    bag.WriteInt32("NumberCacheSeconds", m_state.NumberCacheSeconds, 4);
    bag.WriteInt32("WaveOutDeviceNumber", m_engine->DeviceNumber(), 0);
    bag.WriteInt32("MaxLoopCount", m_state.MaxLoopCount, 1000);
    bag.WriteBool("RaiseAudioPositionChanged", m_state.RaiseAudioPositionChanged, false);
    bag.WriteInt32("RaiseLevelChangeEvents", m_state.RaiseAudioLevelEvents, 1);
    bag.WriteBool("SampleAudioLevel", m_state.SampleAudioLevel, true);
    bag.WriteBool("ReportErrors", m_state.ReportErrors, true);
    bag.WriteBool("DirectXMode", m_state.DirectXMode, false);
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
    if (m_log.Basic())
        m_log.WriteLog("Start Function LoadAudioEngine");
    m_state.EngineLoading = true;
    m_engine->LoadAudioEngine();
    m_state.EngineLoading = false;
    if (m_log.Basic())
        m_log.WriteLog("End Function LoadAudioEngine\r\n");
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
    if (value != esr11025 && value != esr22050 && value != esr44100 && value != esr48000) {
        ShowPlainMessage("Invalid SampleRate Specified, must be 11025, 22050, 44100, 48000");
        return;
    }
    m_state.SampleRate = value;
    m_engine->SampleRate(value);
    Notify("SampleRate");
}

void TavrenPlayer::NumberChannels(const int32_t& value)
{
    if (value != 1 && value != 2) {
        ShowPlainMessage("Invalid NumberChannels Specified : \nMax = 2");
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

void TavrenPlayer::SetDebugFile(const std::string& DebugFileName, int32_t& DebugMode)
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
