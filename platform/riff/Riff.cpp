// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/riff/Riff.h"

#include "platform/base/ByteOrder.h"
#include "platform/riff/MmioFile.h"
#include "platform/riff/MmioHandles.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

namespace tavrenly {

namespace {

class ExitFlush
{
public:
    explicit ExitFlush(MmioHandles& table) : m_table(table) {}
    ~ExitFlush() { m_table.FlushAll(); }
    ExitFlush(const ExitFlush&) = delete;
    ExitFlush& operator=(const ExitFlush&) = delete;

private:
    MmioHandles& m_table;
};

MmioHandles& Handles()
{
    // Never destroyed: a control in static storage may close its file during static
    // destruction, after a table with static storage would already be gone. What is still
    // open at exit gets its write-behind bytes flushed instead, so a recording that was never
    // closed still has its audio on disk.
    static MmioHandles* const table = new MmioHandles;
    static const ExitFlush flushAtExit(*table);
    return *table;
}

/// Offsets handed to callers are 31-bit (a negative LONG means failure).
constexpr int64_t kMaxOffset = std::numeric_limits<int32_t>::max();
/// Chunk offsets and sizes are 32-bit: nothing in a RIFF file lies past 4 GiB.
constexpr int64_t kMaxRiffOffset = std::numeric_limits<uint32_t>::max();

bool IsForm(FOURCC id)
{
    return id == FOURCC_RIFF || id == FOURCC_RF64 || id == FOURCC_LIST;
}

/// Reads exactly `count` bytes at `offset`: 1 read, 0 short (end of file), -1 I/O error.
int ReadExactly(MmioFile& file, int64_t offset, unsigned char* destination, int64_t count)
{
    file.SetPosition(offset);
    const int64_t got = file.Read(reinterpret_cast<char*>(destination), count);
    if (got < 0)
        return -1;
    return got == count ? 1 : 0;
}

/// Whether the chunk found at a search step is the one the descend flags ask for.
bool Matches(const MMCKINFO& found, const MMCKINFO& wanted, uint32_t flags)
{
    if (flags & MMIO_FINDCHUNK)
        return found.ckid == wanted.ckid;
    if (flags & MMIO_FINDRIFF)
        return (found.ckid == FOURCC_RIFF || found.ckid == FOURCC_RF64) &&
               (wanted.fccType == 0 || found.fccType == wanted.fccType);
    if (flags & MMIO_FINDLIST)
        return found.ckid == FOURCC_LIST &&
               (wanted.fccType == 0 || found.fccType == wanted.fccType);
    return true;
}

} // namespace

HMMIO mmioOpenA(const char* fileName, MMIOINFO* info, uint32_t flags)
{
    int32_t bufferSize = 0;
    if (info != nullptr) {
        flags |= info->dwFlags & MMIO_ALLOCBUF;
        bufferSize = info->cchBuffer;
    }
    std::unique_ptr<MmioFile> file;
    const MMRESULT result = MmioFile::Open(fileName, flags, bufferSize, file);
    if (result != 0) {
        if (info != nullptr)
            info->wErrorRet = result;
        return nullptr;
    }
    HMMIO handle = Handles().Add(std::move(file));
    if (handle == nullptr) {
        if (info != nullptr)
            info->wErrorRet = MMIOERR_OUTOFMEMORY;
        return nullptr;
    }
    if (info != nullptr)
        mmioGetInfo(handle, info, 0);
    return handle;
}

MMRESULT mmioClose(HMMIO hmmio, uint32_t)
{
    std::unique_ptr<MmioFile> file = Handles().Remove(hmmio);
    if (!file)
        return MMSYSERR_INVALHANDLE;
    return file->Close();
}

MMRESULT mmioFlush(HMMIO hmmio, uint32_t)
{
    MmioFile* const file = Handles().Find(hmmio);
    if (file == nullptr)
        return MMSYSERR_INVALHANDLE;
    return file->Flush();
}

int32_t mmioRead(HMMIO hmmio, char* pch, int32_t cch)
{
    MmioFile* const file = Handles().Find(hmmio);
    if (file == nullptr || cch < 0 || (pch == nullptr && cch > 0))
        return -1;
    return static_cast<int32_t>(file->Read(pch, cch));
}

int32_t mmioReadHeld(HMMIO hmmio, int32_t cch, const char** view)
{
    if (view != nullptr)
        *view = nullptr;
    MmioFile* const file = Handles().Find(hmmio);
    if (file == nullptr || cch < 0 || view == nullptr)
        return -1;
    return static_cast<int32_t>(file->ReadHeld(cch, *view));
}

int32_t mmioReadPastBuffer(HMMIO hmmio, char* pch, int32_t cch)
{
    MmioFile* const file = Handles().Find(hmmio);
    if (file == nullptr || cch < 0 || (pch == nullptr && cch > 0))
        return -1;
    return static_cast<int32_t>(file->Read(pch, cch, true));
}

int32_t mmioWrite(HMMIO hmmio, const char* pch, int32_t cch)
{
    MmioFile* const file = Handles().Find(hmmio);
    if (file == nullptr || cch < 0 || (pch == nullptr && cch > 0))
        return -1;
    return file->Write(pch, cch) ? cch : -1;
}

int32_t mmioSeek(HMMIO hmmio, int32_t offset, int32_t origin)
{
    MmioFile* const file = Handles().Find(hmmio);
    if (file == nullptr)
        return -1;
    const int64_t before = file->Position();
    const int64_t target = mmioSeek64(hmmio, offset, origin);
    if (target < 0 || target > kMaxOffset) {
        file->SetPosition(before);
        return -1;
    }
    return static_cast<int32_t>(target);
}

int64_t mmioSeek64(HMMIO hmmio, int64_t offset, int32_t origin)
{
    MmioFile* const file = Handles().Find(hmmio);
    if (file == nullptr)
        return -1;
    int64_t base = 0;
    switch (origin) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = file->Position();
        break;
    case SEEK_END:
        base = file->Size();
        break;
    default:
        return -1;
    }
    if (offset > std::numeric_limits<int64_t>::max() - base)
        return -1;
    const int64_t target = base + offset;
    if (target < 0)
        return -1;
    file->SetPosition(target);
    return target;
}

