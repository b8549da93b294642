#include "common/WaveFormat.h"

#include "common/TavrenlyFN.h"
#include "platform/riff/Riff.h"

#include <algorithm>
#include <cstring>

namespace tavrenly {

namespace {

/// The chunks ReadWaveHeader has entered, left in reverse order and the file closed on every
/// way out of the reader.
class HeaderReadSession
{
public:
    explicit HeaderReadSession(HMMIO file) : m_file(file) {}
    ~HeaderReadSession()
    {
        while (m_depth > 0)
            mmioAscend(m_file.get(), &m_entered[--m_depth], 0);
    }
    HeaderReadSession(const HeaderReadSession&) = delete;
    HeaderReadSession& operator=(const HeaderReadSession&) = delete;

    HMMIO File() const { return m_file.get(); }
    /// Descends into `ck` and remembers to leave it; returns the descend result. The session
    /// keeps its own copy of the record, so it may outlive the caller's.
    MMRESULT Enter(MMCKINFO& ck, const MMCKINFO* parent, uint32_t flags)
    {
        const MMRESULT result = mmioDescend(m_file.get(), &ck, parent, flags);
        if (result == 0)
            m_entered[m_depth++] = ck;
        return result;
    }
    /// Leaves the chunk entered last.
    void Leave()
    {
        if (m_depth > 0)
            mmioAscend(m_file.get(), &m_entered[--m_depth], 0);
    }

private:
    UniqueHmmio m_file;
    MMCKINFO m_entered[2];
    int m_depth = 0;
};

bool IsAcceptedRate(uint32_t rate)
{
    // Up to 32075 Hz the list holds both 32000 and 32075; above it only the three studio rates.
    if (rate <= 32075)
        return rate == 8000 || rate == 11025 || rate == 22050 || rate == 32000 || rate == 32075;
    return rate == 44100 || rate == 48000 || rate == 96000;
}

void StoreLe32(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace

int32_t ReadWaveHeader(const std::string& fileName, WAVEFORMATEX& format, int32_t& dataSize)
{
    if (!(FileLength(fileName) > 0))
        return -1;
    dataSize = 0;
    HMMIO opened = mmioOpenA(fileName.c_str(), nullptr, MMIO_READ);
    if (opened == nullptr)
        return -1;
    HeaderReadSession session(opened);

    MMCKINFO riff;
    riff.fccType = mmioStringToFOURCCA("WAVE", 0);
    if (const MMRESULT result = session.Enter(riff, nullptr, MMIO_FINDRIFF); result != 0)
        return static_cast<int32_t>(result);

    MMCKINFO fmt;
    fmt.ckid = mmioStringToFOURCCA("fmt ", 0);
    if (const MMRESULT result = session.Enter(fmt, &riff, MMIO_FINDCHUNK); result != 0)
        return static_cast<int32_t>(result);
    if (fmt.cksize == 0)
        return 0;

    const int32_t wanted = static_cast<int32_t>(std::min<uint32_t>(fmt.cksize, sizeof format));
    char record[sizeof(WAVEFORMATEX)];
    const int32_t got = mmioRead(session.File(), record, wanted);
    if (got < 0)
        return -1;
    std::memcpy(&format, record, static_cast<size_t>(got));
    session.Leave();

    // "data" may lie before or after "fmt ": search the whole form from just after "WAVE".
    if (mmioSeek(session.File(), static_cast<int32_t>(riff.dwDataOffset + 4), SEEK_SET) >= 0) {
        MMCKINFO data;
        data.ckid = mmioStringToFOURCCA("data", 0);
        if (session.Enter(data, &riff, MMIO_FINDCHUNK) == 0) {
            dataSize = static_cast<int32_t>(data.cksize);
            session.Leave();
        }
    }
    return 0;
}

int32_t CheckPlaybackFileFormat(const WAVEFORMATEX& format)
{
    if (!IsAcceptedRate(format.nSamplesPerSec))
        return 1;
    int32_t code = 0;
    if (format.nChannels != 1 && format.nChannels != 2)
        code = 2;
    if (format.nAvgBytesPerSec > kMaxPlaybackBytesPerSecond)
        code = 3;
    return code;
}

CartChunk MakeRecordingCartChunk()
{
    CartChunk cart{};
    std::memcpy(cart.Version, "0101", sizeof cart.Version);
    return cart;
}

std::array<uint8_t, kCartChunkSize> CartChunkBytes(const CartChunk& cart)
{
    std::array<uint8_t, kCartChunkSize> bytes{};
    std::memcpy(bytes.data(), &cart, kCartChunkSize);
    // The numbers are written byte by byte so the layout does not depend on the host's order.
    StoreLe32(bytes.data() + offsetof(CartChunk, LevelReference),
              static_cast<uint32_t>(cart.LevelReference));
    for (size_t i = 0; i < 8; ++i)
        StoreLe32(bytes.data() + offsetof(CartChunk, PostTimer) + i * sizeof(CartTimer) + 4,
                  cart.PostTimer[i].dwValue);
    return bytes;
}

} // namespace tavrenly
