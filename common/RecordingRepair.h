// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Makes an unfinished recording playable again. A recorder that was killed, lost its power or
// ran out of disk leaves a WAVE file whose header is complete except for two numbers: the RIFF
// size and the "data" size, which stay 0 until the recording is closed (other writers that
// stream to a pipe leave 0xFFFFFFFF there instead). Everything else is already in place, the
// audio in order after the "data" header, so the repair only has to write those two fields:
// the "data" size becomes the whole blocks the file really holds, the RIFF size follows.
//
// An RF64 file keeps the two sizes in its "ds64" chunk (their 32-bit fields read 0xFFFFFFFF)
// and is repaired there the same way. A RIFF file that kept room for "ds64" in a "JUNK" chunk
// right after its header, and whose audio reaches past what 32-bit sizes hold, is made RF64
// by the repair, so that none of the audio is left out.
//
// The repair touches nothing else. A file that is damaged in any other way (not RIFF, cut
// inside its header, a chunk before the audio that reaches past the end, no "fmt " or "data")
// is left byte for byte as it is and reported.
//
// Usage:
//   RepairReport report;
//   if (RepairRecording(path, report) == RepairVerdict::kRepaired) ... report.dataSizeAfter ...
//   for (const std::string& file : FindTemporaryRecordings(folder)) ...

#include <cstdint>
#include <string>
#include <vector>

namespace tavrenly {

enum class RepairVerdict : int32_t
{
    kRepaired = 0, ///< the sizes were written (or would be, on a dry run)
    kAlreadyRight, ///< nothing to change: the file's sizes describe what it holds
    kNotRecording, ///< not such a recording, or damaged elsewhere: left untouched
    kCannotAccess, ///< cannot be opened, read or written (message: the system's reason)
};

/// What the repair found in a file and what it changed. Sizes are those of the header fields.
struct RepairReport
{
    RepairVerdict verdict = RepairVerdict::kCannotAccess;
    std::string message;  ///< one line for a person: what was found or why it was left
    bool changed = false; ///< the file's bytes were written
    bool dryRun = false;  ///< the verdict says what a real run would do; nothing was written
    uint64_t fileSize = 0;
    uint16_t blockAlign = 0; ///< the "fmt " chunk's nBlockAlign, 0 until read
    uint64_t dataOffset = 0; ///< file offset of the "data" chunk's header, 0 when none
    /// 64-bit: an RF64 file's sizes are its "ds64" chunk's.
    uint64_t riffSizeBefore = 0;
    uint64_t riffSizeAfter = 0;
    uint64_t dataSizeBefore = 0;
    uint64_t dataSizeAfter = 0;
    bool rf64Before = false;
    bool rf64After = false;
    /// Bytes after the last whole block (a buffer cut short by the disk), left outside "data".
    uint64_t partialBlockBytes = 0;
};

/// Repairs `path` in place when its RIFF or "data" size is 0 or larger than the file: the
/// "data" size becomes the whole blocks present, the RIFF size the form up to their end (or
/// the file's end when chunks follow the audio). The two fields are written where they are and
/// the file is synced before the call returns; with `dryRun` nothing is written. The verdict is
/// also in `report`. Never throws; any thread; the caller must not write the file meanwhile.
RepairVerdict RepairRecording(const std::string& path, RepairReport& report, bool dryRun = false);

/// The verdict as one word for people and for JSON: "repaired", "already right", "not a
/// recording", "cannot access".
const char* RepairVerdictText(RepairVerdict verdict);

/// True for a file name the recorder gives its temporary recordings: the three-letter prefix
/// of the library ("TAV"), four upper-case hexadecimal digits and ".WAV" (any case).
bool IsTemporaryRecordingName(const std::string& fileName);

/// The temporary recordings a killed recorder left in `folder` (not its sub-folders): files
/// with the recorder's temporary names whose RIFF size (an RF64 file's "ds64" one) is still 0,
/// sorted by name. Empty when the folder cannot be read.
std::vector<std::string> FindTemporaryRecordings(const std::string& folder);

} // namespace tavrenly
