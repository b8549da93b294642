// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Render.h"

#include "common/CartChunk.h"
#include "common/WaveFileWriter.h"
#include "platform/base/ByteOrder.h"
#include "platform/base/UniqueFd.h"
#include "platform/base/WaveFormat.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavrenly::app {

namespace {

/// The I/O buffer of a rendered file: large enough that the disk sees few big writes.
constexpr int32_t kFileBufferBytes = 256 * 1024;
constexpr uint32_t kUnknownSize = 0xFFFFFFFFu;

class FileOutput final : public RenderOutput
{
public:
    explicit FileOutput(UniqueHmmio file) : m_file(std::move(file)), m_writer(m_file.get()) {}

    bool WriteHeader(const WAVEFORMATEX& format)
    {
        MMCKINFO fmt;
        return m_writer.CreateForm(m_riff) == 0 && m_writer.CreateFormatChunk(fmt) == 0 &&
               m_writer.FinishFormatChunk(fmt, &format, sizeof format).failed ==
                   WaveWritePart::kNone &&
               m_writer.WriteCartChunk(MakeRecordingCartChunk()).failed == WaveWritePart::kNone &&
               m_writer.OpenDataChunk(m_data) == 0;
    }

    void Append(const uint8_t* bytes, int64_t count) override
    {
        m_written += count;
        // A RIFF file holds at most 4 GiB: what does not fit is a failed write.
        if (m_written > std::numeric_limits<uint32_t>::max() - 4096 ||
            m_writer.Append(bytes, static_cast<int32_t>(count)).refused)
            m_failed = true;
    }

    bool Finish() override
    {
        // The sizes are completed also after a refused write: the file plays what it holds.
        const bool completed =
            m_writer.CompleteChunk(m_data) == 0 && m_writer.CompleteChunk(m_riff) == 0;
        const bool closed = mmioClose(m_file.release(), 0) == 0;
        return !m_failed && completed && closed;
    }

private:
    UniqueHmmio m_file;
    WaveFileWriter m_writer;
    MMCKINFO m_riff{};
    MMCKINFO m_data{};
    int64_t m_written = 0;
    bool m_failed = false;
};

void PutBytes(std::vector<uint8_t>& out, const void* bytes, size_t count)
{
    const size_t at = out.size();
    out.resize(at + count);
    std::memcpy(out.data() + at, bytes, count);
}

void PutU32(std::vector<uint8_t>& out, uint32_t value)
{
    uint8_t bytes[4];
    StoreLe32(bytes, value);
    PutBytes(out, bytes, sizeof bytes);
}

void PutId(std::vector<uint8_t>& out, const char* id)
{
    PutBytes(out, id, 4);
}

/// A pipe, FIFO or device: written in order, never read back.
class StreamOutput final : public RenderOutput
{
public:
    StreamOutput(UniqueFd owned, int fd) : m_owned(std::move(owned)), m_fd(fd) {}

    bool WriteHeader(const WAVEFORMATEX& format)
    {
        const auto cart = CartChunkBytes(MakeRecordingCartChunk());
        std::vector<uint8_t> header;
        PutId(header, "RIFF");
        PutU32(header, kUnknownSize);
        PutId(header, "WAVE");
        PutId(header, "fmt ");
        PutU32(header, sizeof format);
        PutBytes(header, &format, sizeof format);
        PutId(header, "cart");
        PutU32(header, static_cast<uint32_t>(cart.size()));
        PutBytes(header, cart.data(), cart.size());
        PutId(header, "data");
        PutU32(header, kUnknownSize);
        m_headerSize = static_cast<int64_t>(header.size());
        m_start = ::lseek(m_fd, 0, SEEK_CUR); // -1 on a pipe
        Write(header.data(), m_headerSize);
        return !m_failed;
    }

    void Append(const uint8_t* bytes, int64_t count) override
    {
        Write(bytes, count);
        m_written += count;
    }

    bool Finish() override
    {
        struct stat info
        {};
        if (!m_failed && m_start >= 0 && ::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode) &&
            m_written + m_headerSize - 8 <= kUnknownSize) {
            // Standard output redirected to a file: the sizes can be completed after all.
            PatchU32(4, static_cast<uint32_t>(m_headerSize - 8 + m_written));
            PatchU32(m_headerSize - 4, static_cast<uint32_t>(m_written));
        }
        if (m_owned && m_owned.Close() != 0)
            m_failed = true;
        return !m_failed;
    }

private:
    void Write(const uint8_t* bytes, int64_t count)
    {
        while (!m_failed && count > 0) {
            const ssize_t done = ::write(m_fd, bytes, static_cast<size_t>(count));
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0) {
                m_failed = true;
                return;
            }
            bytes += done;
            count -= done;
        }
    }

    void PatchU32(int64_t offset, uint32_t value)
    {
        uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        if (::pwrite(m_fd, bytes, 4, m_start + offset) != 4)
            m_failed = true;
    }

    UniqueFd m_owned; // empty for standard output, which stays open
    int m_fd;
    int64_t m_start = -1;
    int64_t m_headerSize = 0;
    int64_t m_written = 0;
    bool m_failed = false;
};

} // namespace

std::unique_ptr<RenderOutput> RenderOutput::Open(const std::string& path, uint32_t sampleRate,
                                                 uint16_t channels)
{
    const WAVEFORMATEX format = MakePcm16Format(sampleRate, channels);
    if (path == "-") {
        auto stream = std::make_unique<StreamOutput>(UniqueFd(), STDOUT_FILENO);
        return stream->WriteHeader(format) ? std::move(stream) : nullptr;
    }
    struct stat info
    {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists || S_ISREG(info.st_mode)) {
        MMIOINFO io{};
        io.dwFlags = MMIO_ALLOCBUF;
        io.cchBuffer = kFileBufferBytes;
        UniqueHmmio file(mmioOpenA(path.c_str(), &io, MMIO_CREATE | MMIO_READWRITE));
        if (!file)
            return nullptr;
        auto output = std::make_unique<FileOutput>(std::move(file));
        if (!output->WriteHeader(format)) {
            output->Finish();
            return nullptr;
        }
        return output;
    }
    if (!S_ISFIFO(info.st_mode) && !S_ISCHR(info.st_mode))
        return nullptr; // a folder, a socket, a block device
    // A FIFO's open waits here, before playing, until something reads it.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd)
        return nullptr;
    const int raw = fd.Get();
    auto stream = std::make_unique<StreamOutput>(std::move(fd), raw);
    return stream->WriteHeader(format) ? std::move(stream) : nullptr;
}

} // namespace tavrenly::app
