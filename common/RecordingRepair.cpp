// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/RecordingRepair.h"

#include "common/WaveFile.h"
#include "platform/base/ByteOrder.h"
#include "platform/base/UniqueFd.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavrenly {

namespace {

constexpr uint64_t kRiffHeaderBytes = 12; // "RIFF", size, form type
constexpr uint64_t kChunkHeaderBytes = 8; // id, size
/// The part of a format record up to and including wBitsPerSample; nBlockAlign is at byte 12.
constexpr uint32_t kPlainFormatBytes = 16;
constexpr uint32_t kBlockAlignOffset = 12;
constexpr uint64_t kMaxChunkSize = 0xFFFFFFFF;
/// "ds64" (or the "JUNK" that keeps its room) right after the form header: its header, then
/// the RIFF size, "data" size and sample count (64-bit) and a table length.
constexpr uint64_t kDs64At = kRiffHeaderBytes;
constexpr uint32_t kDs64Size = 28;
/// Enough of "fmt " for the sample count of a block codec (its samples per block follow the
/// 18-byte record).
constexpr uint32_t kFormatBytesRead = 20;

/// Reads exactly `count` bytes at `offset`; false on an error or a short file.
bool ReadAt(int fd, uint64_t offset, uint8_t* destination, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t got =
            ::pread(fd, destination + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool WriteAt(int fd, uint64_t offset, const uint8_t* bytes, size_t count)
{
    ssize_t put;
    do
        put = ::pwrite(fd, bytes, count, static_cast<off_t>(offset));
    while (put < 0 && errno == EINTR);
    return put == static_cast<ssize_t>(count);
}

bool WriteLe32At(int fd, uint64_t offset, uint32_t value)
{
    uint8_t bytes[4];
    StoreLe32(bytes, value);
    return WriteAt(fd, offset, bytes, sizeof bytes);
}

/// A chunk id made of printable characters; anything else means the walk has left the chunks.
bool IsChunkId(const uint8_t* id)
{
    return std::all_of(id, id + 4, [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

std::string IdText(const uint8_t* id)
{
    return std::string(reinterpret_cast<const char*>(id), 4);
}

/// Where the walk over the chunks before the audio ended.
struct Layout
{
    uint64_t fileSize = 0;
    uint16_t blockAlign = 0;
    std::vector<uint8_t> format; ///< the start of the "fmt " chunk, for the sample count
    uint64_t dataHeader = 0;
    /// The sizes, from "ds64" in an RF64 file.
    uint64_t riffSize = 0;
    uint64_t dataSize = 0;
    bool rf64 = false;
    /// A "JUNK" chunk of the "ds64" size right after the form header: the file can become RF64.
    bool ds64Room = false;
};

RepairVerdict Refuse(RepairReport& report, std::string message)
{
    report.verdict = RepairVerdict::kNotRecording;
    report.message = std::move(message);
    return report.verdict;
}

RepairVerdict CannotAccess(RepairReport& report, const char* what, int error)
{
    report.verdict = RepairVerdict::kCannotAccess;
    report.message = std::string("cannot ") + what + " the file: " + std::strerror(error);
    return report.verdict;
}

/// Reads the form header and walks the chunks up to "data", which every chunk before it must
/// reach completely; fills `layout` and returns true, else fills the refusal into `report`.
bool WalkToData(int fd, Layout& layout, RepairReport& report)
{
    if (layout.fileSize == 0) {
        Refuse(report, "the file is empty: nothing of a recording reached the disk");
        return false;
    }
    uint8_t header[kRiffHeaderBytes];
    const size_t present = static_cast<size_t>(std::min(layout.fileSize, kRiffHeaderBytes));
    if (!ReadAt(fd, 0, header, present)) {
        CannotAccess(report, "read", errno != 0 ? errno : EIO);
        return false;
    }
    layout.rf64 = std::memcmp(header, "RF64", std::min<size_t>(present, 4)) == 0;
    if (!layout.rf64 && std::memcmp(header, "RIFF", std::min<size_t>(present, 4)) != 0) {
        Refuse(report, "not a RIFF file");
        return false;
    }
    if (present < kRiffHeaderBytes) {
        Refuse(report, "the file is cut inside its RIFF header");
        return false;
    }
    if (std::memcmp(header + 8, "WAVE", 4) != 0) {
        Refuse(report, "a RIFF file of form '" + IdText(header + 8) + "', not WAVE");
        return false;
    }
    layout.riffSize = LoadLe32(header + 4);
    uint8_t ds64[kChunkHeaderBytes + kDs64Size];
    const bool ds64Read = layout.fileSize >= kDs64At + sizeof ds64 &&
                          ReadAt(fd, kDs64At, ds64, sizeof ds64) && LoadLe32(ds64 + 4) >= kDs64Size;
    if (layout.rf64) {
        if (!ds64Read || std::memcmp(ds64, "ds64", 4) != 0) {
            Refuse(report, "an RF64 file without its \"ds64\" chunk");
            return false;
        }
        layout.riffSize = LoadLe64(ds64 + 8);
    }
    layout.ds64Room = ds64Read && std::memcmp(ds64, "JUNK", 4) == 0;

    for (uint64_t offset = kRiffHeaderBytes;;) {
        uint8_t chunk[kChunkHeaderBytes];
        if (offset + kChunkHeaderBytes > layout.fileSize ||
            !ReadAt(fd, offset, chunk, sizeof chunk)) {
            Refuse(report, layout.blockAlign == 0
                               ? "the file is cut inside its header: no complete \"fmt \" chunk"
                               : "the file has no \"data\" chunk");
            return false;
        }
        if (!IsChunkId(chunk)) {
            Refuse(report, "a damaged chunk header at byte " + std::to_string(offset));
            return false;
        }
        const uint32_t size = LoadLe32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (layout.blockAlign == 0) {
                Refuse(report, "the \"data\" chunk comes before any \"fmt \" chunk");
                return false;
            }
            layout.dataHeader = offset;
            layout.dataSize = layout.rf64 ? LoadLe64(ds64 + 16) : size;
            return true;
        }
        if (offset + kChunkHeaderBytes + size > layout.fileSize) {
            Refuse(report, "the '" + IdText(chunk) + "' chunk at byte " + std::to_string(offset) +
                               " reaches past the end of the file");
            return false;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            layout.format.assign(std::min(size, kFormatBytesRead), 0);
            if (size < kPlainFormatBytes || !ReadAt(fd, offset + kChunkHeaderBytes,
                                                    layout.format.data(), layout.format.size())) {
                Refuse(report, "the \"fmt \" chunk is too short for a format record");
                return false;
            }
            layout.blockAlign = LoadLe16(layout.format.data() + kBlockAlignOffset);
            if (layout.blockAlign == 0) {
                Refuse(report, "the \"fmt \" chunk gives a block size of 0");
                return false;
            }
        }
        offset += kChunkHeaderBytes + size + (size & 1);
    }
}

/// The end of the last chunk after a complete "data" chunk that the file holds whole: other
/// writers put their tags there, and the RIFF size must keep them.
uint64_t EndOfChunksAfter(int fd, uint64_t offset, uint64_t fileSize)
{
    for (;;) {
        uint8_t chunk[kChunkHeaderBytes];
        if (offset + kChunkHeaderBytes > fileSize || !ReadAt(fd, offset, chunk, sizeof chunk) ||
            !IsChunkId(chunk))
            return offset;
        const uint32_t size = LoadLe32(chunk + 4);
        const uint64_t end = offset + kChunkHeaderBytes + size;
        // The RF64 "data" chunk's size reads "see ds64"; what follows it is not a chunk.
        if (size == kMaxChunkSize)
            return offset;
        if (end > fileSize)
            return offset;
        offset = end + ((size & 1) != 0 && end < fileSize ? 1 : 0);
    }
}

/// Works out the sizes the file should carry from what the walk found.
void PlanSizes(int fd, const Layout& layout, RepairReport& report)
{
    const uint64_t audioStart = layout.dataHeader + kChunkHeaderBytes;
    const uint64_t available = layout.fileSize - audioStart;
    const bool dataBroken = layout.dataSize == 0 || layout.dataSize > available;
    uint64_t dataSize = layout.dataSize;
    uint64_t end = 0;
    // Audio past 32-bit sizes makes a file with room for "ds64" RF64, which keeps it all.
    report.rf64After =
        layout.rf64 || (dataBroken && layout.ds64Room && layout.fileSize - 8 > kMaxChunkSize);
    if (dataBroken) {
        // A RIFF size must fit its 32 bits too; a longer file keeps what fits.
        dataSize = report.rf64After ? available
                                    : std::min(available, kMaxChunkSize - layout.dataHeader - 1);
        dataSize -= dataSize % layout.blockAlign;
        report.partialBlockBytes = available - dataSize;
        end = audioStart + dataSize;
        if ((dataSize & 1) != 0 && end < layout.fileSize)
            ++end; // the pad byte that follows an odd chunk
    } else {
        const uint64_t dataEnd = audioStart + dataSize;
        const bool padded = (dataSize & 1) != 0 && dataEnd < layout.fileSize;
        end = EndOfChunksAfter(fd, dataEnd + (padded ? 1 : 0), layout.fileSize);
    }
    const bool riffBroken = layout.riffSize == 0 || layout.riffSize > layout.fileSize - 8;
    report.dataSizeAfter = dataSize;
    report.riffSizeAfter = dataBroken || riffBroken ? end - 8 : layout.riffSize;
}

/// Writes the planned sizes: into the two 32-bit fields, or for RF64 into "ds64" (the form's
/// id and the fields then read "RF64" and 0xFFFFFFFF).
bool WriteSizes(int fd, const Layout& layout, const RepairReport& report)
{
    if (!report.rf64After)
        return WriteLe32At(fd, 4, static_cast<uint32_t>(report.riffSizeAfter)) &&
               WriteLe32At(fd, layout.dataHeader + 4, static_cast<uint32_t>(report.dataSizeAfter));
    uint8_t ds64[kChunkHeaderBytes + kDs64Size] = {'d', 's', '6', '4'};
    StoreLe32(ds64 + 4, kDs64Size);
    StoreLe64(ds64 + 8, report.riffSizeAfter);
    StoreLe64(ds64 + 16, report.dataSizeAfter);
    StoreLe64(ds64 + 24,
              WaveSampleCount(layout.format.data(), static_cast<int32_t>(layout.format.size()),
                              report.dataSizeAfter));
    // "ds64" before the form's id: a file cut here is still a RIFF file with a stray chunk.
    uint8_t form[8] = {'R', 'F', '6', '4'};
    StoreLe32(form + 4, static_cast<uint32_t>(kMaxChunkSize));
    return WriteAt(fd, kDs64At, ds64, sizeof ds64) &&
           WriteLe32At(fd, layout.dataHeader + 4, static_cast<uint32_t>(kMaxChunkSize)) &&
           WriteAt(fd, 0, form, sizeof form);
}

} // namespace

RepairVerdict RepairRecording(const std::string& path, RepairReport& report, bool dryRun)
{
    report = RepairReport{};
    report.dryRun = dryRun;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return CannotAccess(report, "open", errno);
    struct stat info
    {};
    if (::fstat(fd.Get(), &info) != 0)
        return CannotAccess(report, "read", errno);
    if (!S_ISREG(info.st_mode))
        return Refuse(report, "not a regular file");

    Layout layout;
    layout.fileSize = static_cast<uint64_t>(info.st_size);
    report.fileSize = layout.fileSize;
    const bool walked = WalkToData(fd.Get(), layout, report);
    report.blockAlign = layout.blockAlign;
    report.riffSizeBefore = report.riffSizeAfter = layout.riffSize;
    if (!walked)
        return report.verdict;
    report.dataOffset = layout.dataHeader;
    report.dataSizeBefore = layout.dataSize;
    report.rf64Before = layout.rf64;
    PlanSizes(fd.Get(), layout, report);

    if (report.riffSizeAfter == report.riffSizeBefore &&
        report.dataSizeAfter == report.dataSizeBefore && report.rf64After == report.rf64Before) {
        report.verdict = RepairVerdict::kAlreadyRight;
        report.message = "nothing to change: the sizes describe what the file holds";
        return report.verdict;
    }
    report.verdict = RepairVerdict::kRepaired;
    report.message = std::string(dryRun ? "would set" : "set") + " the data size " +
                     std::to_string(report.dataSizeBefore) + " -> " +
                     std::to_string(report.dataSizeAfter) + " (" +
                     std::to_string(report.dataSizeAfter / layout.blockAlign) +
                     " whole blocks) and the RIFF size " + std::to_string(report.riffSizeBefore) +
                     " -> " + std::to_string(report.riffSizeAfter);
    if (report.rf64Before)
        report.message += " in its \"ds64\" chunk";
    else if (report.rf64After)
        report.message += ", made RF64 (\"JUNK\" -> \"ds64\"): the audio passes 4 GiB";
    if (report.partialBlockBytes > 0)
        report.message +=
            "; " + std::to_string(report.partialBlockBytes) + " bytes of a partial block left out";
    if (dryRun)
        return report.verdict;

    fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return CannotAccess(report, "write", errno);
    if (!WriteSizes(fd.Get(), layout, report))
        return CannotAccess(report, "write", errno != 0 ? errno : EIO);
    report.changed = true;
    // The repaired sizes must survive the next power loss like the audio they describe.
    if (::fsync(fd.Get()) != 0)
        return CannotAccess(report, "sync", errno);
    return report.verdict;
}

const char* RepairVerdictText(RepairVerdict verdict)
{
    switch (verdict) {
    case RepairVerdict::kRepaired:
        return "repaired";
    case RepairVerdict::kAlreadyRight:
        return "already right";
    case RepairVerdict::kNotRecording:
        return "not a recording";
    case RepairVerdict::kCannotAccess:
        break;
    }
    return "cannot access";
}

bool IsTemporaryRecordingName(const std::string& fileName)
{
    // "TAV" + four hexadecimal digits + ".WAV": the platform's temporary name with the
    // recorder's extension.
    if (fileName.size() != 11 || fileName.compare(0, 3, "TAV") != 0)
        return false;
    for (size_t i = 3; i < 7; ++i) {
        const char c = fileName[i];
        if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'A' || c > 'F'))
            return false;
    }
    std::string extension = fileName.substr(7);
    for (char& c : extension)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return extension == ".WAV";
}

std::vector<std::string> FindTemporaryRecordings(const std::string& folder)
{
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (!entry.is_regular_file(error) ||
            !IsTemporaryRecordingName(entry.path().filename().string()))
            continue;
        const std::string path = entry.path().string();
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        uint8_t header[kDs64At + kChunkHeaderBytes + 8];
        // A recording not yet closed carries a RIFF size of 0 (an RF64 one, in "ds64").
        if (!fd || !ReadAt(fd.Get(), 0, header, 8))
            continue;
        const bool open = (std::memcmp(header, "RIFF", 4) == 0 && LoadLe32(header + 4) == 0) ||
                          (std::memcmp(header, "RF64", 4) == 0 &&
                           ReadAt(fd.Get(), 8, header + 8, sizeof header - 8) &&
                           std::memcmp(header + kDs64At, "ds64", 4) == 0 &&
                           LoadLe64(header + kDs64At + kChunkHeaderBytes) == 0);
        if (open)
            found.push_back(path);
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace tavrenly
