// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/PlayLine.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <vector>

namespace tavrenly::app {

namespace {

/// The meters' floor: below it a broadcast level is silence for the eye.
constexpr double kFloorDb = -60.0;
/// Characters per meter bar (6 dB each), fewer when every other field is shown; with its label
/// and clip mark each meter takes two more.
constexpr int kMeterWidth = 10;
constexpr int kMinMeterWidth = 5;
/// The meters give way before a file name is cut below this.
constexpr size_t kMinNameWidth = 8;
/// How long a fallen peak stays drawn, and how long a clip stays marked.
constexpr int64_t kPeakHoldMs = 1500;
constexpr int64_t kClipHoldMs = 3000;
/// The engines round levels to whole percent: 100 means within 0.05 dB of full scale.
constexpr int16_t kClipLevel = 100;

/// Characters of a `width`-character bar lit by `level` percent on the dB scale.
int LitCharacters(int16_t level, int width)
{
    if (level <= 0)
        return 0;
    const double db = 20.0 * std::log10(std::min<int16_t>(level, 100) / 100.0);
    const double fraction = std::clamp((db - kFloorDb) / -kFloorDb, 0.0, 1.0);
    return static_cast<int>(std::lround(fraction * width));
}

} // namespace

std::string ClockText(float seconds)
{
    const auto tenths =
        std::isfinite(seconds) ? static_cast<int64_t>(std::max(0.0f, seconds) * 10.0f) : 0;
    return fmt::format("{}:{:02}.{}", tenths / 600, tenths / 10 % 60, tenths % 10);
}

std::string ShortName(const std::string& name, size_t width)
{
    if (name.size() <= width)
        return name;
    if (width == 0)
        return "";
    const size_t tail = (width - 1) * 2 / 3;
    const size_t head = width - 1 - tail;
    return name.substr(0, head) + "~" + name.substr(name.size() - tail);
}

std::string DbMeter(const MeterReading& reading, int width)
{
    const int lit = LitCharacters(reading.level, width);
    std::string bar = std::string(static_cast<size_t>(lit), '#') +
                      std::string(static_cast<size_t>(width - lit), '.');
    const int peak = LitCharacters(reading.peak, width);
    if (peak > lit)
        bar[static_cast<size_t>(peak - 1)] = '|';
    return bar + (reading.clipped ? '!' : ' ');
}

std::string FormatPlayLine(const PlayLineState& state, size_t width)
{
    std::vector<std::string> fields;
    fields.push_back(fmt::format("{:<7}", state.status));
    fields.push_back(fmt::format("{:>7}", ClockText(state.played)));
    fields.push_back(fmt::format("-{}", ClockText(state.remain)));
    // The nearer marker is the one to talk up to: the intro end while it lies ahead, then the
    // extro.
    if (state.toIntroEnd)
        fields.push_back(fmt::format("in {}", ClockText(*state.toIntroEnd)));
    else if (state.toExtro)
        fields.push_back(fmt::format("ex {}", ClockText(*state.toExtro)));
    if (state.loopPasses > 0)
        fields.push_back(fmt::format("loop {}/{}", state.loopPass, state.loopPasses));
    if (state.fading)
        fields.push_back("fade");
    const std::string middle = fmt::format("{}", fmt::join(fields, " "));

    int meterWidth = kMeterWidth;
    const auto nameRoom = [&] {
        const size_t used = middle.size() + 2 * static_cast<size_t>(meterWidth + 2) + 2;
        return width > used ? width - used : 0;
    };
    while (nameRoom() < kMinNameWidth && meterWidth > kMinMeterWidth)
        --meterWidth;
    std::string line = ShortName(state.name, std::max(nameRoom(), kMinNameWidth)) + " " + middle +
                       " L" + DbMeter(state.left, meterWidth) + "R" +
                       DbMeter(state.right, meterWidth);
    // Only fields far beyond any real item (days of audio, a loop of thousands of passes with a
    // long name) get here: the end of the meters gives way.
    if (line.size() > width)
        line.resize(width);
    return line;
}

std::string FormatRecordLine(const RecordLineState& state, size_t width)
{
    // From an hour on the clock reads H:MM:SS: a disk's worth of time stays one short field.
    const auto clock = [](float seconds) {
        const auto whole =
            static_cast<int64_t>(std::isfinite(seconds) ? std::max(0.0f, seconds) : 0.0f);
        return whole >= 3600
                   ? fmt::format("{}:{:02}:{:02}", whole / 3600, whole / 60 % 60, whole % 60)
                   : ClockText(seconds);
    };
    const std::string remain = state.remain ? fmt::format("-{} {}", clock(*state.remain),
                                                          state.byLength ? "length" : "disk")
                                            : std::string("no limit");
    const std::string fields =
        fmt::format("{:<21} {:>8} {:<15}", state.status, clock(state.recorded), remain);
    int meterWidth = kMeterWidth;
    while (fields.size() + 2 * static_cast<size_t>(meterWidth + 3) > width &&
           meterWidth > kMinMeterWidth)
        --meterWidth;
    std::string line =
        fields + " L" + DbMeter(state.left, meterWidth) + "R" + DbMeter(state.right, meterWidth);
    if (line.size() > width)
        line.resize(width);
    return line;
}

MeterReading MeterHold::Update(int16_t level, int64_t nowMs)
{
    if (level >= m_peak || nowMs - m_peakAt > kPeakHoldMs) {
        m_peak = level;
        m_peakAt = nowMs;
    }
    if (level >= kClipLevel)
        m_clipAt = nowMs;
    const bool clipped = m_clipAt >= 0 && nowMs - m_clipAt <= kClipHoldMs;
    return MeterReading{level, m_peak, clipped};
}

} // namespace tavrenly::app
