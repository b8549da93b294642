#pragma once

// A file in memory (memfd) with a path that the file services can open, so a fuzz input can
// be handed to code that takes a file name without touching the disk.

#include <cstddef>
#include <cstdint>
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

} // namespace tavrenly::fuzz
