// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// TavrenPlayer: the playback control a host embeds. It plays one WAVE file at a time through
// its stream engine, tracks the position against the item's cue markers, repeats loops, runs
// scheduled fades and passes on the engine's levels.
//
// Threading: every member must be called on the UI thread of the site's event loop; events
// reach the listener on that thread, synchronously, and a handler may call back into the
// player (also CloseAudio or OpenAudio). Nothing here locks.
//
// Non-finite arguments: every float setter and argument refuses NaN and the infinities like
// any other invalid value: a setter keeps its old value, a seek or AddVolumeChangeEvent returns
// false, and nothing else happens.
//
// Results: operations return 0 when done, -1 when the player refused (no file open, a check
// failed), else the failing platform step's code. The only exception that leaves a member is
// tavrenly::RuntimeError, for the arithmetic errors the behaviour hands to the caller.
//
// Example:
//   EventLoop loop;                       // the UI thread's loop
//   HeadlessSite site(loop);
//   TavrenPlayer player(site);            // the engine comes from the engine factory
//   player.InitNew();                     // or ReadProperties(savedSettings)
//   player.SetEventListener(&myEvents);
//   if (player.OpenAudio("/srv/audio/jingle.wav") == 0)
//       player.PlayAudio();
//   loop.Run();
//
// Where the members are defined:
//   TavrenPlayer.cpp        lifecycle, saved settings, the core and settings properties, the
//                           getters that read the state record
//   PlayerFile.cpp          OpenAudio, CloseAudio and their steps
//   PlayerCompression.cpp   the two conversion stages and the conversion buffer
//   PlayerBufferPump.cpp    FillPlaybackBuffers and its steps, TestForFinish, SetFinished
//   PlayerEngineEvents.cpp  the engine's event handlers
//   PlayerTransport.cpp     play, pause, cue, seeks, ClearBuffer
//   PlayerPosition.cpp      the position timer, UpdateAudioTimes, play range and cue markers
//   PlayerVolume.cpp        fade curves, PlayVolume and the volume envelope
//   PlayerLoops.cpp         loop bounds, ExitLoop, levels, the loop and error events

// A public header: it includes only the other public headers, by their path relative to it, so
// it resolves the same in the source tree and in an installed include/tavrenly/.
#include "../common/DiagnosticLog.h"
#include "../engine/StreamPlay.h"
#include "../platform/base/Types.h"
#include "../platform/base/WaveFormat.h"
#include "../platform/host/EventLoop.h"
#include "PlayerTypes.h"
#include "TavrenPlayerEvents.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavrenly {

class ControlSite;
class PropertyBag;
struct PlayerState;
template <class Control> struct SavedSetting;

// Member ids of the dispatch interface: player_ids (player/PlayerDispatch.h).

/// Reference code of a header whose block size or byte rate is 0: nothing could be timed.
inline constexpr int32_t kReferenceCodeCorruptSizes = 4;

/// The caption label on the control's surface; the control has no other visible behaviour.
struct CaptionLabel
{
    std::string Caption = "TavrenPlayer";
    std::string FontName = "Arial";
    int32_t FontSize = 12;
    bool FontBold = true;
};

/// The playback control: one WAVE file at a time, its position against the item's cue
/// markers, loops, scheduled fades and levels. Every member runs on the UI thread of the site's
/// event loop; the opening comment of this header has the rules and an example.
class TavrenPlayer : private StreamPlayEvents
{
public:
    /// Creates the player on `site` (which must outlive it) with `engine`, or with the engine
    /// factory's default engine when `engine` is null. Runs the start-up steps: the platform
    /// version, the volume table, the three machine-wide settings.
    explicit TavrenPlayer(ControlSite& site, std::unique_ptr<StreamPlay> engine = nullptr);
    /// Closes the file (CloseAudio; its result is ignored).
    ~TavrenPlayer() override;
    TavrenPlayer(const TavrenPlayer&) = delete;
    TavrenPlayer& operator=(const TavrenPlayer&) = delete;

