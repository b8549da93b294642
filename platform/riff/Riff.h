// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// RIFF file services: buffered file I/O plus chunk navigation, with the calls, records, flags
// and result codes of the classic multimedia file layer, so that code written against that
// layer reads the same here.
//
// Data flow: mmioOpenA opens a regular file and gives it one I/O buffer (the size asked for in
// MMIOINFO::cchBuffer, else 8 KiB). Reads are served from the buffer and refill it with one
// pread() each; writes collect in it and reach the disk with one pwrite() when it is full, when
// a read or a seek leaves it, and at mmioClose. Seeking never costs a system call, so walking a
// file chunk by chunk costs no more system calls than reading it from start to end.
//
// Chunk navigation: mmioDescend reads a chunk header at the current position (or searches
// forward for one) and leaves the position at the chunk's data (after the form type of a RIFF
// or LIST chunk); mmioAscend moves past the chunk and its pad byte. A chunk made with
// mmioCreateChunk is marked MMIO_DIRTY: ascending it writes its real size (current position
// minus data offset) into its header and appends the pad byte when that size is odd.
//
// Every chunk size read from a file is checked against the file: the size a descend reports
// never reaches past its end, so a caller that reads `cksize` bytes of a chunk never reads
// beyond it. A search finds only chunks that start inside the parent, but a found chunk keeps
// its declared size past the parent's end, because writers often leave a RIFF size short.
//
// Threads: a handle is used by one thread at a time (the controls' UI thread). Different
// handles may be used on different threads.

#include "platform/base/MmResult.h"

#include <cstdint>
#include <cstdio>
#include <memory>

namespace tavrenly {

struct MmioHandle;
/// An open RIFF file. Opaque; made by mmioOpenA, freed by mmioClose (or by UniqueHmmio).
using HMMIO = MmioHandle*;
using FOURCC = uint32_t;

/// Result codes (MMRESULT and the general MMSYSERR_* codes come from MmResult.h). 0 is
/// success; the numbers are those of the classic multimedia layer.
inline constexpr MMRESULT MMIOERR_BASE = 256;
inline constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;      // 257
inline constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;       // 258
inline constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;        // 259
inline constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;       // 260
inline constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;        // 261
inline constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;       // 262
inline constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;        // 263
inline constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;      // 264
inline constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;     // 265
inline constexpr MMRESULT MMIOERR_UNBUFFERED = MMIOERR_BASE + 10;       // 266
inline constexpr MMRESULT MMIOERR_PATHNOTFOUND = MMIOERR_BASE + 11;     // 267
inline constexpr MMRESULT MMIOERR_ACCESSDENIED = MMIOERR_BASE + 12;     // 268
inline constexpr MMRESULT MMIOERR_SHARINGVIOLATION = MMIOERR_BASE + 13; // 269
inline constexpr MMRESULT MMIOERR_NETWORKERROR = MMIOERR_BASE + 14;     // 270
inline constexpr MMRESULT MMIOERR_TOOMANYOPENFILES = MMIOERR_BASE + 15; // 271
inline constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;      // 272

/// Open flags (mmioOpenA).
inline constexpr uint32_t MMIO_READ = 0x00000000;
inline constexpr uint32_t MMIO_WRITE = 0x00000001;
inline constexpr uint32_t MMIO_READWRITE = 0x00000002;
inline constexpr uint32_t MMIO_RWMODE = 0x00000003;
inline constexpr uint32_t MMIO_CREATE = 0x00001000;
inline constexpr uint32_t MMIO_ALLOCBUF = 0x00010000;
/// The file may grow past 4 GiB (an RF64 file, whose 64-bit sizes are kept in its "ds64"
/// chunk); without it a write that would take the file past 4 GiB is refused.
inline constexpr uint32_t MMIO_LARGEFILE = 0x00400000;
/// Chunk record flag: the chunk was created or written and its size is not yet final.
inline constexpr uint32_t MMIO_DIRTY = 0x10000000;
/// Descend flags.
inline constexpr uint32_t MMIO_FINDCHUNK = 0x0010;
inline constexpr uint32_t MMIO_FINDRIFF = 0x0020;
inline constexpr uint32_t MMIO_FINDLIST = 0x0040;
/// Create-chunk flags.
inline constexpr uint32_t MMIO_CREATERIFF = 0x0020;
inline constexpr uint32_t MMIO_CREATELIST = 0x0040;
/// mmioStringToFOURCCA flag.
inline constexpr uint32_t MMIO_TOUPPER = 0x0010;

// Seek origins: SEEK_SET (0), SEEK_CUR (1) and SEEK_END (2) from <cstdio>, which carry the
// classic values.

/// The I/O buffer size used when the caller asks for none (the classic default).
inline constexpr int32_t MMIO_DEFAULTBUFFER = 8192;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) noexcept
{
    return static_cast<FOURCC>(static_cast<uint8_t>(a)) |
           (static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24);
}
inline constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
inline constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');
/// The form of a RIFF file past 32-bit sizes: its size field reads 0xFFFFFFFF and the real
/// sizes are in the "ds64" chunk that comes first in it. A search for a RIFF form finds it too.
inline constexpr FOURCC FOURCC_RF64 = mmioFOURCC('R', 'F', '6', '4');

