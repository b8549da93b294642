// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/riff/MmioFile.h"

#include "platform/base/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrenly {

namespace {

/// The largest offset a RIFF file can use: sizes and offsets are 32-bit.
constexpr int64_t kMaxFileSize = 0xFFFFFFFFll;
/// An RF64 file keeps its sizes in 64 bits; the file system's own limit is the one left.
constexpr int64_t kMaxLargeFileSize = std::numeric_limits<int64_t>::max() / 2;
/// The most a read copies into the window at once: a few of a player's buffers, few enough
/// system calls.
constexpr int64_t kReadPiece = 256 * 1024;

bool ParentFolderExists(const char* path)
{
    std::string folder(path);
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos)
        return true; // the current folder
    folder.resize(slash == 0 ? 1 : slash);
    struct stat info
    {};
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

/// The one place where an operating-system error of an open becomes a RIFF result code.
MMRESULT OpenErrorFromErrno(int error, const char* path, bool creating)
{
    switch (error) {
    case ENOENT:
        return creating || !ParentFolderExists(path) ? MMIOERR_PATHNOTFOUND : MMIOERR_FILENOTFOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return MMIOERR_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return MMIOERR_ACCESSDENIED;
    case ETXTBSY:
    case EBUSY:
    case EWOULDBLOCK:
        return MMIOERR_SHARINGVIOLATION;
    case EMFILE:
    case ENFILE:
        return MMIOERR_TOOMANYOPENFILES;
    case ENOMEM:
        return MMIOERR_OUTOFMEMORY;
    case ESTALE:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case EREMOTEIO:
        return MMIOERR_NETWORKERROR;
    default:
        return MMIOERR_CANNOTOPEN;
    }
}

} // namespace

MMRESULT MmioFile::Open(const char* path, uint32_t flags, int32_t bufferSize,
                        std::unique_ptr<MmioFile>& file)
{
    if (path == nullptr || *path == '\0')
        return MMIOERR_FILENOTFOUND;
    int access = O_RDONLY;
    switch (flags & MMIO_RWMODE) {
    case MMIO_READ:
        break;
    case MMIO_WRITE:
        access = O_WRONLY;
        break;
    case MMIO_READWRITE:
        access = O_RDWR;
        break;
    default:
        return MMSYSERR_INVALFLAG;
    }
    const bool creating = (flags & MMIO_CREATE) != 0;
    if (creating && access == O_RDONLY) {
        access = O_RDWR; // creating implies writing what is created
        flags = (flags & ~MMIO_RWMODE) | MMIO_READWRITE;
    }
    // O_NONBLOCK keeps a FIFO or device from blocking the open; only regular files are kept.
    const int oflags = access | O_CLOEXEC | O_NONBLOCK | (creating ? O_CREAT | O_TRUNC : 0);
    UniqueFd fd(::open(path, oflags, 0666));
    if (!fd)
        return OpenErrorFromErrno(errno, path, creating);
    struct stat info
    {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return MMIOERR_CANNOTOPEN;
    ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);

    std::unique_ptr<MmioFile> opened(new (std::nothrow) MmioFile(fd.Get(), flags, info.st_size));
    if (!opened)
        return MMIOERR_OUTOFMEMORY;
    fd.Release(); // the file closes it from here on
    opened->m_capacity = static_cast<size_t>(bufferSize > 0 ? bufferSize : MMIO_DEFAULTBUFFER);
    opened->m_buffer.reset(new (std::nothrow) char[opened->m_capacity]);
    if (!opened->m_buffer)
        return MMIOERR_OUTOFMEMORY; // the destructor closes the descriptor
    file = std::move(opened);
    return 0;
}

int64_t MmioFile::MostFileBytes() const noexcept
{
    return (m_flags & MMIO_LARGEFILE) != 0 ? kMaxLargeFileSize : kMaxFileSize;
}

MmioFile::MmioFile(int fd, uint32_t flags, int64_t diskSize)
    : m_fd(fd), m_flags(flags), m_diskSize(diskSize)
{}