    /// The listener stays owned by the caller; null switches events off.
    void SetEventListener(TavrenPlayerEvents* listener) noexcept { m_events = listener; }

    // Lifecycle with the host's property store.

    /// First-time defaults of a new instance, each through its property.
    void InitNew();
    /// Loads the saved settings key by key; a key that cannot be read is skipped.
    void ReadProperties(PropertyBag& bag);
    /// Saves the settings key by key; a key that cannot be written is skipped.
    void WriteProperties(PropertyBag& bag);

    // Core properties.

    ePlyStatus Status() const;
    void LoadAudioEngine();
    int16_t WaveOutDeviceNumber() const;
    void WaveOutDeviceNumber(int16_t value);
    /// Exactly 32 characters: the device's whole name field.
    std::string WaveOutDeviceName() const;
    int32_t WaveBufferLengthms() const;
    void WaveBufferLengthms(const int32_t& value);
    int32_t NumberWavePlayBuffers() const;
    void NumberWavePlayBuffers(const int32_t& value);
    int32_t SampleRate() const;
    void SampleRate(const int32_t& value);
    int32_t NumberChannels() const;
    void NumberChannels(const int32_t& value);
    int16_t NumberCacheSeconds() const;
    /// A negative value becomes 0, also in the caller's variable.
    void NumberCacheSeconds(int16_t& value);
    bool ReportErrors() const;
    void ReportErrors(bool value);
    bool DirectXMode() const;
    void DirectXMode(bool value);
    bool FlushBuffers() const;
    void FlushBuffers(bool value);

    // Diagnostic log.

    const std::string& DebugFile() const { return m_log.DebugFile(); }
    void DebugFile(const std::string& value) { m_log.DebugFile(value); }
    int32_t DebugLevel() const { return m_log.DebugLevel(); }
    void SetDebugFile(const std::string& DebugFileName, const int32_t& DebugMode);

    // Files.

    /// Opens `fName` (closing any open file first) and cues it at AudioStart. 0 = opened;
    /// -1 = missing, empty, unreadable or refused; else the failing RIFF or codec step's code.
    /// Throws RuntimeError (overflow) when NumberCacheSeconds of the file's bytes exceed 2^31-1.
    int32_t OpenAudio(const std::string& fName);
    /// Closes the open file; 0, or the code of the last failing file step.
    int32_t CloseAudio();

    // Transport.

    /// 0 = playback started or already running; -1 = no file open.
    int32_t PlayAudio();
    /// 0 = paused; -1 = no file open.
    int32_t PauseAudio();
    /// Stops and returns to AudioStart; 0, or -1 with no file open.
    int32_t CueAudio();
    /// Seeks to a percentage of the item (or of the whole file); true = repositioned.
    bool SeekPercentage(float newPosition, const bool& TotalFile = false);
    /// Seeks to item time `newTime` (file time when TotalFile), block-exact; true = repositioned.
    bool SeekTime(float newTime, const bool& TotalFile = false);

    // Position and cue markers (file time in seconds unless said).

    const std::string& AudioFileName() const;
    float SecondsPlayed() const;
    float SecondsRemain() const;
    float PercentagePlayed() const;
    float TotalSecondsPlayed() const;
    float TotalSecondsRemain() const;
    float TotalPercentagePlayed() const;
    float AudioStart() const;
    void AudioStart(float value);
    float AudioEnd() const;
    void AudioEnd(float value);
    float AudioLength() const;
    float TotalAudioLength() const;
    float IntroStart() const;
    void IntroStart(float value);
    float IntroEnd() const;
    void IntroEnd(float value);
    float HookStart() const;
    void HookStart(float value);
    float HookEnd() const;
    void HookEnd(float value);
    float Extro() const;
    void Extro(float value);
    float SweeperStart() const;
    /// Below 0 switches the sweeper marker off.
    void SweeperStart(float value);
    eAudioPart AudioPart() const;

