// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/riff/MmioHandles.h"

#include "platform/riff/MmioFile.h"

#include <cstdint>
#include <new>

namespace tavrenly {

MmioHandles::~MmioHandles()
{
    for (size_t block = 0; block < kBlocks; ++block) {
        MmioHandle* slots = m_blocks[block].load(std::memory_order_relaxed);
        if (slots == nullptr)
            break;
        for (size_t i = 0; i < BlockSize(block); ++i)
            delete slots[i].file.load(std::memory_order_relaxed);
        delete[] slots;
    }
}

bool MmioHandles::Grow()
{
    size_t block = 0;
    while (block < kBlocks && m_blocks[block].load(std::memory_order_relaxed) != nullptr)
        ++block;
    if (block == kBlocks)
        return false;
    auto* slots = new (std::nothrow) MmioHandle[BlockSize(block)];
    if (slots == nullptr)
        return false;
    for (size_t i = 0; i + 1 < BlockSize(block); ++i)
        slots[i].nextFree = &slots[i + 1];
    m_freeHead = slots;
    m_freeTail = &slots[BlockSize(block) - 1];
    // Published last: a look-up that sees the block sees its slots constructed.
    m_blocks[block].store(slots, std::memory_order_release);
    return true;
}

HMMIO MmioHandles::Add(std::unique_ptr<MmioFile> file)
{
    std::lock_guard lock(m_mutex);
    if (m_freeHead == nullptr && !Grow())
        return nullptr;
    MmioHandle* slot = m_freeHead;
    m_freeHead = slot->nextFree;
    if (m_freeHead == nullptr)
        m_freeTail = nullptr;
    slot->nextFree = nullptr;
    slot->file.store(file.release(), std::memory_order_release);
    return slot;
}

MmioFile* MmioHandles::Find(HMMIO handle) const noexcept
{
    const auto address = reinterpret_cast<uintptr_t>(handle);
    for (size_t block = 0; block < kBlocks; ++block) {
        const MmioHandle* slots = m_blocks[block].load(std::memory_order_acquire);
        if (slots == nullptr)
            return nullptr;
        const auto begin = reinterpret_cast<uintptr_t>(slots);
        const uintptr_t offset = address - begin; // wraps for an address below the block
        if (offset >= BlockSize(block) * sizeof(MmioHandle))
            continue;
        if (offset % sizeof(MmioHandle) != 0)
            return nullptr;
        return slots[offset / sizeof(MmioHandle)].file.load(std::memory_order_acquire);
    }
    return nullptr;
}

std::unique_ptr<MmioFile> MmioHandles::Remove(HMMIO handle)
{
    std::lock_guard lock(m_mutex);
    if (Find(handle) == nullptr)
        return nullptr;
    std::unique_ptr<MmioFile> file(handle->file.exchange(nullptr, std::memory_order_acq_rel));
    if (m_freeTail != nullptr)
        m_freeTail->nextFree = handle;
    else
        m_freeHead = handle;
    m_freeTail = handle;
    return file;
}

void MmioHandles::FlushAll()
{
    std::lock_guard lock(m_mutex);
    for (size_t block = 0; block < kBlocks; ++block) {
        MmioHandle* slots = m_blocks[block].load(std::memory_order_relaxed);
        if (slots == nullptr)
            break;
        for (size_t i = 0; i < BlockSize(block); ++i)
            if (MmioFile* file = slots[i].file.load(std::memory_order_relaxed))
                file->Flush();
    }
}

} // namespace tavrenly