/// File information record. Passed to mmioOpenA: `dwFlags` may hold MMIO_ALLOCBUF and
/// `cchBuffer` the I/O buffer size wanted (0 = the default size); on return `wErrorRet` holds
/// 0 or the open error, and on success the other fields describe the open file as mmioGetInfo
/// does.
struct MMIOINFO
{
    uint32_t dwFlags = 0;    ///< open flags (access mode, MMIO_ALLOCBUF, MMIO_DIRTY)
    uint32_t wErrorRet = 0;  ///< mmioOpenA's error code; 0 after a successful open
    int32_t cchBuffer = 0;   ///< I/O buffer size in bytes
    int32_t lBufOffset = 0;  ///< file offset of the first byte held in the I/O buffer
    int32_t lDiskOffset = 0; ///< current file position (the next byte read or written)
    HMMIO hmmio = nullptr;   ///< the handle described
};

/// Chunk record: filled by mmioDescend, given to mmioCreateChunk and mmioAscend.
struct MMCKINFO
{
    FOURCC ckid = 0;           ///< chunk identifier
    uint32_t cksize = 0;       ///< size of the chunk data (without header and pad byte)
    FOURCC fccType = 0;        ///< form type of a RIFF or LIST chunk, else 0
    uint32_t dwDataOffset = 0; ///< file offset of the chunk data
    uint32_t dwFlags = 0;      ///< MMIO_DIRTY for a chunk whose size ascending must write
};

/// Opens `fileName`. `flags`: MMIO_READ, MMIO_WRITE or MMIO_READWRITE, optionally with
/// MMIO_CREATE (create or truncate) and MMIO_ALLOCBUF. `info` may be null; when given, its
/// `cchBuffer` is the I/O buffer size wanted and its `wErrorRet` receives the result.
/// Returns the handle, or null on failure (MMIOERR_FILENOTFOUND, MMIOERR_PATHNOTFOUND,
/// MMIOERR_ACCESSDENIED, MMIOERR_TOOMANYOPENFILES, MMIOERR_OUTOFMEMORY, MMIOERR_CANNOTOPEN for
/// anything that is not a regular file). The caller owns the handle until mmioClose.
HMMIO mmioOpenA(const char* fileName, MMIOINFO* info, uint32_t flags);

/// Flushes what is buffered, closes the file and frees the handle, also when flushing or
/// closing fails (MMIOERR_CANNOTWRITE, MMIOERR_CANNOTCLOSE). MMSYSERR_INVALHANDLE for a handle
/// that is not open (null, or closed already).
MMRESULT mmioClose(HMMIO hmmio, uint32_t flags);

/// Reads up to `cch` bytes at the current position into `pch`. Returns the count read (0 at
/// the end of the file), or -1 on an I/O error, a bad handle or a negative count.
int32_t mmioRead(HMMIO hmmio, char* pch, int32_t cch);

/// Reads up to `cch` bytes at the current position without copying them: `*view` points at
/// them inside the file's I/O buffer, valid until the next call on the handle. When the bytes
/// are not held in one piece, `*view` is null, the position is unchanged and the caller reads
/// them with mmioRead. Returns the count read (0 at the end of the file), or -1 on an I/O
/// error, a bad handle, a negative count or a null `view`.
int32_t mmioReadHeld(HMMIO hmmio, int32_t cch, const char** view);

/// Reads like mmioRead, but bytes the I/O buffer does not hold go from the disk straight to
/// `pch` and the buffer is not refilled: for large sequential reads into memory the caller
/// keeps, each byte copied once.
int32_t mmioReadPastBuffer(HMMIO hmmio, char* pch, int32_t cch);

