// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/FileMarkers.h"

#include "apps/tavrenly/WaveMetadata.h"

#include <algorithm>
#include <cctype>
#include <fmt/format.h>
#include <map>
#include <set>

namespace tavrenly::app {

namespace {

struct MarkerSlot
{
    const char* name; ///< as the command line's option, without its dashes
    std::optional<float> PlayOptions::*field;
};

constexpr MarkerSlot kSlots[] = {
    {"audio-start", &PlayOptions::audioStart},
    {"audio-end", &PlayOptions::audioEnd},
    {"intro-start", &PlayOptions::introStart},
    {"intro-end", &PlayOptions::introEnd},
    {"hook-start", &PlayOptions::hookStart},
    {"hook-end", &PlayOptions::hookEnd},
    {"extro", &PlayOptions::extro},
    {"sweeper", &PlayOptions::sweeper},
};

/// Cart timer usages and the marker each gives, in order of preference.
constexpr std::pair<const char*, const char*> kCartUsages[] = {
    {"AUDs", "audio-start"}, {"AUDe", "audio-end"}, {"INTs", "intro-start"}, {"INTe", "intro-end"},
    {"SECs", "hook-start"},  {"SECe", "hook-end"},  {"SEGs", "extro"},       {"OUTs", "extro"},
};

/// Cue labels, reduced to lower-case letters and digits, and the marker each gives.
constexpr std::pair<const char*, const char*> kCueLabels[] = {
    {"audiostart", "audio-start"},
    {"audioend", "audio-end"},
    {"introstart", "intro-start"},
    {"introend", "intro-end"},
    {"hookstart", "hook-start"},
    {"hookend", "hook-end"},
    {"extro", "extro"},
    {"sweeper", "sweeper"},
    {"sweeperstart", "sweeper"},
};

constexpr std::pair<const char*, const char*> kPairs[] = {
    {"audio-start", "audio-end"}, {"intro-start", "intro-end"}, {"hook-start", "hook-end"}};

/// The control's repeat count when a loop gives none (as --loop without MAXCOUNT).
constexpr int16_t kDefaultLoopCount = 1000;
constexpr int16_t kMostLoopCount = 32767;

struct Found
{
    double seconds;
    std::string source;
};

std::string Reduced(const std::string& label)
{
    std::string out;
    for (const char c : label)
        if (std::isalnum(static_cast<unsigned char>(c)) != 0)
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::optional<float>& Field(PlayOptions& options, const std::string& name)
{
    const auto* slot = std::find_if(std::begin(kSlots), std::end(kSlots),
                                    [&](const MarkerSlot& s) { return name == s.name; });
    return options.*(slot->field);
}

/// The markers the file names, the first offer for each kept.
std::map<std::string, Found> FindMarkers(const WaveMetadata& meta, uint32_t rate)
{
    std::map<std::string, Found> found;
    const auto offer = [&](const char* slot, uint32_t frame, std::string source) {
        found.try_emplace(slot, Found{static_cast<double>(frame) / rate, std::move(source)});
    };
    for (const auto& [usage, slot] : kCartUsages)
        for (const CartTimerEntry& timer : meta.cartTimers)
            if (timer.usage == usage)
                offer(slot, timer.frame, fmt::format("cart {}", usage));
    for (const CuePoint& cue : meta.cues)
        for (const auto& [label, slot] : kCueLabels)
            if (Reduced(cue.label) == label)
                offer(slot, cue.frame,
                      fmt::format("cue {} '{}'", cue.id, PrintableText(cue.label)));
    return found;
}

/// The first sampler loop as the player's loop, when it can be one.
void TakeLoop(FileMarkerResult& result, const SamplerLoop& loop, uint32_t rate, double end)
{
    const std::string source = fmt::format("smpl loop {}", loop.id);
    const double start = static_cast<double>(loop.start) / rate;
    // The loop's last frame is played too: the section ends after it.
    const double stop = (static_cast<double>(loop.end) + 1.0) / rate;
    if (loop.type != 0) {
        result.warnings.push_back(fmt::format(
            "{} is not a forward loop (type {}), and the player loops forward only; ignored",
            source, loop.type));
        return;
    }
    if (loop.end < loop.start) {
        result.warnings.push_back(fmt::format("{} ends at {} before it starts at {}; ignored",
                                              source, ClockTime(stop), ClockTime(start)));
        return;
    }
    if (stop > end) {
        result.warnings.push_back(fmt::format("{} ends at {}, past the end of the audio; ignored",
                                              source, ClockTime(stop)));
        return;
    }
    const int16_t repeats =
        loop.playCount == 0
            ? kDefaultLoopCount
            : static_cast<int16_t>(std::min<uint32_t>(loop.playCount - 1, kMostLoopCount));
    result.options.loop = LoopOption{static_cast<float>(start), static_cast<float>(stop), repeats};
    result.taken.push_back(fmt::format("loop {} to {} played {} times ({})", ClockTime(start),
                                       ClockTime(stop), repeats + 1, source));
}

} // namespace

FileMarkerResult WithFileMarkers(const PlayOptions& options, const std::string& file,
                                 float fileSeconds)
{
    FileMarkerResult result{options, {}, {}};
    const WaveMetadata meta = ReadWaveMetadata(file);
    const uint32_t rate = meta.SampleRate();
    if (rate == 0)
        return result;
    // Half a frame over the length still names the end itself.
    const double end = fileSeconds + 0.5 / rate;
    std::map<std::string, Found> found = FindMarkers(meta, rate);

    std::set<std::string> fromFile;
    for (const MarkerSlot& slot : kSlots) {
        const auto at = found.find(slot.name);
        if (at == found.end() || (result.options.*slot.field).has_value())
            continue;
        if (at->second.seconds > end) {
            result.warnings.push_back(fmt::format(
                "{} {} at {} lies past the end of the audio ({}); ignored", at->second.source,
                slot.name, ClockTime(at->second.seconds), ClockTime(fileSeconds)));
            continue;
        }
        result.options.*slot.field = static_cast<float>(at->second.seconds);
        fromFile.insert(slot.name);
    }
    for (const auto& [first, second] : kPairs) {
        std::optional<float>& start = Field(result.options, first);
        std::optional<float>& stop = Field(result.options, second);
        const bool fileGave = fromFile.count(first) + fromFile.count(second) > 0;
        if (!start || !stop || *start <= *stop || !fileGave)
            continue;
        const auto source = [&](const char* name) {
            return fromFile.count(name) > 0 ? found.at(name).source : "command line";
        };
        result.warnings.push_back(fmt::format(
            "{} {} ({}) comes after {} {} ({}); the file's {} ignored", first, ClockTime(*start),
            source(first), second, ClockTime(*stop), source(second),
            fromFile.count(first) + fromFile.count(second) == 2 ? "pair is" : "marker is"));
        for (const char* name : {first, second})
            if (fromFile.erase(name) > 0)
                Field(result.options, name).reset();
    }
    for (const MarkerSlot& slot : kSlots)
        if (fromFile.count(slot.name) > 0)
            result.taken.push_back(fmt::format("{} {} ({})", slot.name,
                                               ClockTime(found.at(slot.name).seconds),
                                               found.at(slot.name).source));
    if (!options.loop && meta.sampler && !meta.sampler->loops.empty())
        TakeLoop(result, meta.sampler->loops.front(), rate, end);
    return result;
}

} // namespace tavrenly::app
