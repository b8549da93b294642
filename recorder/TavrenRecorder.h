// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// TavrenRecorder: the recording control a host embeds. It records its engine's captured
// 16-bit PCM into a WAVE file (PCM at any listed rate and channel count, or any format a codec
// exists for), with a broadcast cart chunk, optionally waiting for a trigger level or for
// ResumeRecording, and stops at the length the disk space and the requested length allow.
//
// Threading: every member must be called on the UI thread of the site's event loop; events
// reach the listener on that thread, synchronously, and a handler may call back into the
// recorder (also CloseRecording or RecordAudioEx). Nothing here locks.
//
// Results: operations return 0 when done, -1 when the recorder refused (nothing open, nothing
// to pause), else the failing platform step's code (or the file system's error number when an
// old destination cannot be deleted).
//
// Example:
//   EventLoop loop;                        // the UI thread's loop
//   HeadlessSite site(loop);
//   TavrenRecorder recorder(site);         // the engine comes from the engine factory
//   recorder.InitNew();                    // or ReadProperties(savedSettings)
//   recorder.SetEventListener(&myEvents);
//   const int32_t rate = 44100, flags = erfDefault;
//   const int16_t channels = 2, tag = WAVE_FORMAT_PCM, trigger = 0;
//   const float seconds = 0;                // no limit but the disk's
//   recorder.RecordAudioEx("/srv/audio/take1.wav", rate, channels, tag, trigger, seconds, flags);
//   ... loop.Run() until the host is done ...
//   bool save = true;
//   recorder.CloseRecording(save);        // the file is renamed to take1.wav

// A public header: it includes only the other public headers, by their path relative to it, so
// it resolves the same in the source tree and in an installed include/tavrenly/.
#include "../common/CartChunk.h"
#include "../common/DiagnosticLog.h"
#include "../common/Rf64Mode.h"
#include "../engine/StreamRecord.h"
#include "../platform/base/WaveFormat.h"
#include "../platform/host/EventLoop.h"
#include "RecorderTypes.h"
#include "TavrenRecorderEvents.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tavrenly {

class ControlSite;
class PropertyBag;
class UniqueFd;
class WaveFileWriter;
struct RecorderState;
struct StreamInfo;
template <class Control> struct SavedSetting;

// Member ids of the dispatch interface: recorder_ids (recorder/RecorderDispatch.h).

/// The caption label on the control's surface.
struct RecorderCaptionLabel
{
    std::string Caption = "TavrenRecorder";
    std::string FontName = "Arial";
};

/// The recording control: the engine's capture into a WAVE file with a cart chunk, at a
/// length, from a trigger level or paused. Every member runs on the UI thread of the site's
/// event loop; the opening comment of this header has the rules and an example.
class TavrenRecorder : private StreamRecordEvents
{
public:
    // The largest buffering a host may ask for. Together they keep every size computed from
    // them (the engine's buffers, the codec streams' sources, the file's write-behind buffer)
    // far from 32 bits and the memory they take to tens of megabytes at the highest rates.
    static constexpr int32_t kMostWaveBufferLengthms = 2000;
    static constexpr int32_t kMostWaveRecordBuffers = 100;
    static constexpr int16_t kMostCacheSeconds = 60;

    /// Creates the recorder on `site` (which must outlive it) with `engine`, or with the engine
    /// factory's default engine when `engine` is null.
    explicit TavrenRecorder(ControlSite& site, std::unique_ptr<StreamRecord> engine = nullptr);
    /// Closes an open recording and keeps it (CloseRecording(True); its result is ignored).
    ~TavrenRecorder() override;
    TavrenRecorder(const TavrenRecorder&) = delete;
    TavrenRecorder& operator=(const TavrenRecorder&) = delete;

    /// The listener stays owned by the caller; null switches events off.
    void SetEventListener(TavrenRecorderEvents* listener) noexcept { m_events = listener; }

    // Lifecycle with the host's property store.

    /// First-time defaults of a new instance, each through its property.
    void InitNew();
    /// Loads the nine saved settings through their setters; a key that cannot be read is
    /// skipped.
    void ReadProperties(PropertyBag& bag);
    /// Saves the nine settings; a key that cannot be written is skipped.
    void WriteProperties(PropertyBag& bag);

