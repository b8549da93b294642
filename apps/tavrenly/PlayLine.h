// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The line `tavrenly play` keeps redrawn on a terminal while an item plays: what an engineer
// watches on a playout screen, in at most one terminal width. Building the text is kept apart
// from reading the player, so that its width can be checked for any state.

#include <cstdint>
#include <optional>
#include <string>

namespace tavrenly::app {

/// One output channel's meter: levels in percent of full scale, as the engines report them.
struct MeterReading
{
    int16_t level = 0;
    /// The highest level of the last moments, drawn as a mark that stays while the bar falls.
    int16_t peak = 0;
    /// Full scale was reached lately.
    bool clipped = false;
};

struct PlayLineState
{
    std::string name;   ///< the file's name, without its folder
    std::string status; ///< "playing", "paused", "cued", "closed"
    float played = 0;   ///< item seconds played
    /// Item seconds still to be heard, the loop passes still to come included.
    float remain = 0;
    /// Seconds to the intro end and to the extro, each only while it lies ahead.
    std::optional<float> toIntroEnd;
    std::optional<float> toExtro;
    /// The loop pass being heard, of `loopPasses`; no loop when `loopPasses` is 0.
    int loopPass = 0;
    int loopPasses = 0;
    bool fading = false;
    MeterReading left;
    MeterReading right;
};

/// "m:ss.t" (tenths truncated, never negative); the minutes grow past 59 rather than wrap, so
/// that a long item still reads as one number.
std::string ClockText(float seconds);

/// `name` in at most `width` characters: the end (where the extension and the take number
/// are) is kept, the middle gives way to '~'.
std::string ShortName(const std::string& name, size_t width);

/// A meter of `width` characters on a dB scale from -60 dBFS (empty) to 0 dBFS (full): '#' up
/// to the level, '|' at a held peak above it, '.' elsewhere, then '!' when clipped or ' '.
std::string DbMeter(const MeterReading& reading, int width);

/// The whole line, at most `width` characters (`width` of 40 or more), with no newline or
/// control character. The fields that do not apply (intro, extro, loop, fade) are left out and
/// the file name takes the room that is left.
std::string FormatPlayLine(const PlayLineState& state, size_t width = 80);

/// What `tavrenly record` shows while it records.
struct RecordLineState
{
    std::string status; ///< "recording", "paused", "waiting for -20dB", ...
    float recorded = 0; ///< seconds recorded
    /// Seconds still to record, by the length asked (`byLength`) or by the disk's room; none
    /// when nothing limits the recording.
    std::optional<float> remain;
    bool byLength = false;
    MeterReading left;
    MeterReading right;
};

/// The recorder's line, at most `width` characters (40 or more), with the meters of the play
/// line: the status, the time recorded, the time remaining and its limit, L/R meters.
std::string FormatRecordLine(const RecordLineState& state, size_t width = 80);

/// Keeps a meter's peak for a while after the level falls, and the clip mark longer: a person
/// glancing at the screen still sees what the audio did a moment ago. Times in milliseconds on
/// any steady clock.
class MeterHold
{
public:
    MeterReading Update(int16_t level, int64_t nowMs);

private:
    int16_t m_peak = 0;
    int64_t m_peakAt = 0;
    int64_t m_clipAt = -1;
};

} // namespace tavrenly::app