MmioFile::~MmioFile()
{
    if (m_fd >= 0)
        Close();
}

uint32_t MmioFile::Flags() const noexcept
{
    return m_flags | (Dirty() ? MMIO_DIRTY : 0u);
}

int64_t MmioFile::Size() const noexcept
{
    const int64_t buffered = Dirty() ? m_bufferStart + static_cast<int64_t>(m_dirtyEnd) : 0;
    return std::max(m_diskSize, buffered);
}

int64_t MmioFile::ReadAt(char* destination, int64_t count, int64_t offset)
{
    int64_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(m_fd, destination + done, static_cast<size_t>(count - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

bool MmioFile::WriteAt(const char* source, int64_t count, int64_t offset, int64_t* written)
{
    int64_t done = 0;
    while (done < count) {
        const ssize_t put = ::pwrite(m_fd, source + done, static_cast<size_t>(count - done),
                                     static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        done += put;
    }
    m_diskSize = std::max(m_diskSize, offset + done);
    if (written != nullptr)
        *written = done;
    return done == count;
}

void MmioFile::AdviseReadAhead()
{
    const auto capacity = static_cast<int64_t>(m_capacity);
    if (capacity <= kReadPiece)
        return; // the window itself is the read-ahead
    if (m_position >= m_advisedFrom && m_position + capacity / 2 <= m_advisedEnd)
        return; // still half a buffer or more ahead
    const int64_t from =
        m_position >= m_advisedFrom && m_position <= m_advisedEnd ? m_advisedEnd : m_position;
    const int64_t end = std::min(m_position + capacity, m_diskSize);
    if (end > from)
        ::posix_fadvise(m_fd, static_cast<off_t>(from), static_cast<off_t>(end - from),
                        POSIX_FADV_WILLNEED);
    m_advisedFrom = m_position;
    m_advisedEnd = std::max(end, from);
}

int64_t MmioFile::Refill(int64_t wanted)
{
    const auto capacity = static_cast<int64_t>(m_capacity);
    const int64_t piece = std::min(capacity, std::max(wanted, kReadPiece));
    AdviseReadAhead();
    const int64_t got = ReadAt(m_buffer.get(), piece, m_position);
    if (got < 0)
        return -1;
    m_bufferStart = m_position;
    m_bufferValid = static_cast<size_t>(got);
    return got;
}

int64_t MmioFile::Read(char* destination, int64_t count, bool pastWindow)
{
    if (m_fd < 0)
        return -1;
    const auto capacity = static_cast<int64_t>(m_capacity);
    int64_t done = 0;
    while (done < count) {
        const int64_t windowEnd = m_bufferStart + static_cast<int64_t>(m_bufferValid);
        if (m_position >= m_bufferStart && m_position < windowEnd) {
            const int64_t take = std::min(count - done, windowEnd - m_position);
            std::memcpy(destination + done, m_buffer.get() + (m_position - m_bufferStart),
                        static_cast<size_t>(take));
            done += take;
            m_position += take;
            continue;
        }
        if (m_position >= Size())
            break; // known end of file: no system call needed
        if (Flush() != 0)
            return -1;
        if (pastWindow || count - done >= capacity) {
            // Straight to the caller's memory, each byte copied once, by the kernel: a request
            // as large as the buffer, or one whose caller asked for it.
            AdviseReadAhead();
            const int64_t got = ReadAt(destination + done, count - done, m_position);
            if (got < 0)
                return -1;
            done += got;
            m_position += got;
            break;
        }
        const int64_t got = Refill(count - done);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
    }
    return done;
}

int64_t MmioFile::ReadHeld(int64_t count, const char*& view)
{
    view = nullptr;
    const auto capacity = static_cast<int64_t>(m_capacity);
    if (m_fd < 0 || count < 0 || count >= capacity || Dirty())
        return 0; // Read decides: an error, a read past the buffer, or bytes to write first
    for (int pass = 0; pass < 2; ++pass) {
        const int64_t windowEnd = m_bufferStart + static_cast<int64_t>(m_bufferValid);
        const bool inWindow = m_position >= m_bufferStart && m_position < windowEnd;
        // Short of the count only where the file ends; a read that runs on past the window
        // moves the window to it (the bytes before the position have been read).
        if (inWindow && (windowEnd - m_position >= count || windowEnd >= Size())) {
            const int64_t take = std::min(count, windowEnd - m_position);
            view = m_buffer.get() + (m_position - m_bufferStart);
            m_position += take;
            return take;
        }
        if (m_position >= Size() || pass == 1) {
            view = m_buffer.get(); // at the end (or the refill found nothing): nothing to read
            return 0;
        }
        if (Refill(count) < 0)
            return -1;
    }
    return 0;
}

bool MmioFile::Write(const char* source, int64_t count)
{
    if (m_fd < 0 || !CanWrite() || count < 0 || m_position > MostFileBytes() - count)
        return false;
    const auto capacity = static_cast<int64_t>(m_capacity);
    const int64_t offset = m_position - m_bufferStart;
    const bool fits =
        offset >= 0 && offset <= static_cast<int64_t>(m_bufferValid) && offset + count <= capacity;
    if (!fits) {
        // What the buffer holds goes to the disk before the window moves. When the disk
        // refuses it, it stays held for the next write to try again, and none of these bytes
        // is taken: a write is taken whole or not at all (but for one larger than the buffer).
        if (WriteHeld() != 0)
            return false;
        m_bufferStart = m_position;
        m_bufferValid = 0;
        if (count >= capacity) {
            int64_t done = 0;
            const bool complete = WriteAt(source, count, m_position, &done);
            // The bytes the disk took before refusing are in the file, in order: count them.
            m_position += done;
            return complete;
        }
    }
    const size_t at = static_cast<size_t>(m_position - m_bufferStart);
    const auto take = static_cast<size_t>(count);
    std::memcpy(m_buffer.get() + at, source, take);
    if (Dirty()) {
        m_dirtyBegin = std::min(m_dirtyBegin, at);
        m_dirtyEnd = std::max(m_dirtyEnd, at + take);
    } else {
        m_dirtyBegin = at;
        m_dirtyEnd = at + take;
    }
    m_bufferValid = std::max(m_bufferValid, at + take);
    m_position += count;
    return true;
}

MMRESULT MmioFile::WriteHeld()
{
    if (!Dirty())
        return 0;
    int64_t done = 0;
    const bool written =
        WriteAt(m_buffer.get() + m_dirtyBegin, static_cast<int64_t>(m_dirtyEnd - m_dirtyBegin),
                m_bufferStart + static_cast<int64_t>(m_dirtyBegin), &done);
    if (written) {
        m_dirtyBegin = m_dirtyEnd = 0;
        return 0;
    }
    m_dirtyBegin += static_cast<size_t>(done); // on the disk now; the rest stays held
    return MMIOERR_CANNOTWRITE;
}

MMRESULT MmioFile::Flush()
{
    if (WriteHeld() == 0)
        return 0;
    // Given up: what is on disk now differs from the window. Forget it, learn the real length
    // and keep the position inside it, so a chunk ascended next does not claim the lost bytes.
    m_dirtyBegin = m_dirtyEnd = 0;
    m_bufferValid = 0;
    struct stat info
    {};
    if (::fstat(m_fd, &info) == 0)
        m_diskSize = info.st_size;
    m_position = std::min(m_position, Size());
    return MMIOERR_CANNOTWRITE;
}

MMRESULT MmioFile::Close()
{
    if (m_fd < 0)
        return 0;
    MMRESULT result = Flush();
    if (::close(m_fd) != 0 && result == 0)
        result = MMIOERR_CANNOTCLOSE;
    m_fd = -1;
    return result;
}

} // namespace tavrenly