    // Recording (RecorderStart.cpp, RecorderFinish.cpp).

    /// RecordAudioEx without flags.
    int32_t RecordAudio(const std::string& NewAudioFileName, const int32_t& SampleRate,
                        const int16_t& Channels, const int16_t& FormatTag,
                        const int16_t& TriggerLevel, const float& RecordLength);
    /// Starts recording into `Filename` (deleting an old regular file of that name first) as
    /// 16-bit PCM or the format `RecFormatTag` at `RecSampleRate`/`RecChannels`. 0 = started;
    /// -1 when the name is refused ("", a folder, a device, a FIFO, a link); else the file
    /// system's error number for a name it cannot take or a file it cannot delete, the format
    /// chain's or the file writer's code. A recording still open is closed and kept first.
    int32_t RecordAudioEx(const std::string& Filename, const int32_t& RecSampleRate,
                          const int16_t& RecChannels, const int16_t& RecFormatTag,
                          const int16_t& RecTriggerLevel, const float& RecordLength,
                          const int32_t& RecordFlags);
    /// Ends the recording: the file is completed and renamed to its destination, or deleted
    /// when `SaveRecording` is false or it holds no audio (then `SaveRecording` reads false).
    /// A file that took the destination's name since the start is never replaced: the
    /// recording is then kept as "take-1.wav" (the first free number) beside it, PlayerError
    /// raised with -EEXIST and EEXIST returned; any other failing move keeps the file under
    /// its temporary name the same way (SavedFileName says where). Returns 0 or the last
    /// failing file step's code. Raises Closed and AudioPositionChanged, also when nothing was
    /// open.
    int32_t CloseRecording(bool& SaveRecording);
    /// The file the last CloseRecording kept the recording in; "" when it kept none.
    const std::string& SavedFileName() const { return m_savedFileName; }
    /// 0 = paused; -1 = no file open or the engine is not capturing.
    int32_t PauseRecording();
    /// 0 = recording (also when it already was: nothing changes then); -1 = nothing to resume;
    /// else the file writer's code for a pending file, whose failure is shown and raised only
    /// the first time.
    int32_t ResumeRecording();
    /// Drops what the engine captured and has not handed over.
    void ClearBuffer();
    void LoadAudioEngine();

    // The cart record written into recordings (RecorderFile.cpp). It is taken when a file is
    // created, so it is set before RecordAudioEx (or, for a creation put off, before the first
    // ResumeRecording), and it stays for the following recordings until changed.

    /// Sets one text field of the record (`Title`, `Artist`, `CutID`, ... as in CartChunk).
    /// 0 when set; -1 with `error` saying why when the name is unknown, the value is wider than
    /// the field or holds a character outside printable single-byte ASCII; the field is then
    /// unchanged (a value is never cut). No event, no box.
    int32_t SetCartField(const std::string& name, const std::string& value, std::string& error);
    /// Back to the record every recording carries by default: version "0101", all else zero.
    void ClearCartFields();
    const CartChunk& CartFields() const { return m_cart; }

    // Recordings past 32-bit sizes (RecorderFile.cpp). Taken when a file is created, like the
    // cart record, and kept for the following recordings.
    /// kOff (the default): a RIFF file, which ends the recording at PlainFileBytes, or sooner
    /// at the disk. kAlways: an RF64 file, with no limit but the disk's. kAuto: a RIFF file
    /// with room kept for "ds64", made RF64 at the close when it grew past PlainFileBytes.
    Rf64Mode Rf64() const { return m_rf64; }
    void Rf64(Rf64Mode value) { m_rf64 = value; }
    /// The largest RIFF/WAVE file a recording makes: kMostPlainWaveBytes (2^31 - 1) unless set
    /// lower, which tests do to reach the limit without writing gigabytes. Values below 1 and
    /// above kMostPlainWaveBytes are taken as kMostPlainWaveBytes.
    int64_t PlainFileBytes() const { return m_plainFileBytes; }
    void PlainFileBytes(int64_t value);
    /// The open (or last) recording's AudioLength is the plain file limit's, not the disk's:
    /// without RF64 the file can take no more, however much room the disk has.
    bool EndsAtFileLimit() const { return m_endsAtFileLimit; }

