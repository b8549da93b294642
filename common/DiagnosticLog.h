#pragma once

// A control's diagnostic trace: one text line per call of WriteLog, appended to DebugFile.
// Each control owns one DiagnosticLog, so two controls may log to different files or the same.
//
// The writer never looks at DebugLevel: producers test the gate (Basic/Medium/Full) before they
// build a message, so with logging off no text is built:
//
//     if (m_log.Medium())
//         m_log.WriteLog("After Loop End - count= " + std::to_string(count));
//
// Every failure (no such folder, no access, full disk) loses the line silently. All members run
// on the owning control's thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrenly {

/// Named levels of DebugLevel; any other value acts by the same comparisons.
enum enDebugMode : int32_t
{
    dmOff = 0,
    dmBasic = 1,
    dmMedium = 16,
    dmFull = 255,
};

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

    /// Appends "dd/mm/yyyy hh:nn:ss <message>" and CR LF to DebugFile in local time, the message
    /// unchanged (line breaks inside it included). Nothing happens when DebugFile is empty. The
    /// file is opened, written with one write and closed per line, so other writers may append
    /// to it and whole lines interleave. Never throws; every failure drops the line.
    void WriteLog(std::string_view message) const noexcept;

private:
    std::string m_debugFile;
    int32_t m_debugLevel = dmOff;
};

} // namespace tavrenly