    // Volume and the volume envelope.

    /// The linear volume 0..100, read back from the engine through the fade curve.
    float PlayVolume() const;
    /// Clamped to 0..100; becomes the standing volume and is applied at once.
    void PlayVolume(float value);
    bool CanSetPlayVolume() const;
    bool AddVolumeChangeEvent(const int16_t& ReferenceNumber, float StartTime, float Duration,
                              float StartVolume, float EndVolume, float NotifyVolume,
                              bool RemoveWhenComplete, const bool& SetVolumePermanently);
    bool RemoveVolumeChangeEvent(const int16_t& ReferenceNumber);
    /// Copies the entry into `VolChangeEvent`, the one argument it changes.
    bool GetVolumeChangeEvent(const int16_t& ReferenceNumber, VCHEV& VolChangeEvent);
    int16_t NumberVolumeChangeEvents() const;
    float FirstVolumeChangeEventTime() const;
    float LastVolumeChangeEventTime() const;

    // Loops and levels.

    float LoopStart() const;
    void LoopStart(float value);
    float LoopEnd() const;
    void LoopEnd(float value);
    bool UseLoop() const;
    void UseLoop(bool value);
    bool InLoop() const;
    /// Leaves the loop now and goes on after LoopEnd.
    void ExitLoop();
    int16_t LoopCount() const;
    int16_t AudioLevel() const;
    int16_t LeftAudioLevel() const;
    int16_t RightAudioLevel() const;

    // Settings the core assigns at start-up and in the saved settings.

    bool RaiseAudioPositionChanged() const;
    void RaiseAudioPositionChanged(bool value);
    int32_t FadeMode() const;
    void FadeMode(int32_t value);
    bool InverseLogFades() const;
    void InverseLogFades(bool value);
    int16_t MaxLoopCount() const;
    /// A value below 0 becomes 0.
    void MaxLoopCount(int16_t value);
    int32_t RaiseAudioLevelEvents() const;
    void RaiseAudioLevelEvents(int32_t value);
    bool SampleAudioLevel() const;
    void SampleAudioLevel(bool value);

    // The visible surface.

    const CaptionLabel& lblTavrenPlayer() const { return m_label; }
    /// The size property the first-time defaults set (container units).
    int32_t Width() const { return m_width; }
    void Width(int32_t value);

    // For the library's own tests and tools that look inside; the state record's header
    // (player/PlayerState.h) is not installed.

    const PlayerState& State() const;
    StreamPlay& Engine() { return *m_engine; }
    const Timer& tmrPosition() const { return m_tmrPosition; }

private:
    /// The saved-settings keys with their defaults, in the order they are loaded and saved.
    static std::span<const SavedSetting<TavrenPlayer>> SavedSettings();

    // Engine events (StreamPlayEvents).
    void BufferAvailable(int32_t tag, const void* address, int32_t length) override;
    void StreamStarted() override;
    void StreamReset() override;
    void PlaybackStarted() override;
    void PlaybackPaused() override;
    void LevelChanged(int16_t left, int16_t right) override;
    void EngineError(int32_t code) override;

    // Opening and closing.
    int32_t FailOpen(int32_t code, bool closeFirst, const std::string& message, int32_t style);
    // The steps of OpenAudio and CloseAudio; an open step returns 0 to go on, else the
    // result OpenAudio ends with (the failure already reported).
    int32_t CheckNewAudioFile(const std::string& fName, WAVEFORMATEX& header);
    int32_t OpenAudioFile(const std::string& fName, const WAVEFORMATEX& header);
    int32_t ReadAudioChunks(const std::string& fName);
    int32_t PrepareItemConversion(int32_t openedFileCounter);
    void SetItemDefaults(const std::string& fName);
    int32_t CloseAudioFile();
    void ResetClosedItem();
    void RaiseClosedEvents();
    void InitialisePlaybackCompression(int32_t& result);
    bool SuggestPlaybackFormats(int32_t& result);
    bool OpenConversionStages(int32_t& result);
    void AllocateConversionBuffer(int32_t& result);
    void TerminatePlaybackCompression(int32_t& result);
    void ReportCompressionFailure(int32_t code, const char* failureText, int32_t& result);

