// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A file in memory (memfd) with a path that the file services can open, so a fuzz input can
// be handed to code that takes a file name without touching the disk; and the checks every
// target makes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace tavrenly::fuzz {

/// A broken promise ends the run, so the fuzzer keeps the input.
inline void Check(bool condition)
{
    if (!condition)
        std::abort();
}

class MemoryFile
{
public:
    MemoryFile() { Check(m_fd >= 0); }
    ~MemoryFile() { ::close(m_fd); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    /// Replaces the file's content; aborts when the kernel refuses (a fuzzing set-up fault).
    /// Opening the path opens the memory file itself, so the truncation reaches it.
    void Assign(const uint8_t* data, size_t size)
    {
        std::ofstream file(m_path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        file.close();
        Check(!file.fail());
    }
    /// "/proc/self/fd/N": opening it opens this file.
    const std::string& Path() const { return m_path; }
    /// The whole content, read back through the path.
    std::string Content() const
    {
        std::ifstream file(m_path, std::ios::binary);
        Check(file.good());
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

private:
    int m_fd = ::memfd_create("tavrenly-fuzz", MFD_CLOEXEC);
    std::string m_path = "/proc/self/fd/" + std::to_string(m_fd);
};

/// The descriptors this process has open, to prove a code path closes what it opened.
inline long OpenDescriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator{});
}

} // namespace tavrenly::fuzz
