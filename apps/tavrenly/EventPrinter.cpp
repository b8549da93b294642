#include "apps/tavrenly/EventPrinter.h"

#include <fmt/format.h>

namespace tavrenly::app {

EventPrinter::EventPrinter(const TavrenPlayer& player, std::FILE* out, bool positions)
    : m_player(player), m_out(out), m_positions(positions)
{}

void EventPrinter::AudioPositionChanged(bool& changing)
{
    ++positionEvents;
    if (changing)
        Print(
            fmt::format("AudioPositionChanged(True) part {}", AudioPartName(m_player.AudioPart())));
    else if (m_positions)
        Print("AudioPositionChanged(False)");
}

void EventPrinter::VolumeChangeStartNotify(int16_t& reference)
{
    Print(fmt::format("VolumeChangeStartNotify({})", reference));
}

void EventPrinter::VolumeChangeNotify(int16_t& reference)
{
    Print(fmt::format("VolumeChangeNotify({})", reference));
}

void EventPrinter::VolumeChangeEndNotify(int16_t& reference)
{
    Print(fmt::format("VolumeChangeEndNotify({})", reference));
}

void EventPrinter::PlayerError(int32_t& code)
{
    errors.push_back(code);
    Print(fmt::format("PlayerError({})", code));
}

void EventPrinter::AudioEndReached()
{
    ended = true;
    Print("AudioEndReached");
}

void EventPrinter::AudioVolumeChanged(int16_t level)
{
    if (m_positions)
        Print(fmt::format("AudioVolumeChanged({})", level));
}

void EventPrinter::LoopRestart()
{
    ++loopRestarts;
    Print(fmt::format("LoopRestart (LoopCount {})", m_player.LoopCount()));
}

void EventPrinter::Print(const std::string& what)
{
    if (m_out == nullptr)
        return;
    if (beforeLine != nullptr)
        beforeLine(beforeLineContext);
    fmt::print(m_out, "{:9.3f} s  {}\n", m_player.TotalSecondsPlayed(), what);
    std::fflush(m_out);
}

const char* StatusName(ePlyStatus status)
{
    switch (status) {
    case epsClosed:
        return "closed";
    case epsCued:
        return "cued";
    case epsPaused:
        return "paused";
    case epsPlaying:
        return "playing";
    }
    return "unknown";
}

const char* AudioPartName(eAudioPart part)
{
    switch (part) {
    case eapEMPTY:
        return "EMPTY";
    case eapPREINTRO:
        return "PREINTRO";
    case eapDURINGINTRO:
        return "DURINGINTRO";
    case eapMAIN:
        return "MAIN";
    case eapEXTRO:
        return "EXTRO";
    }
    return "unknown";
}

} // namespace tavrenly::app
