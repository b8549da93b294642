// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Public enumerations of the recorder's interface. enSampleRate and enDebugMode are shared
// with the player (common/ControlTypes.h, common/DiagnosticLog.h).

#include "../common/ControlTypes.h"
#include "../common/DiagnosticLog.h"

#include <cstdint>

namespace tavrenly {

enum eRecStatus : int32_t
{
    ersClosed = 0,
    ersWaitingLevel = 5,
    ersPaused = 10,
    ersRecording = 20,
};

/// Bits of RecordAudioEx's flags: 1 writes the destination itself instead of a temporary
/// file beside it; 2 starts waiting (for the trigger or ResumeRecording); 4 puts the file's
/// creation off until the first ResumeRecording. The delayed creation is only offered
/// together with the paused start (6), but any combination is accepted.
enum eRecFlags : int32_t
{
    erfDefault = 0,
    erfRecordDirectToDestination = 1,
    erfEnterPauseModeImmediately = 2,
    erfDelayCreateFileUntilResume = 6,
};

} // namespace tavrenly
