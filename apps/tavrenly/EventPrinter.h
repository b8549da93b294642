// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Prints a player's events as an as-run log, one line each with the wall-clock time and the
// item time they happened at, as text or as one JSON object a line, and keeps what the
// command-line program needs to know about them (the end of the item, error codes, loop passes
// heard, running fades).

#include "apps/tavrenly/Terminal.h"
#include "player/TavrenPlayer.h"

#include <cstdio>
#include <nlohmann/json_fwd.hpp>
#include <set>
#include <string>
#include <vector>

namespace tavrenly::app {

enum class EventFormat
{
    Text, ///< "HH:MM:SS.mmm  ITEM s  Event(arguments)"
    Json, ///< {"t_wall": ISO 8601 local time, "t_item": seconds, "event": name, arguments...}
};

class EventPrinter : public TavrenPlayerEvents
{
public:
    /// `out` null prints nothing. Of the position events only the part changes
    /// (AudioPositionChanged(True)) are printed: the others come every few milliseconds.
    EventPrinter(const TavrenPlayer& player, std::FILE* out,
                 EventFormat format = EventFormat::Text);

    // What the events told of the item being played; StartItem clears it.
    bool ended = false;
    int loopRestarts = 0;
    bool loopCompleted = false;
    int positionEvents = 0;
    std::vector<int32_t> errors;
    /// The volume changes whose ramp has started and not yet ended.
    std::set<int16_t> runningRamps;
    /// The reference whose VolumeChangeEndNotify sets `fadedOut` (none when negative).
    int16_t fadeOutReference = -1;
    bool fadedOut = false;

    /// Cleared before each printed line, so that the line does not land inside it.
    LiveLine* live = nullptr;

    /// Forgets what the previous item's events said; called before each item is opened.
    void StartItem();
    /// Prints the program's own event for the end of an item, "ItemEnded", with `reason`
    /// ("end", "faded", "quit", "interrupted", "timeout", "device failed", "not opened", "refused")
    /// and the file.
    void ItemEnded(const std::string& file, const std::string& reason);

    void Playing() override { Print("Playing"); }
    void Paused() override { Print("Paused"); }
    void Cued() override { Print("Cued"); }
    void Opened() override;
    void Closed() override { Print("Closed"); }
    void AudioPositionChanged(bool& changing) override;
    void VolumeChangeStartNotify(int16_t& reference) override;
    void VolumeChangeNotify(int16_t& reference) override;
    void VolumeChangeEndNotify(int16_t& reference) override;
    void PlayerError(int32_t& code) override;
    void IntroStartReached() override { Print("IntroStartReached"); }
    void IntroEndReached() override { Print("IntroEndReached"); }
    void ExtroReached() override { Print("ExtroReached"); }
    void AudioEndReached() override;
    void SweeperStartReached() override { Print("SweeperStartReached"); }
    void LoopRestart() override;
    void LoopCompleted() override;
    void HookStartReached() override { Print("HookStartReached"); }
    void HookEndReached() override { Print("HookEndReached"); }

private:
    /// Prints `event` at the player's item time, or at `itemSeconds` when given.
    void Print(const std::string& event);
    void Print(const std::string& event, const nlohmann::ordered_json& arguments,
               const float* itemSeconds = nullptr);

    const TavrenPlayer& m_player;
    std::FILE* m_out;
    EventFormat m_format;
};

/// One event as a JSON line without its newline: {"t_wall": ISO 8601 local time of now,
/// `timeKey`: `seconds` to the millisecond, "event": `event`, then `arguments` by name}. The
/// recorder's printer shares it, so that both commands' logs read alike.
std::string JsonEventLine(const char* timeKey, double seconds, const std::string& event,
                          const nlohmann::ordered_json& arguments);

/// "closed", "cued", "paused", "playing".
const char* StatusName(ePlyStatus status);
/// "EMPTY", "PREINTRO", "DURINGINTRO", "MAIN", "EXTRO".
const char* AudioPartName(eAudioPart part);

} // namespace tavrenly::app