MMRESULT mmioGetInfo(HMMIO hmmio, MMIOINFO* info, uint32_t)
{
    MmioFile* const file = Handles().Find(hmmio);
    if (file == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (info == nullptr)
        return MMSYSERR_INVALPARAM;
    info->dwFlags = file->Flags();
    info->wErrorRet = 0;
    info->cchBuffer = file->BufferSize();
    info->lBufOffset = static_cast<int32_t>(std::min(file->BufferStart(), kMaxOffset));
    info->lDiskOffset = static_cast<int32_t>(std::min(file->Position(), kMaxOffset));
    info->hmmio = hmmio;
    return 0;
}

MMRESULT mmioDescend(HMMIO hmmio, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags)
{
    MmioFile* const found = Handles().Find(hmmio);
    if (found == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (ck == nullptr)
        return MMSYSERR_INVALPARAM;
    MmioFile& file = *found;
    const int64_t start = file.Position();
    // A chunk must start inside the parent, but its size holds as far as the file has bytes:
    // writers commonly leave a RIFF size short of the chunks they wrote.
    const int64_t limit = file.Size();
    int64_t searchEnd = limit;
    if (parent != nullptr) {
        const int64_t parentStart = parent->dwDataOffset;
        const int64_t parentEnd = parentStart + parent->cksize;
        if (start < parentStart || start >= parentEnd)
            return MMIOERR_CHUNKNOTFOUND;
        searchEnd = std::min(limit, parentEnd);
    }

    const MMCKINFO wanted = *ck;
    int64_t at = start;
    while (at < searchEnd && at + 8 <= limit) {
        unsigned char header[12];
        const int got = ReadExactly(file, at, header, 8);
        if (got < 0) {
            file.SetPosition(start);
            return MMIOERR_CANNOTREAD;
        }
        if (got == 0)
            break;
        MMCKINFO found;
        found.ckid = LoadLe32(header);
        const uint32_t declaredSize = LoadLe32(header + 4);
        const int64_t dataOffset = at + 8;
        if (dataOffset > std::numeric_limits<uint32_t>::max())
            break;
        // The size reported never reaches past the file.
        const int64_t room = limit - dataOffset;
        found.cksize = static_cast<uint32_t>(std::min<int64_t>(declaredSize, room));
        found.dwDataOffset = static_cast<uint32_t>(dataOffset);
        if (IsForm(found.ckid) && found.cksize >= 4) {
            const int typeRead = ReadExactly(file, dataOffset, header + 8, 4);
            if (typeRead < 0) {
                file.SetPosition(start);
                return MMIOERR_CANNOTREAD;
            }
            found.fccType = typeRead > 0 ? LoadLe32(header + 8) : 0;
        }
        if (Matches(found, wanted, flags)) {
            *ck = found;
            const int64_t dataStart =
                IsForm(found.ckid) && found.cksize >= 4 ? dataOffset + 4 : dataOffset;
            file.SetPosition(dataStart);
            return 0;
        }
        // Skip by the declared size (plus pad byte): a size past the parent ends the search.
        at = dataOffset + declaredSize + (declaredSize & 1u);
    }
    file.SetPosition(start);
    return MMIOERR_CHUNKNOTFOUND;
}

MMRESULT mmioAscend(HMMIO hmmio, MMCKINFO* ck, uint32_t)
{
    MmioFile* const found = Handles().Find(hmmio);
    if (found == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (ck == nullptr)
        return MMSYSERR_INVALPARAM;
    MmioFile& file = *found;
    if (ck->dwFlags & MMIO_DIRTY) {
        const int64_t size = file.Position() - static_cast<int64_t>(ck->dwDataOffset);
        if (size < 0 || size > std::numeric_limits<uint32_t>::max() || ck->dwDataOffset < 4)
            return MMIOERR_CANNOTEXPAND;
        const int64_t end = file.Position();
        if (static_cast<uint32_t>(size) != ck->cksize) {
            unsigned char sizeField[4];
            StoreLe32(sizeField, static_cast<uint32_t>(size));
            file.SetPosition(ck->dwDataOffset - 4);
            const bool written = file.Write(reinterpret_cast<const char*>(sizeField), 4);
            file.SetPosition(end);
            if (!written)
                return MMIOERR_CANNOTWRITE;
            ck->cksize = static_cast<uint32_t>(size);
        }
        if (size & 1) {
            const char pad = 0;
            if (!file.Write(&pad, 1)) {
                file.SetPosition(end);
                return MMIOERR_CANNOTWRITE;
            }
        }
        ck->dwFlags &= ~MMIO_DIRTY;
    }
    const int64_t end = static_cast<int64_t>(ck->dwDataOffset) + ck->cksize + (ck->cksize & 1u);
    if (end > kMaxRiffOffset + 1)
        return MMIOERR_CANNOTSEEK;
    file.SetPosition(end);
    return 0;
}

MMRESULT mmioCreateChunk(HMMIO hmmio, MMCKINFO* ck, uint32_t flags)
{
    MmioFile* const found = Handles().Find(hmmio);
    if (found == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (ck == nullptr)
        return MMSYSERR_INVALPARAM;
    MmioFile& file = *found;
    if (flags & MMIO_CREATERIFF)
        ck->ckid = FOURCC_RIFF;
    else if (flags & MMIO_CREATELIST)
        ck->ckid = FOURCC_LIST;
    const bool form = (flags & (MMIO_CREATERIFF | MMIO_CREATELIST)) != 0;
    const int64_t headerOffset = file.Position();
    if (headerOffset + 8 > kMaxRiffOffset)
        return MMIOERR_CANNOTEXPAND;
    unsigned char header[12];
    StoreLe32(header, ck->ckid);
    StoreLe32(header + 4, ck->cksize);
    StoreLe32(header + 8, ck->fccType);
    if (!file.Write(reinterpret_cast<const char*>(header), form ? 12 : 8)) {
        file.SetPosition(headerOffset);
        return MMIOERR_CANNOTWRITE;
    }
    ck->dwDataOffset = static_cast<uint32_t>(headerOffset + 8);
    ck->dwFlags = MMIO_DIRTY;
    return 0;
}

FOURCC mmioStringToFOURCCA(const char* sz, uint32_t flags)
{
    char code[4] = {' ', ' ', ' ', ' '};
    for (size_t i = 0; sz != nullptr && i < 4 && sz[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(sz[i]);
        code[i] = static_cast<char>((flags & MMIO_TOUPPER) ? std::toupper(c) : c);
    }
    return mmioFOURCC(code[0], code[1], code[2], code[3]);
}

} // namespace tavrenly
