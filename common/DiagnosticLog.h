// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A control's diagnostic trace: one text line per call of WriteLog, appended to DebugFile.
// Each control owns one DiagnosticLog, so two controls may log to different files or the same.
//
// The writer never looks at DebugLevel: producers write through a gate (Basic/Medium/Full),
// which builds the text only when its level passes, so with logging off no text is built:
//
//     m_log.Medium([&] { return fmt::format("After Loop End - count= {}", count); });
//     m_log.Full("Start Function FillPlaybackBuffers");
//
// Every failure (no such folder, no access, full disk) loses the line silently. All members run
// on the owning control's thread.

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tavrenly {

/// Named levels of DebugLevel; any other value acts by the same comparisons.
enum enDebugMode : int32_t
{
    dmOff = 0,
    dmBasic = 1,
    dmMedium = 16,
    dmFull = 255,
};

/// A control's diagnostic trace: DebugFile, appended one line at a time, gated by DebugLevel.
class DiagnosticLog
{
public:
    /// A file longer than this (1.2 MiB, so 1,258,292 bytes or more) is deleted before the next
    /// line, which then starts a new file: the trace of a long-running control stays bounded.
    static constexpr double kMaximumFileLength = 1.2 * 1024 * 1024;

    const std::string& DebugFile() const noexcept { return m_debugFile; }
    /// Stores the path; DebugLevel becomes 1 for a non-empty path and 0 for an empty one.
    void DebugFile(const std::string& path);
    int32_t DebugLevel() const noexcept { return m_debugLevel; }
    void DebugLevel(int32_t level) noexcept { m_debugLevel = level; }
    /// DebugFile(debugFileName), then DebugLevel = debugMode unchanged (not validated).
    void SetDebugFile(const std::string& debugFileName, int32_t& debugMode);

    /// Gates: dmBasic lines need a non-zero level, dmMedium lines 16 or more, dmFull 255 or more.
    bool Basic() const noexcept { return m_debugLevel != 0; }
    bool Medium() const noexcept { return m_debugLevel >= dmMedium; }
    bool Full() const noexcept { return m_debugLevel >= dmFull; }

    /// Writes a fixed line, or the line `makeText()` returns, when the gate passes; `makeText` is
    /// not called otherwise, so a message costs nothing while its level is off.
    void Basic(std::string_view text) const noexcept { WriteIf(Basic(), text); }
    void Medium(std::string_view text) const noexcept { WriteIf(Medium(), text); }
    void Full(std::string_view text) const noexcept { WriteIf(Full(), text); }
    template <std::invocable MakeText> void Basic(MakeText&& makeText) const
    {
        if (Basic())
            WriteLog(std::forward<MakeText>(makeText)());
    }
    template <std::invocable MakeText> void Medium(MakeText&& makeText) const
    {
        if (Medium())
            WriteLog(std::forward<MakeText>(makeText)());
    }
    template <std::invocable MakeText> void Full(MakeText&& makeText) const
    {
        if (Full())
            WriteLog(std::forward<MakeText>(makeText)());
    }

    /// Appends "dd/mm/yyyy hh:nn:ss <message>" and CR LF to DebugFile in local time, the message
    /// unchanged (line breaks inside it included). Nothing happens when DebugFile is empty. The
    /// file is opened, written with one write and closed per line, so other writers may append
    /// to it and whole lines interleave. Never throws; every failure drops the line.
    void WriteLog(std::string_view message) const noexcept;

private:
    void WriteIf(bool gate, std::string_view text) const noexcept
    {
        if (gate)
            WriteLog(text);
    }

    std::string m_debugFile;
    int32_t m_debugLevel = dmOff;
};

} // namespace tavrenly
