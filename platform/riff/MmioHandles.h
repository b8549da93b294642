// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The table of open RIFF handles (private to platform/riff). A handle is a slot of this table,
// and a slot is valid exactly while it holds a file, so a closed or made-up handle is refused
// instead of being followed.
//
// Every call on a handle looks it up, so the look-up takes no lock and touches little memory:
// the slots sit in blocks that are never freed (a handle from a closed file still points into
// the table), each block twice the size of the one before, and a look-up is a range check
// against the few blocks there are and one atomic load. Opening and closing take the lock.

#include "platform/riff/Riff.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

namespace tavrenly {

class MmioFile;

struct MmioHandle
{
    std::atomic<MmioFile*> file{nullptr};
    MmioHandle* nextFree = nullptr; ///< guarded by the table's lock
};

class MmioHandles
{
public:
    MmioHandles() = default;
    ~MmioHandles();
    MmioHandles(const MmioHandles&) = delete;
    MmioHandles& operator=(const MmioHandles&) = delete;

    /// Takes the file in and returns its handle; null when no slot can be allocated.
    HMMIO Add(std::unique_ptr<MmioFile> file);
    /// The open file of `handle`, or null for a closed, null or made-up handle. Lock-free.
    MmioFile* Find(HMMIO handle) const noexcept;
    /// Takes the file out of the table: its handle is invalid from here on. Null when the
    /// handle is not open.
    std::unique_ptr<MmioFile> Remove(HMMIO handle);
    /// Flushes the write-behind bytes of every open file.
    void FlushAll();

private:
    static constexpr size_t kFirstBlock = 64;
    static constexpr size_t kBlocks = 24; // 64 << 23 handles at most: beyond any descriptor limit

    static constexpr size_t BlockSize(size_t block) noexcept { return kFirstBlock << block; }
    bool Grow();

    std::array<std::atomic<MmioHandle*>, kBlocks> m_blocks{};
    std::mutex m_mutex;
    // Freed slots are reused oldest first, so a stale handle names another file as late as
    // possible.
    MmioHandle* m_freeHead = nullptr;
    MmioHandle* m_freeTail = nullptr;
};

} // namespace tavrenly