    // Position (updated every 50 ms while the engine runs).

    const std::string& AudioFileName() const;
    float TotalSecondsRecorded() const;
    float TotalSecondsRemain() const;
    float TotalPercentageRecorded() const;
    float AudioLength() const;
    eRecStatus Status() const;

    // Settings.

    int32_t WaveBufferLengthms() const;
    /// Ignored unless above 0; used from the next recording start on.
    void WaveBufferLengthms(const int32_t& value);
    int32_t SampleRate() const;
    /// 11025, 22050, 44100 or 48000; anything else shows a plain box and changes nothing.
    void SampleRate(const int32_t& value);
    int16_t NumberChannels() const;
    /// 1 or 2; anything else shows a plain box and changes nothing.
    void NumberChannels(const int32_t& value);
    int16_t NumberCacheSeconds() const;
    /// A negative value becomes 0, also in the caller's variable.
    void NumberCacheSeconds(int16_t& value);
    bool RaiseAudioPositionChanged() const;
    void RaiseAudioPositionChanged(bool value);
    bool CanSetRecordVolume() const;
    float RecordVolume() const;
    void RecordVolume(float value);
    int32_t RaiseAudioLevelEvents() const;
    void RaiseAudioLevelEvents(int32_t value);
    int16_t AudioLevel() const;
    int16_t LeftAudioLevel() const;
    int16_t RightAudioLevel() const;
    bool ReportErrors() const;
    void ReportErrors(bool value);
    int32_t NumberWaveRecordBuffers() const;
    /// Ignored unless above 0.
    void NumberWaveRecordBuffers(const int32_t& value);
    /// Exactly 32 characters: the input device's whole name field.
    std::string WaveInDeviceName() const;
    int16_t WaveInDeviceNumber() const;
    void WaveInDeviceNumber(int16_t value);
    int16_t TriggerLevel() const;
    /// Stored as given, without checks or notification.
    void TriggerLevel(int16_t value);
    bool TriggerLevelActive() const;

    // Diagnostic log.

    const std::string& DebugFile() const { return m_log.DebugFile(); }
    void DebugFile(const std::string& value) { m_log.DebugFile(value); }
    int32_t DebugLevel() const { return m_log.DebugLevel(); }
    void SetDebugFile(const std::string& DebugFileName, const int32_t& DebugMode);

    // For the library's own tests and tools that look inside; the state record's header
    // (recorder/RecorderState.h) is not installed.

    const RecorderState& State() const;
    StreamRecord& Engine() { return *m_engine; }
    const Timer& tmrPosition() const { return m_tmrPosition; }
    const RecorderCaptionLabel& lblTavrenRecorder() const { return m_label; }

private:
    /// The engine's State while it captures.
    static constexpr int32_t kEngineCapturing = 2;

    // Engine events (StreamRecordEvents; RecorderIntake.cpp).
    void BufferReceived(void* address, int32_t size) override;
    void StreamStarted() override;
    void StreamStopped() override;
    void LevelChanged(int16_t left, int16_t right) override;
    void EngineError(int32_t code) override;
    int32_t AudioScanForFirstAbove(const uint8_t* address, int32_t size, int16_t channels,
                                   int16_t triggerLevel) const;
    /// Runs one codec stream over the buffer, moving it into the control's own buffer first
    /// when the stream may give more bytes than the engine's buffer has room for.
    void ConvertIntakeBuffer(StreamInfo& stream, uint8_t*& address, int32_t& size);

    // Starting (RecorderStart.cpp).
    /// Closes and keeps a recording still open; -1 when the host started another meanwhile.
    int32_t CloseOpenRecording();
    int32_t RefuseDestination(const std::string& Filename, int32_t e, const std::string& why);
    int32_t DeleteOldDestination(const std::string& Filename);
    int32_t DeleteOldTemporaryFile();
    void StartRecordEngine(const int32_t& RecordFlags);
    static std::string FolderOfPath(const std::string& path);
    std::string TemporaryAudioFileName(const std::string& folder, const std::string& extension);

