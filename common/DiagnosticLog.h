#pragma once

// A control's diagnostic trace: one text line per call of WriteLog, appended to DebugFile.
// Each control owns one DiagnosticLog, so two controls may log to different files or the same.
//
// The writer never looks at DebugLevel: producers test the gate (Basic/Medium/Full) before they
// build a message, so with logging off no text is built. Every failure (no such folder, no
// access, full disk) loses the line silently.

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrenly {

/// Named levels of DebugLevel; any other value acts by the same comparisons.
enum enDebugMode : int32_t {
    dmOff = 0,
    dmBasic = 1,
    dmMedium = 16,
    dmFull = 255,
};

class DiagnosticLog {
public:
    /// A file of this many bytes or more is deleted before the next line (1.2 MiB).
    static constexpr double kMaximumFileLength = 1.2 * 1024 * 1024;

    const std::string& DebugFile() const noexcept { return m_debugFile; }
    /// Stores the path; DebugLevel becomes 1 for a non-empty path and 0 for an empty one.
    void DebugFile(const std::string& path);
    int32_t DebugLevel() const noexcept { return m_debugLevel; }
    void DebugLevel(int32_t level) noexcept { m_debugLevel = level; }
    /// DebugFile(name), then DebugLevel = mode unchanged.
    void SetDebugFile(const std::string& debugFileName, int32_t& debugMode);

    bool Basic() const noexcept { return m_debugLevel != 0; }
    bool Medium() const noexcept { return m_debugLevel >= dmMedium; }
    bool Full() const noexcept { return m_debugLevel >= dmFull; }

    /// Appends "<short date> hh:nn:ss <message>" and CR LF; opens, writes and closes the file.
    void WriteLog(std::string_view message) const;

private:
    std::string m_debugFile;
    int32_t m_debugLevel = dmOff;
};

} // namespace tavrenly
