// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/FileExplain.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fmt/format.h>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrenly::app {

namespace {

uint32_t Le32(const uint8_t* bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

/// The kind of a file that is not RIFF WAVE, by its first bytes; "" when unknown.
std::string KindOf(const std::array<uint8_t, 12>& head, size_t got)
{
    const auto starts = [&](const char* magic) {
        const size_t n = std::strlen(magic);
        return got >= n && std::memcmp(head.data(), magic, n) == 0;
    };
    if (starts("fLaC"))
        return "a FLAC file";
    if (starts("ID3") || (got >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0))
        return "an MPEG audio (MP3) file";
    if (starts("OggS"))
        return "an Ogg file";
    if (starts("RIFF") || starts("RIFX") || starts("RF64"))
        return got >= 12 ? fmt::format("a RIFF file of form \"{}\"",
                                       std::string(head.begin() + 8, head.begin() + 12))
                         : "a RIFF file cut short";
    return "";
}

struct DataChunk
{
    uint16_t channels = 0;
    uint64_t declared = 0;
    uint64_t present = 0;
    bool found = false;
};

uint64_t Le64(const uint8_t* bytes)
{
    return Le32(bytes) | uint64_t{Le32(bytes + 4)} << 32;
}

/// Walks the top-level chunks of a RIFF (or RF64) WAVE file for its channel count and data
/// chunk; an RF64 file's "data" size is its "ds64" one.
DataChunk ReadChunks(std::ifstream& file, uint64_t fileSize)
{
    DataChunk result;
    std::optional<uint64_t> ds64Data;
    uint64_t at = 12;
    std::array<uint8_t, 8> header{};
    while (at + 8 <= fileSize) {
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(header.data()), 8))
            break;
        const uint32_t size = Le32(header.data() + 4);
        if (std::memcmp(header.data(), "fmt ", 4) == 0 && size >= 4) {
            std::array<uint8_t, 4> start{};
            if (file.read(reinterpret_cast<char*>(start.data()), 4))
                result.channels = static_cast<uint16_t>(start[2] | start[3] << 8);
        } else if (std::memcmp(header.data(), "ds64", 4) == 0 && size >= 16) {
            std::array<uint8_t, 16> sizes{};
            if (file.read(reinterpret_cast<char*>(sizes.data()), sizes.size()))
                ds64Data = Le64(sizes.data() + 8);
        } else if (std::memcmp(header.data(), "data", 4) == 0) {
            result.found = true;
            result.declared = size == 0xFFFFFFFF && ds64Data ? *ds64Data : size;
            result.present = fileSize - (at + 8);
            return result;
        }
        at += 8 + uint64_t{size} + (size & 1);
    }
    return result;
}

} // namespace

std::optional<std::string> WhyNotAFile(const std::string& path)
{
    struct stat info
    {};
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? std::string("does not exist") : std::strerror(errno);
    if (S_ISDIR(info.st_mode))
        return "is a folder";
    if (!S_ISREG(info.st_mode))
        return "is not a regular file";
    if (access(path.c_str(), R_OK) != 0)
        return std::strerror(errno);
    if (info.st_size == 0)
        return "is empty";
    return std::nullopt;
}

std::optional<std::string> ExplainUnplayableFile(const std::string& path)
{
    struct stat info
    {};
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? std::nullopt
                               : std::optional(fmt::format("{}: {}", path, std::strerror(errno)));
    if (S_ISDIR(info.st_mode))
        return fmt::format("{} is a folder, not a file", path);
    if (!S_ISREG(info.st_mode))
        return fmt::format("{} is not a regular file", path);
    if (access(path.c_str(), R_OK) != 0)
        return fmt::format("{} cannot be read: {}", path, std::strerror(errno));
    std::ifstream file(path, std::ios::binary);
    std::array<uint8_t, 12> head{};
    file.read(reinterpret_cast<char*>(head.data()), head.size());
    const size_t got = static_cast<size_t>(file.gcount());
    if (got < 12 ||
        (std::memcmp(head.data(), "RIFF", 4) != 0 && std::memcmp(head.data(), "RF64", 4) != 0) ||
        std::memcmp(head.data() + 8, "WAVE", 4) != 0) {
        const std::string kind = KindOf(head, got);
        return kind.empty() ? fmt::format("{} is not a RIFF WAVE file", path)
                            : fmt::format("{} is {}, not a RIFF WAVE file", path, kind);
    }
    file.clear();
    const DataChunk data = ReadChunks(file, static_cast<uint64_t>(info.st_size));
    if (data.channels > 2)
        return fmt::format("{} has {} channels; the player plays 1 or 2", path, data.channels);
    return std::nullopt;
}

std::optional<DataChunkSizes> DataSizesOf(const std::string& path)
{
    struct stat info
    {};
    std::ifstream file(path, std::ios::binary);
    if (stat(path.c_str(), &info) != 0 || !file)
        return std::nullopt;
    const DataChunk data = ReadChunks(file, static_cast<uint64_t>(info.st_size));
    if (!data.found)
        return std::nullopt;
    return DataChunkSizes{data.declared, std::min(data.declared, data.present)};
}

std::optional<std::string> TruncationWarning(const std::string& path)
{
    const std::optional<DataChunkSizes> data = DataSizesOf(path);
    if (!data || data->declared <= data->present)
        return std::nullopt;
    return fmt::format("{} is cut short: its data chunk declares {} bytes, {} are present "
                       "(`tavrenly repair` completes the header)",
                       path, data->declared, data->present);
}

} // namespace tavrenly::app