    // The file (RecorderFile.cpp).
    int32_t OpenRecordingFile();
    int32_t WriteHeaderChunks();
    void ReadDiskSpace();
    int32_t WriteAudioData(uint8_t*& address, int32_t& count);
    /// Counts `bytes` the disk refused; the first refusal of a fault is logged, shown and
    /// raised as PlayerError once.
    void ReportRefusedWrite(int64_t bytes);
    float UnwrittenSeconds() const;
    static int64_t DiskFreeBytes(const std::string& path, int32_t which);
    /// Logs `failureText` + code and raises PlayerError(code); when `closeRecording`, then
    /// closes without saving unless the host replaced the recording meanwhile. Returns `code`.
    int32_t FailFileStep(int32_t code, const char* failureText, bool closeRecording);

    // The format chain (RecorderCompression.cpp).
    void InitialiseRecordCompression(const WAVEFORMATEX& StreamFormatRequest, int32_t& result);
    void TerminateRecordCompression();
    int32_t SuggestPcmFormat(uint32_t samplesPerSec, uint16_t channels, WAVEFORMATEX& format,
                             const char* caption, const char* failureText);
    int32_t OpenRecordStreams();

    // Finishing (RecorderFinish.cpp).
    void CompleteRecordingFile(bool& SaveRecording, int32_t& result);
    /// Makes the closed file durable and moves it to its destination, which it never replaces:
    /// when the move fails the file is kept beside it under a numbered name (or under the name
    /// it was written as), logged and shown. 0, or the move's errno value.
    int32_t KeepRecordingFile();
    void DrainRecordStreams();
    void ResetRecording();

    // Core (TavrenRecorder.cpp).
    static std::span<const SavedSetting<TavrenRecorder>> SavedSettings();
    void tmrPosition_Timer() { UpdateRecordPosition(); }
    void UpdateRecordPosition();
    void RaisePlayerError(int32_t code);
    void RaiseAudioPositionChangedEvent();
    void ShowPlainMessage(const std::string& text);
    void Notify(const char* key);
    bool FileStepFailed(int32_t& code, const char* caption);

    ControlSite& m_site;
    std::unique_ptr<StreamRecord> m_engine;
    TavrenRecorderEvents* m_events = nullptr;
    DiagnosticLog m_log;
    /// The state record, kept out of this header: `m_state` names it in the member code.
    std::unique_ptr<RecorderState> m_stateStorage;
    RecorderState& m_state;
    Timer m_tmrPosition;
    RecorderCaptionLabel m_label;
    /// Where a conversion that grows the data puts its output: sized once per recording from
    /// the streams' output bounds, so no buffer is allocated while recording.
    std::unique_ptr<uint8_t[]> m_convBuffer;
    /// The writing steps over hAudioFile; it keeps the audio in whole blocks and within the
    /// disk's limit.
    std::unique_ptr<WaveFileWriter> m_writerStorage;
    WaveFileWriter& m_writer;
    /// Audio of this recording the disk refused (the gaps and what the close could not flush).
    int64_t m_unwrittenBytes = 0;
    /// The disk refuses writes now: reported once, and the log says when it takes them again.
    bool m_writeRefused = false;
    CartChunk m_cart;
    int32_t m_convBufferSize = 0;
    /// Marks the file being written, so that no other recorder's start deletes it meanwhile.
    std::unique_ptr<UniqueFd> m_fileInUseStorage;
    UniqueFd& m_fileInUse;
    /// Where the last close kept its recording; "" when it kept none.
    std::string m_savedFileName;
    /// A pending file whose creation failed has said so once; the later resumes retry quietly.
    bool m_pendingFailureReported = false;
    Rf64Mode m_rf64 = Rf64Mode::kOff;
    int64_t m_plainFileBytes = kMostPlainWaveBytes;
    bool m_endsAtFileLimit = false;
    /// Capture frames the requested length still lets through to the file; -1 without a
    /// length. The tick that notices the length comes up to a tick after its frame.
    int64_t m_lengthFramesLeft = -1;
};

} // namespace tavrenly
