// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/EventPrinter.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace tavrenly::app {

namespace {

using nlohmann::ordered_json;

struct WallClock
{
    std::tm local{};
    int milliseconds = 0;
};

WallClock Now()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    WallClock clock;
    localtime_r(&seconds, &clock.local);
    clock.milliseconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    return clock;
}

/// "2026-12-07T03:10:00.123+01:00": local time, as an as-run log is read, with the offset that
/// makes it one instant for a machine.
std::string IsoText(const WallClock& clock)
{
    char date[32];
    char zone[8];
    std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &clock.local);
    std::strftime(zone, sizeof(zone), "%z", &clock.local);
    const std::string offset(zone);
    return fmt::format("{}.{:03}{}:{}", date, clock.milliseconds, offset.substr(0, 3),
                       offset.substr(3));
}

/// The arguments after the event's name: " reference 3", " changing true, part MAIN".
std::string ArgumentText(const ordered_json& arguments)
{
    std::string text;
    for (auto argument = arguments.cbegin(); argument != arguments.cend(); ++argument) {
        text += text.empty() ? " " : ", ";
        text += argument.key() + " " +
                (argument->is_string() ? argument->get<std::string>() : argument->dump());
    }
    return text;
}

} // namespace

EventPrinter::EventPrinter(const TavrenPlayer& player, std::FILE* out, EventFormat format)
    : m_player(player), m_out(out), m_format(format)
{}

void EventPrinter::StartItem()
{
    ended = false;
    loopRestarts = 0;
    loopCompleted = false;
    errors.clear();
    runningRamps.clear();
    fadeOutReference = -1;
    fadedOut = false;
}

void EventPrinter::ItemEnded(const std::string& file, const std::string& reason)
{
    Print("ItemEnded", {{"file", file}, {"reason", reason}});
}

void EventPrinter::Opened()
{
    Print("Opened", {{"file", m_player.AudioFileName()}});
}

void EventPrinter::AudioPositionChanged(bool& changing)
{
    ++positionEvents;
    if (changing)
        Print("AudioPositionChanged",
              {{"changing", true}, {"part", AudioPartName(m_player.AudioPart())}});
}

void EventPrinter::VolumeChangeStartNotify(int16_t& reference)
{
    runningRamps.insert(reference);
    Print("VolumeChangeStartNotify", {{"reference", reference}});
}

void EventPrinter::VolumeChangeNotify(int16_t& reference)
{
    Print("VolumeChangeNotify", {{"reference", reference}});
}

void EventPrinter::VolumeChangeEndNotify(int16_t& reference)
{
    runningRamps.erase(reference);
    if (reference == fadeOutReference)
        fadedOut = true;
    Print("VolumeChangeEndNotify", {{"reference", reference}});
}

void EventPrinter::PlayerError(int32_t& code)
{
    errors.push_back(code);
    Print("PlayerError", {{"code", code}});
}

void EventPrinter::AudioEndReached()
{
    ended = true;
    Print("AudioEndReached");
}

void EventPrinter::LoopRestart()
{
    ++loopRestarts;
    // By now the position has jumped back to the loop start; the log wants the moment the
    // jump was heard, which is the loop end.
    const float jumpedFrom = m_player.LoopEnd() - m_player.AudioStart();
    Print("LoopRestart", {{"LoopCount", m_player.LoopCount()}, {"pass", loopRestarts + 1}},
          &jumpedFrom);
}

void EventPrinter::LoopCompleted()
{
    loopCompleted = true;
    Print("LoopCompleted");
}

void EventPrinter::Print(const std::string& event)
{
    Print(event, ordered_json::object());
}

void EventPrinter::Print(const std::string& event, const ordered_json& arguments,
                         const float* itemSeconds)
{
    if (m_out == nullptr)
        return;
    if (live != nullptr)
        live->Clear();
    const WallClock wall = Now();
    const float item = itemSeconds != nullptr ? *itemSeconds : m_player.SecondsPlayed();
    if (m_format == EventFormat::Json) {
        fmt::print(m_out, "{}\n", JsonEventLine("t_item", item, event, arguments));
    } else {
        char time[16];
        std::strftime(time, sizeof(time), "%H:%M:%S", &wall.local);
        fmt::print(m_out, "{}.{:03}  {:9.3f} s  {}{}\n", time, wall.milliseconds, item, event,
                   ArgumentText(arguments));
    }
    std::fflush(m_out);
}

std::string JsonEventLine(const char* timeKey, double seconds, const std::string& event,
                          const ordered_json& arguments)
{
    // Milliseconds are what an as-run log resolves; more digits of a float are noise.
    const double ms = std::round(seconds * 1000.0) / 1000.0;
    ordered_json line = {{"t_wall", IsoText(Now())}, {timeKey, ms}, {"event", event}};
    line.update(arguments);
    return line.dump();
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
