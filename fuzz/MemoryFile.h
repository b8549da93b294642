#pragma once

// A file in memory (memfd) with a path that the file services can open, so a fuzz input can
// be handed to code that takes a file name without touching the disk; and the checks every
// target makes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace tavrenly::fuzz {

class MemoryFile
{
public:
    MemoryFile();
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    /// Replaces the file's content; aborts when the kernel refuses (a fuzzing set-up fault).
    void Assign(const uint8_t* data, size_t size);
    /// "/proc/self/fd/N": opening it opens this file.
    const std::string& Path() const { return m_path; }
    /// The whole content, read back with plain pread.
    std::string Content() const;

private:
    int m_fd;
    std::string m_path;
};

/// A broken promise ends the run, so the fuzzer keeps the input.
inline void Check(bool condition)
{
    if (!condition)
        std::abort();
}

/// The descriptors this process has open, to prove a code path closes what it opened.
inline long OpenDescriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator{});
}

} // namespace tavrenly::fuzz
