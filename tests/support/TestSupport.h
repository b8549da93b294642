// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Helpers shared by the test suites: a scratch folder per test, running the command-line tools
// that make test files (sox, ffmpeg), reading files and logs back, and a control site that
// records every notification and message box.

#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace tavrenly::test {

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir
{
public:
    TempDir()
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tavrenly-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::filesystem::filesystem_error(
                "no scratch folder", pattern, std::error_code(errno, std::generic_category()));
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    /// Path of `name` inside the folder, as a string.
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

/// Sets an environment variable for its life (leaves it as it is when `value` is null);
/// restores the old value, or its absence, at the end.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
    }
    ~ScopedEnv()
    {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

/// Points the machine-wide settings (TAVRENLY_SYSCONFDIR) at an empty scratch folder for its
/// life, so the machine's own settings file cannot change a test; restores the old value.
class ScratchMachineSettings
{
public:
    /// Writes the settings file (Corvane/TavrenStream.conf) with exactly these bytes.
    void Write(const std::string& text)
    {
        std::filesystem::create_directories(m_dir.Path() / "Corvane");
        std::ofstream(m_dir.Path() / "Corvane" / "TavrenStream.conf", std::ios::binary) << text;
    }
    const std::filesystem::path& Folder() const { return m_dir.Path(); }

private:
    TempDir m_dir;
    ScopedEnv m_env{"TAVRENLY_SYSCONFDIR", m_dir.Path().c_str()};
};

/// Caps the size of every file this process writes (a full disk without root) while it
/// lives; writes past the cap fail with EFBIG instead of raising SIGXFSZ.
struct FileSizeLimit
{
    explicit FileSizeLimit(rlim_t bytes) : handler(std::signal(SIGXFSZ, SIG_IGN))
    {
        ::getrlimit(RLIMIT_FSIZE, &old);
        const rlimit limited{bytes, old.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    void (*handler)(int);
    rlimit old{};
};

/// Runs a shell command; returns its exit status. Output goes to the test log.
inline int Run(const std::string& command)
{
    const int status = std::system(command.c_str());
    if (status == -1)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

/// Runs a shell command and fails the current test when it does not exit 0.
inline void RunOrFail(const std::string& command)
{
    ASSERT_EQ(Run(command), 0) << "command failed: " << command;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadText(const std::string& path)
{
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline void WriteText(const std::string& path, const std::string& text)
{
    WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

/// True when `wanted` appear in `lines` in this order (others may lie between them); fails
/// the test naming the first one missing.
inline bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted)
{
    auto at = lines.begin();
    for (const std::string& w : wanted) {
        at = std::find(at, lines.end(), w);
        if (at == lines.end()) {
            ADD_FAILURE() << "missing or out of order: \"" << w << "\"";
            return false;
        }
        ++at;
    }
    return true;
}

/// Appends little-endian values and chunks, for byte-built files.
class ByteWriter
{
public:
    ByteWriter& Tag(const char (&fourcc)[5]) { return Bytes({fourcc, fourcc + 4}); }
    ByteWriter& U16(uint16_t value) { return Le(value, 2); }
    ByteWriter& U32(uint32_t value) { return Le(value, 4); }
    ByteWriter& Bytes(const std::vector<uint8_t>& bytes)
    {
        m_data.insert(m_data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    ByteWriter& Zeros(size_t count) { return Bytes(std::vector<uint8_t>(count, 0)); }
    std::vector<uint8_t>& Data() { return m_data; }

private:
    ByteWriter& Le(uint32_t value, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            m_data.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return *this;
    }

    std::vector<uint8_t> m_data;
};

/// A site that records what the control did to it. Message boxes answer OK.
class RecordingSite : public ControlSite
{
public:
    struct Box
    {
        std::string text;
        int32_t style;
        std::string title;
    };

    explicit RecordingSite(EventLoop& loop) : m_loop(loop) {}
    void PropertyChanged(std::string_view name) override { changed.emplace_back(name); }
    int32_t ShowMessage(std::string_view text, int32_t style, std::string_view title) override
    {
        boxes.push_back(Box{std::string(text), style, std::string(title)});
        return kMessageAnswerOk;
    }
    EventLoop& Loop() override { return m_loop; }

    std::vector<std::string> changed;
    std::vector<Box> boxes;

private:
    EventLoop& m_loop;
};

} // namespace tavrenly::test
