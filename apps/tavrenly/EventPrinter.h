#pragma once

// Prints a player's events, one line each with the position they happened at, and keeps what
// the command-line program needs to know about them (the end of the item, error codes).

#include "player/TavrenPlayer.h"

#include <cstdio>
#include <string>
#include <vector>

namespace tavrenly::app {

class EventPrinter : public TavrenPlayerEvents
{
public:
    /// `out` null prints nothing. Position events are printed only when `positions` is set
    /// (AudioPositionChanged(True) always is).
    EventPrinter(const TavrenPlayer& player, std::FILE* out, bool positions = false);

    bool ended = false;
    int positionEvents = 0;
    int loopRestarts = 0;
    std::vector<int32_t> errors;
    /// Called before each printed line, so a live status line can be cleared first.
    void (*beforeLine)(void*) = nullptr;
    void* beforeLineContext = nullptr;

    void Playing() override { Print("Playing"); }
    void Paused() override { Print("Paused"); }
    void Cued() override { Print("Cued"); }
    void Opened() override { Print("Opened"); }
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
    void AudioVolumeChanged(int16_t level) override;
    void LoopRestart() override;
    void LoopCompleted() override { Print("LoopCompleted"); }
    void HookStartReached() override { Print("HookStartReached"); }
    void HookEndReached() override { Print("HookEndReached"); }

private:
    void Print(const std::string& what);

    const TavrenPlayer& m_player;
    std::FILE* m_out;
    bool m_positions;
};

/// "closed", "cued", "paused", "playing".
const char* StatusName(ePlyStatus status);
/// "EMPTY", "PREINTRO", "DURINGINTRO", "MAIN", "EXTRO".
const char* AudioPartName(eAudioPart part);

} // namespace tavrenly::app
