// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/DiagnosticLog.h"

#include "common/TavrenlyFN.h"
#include "platform/base/UniqueFd.h"
#include "platform/system/System.h"

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

namespace tavrenly {

// The date is always day/month/year with a four-digit year: Linux has no per-user short date
// setting that both a desktop and a headless host share, and a fixed numeric shape keeps traces
// from different machines comparable and sortable by eye.
static constexpr char kStampFormat[] = "%d/%m/%Y %H:%M:%S ";
static constexpr size_t kStampLength = 20; // "dd/mm/yyyy hh:nn:ss "

void DiagnosticLog::DebugFile(const std::string& path)
{
    m_debugFile = path;
    m_debugLevel = path.empty() ? dmOff : dmBasic;
}

void DiagnosticLog::SetDebugFile(const std::string& debugFileName, int32_t& debugMode)
{
    DebugFile(debugFileName);
    m_debugLevel = debugMode;
}

/// Writes all of `line` with as few write() calls as the kernel allows (one, for a regular
/// file that has room), so that lines of concurrent writers do not mix.
static void WriteWhole(int fd, const std::string& line)
{
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t result = ::write(fd, line.data() + written, line.size() - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            return;
        written += static_cast<size_t>(result);
    }
}

void DiagnosticLog::WriteLog(std::string_view message) const noexcept
{
    if (m_debugFile.empty())
        return;
    try {
        if (FileLength(m_debugFile) > kMaximumFileLength)
            DeleteFile(m_debugFile); // a failed delete leaves the file; the line is appended

        const std::time_t now = std::time(nullptr);
        std::tm local{};
        if (::localtime_r(&now, &local) == nullptr)
            return;
        char stamp[kStampLength + 1];
        if (std::strftime(stamp, sizeof stamp, kStampFormat, &local) != kStampLength)
            return;

        std::string line;
        line.reserve(kStampLength + message.size() + 2);
        line.append(stamp, kStampLength).append(message).append("\r\n");

        const UniqueFd fd(::open(m_debugFile.c_str(),
                                 O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
        if (!fd)
            return; // no folder, no access, or no free file handle
        WriteWhole(fd.Get(), line);
    } catch (...) {
        // Tracing must never disturb the control: a line that cannot be built is dropped.
    }
}

} // namespace tavrenly
