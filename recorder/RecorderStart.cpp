// SPDX-License-Identifier: LGPL-2.1-or-later

// Starting a recording: clearing away an old file of the destination's name, choosing the file
// that is written (a temporary file beside the destination, renamed on close, or the
// destination itself), the format chain, the file (now or at the first resume) and the engine
// (recording at once, or waiting for the trigger level or ResumeRecording).

#include "recorder/TavrenRecorder.h"

#include "common/MultimediaAPI.h"
#include "common/TavrenlyFN.h"
#include "platform/host/ControlSite.h"
#include "platform/system/System.h"
#include "recorder/RecorderState.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <fmt/format.h>

namespace tavrenly {

namespace {

/// The extension the platform gives a fresh temporary name.
constexpr const char* kTemporaryExtension = "TMP";

std::string TrimBlanks(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool IsTemporaryExtension(const std::string& extension)
{
    if (extension.size() != 3)
        return false;
    return std::equal(extension.begin(), extension.end(), kTemporaryExtension, [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == b;
    });
}

/// The library's title as a name prefix: upper case, no blanks (the platform keeps three
/// characters of it).
std::string TemporaryNamePrefix()
{
    std::string prefix;
    for (const char c : kApplicationTitle)
        if (c != ' ')
            prefix += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return prefix;
}

} // namespace

int32_t TavrenRecorder::RecordAudio(const std::string& NewAudioFileName, const int32_t& SampleRate,
                                    const int16_t& Channels, const int16_t& FormatTag,
                                    const int16_t& TriggerLevel, const float& RecordLength)
{
    m_log.Basic([&] {
        return fmt::format("Start Function RecordAudio({},{},{},{},{},{})", NewAudioFileName,
                           SampleRate, Channels, FormatTag, TriggerLevel, RecordLength);
    });
    const int32_t flags = erfDefault;
    const int32_t result = RecordAudioEx(NewAudioFileName, SampleRate, Channels, FormatTag,
                                         TriggerLevel, RecordLength, flags);
    m_log.Basic("End Function RecordAudio");
    return result;
}

int32_t TavrenRecorder::RecordAudioEx(const std::string& Filename, const int32_t& RecSampleRate,
                                      const int16_t& RecChannels, const int16_t& RecFormatTag,
                                      const int16_t& RecTriggerLevel, const float& RecordLength,
                                      const int32_t& RecordFlags)
{
    m_log.Basic([&] {
        return fmt::format("Start Function RecordAudioEx({},{},{},{},{},{},{})", Filename,
                           RecSampleRate, RecChannels, RecFormatTag, RecTriggerLevel, RecordLength,
                           RecordFlags);
    });
    if (const int32_t r = CloseOpenRecording(); r != 0)
        return r;
    if (const int32_t e = DeleteOldDestination(Filename); e != 0)
        return e;

    if ((RecordFlags & erfRecordDirectToDestination) != 0)
        m_state.TemporaryFileName = Filename;
    else
        m_state.TemporaryFileName = TemporaryAudioFileName(FolderOfPath(Filename), "WAV");
    m_log.Basic([&] { return "Temporary FileName - " + m_state.TemporaryFileName; });
    if (const int32_t e = DeleteOldTemporaryFile(); e != 0)
        return e;

    WAVEFORMATEX StreamFormatRequest{};
    StreamFormatRequest.wFormatTag = static_cast<uint16_t>(RecFormatTag);
    StreamFormatRequest.nChannels = static_cast<uint16_t>(RecChannels);
    StreamFormatRequest.nSamplesPerSec = static_cast<uint32_t>(RecSampleRate);
    StreamFormatRequest.wBitsPerSample = 16;
    int32_t result = 0;
    InitialiseRecordCompression(StreamFormatRequest, result);
    if (result != 0) {
        bool saveRecording = false;
        CloseRecording(saveRecording);
        return result;
    }

    m_state.AudioFileName = Filename;
    m_state.RecordLength = RecordLength;
    m_state.TriggerLevel = RecTriggerLevel;
    const double lengthFrames =
        std::round(static_cast<double>(RecordLength) * m_state.CaptureFormat.nSamplesPerSec);
    m_lengthFramesLeft =
        RecordLength > 0 && lengthFrames < 9e18 ? static_cast<int64_t>(lengthFrames) : -1;

    // Bit 2 (paused start) and bit 4 (delayed creation) both leave the file to ResumeRecording.
    constexpr int32_t kCreateAtResume = erfEnterPauseModeImmediately | 4;
    if ((RecordFlags & kCreateAtResume) == 0) {
        m_state.FileOpenPending = false;
        if (const int32_t r = OpenRecordingFile(); r != 0)
            return r;
    } else {
        m_state.FileOpenPending = true;
    }

    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    m_state.LastPositionSeconds = -1;
    m_state.TimeRecordedBeforeLastPause = 0;
    m_state.EngineTimeAtResume = 0;
    m_state.TotalSecondsRecorded = 0;
    UpdateRecordPosition();
    if (openedFileCounter != m_state.OpenedFileCounter)
        return 0;

    m_state.WritingToDisk = false;
    m_state.TriggerLevelActive = false;
    StartRecordEngine(RecordFlags);
    m_log.Basic("End Function RecordAudioEx");
    return 0;
}

int32_t TavrenRecorder::CloseOpenRecording()
{
    if (m_state.TemporaryFileName.empty() && m_state.hAudioFile == nullptr)
        return 0;
    // A recording still open is finished and kept, as a control that goes away keeps it: its
    // audio is not abandoned in a file nobody closes.
    m_log.Basic("Closing the Open Recording");
    bool saveRecording = true;
    CloseRecording(saveRecording);
    // A host that started another recording from the close's events keeps that one.
    return m_state.TemporaryFileName.empty() && m_state.hAudioFile == nullptr ? 0 : -1;
}

int32_t TavrenRecorder::RefuseDestination(const std::string& Filename, int32_t e,
                                          const std::string& why)
{
    m_log.Basic([&] { return fmt::format("Checking Old Audio - Refused, Code {},{}", e, why); });
    if (m_state.ReportErrors)
        m_site.ShowMessage("Cannot record to \"" + Filename + "\": " + why, kMessageInformation,
                           kApplicationTitle);
    RaisePlayerError(e == -1 ? -1 : -e);
    return e;
}

int32_t TavrenRecorder::DeleteOldDestination(const std::string& Filename)
{
    // Only a regular file is ever deleted or replaced: a name that is a folder, a device, a
    // FIFO or a link is refused before anything happens to it, and so is a name the file
    // system cannot take (too long, a folder part that is a file), which would only fail
    // when the recording is to be moved there.
    const size_t slash = Filename.rfind('/');
    const std::string last = slash == std::string::npos ? Filename : Filename.substr(slash + 1);
    if (last.empty() || last == "." || last == "..")
        return RefuseDestination(Filename, -1, "the name is not a file name");
    FileKind kind = FileKind::Missing;
    if (const int32_t e = QueryFileKind(Filename, kind); e != 0)
        return RefuseDestination(Filename, e, ErrorDescription(e));
    if (kind == FileKind::Other)
        return RefuseDestination(Filename, -1, "it is not a regular file and is never replaced");
    if (kind == FileKind::Missing)
        return 0;
    // Another recorder writing straight into this name would lose its recording to the delete.
    if (FileIsInUse(Filename))
        return RefuseDestination(Filename, EBUSY, "it is being recorded");
    m_log.Basic("Deleting Old Audio");
    const int32_t e = DeleteFile(Filename);
    if (e == 0)
        return 0;
    m_log.Basic([&] {
        return fmt::format("Deleting Old Audio - Failed, Code {},{}", e, ErrorDescription(e));
    });
    if (m_state.ReportErrors)
        m_site.ShowMessage("There was a problem deleting " + Filename, kMessageInformation,
                           kApplicationTitle);
    RaisePlayerError(-e);
    return e;
}

int32_t TavrenRecorder::DeleteOldTemporaryFile()
{
    if (FileLength(m_state.TemporaryFileName) < 0)
        return 0;
    const int32_t e = DeleteFile(m_state.TemporaryFileName);
    if (e == 0)
        return 0;
    m_log.Basic([&] {
        return fmt::format("Deleting Temporary File - Failed, Code {},{}", e, ErrorDescription(e));
    });
    if (m_state.ReportErrors)
        m_site.ShowMessage("There was a problem deleting: " + m_state.TemporaryFileName,
                           kMessageInformation, kApplicationTitle);
    return e;
}

void TavrenRecorder::StartRecordEngine(const int32_t& RecordFlags)
{
    const int32_t openedFileCounter = m_state.OpenedFileCounter;
    const bool recordAtOnce =
        (RecordFlags & erfEnterPauseModeImmediately) == 0 && m_state.TriggerLevel <= 0;
    if (!recordAtOnce)
        m_state.TriggerLevelActive = true;
    m_log.Basic("TavrenRecord - Start Tavren Stream");
    m_engine->WaitMode(!recordAtOnce);
    m_engine->StartTavrenStream();
    if (m_events != nullptr)
        m_events->RecordOpen();
    // A host that replaced the recording from RecordOpen owns the engine from then on.
    if (!recordAtOnce || openedFileCounter != m_state.OpenedFileCounter)
        return;
    m_state.EngineTimeAtResume = -1;
    ResumeRecording();
}

std::string TavrenRecorder::FolderOfPath(const std::string& path)
{
    // A backslash is an ordinary character of a Linux file name, not a separator.
    const size_t separator = path.rfind('/');
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

std::string TavrenRecorder::TemporaryAudioFileName(const std::string& folder,
                                                   const std::string& extension)
{
    std::string where = folder;
    if (where.empty()) {
        where = GetTempPath();
        if (where.empty()) {
            m_site.ShowMessage(fmt::format("Error getting a temporary file name :{}", errno),
                               kMessageCritical, kApplicationTitle);
            return {};
        }
        where = TrimBlanks(where);
    }
    const std::string prefix = TemporaryNamePrefix();
    for (;;) {
        std::string name = TrimBlanks(GetTempFileName(where, prefix));
        if (name.empty())
            return {};
        if (extension.empty() || IsTemporaryExtension(extension))
            return name;
        // The platform made the name unique only with its own extension: give the reserved
        // file back and take the name with ours, unless a file with content already has it.
        DeleteFile(name);
        name.replace(name.size() - 3, 3, extension);
        if (FileLength(name) <= 0)
            return name;
    }
}

} // namespace tavrenly