    // Buffer pump and transport.
    /// One read of the pump: its length after the loop cut and the caps, the whole blocks the
    /// file gave, what the loop cut decided, and where the bytes to queue are.
    struct PumpRead
    {
        const uint8_t* data = nullptr;
        int32_t bytes = 0;
        int32_t blocksRead = 0;
        bool restart = false;
        bool emptyCut = false;
    };
    void FillPlaybackBuffers();
    /// False when the file was replaced or closed while the end was being reported.
    bool FinishDataChunk(int32_t openedFileCounter);
    /// The file's true data rate from its format record, logged when it corrects the stored one.
    double FileBytesPerSecond();
    PumpRead PlanRead(int32_t currentBlock, int32_t remaining);
    /// Bytes of the data chunk up to AudioEnd's block (the whole chunk when AudioEnd is the
    /// end of the file): the pump queues nothing beyond.
    int32_t AudioEndCutBytes() const;
    /// True once the pump stopped at AudioEnd's cut and the engine has played all of it.
    bool AudioEndCutHeard() const;
    int32_t CutReadAtLoopEnd(int32_t currentBlock, int32_t blocks, PumpRead& read);
    bool NeedsDecompression() const;
    bool NeedsRateConversion() const;
    int32_t ReadAndConvert(PumpRead& read);
    /// At the end of the data: the next part of what the stages still hold, converted, in the
    /// conversion buffer; 0 once both stages are empty.
    int32_t DrainConversion();
    void QueueBuffer(const uint8_t* data, int32_t got, int32_t firstBlock, int32_t blocksRead,
                     bool emptyCut);
    /// A loop cut read nothing: its tag waits for the next buffer read.
    void DeferLoopTag();
    /// The tag of a buffer whose reading ends before `nextBlock`, from LoopMarker and what a
    /// cut that read nothing left waiting.
    int32_t BufferTag(int32_t nextBlock);
    /// AudioEnd moved before audio already queued: the engine gives back what lies past the
    /// new end's block, and the file goes back to where the queue now ends, so nothing past the
    /// end is heard and a later, longer end goes on without a gap.
    void TakeBackAudioPastEnd();
    void SeekToLoopStart();
    void TestForFinish();
    void SetFinished();
    int32_t PausePlaybackStream(bool KeepPosition);
    bool SeekBlock(int32_t BlockNumber);
    void ClearBuffer(bool ClearEngineBuffers, bool PauseIfPlaying);
    /// Moves the file to the block nearest file time `t` (clamped to the file) and makes that
    /// block's time the base time; raises nothing.
    void RepositionAt(float t);

    // Position.
    void tmrPosition_Timer();
    void UpdateAudioTimes();
    /// The file time being heard: the engine's played time from BaseTime, or the item's end.
    float HeardTime() const;
    void SetPositionValues(float t);
    /// Raises AudioPositionChanged and the events of the markers in `reached` (bit i = the
    /// i-th marker in the order they are raised); false when the file changed under them.
    bool RaiseCueEvents(uint32_t reached, int32_t openedFileCounter);
    /// The re-entrancy guard: true while the file open when `openedFileCounter` was taken is
    /// still the open file (not replaced, not closed).
    bool SameFileOpen(int32_t openedFileCounter) const;
    void ClearMarkerFlags();
    void RearmMarker(bool PlayerState::*passed);
    float ClampToItem(float value) const;
    float ClampToFile(float value) const;

