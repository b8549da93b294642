// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The buffered file behind an HMMIO (private to platform/riff). One buffer serves as read-ahead
// and write-behind: it holds a window of the file starting at m_bufferStart; bytes written into
// it are marked dirty and reach the disk when the window moves, on Flush() and on Close().
// All disk access goes through pread()/pwrite() at explicit offsets, so moving the position is
// free and a chunk walk inside the window costs no system call.
//
// Reading fills the window a piece at a time (at most kReadPiece bytes) and asks the kernel to
// keep the whole buffer's length ahead of the position in its page cache. The disk is read as
// far ahead as a full window would read it, but a process with many files open does not copy
// every byte into a large window of its own that has left the processor's cache long before
// the byte is used; the part of the buffer past the piece is never touched.

#include "platform/riff/Riff.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tavrenly {

class MmioFile
{
public:
    /// Opens `path` (see mmioOpenA for `flags`) with an I/O buffer of `bufferSize` bytes
    /// (MMIO_DEFAULTBUFFER when 0 or less). Returns 0 and sets `file`, or the open error.
    static MMRESULT Open(const char* path, uint32_t flags, int32_t bufferSize,
                         std::unique_ptr<MmioFile>& file);

    ~MmioFile();
    MmioFile(const MmioFile&) = delete;
    MmioFile& operator=(const MmioFile&) = delete;

    /// Reads up to `count` bytes at the position; returns the count read or -1 on an I/O error.
    /// With `pastWindow`, what the window does not hold is read from the disk straight into
    /// `destination` without refilling the window (for large sequential reads; the kernel is
    /// still asked to read ahead).
    int64_t Read(char* destination, int64_t count, bool pastWindow = false);
    /// Like Read, but hands out the bytes where the read-ahead holds them: `view` is set to
    /// them (valid until the next call on this file) when the whole read lies in the window,
    /// refilled as Read would refill it. Otherwise `view` is null, nothing is consumed, and the
    /// caller reads the usual way. Returns the count, or -1 on an I/O error.
    int64_t ReadHeld(int64_t count, const char*& view);
    /// Writes `count` bytes at the position; false when they cannot all be accepted. A write
    /// that fits in the buffer is taken whole or not at all: when the held bytes must go to
    /// the disk first and it refuses them, they stay held (tried again by the next write) and
    /// nothing is taken. A write larger than the buffer goes to the disk directly and the
    /// position counts the part the disk took.
    bool Write(const char* source, int64_t count);
    /// Writes the dirty part of the buffer. 0 or MMIOERR_CANNOTWRITE (the unwritten bytes are
    /// dropped and the position kept within the file, so one failure is reported once).
    MMRESULT Flush();
    /// Flushes and closes the descriptor: 0, MMIOERR_CANNOTWRITE or MMIOERR_CANNOTCLOSE.
    MMRESULT Close();

    int64_t Position() const noexcept { return m_position; }
    void SetPosition(int64_t position) noexcept { m_position = position; }
    /// The file's length including bytes still in the buffer.
    int64_t Size() const noexcept;
    bool CanWrite() const noexcept { return (m_flags & MMIO_RWMODE) != MMIO_READ; }
    /// How large writes may make the file: 4 GiB, or far more with MMIO_LARGEFILE.
    int64_t MostFileBytes() const noexcept;

    uint32_t Flags() const noexcept;
    int32_t BufferSize() const noexcept { return static_cast<int32_t>(m_capacity); }
    int64_t BufferStart() const noexcept { return m_bufferStart; }

private:
    MmioFile(int fd, uint32_t flags, int64_t diskSize);
    bool Dirty() const noexcept { return m_dirtyEnd > m_dirtyBegin; }
    /// Reads at `offset` until `count` bytes or the end of the file; -1 on an I/O error.
    int64_t ReadAt(char* destination, int64_t count, int64_t offset);
    /// Moves the window to the position and fills a piece of it, at least `wanted` bytes where
    /// the buffer holds them. The count read, or -1 on an I/O error.
    int64_t Refill(int64_t wanted);
    /// Asks the kernel to read the buffer's length ahead of the position.
    void AdviseReadAhead();
    /// Writes at `offset` until `count` bytes or a refusal; `done` (when given) gets the count
    /// the disk took.
    bool WriteAt(const char* source, int64_t count, int64_t offset, int64_t* done = nullptr);
    /// Writes the dirty part of the buffer; what the disk refuses stays dirty. 0 or
    /// MMIOERR_CANNOTWRITE.
    MMRESULT WriteHeld();

    int m_fd;
    uint32_t m_flags;
    int64_t m_diskSize;
    int64_t m_position = 0;
    std::unique_ptr<char[]> m_buffer; ///< not cleared: what is never filled is never touched
    size_t m_capacity = 0;
    int64_t m_bufferStart = 0;
    size_t m_bufferValid = 0; ///< bytes of the window that hold file content
    size_t m_dirtyBegin = 0;
    size_t m_dirtyEnd = 0;
    int64_t m_advisedFrom = 0; ///< the span the kernel was last asked to read ahead
    int64_t m_advisedEnd = 0;
};

} // namespace tavrenly
