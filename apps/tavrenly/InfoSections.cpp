// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/InfoSections.h"

#include <cmath>
#include <fmt/format.h>
#include <string_view>
#include <utility>

namespace tavrenly::app {

namespace {

using nlohmann::ordered_json;

/// The names the INFO list's ids stand for, as tag editors show them.
constexpr std::pair<std::string_view, std::string_view> kInfoNames[] = {
    {"IARL", "Archival location"},
    {"IART", "Artist"},
    {"ICMS", "Commissioned"},
    {"ICMT", "Comment"},
    {"ICOP", "Copyright"},
    {"ICRD", "Creation date"},
    {"IENG", "Engineer"},
    {"IGNR", "Genre"},
    {"IKEY", "Keywords"},
    {"IMED", "Medium"},
    {"INAM", "Title"},
    {"IPRD", "Product"},
    {"ISBJ", "Subject"},
    {"ISFT", "Software"},
    {"ISRC", "Source"},
    {"ISRF", "Source form"},
    {"ITCH", "Technician"},
    {"ITRK", "Track"},
};

std::string_view InfoName(const std::string& id)
{
    for (const auto& [key, name] : kInfoNames)
        if (key == id)
            return name;
    return "";
}

const char* LoopTypeName(uint32_t type)
{
    switch (type) {
    case 0:
        return "forward";
    case 1:
        return "alternating";
    case 2:
        return "backward";
    default:
        return "of another type";
    }
}

/// Hundredths of a dB, without the "-0.00" of a value just below zero.
std::string Db(double value)
{
    if (!std::isfinite(value))
        return "-inf";
    const double rounded = std::round(value * 100.0) / 100.0;
    return fmt::format("{:.2f}", rounded == 0.0 ? 0.0 : rounded);
}

ordered_json Number(double value)
{
    return std::isfinite(value) ? ordered_json(value) : ordered_json(nullptr);
}

/// Seconds of `frames` at `rate`, or null when the rate is unknown.
ordered_json Seconds(uint64_t frames, uint32_t rate)
{
    return rate > 0 ? ordered_json(static_cast<double>(frames) / rate) : ordered_json(nullptr);
}

/// "1234 (0:00:01.000)", or the frames alone when the rate is unknown.
std::string FrameText(uint64_t frames, uint32_t rate)
{
    return rate > 0 ? fmt::format("{} ({})", frames, ClockTime(static_cast<double>(frames) / rate))
                    : std::to_string(frames);
}

/// A loudness field of the broadcast extension, stored in hundredths.
ordered_json Hundredths(const std::optional<int16_t>& value)
{
    return value ? ordered_json(*value / 100.0) : ordered_json(nullptr);
}

ordered_json BextJson(const BextChunk& bext)
{
    return {{"Description", PrintableText(bext.Description)},
            {"Originator", PrintableText(bext.Originator)},
            {"OriginatorReference", PrintableText(bext.OriginatorReference)},
            {"OriginationDate", PrintableText(bext.OriginationDate)},
            {"OriginationTime", PrintableText(bext.OriginationTime)},
            {"TimeReference", bext.TimeReference},
            {"Version", bext.Version},
            {"UMID", bext.UMID},
            {"LoudnessValue", Hundredths(bext.LoudnessValue)},
            {"LoudnessRange", Hundredths(bext.LoudnessRange)},
            {"MaxTruePeakLevel", Hundredths(bext.MaxTruePeakLevel)},
            {"MaxMomentaryLoudness", Hundredths(bext.MaxMomentaryLoudness)},
            {"MaxShortTermLoudness", Hundredths(bext.MaxShortTermLoudness)},
            {"CodingHistory", PrintableText(bext.CodingHistory)}};
}

void PrintBextText(const BextChunk& bext, uint32_t rate)
{
    fmt::print("Bext          version {}", bext.Version);
    const ordered_json fields = BextJson(bext);
    for (auto field = fields.cbegin(); field != fields.cend(); ++field)
        if (field->is_string() && !field->get<std::string>().empty() &&
            field.key() != "CodingHistory")
            fmt::print(", {} '{}'", field.key(), field->get<std::string>());
    fmt::print(", TimeReference {}", FrameText(bext.TimeReference, rate));
    const std::pair<const char*, const char*> loudness[] = {{"LoudnessValue", "LUFS"},
                                                            {"LoudnessRange", "LU"},
                                                            {"MaxTruePeakLevel", "dBTP"},
                                                            {"MaxMomentaryLoudness", "LUFS"},
                                                            {"MaxShortTermLoudness", "LUFS"}};
    for (const auto& [name, unit] : loudness)
        if (fields[name].is_number())
            fmt::print(", {} {:.2f} {}", name, fields[name].get<double>(), unit);
    fmt::print("\n");
    // One history line a line, as written ("\r\n" between them).
    std::string history = PrintableText(bext.CodingHistory);
    for (size_t at = 0; (at = history.find('\r', at)) != std::string::npos;)
        history.erase(at, 1);
    size_t start = 0;
    while (start < history.size()) {
        const size_t end = std::min(history.find('\n', start), history.size());
        if (end > start)
            fmt::print("Coding        {}\n", history.substr(start, end - start));
        start = end + 1;
    }
}

} // namespace

ordered_json LevelsJson(const LevelsResult& result)
{
    if (!result.levels)
        return nullptr;
    const FileLevels& levels = *result.levels;
    return {{"frames", levels.frames},
            {"seconds", Seconds(levels.frames, levels.rate)},
            {"sample_peak_dbfs", Number(levels.samplePeakDbfs)},
            {"rms_dbfs", Number(levels.rmsDbfs)},
            {"integrated_lufs", Number(levels.integratedLufs)},
            {"loudness_range_lu", Number(levels.loudnessRangeLu)},
            {"true_peak_dbtp", Number(levels.truePeakDbtp)}};
}

void PrintLevelsText(const LevelsResult& result)
{
    if (!result.levels) {
        if (!result.problem.empty())
            fmt::print("Levels        not measured: {}\n", result.problem);
        return;
    }
    const FileLevels& levels = *result.levels;
    fmt::print("Levels        peak {} dBFS, RMS {} dBFS\n", Db(levels.samplePeakDbfs),
               Db(levels.rmsDbfs));
    fmt::print("Loudness      {} LUFS integrated, range {} LU, true peak {} dBTP\n",
               Db(levels.integratedLufs), Db(levels.loudnessRangeLu), Db(levels.truePeakDbtp));
}

ordered_json TimersJson(const WaveMetadata& meta)
{
    ordered_json timers = ordered_json::array();
    for (const CartTimerEntry& timer : meta.cartTimers)
        timers.push_back({{"usage", PrintableText(timer.usage)},
                          {"value", timer.frame},
                          {"seconds", Seconds(timer.frame, meta.SampleRate())}});
    return timers;
}

void AddMetadataJson(ordered_json& out, const WaveMetadata& meta)
{
    const uint32_t rate = meta.SampleRate();
    out["bext"] = meta.bext ? BextJson(*meta.bext) : ordered_json(nullptr);
    ordered_json info = ordered_json::object();
    for (const auto& [id, text] : meta.info)
        info[PrintableText(id)] = PrintableText(text);
    out["info"] = meta.info.empty() ? ordered_json(nullptr) : info;
    ordered_json cues = ordered_json::array();
    for (const CuePoint& cue : meta.cues)
        cues.push_back(
            {{"id", cue.id},
             {"frame", cue.frame},
             {"seconds", Seconds(cue.frame, rate)},
             {"label", PrintableText(cue.label)},
             {"note", PrintableText(cue.note)},
             {"length", cue.length ? ordered_json(*cue.length) : ordered_json(nullptr)}});
    out["cues"] = cues;
    if (!meta.sampler) {
        out["sampler"] = nullptr;
        return;
    }
    ordered_json loops = ordered_json::array();
    for (const SamplerLoop& loop : meta.sampler->loops)
        loops.push_back({{"id", loop.id},
                         {"type", loop.type},
                         {"start", loop.start},
                         {"end", loop.end},
                         {"play_count", loop.playCount}});
    out["sampler"] = {{"manufacturer", meta.sampler->manufacturer},
                      {"product", meta.sampler->product},
                      {"sample_period", meta.sampler->samplePeriod},
                      {"midi_unity_note", meta.sampler->midiUnityNote},
                      {"loops", loops}};
}

void PrintMetadataText(const WaveMetadata& meta)
{
    const uint32_t rate = meta.SampleRate();
    if (!meta.cartTimers.empty()) {
        fmt::print("Cart timers  ");
        for (const CartTimerEntry& timer : meta.cartTimers)
            fmt::print(" {} at {};", PrintableText(timer.usage), FrameText(timer.frame, rate));
        fmt::print("\n");
    }
    if (meta.bext)
        PrintBextText(*meta.bext, rate);
    for (const auto& [id, text] : meta.info) {
        const std::string_view name = InfoName(id);
        fmt::print("Info          {}{} '{}'\n", PrintableText(id),
                   name.empty() ? "" : fmt::format(" ({})", name), PrintableText(text));
    }
    for (const CuePoint& cue : meta.cues) {
        fmt::print("Cue           {} at {}", cue.id, FrameText(cue.frame, rate));
        if (!cue.label.empty())
            fmt::print(", label '{}'", PrintableText(cue.label));
        if (cue.length)
            fmt::print(", length {}", FrameText(*cue.length, rate));
        if (!cue.note.empty())
            fmt::print(", note '{}'", PrintableText(cue.note));
        fmt::print("\n");
    }
    if (!meta.sampler)
        return;
    for (const SamplerLoop& loop : meta.sampler->loops) {
        const std::string times =
            loop.playCount == 0 ? "for ever" : fmt::format("{} time(s)", loop.playCount);
        fmt::print("Loop          {} {}, frames {} to {}, plays {}\n", loop.id,
                   LoopTypeName(loop.type), FrameText(loop.start, rate), FrameText(loop.end, rate),
                   times);
    }
}

} // namespace tavrenly::app