    // Volume envelope. RunVolumeEnvelope returns false when the file changed under it.
    float EngineVolumeFor(float linear) const;
    struct VolumeRamp
    {
        float volume = -1.0f;    ///< the envelope where the ramp ends; -1: no ramp
        float fromVolume = 0.0f; ///< and where it starts
        int32_t afterMs = 0;
        int32_t overMs = 0;
    };
    /// With `ramp`, the engine moves to `volume` along it instead of at once.
    void SetAudioVolume(float volume, const VolumeRamp* ramp = nullptr);
    VCHEV& Slot(int16_t slot);
    void ClearVolumeChangeEvent(int16_t slot);
    void UpdateVolumeChangeEventTimes();
    void SortVolumeChangeEvents();
    /// False when the handler of VolumeChangeEndNotify closed or replaced the file.
    bool FinishedVolumeChangeEvent(int16_t slot);
    bool RunVolumeEnvelope(int32_t openedFileCounter);
    bool VolumeAfterEnvelope(bool playedThrough, bool moved, int32_t openedFileCounter,
                             float& target);
    float VolumeBeforeEnvelope(bool moved);
    bool VolumeWithinEnvelope(float t, int32_t openedFileCounter, float& target);
    /// The engine's line that follows an entry still running at heard time `t` from the audio
    /// rendered now (`renderedAt`), kept within the entry's span; none when no entry starts
    /// within a tick.
    VolumeRamp VolumeAhead(float t, float renderedAt, int32_t tickMs);

    // Loops.
    float BlockTime(int32_t block) const;
    double TimeToBlocks(float seconds) const;

    void RaiseLoopRestart();
    void RaiseLoopCompleted();
    void RaisePlayerError(int32_t code);
    void ShowPlainMessage(const std::string& text);
    void Notify(const char* propertyName);
    void RefreshOutDeviceCaps();

    ControlSite& m_site;
    std::unique_ptr<StreamPlay> m_engine;
    TavrenPlayerEvents* m_events = nullptr;
    DiagnosticLog m_log;
    /// The state record, kept out of this header: `m_state` names it in the member code.
    std::unique_ptr<PlayerState> m_stateStorage;
    PlayerState& m_state;
    Timer m_tmrPosition;
    CaptionLabel m_label;
    int32_t m_width = 0;
    /// Bytes one read may pass to the conversion stages (one second of the file's PCM).
    int32_t m_maxConversionInput = 0;
    /// The open file's data rate for its length, reads and position: nAvgBytesPerSec, or
    /// what the block layout of a block codec fixes when the two differ.
    double m_fileBytesPerSecond = 0.0;
    /// The tag a loop cut that read nothing set (or a loop end a buffer could not carry beside
    /// a jump): it rides on the next buffer read; kBufferTagOrdinary when none waits.
    int32_t m_deferredLoopTag;
    /// The block a jump back just moved the file to, until the next read: that read is what
    /// the queued tag promised, so it is never cut, even where the loop has moved since.
    int32_t m_jumpTargetBlock = -1;
    /// The host closed or replaced the file, or emptied the engine (a seek, a pause on a device
    /// emptied on pause), from AudioLevelChanged: the buffer the engine hands back next was
    /// played from a queue that is gone, and its tag names nothing that is still to come.
    bool m_staleBufferDue = false;
    /// How often the engine's queue was emptied: tells a handler's clear.
    uint32_t m_engineClears = 0;
    /// What each buffer still in the engine holds, oldest first: its bytes and the file blocks
    /// they came from (none for what the stages held at the end of the data). Only the last
    /// NumberBuffers - FreeBuffers entries are still queued.
    struct QueuedRun
    {
        int32_t bytes;
        int32_t firstBlock;
        int32_t endBlock;
    };
    std::vector<QueuedRun> m_queuedRuns;
    /// A seek moved the position since the envelope last ran: a jump, not played time.
    bool m_positionJumped = false;
    /// ClearBuffer is pausing the engine: its caller sets the file and the base time itself.
    bool m_positionSetAfterClear = false;
    /// A pause on a device that drops its queue is raising Paused and has not yet put the
    /// file back where the audio was heard; a play from that handler does it first.
    bool m_pauseRepositionPending = false;
};

} // namespace tavrenly