/// Writes `cch` bytes from `pch` at the current position (write-behind through the buffer).
/// Returns `cch`, or -1 when the file is not open for writing, the disk refuses the bytes, the
/// file would grow past 4 GiB (unless opened with MMIO_LARGEFILE), the handle is bad or the count
/// is negative. When the disk refuses bytes (a full disk), the bytes already buffered stay buffered
/// and are tried again by the next write (or dropped by mmioFlush and mmioClose), and the position
/// counts only bytes that are buffered or on disk: a count that fits in the buffer is taken whole
/// or not at all; a larger one may be taken in part (mmioSeek tells how far).
int32_t mmioWrite(HMMIO hmmio, const char* pch, int32_t cch);

/// Writes what the I/O buffer holds to the file now (the next bytes written still collect in
/// it). 0, MMIOERR_CANNOTWRITE (the unwritten bytes are dropped and the position kept within
/// what the file holds) or MMSYSERR_INVALHANDLE.
MMRESULT mmioFlush(HMMIO hmmio, uint32_t flags);

/// Moves the position to `offset` from the start (SEEK_SET), the current position (SEEK_CUR) or
/// the end (SEEK_END). Positions past the end are allowed (reads there return 0, a write
/// there fills the gap with zeros). Returns the new position, or -1 when it would be negative
/// or not fit 31 bits, the origin is unknown or the handle is bad.
int32_t mmioSeek(HMMIO hmmio, int32_t offset, int32_t origin);

/// mmioSeek with 64-bit offsets, for files opened with MMIO_LARGEFILE: the new position, or -1
/// when it would be negative, the origin is unknown or the handle is bad.
int64_t mmioSeek64(HMMIO hmmio, int64_t offset, int32_t origin);

/// Describes the open file in `info` (see MMIOINFO). MMSYSERR_INVALHANDLE for a bad handle,
/// MMSYSERR_INVALPARAM for a null `info`.
MMRESULT mmioGetInfo(HMMIO hmmio, MMIOINFO* info, uint32_t flags);

// The chunk calls below answer MMSYSERR_INVALHANDLE for a handle that is not open and
// MMSYSERR_INVALPARAM for a null chunk record.

/// Enters a chunk. Without flags: the chunk whose header is at the current position. With
/// MMIO_FINDCHUNK: the next chunk whose id is `ck->ckid`; MMIO_FINDRIFF / MMIO_FINDLIST: the
/// next RIFF (or RF64) / LIST chunk whose form type is `ck->fccType` (0 = any). The search starts
/// at the current position and stays inside `parent` (when given) and the file. On success `ck` is
/// filled (its size cut to what the file holds; dwFlags 0) and the position is at the chunk data,
/// after the form type of a RIFF or LIST chunk. MMIOERR_CHUNKNOTFOUND when there is none (the
/// position is left where it was), MMIOERR_CANNOTREAD on an I/O error.
MMRESULT mmioDescend(HMMIO hmmio, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags);

/// Leaves a chunk: a chunk marked MMIO_DIRTY first gets its real size (position - data offset)
/// written into its header and into `ck->cksize`, and a zero pad byte when that is odd, and
/// loses the mark; then the position moves to the end of the chunk and its pad byte.
/// MMIOERR_CANNOTWRITE when the size or pad byte cannot be written, MMIOERR_CANNOTSEEK when the
/// end lies past 4 GiB, MMIOERR_CANNOTEXPAND for a chunk over 4 GiB.
MMRESULT mmioAscend(HMMIO hmmio, MMCKINFO* ck, uint32_t flags);

/// Writes a chunk header at the current position and enters the chunk: with MMIO_CREATERIFF
/// or MMIO_CREATELIST a RIFF or LIST header with the form type `ck->fccType`, else a chunk
/// with id `ck->ckid`; its size field holds `ck->cksize` until mmioAscend writes the real one.
/// Sets `ck->dwDataOffset`, and `ck->dwFlags` to MMIO_DIRTY. MMIOERR_CANNOTWRITE when the
/// header cannot be written (file not open for writing, disk full).
MMRESULT mmioCreateChunk(HMMIO hmmio, MMCKINFO* ck, uint32_t flags);

/// The four-character code of the first four characters of `sz`, padded with blanks when
/// shorter; with MMIO_TOUPPER the letters are made upper case. A null `sz` gives "    ".
FOURCC mmioStringToFOURCCA(const char* sz, uint32_t flags);

/// Owns an open handle and closes it when it goes out of scope (the close result is lost; call
/// mmioClose on release() to see it).
struct HmmioCloser
{
    void operator()(HMMIO hmmio) const noexcept { mmioClose(hmmio, 0); }
};
using UniqueHmmio = std::unique_ptr<MmioHandle, HmmioCloser>;

} // namespace tavrenly
