#include "fuzz/MemoryFile.h"

#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrenly::fuzz {

MemoryFile::MemoryFile() : m_fd(::memfd_create("tavrenly-fuzz", MFD_CLOEXEC))
{
    if (m_fd < 0)
        std::abort();
    m_path = "/proc/self/fd/" + std::to_string(m_fd);
}

MemoryFile::~MemoryFile()
{
    ::close(m_fd);
}

void MemoryFile::Assign(const uint8_t* data, size_t size)
{
    if (::ftruncate(m_fd, 0) != 0)
        std::abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::pwrite(m_fd, data + done, size - done, static_cast<off_t>(done));
        if (put <= 0)
            std::abort();
        done += static_cast<size_t>(put);
    }
}

std::string MemoryFile::Content() const
{
    struct stat info
    {};
    if (::fstat(m_fd, &info) != 0)
        std::abort();
    std::string content(static_cast<size_t>(info.st_size), '\0');
    if (!content.empty() &&
        ::pread(m_fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size()))
        std::abort();
    return content;
}

} // namespace tavrenly::fuzz
