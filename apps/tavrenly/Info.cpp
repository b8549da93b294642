#include "apps/tavrenly/Info.h"

#include "common/CartChunk.h"
#include "common/WaveFile.h"
#include "engine/EngineFactory.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "platform/riff/WaveChunks.h"
#include "player/TavrenPlayer.h"

#include <cstring>
#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace tavrenly::app {

namespace {

using nlohmann::ordered_json;

/// Keeps the boxes an open shows instead of showing them.
class CapturingSite : public ControlSite
{
public:
    explicit CapturingSite(EventLoop& loop) : m_loop(loop) {}
    void PropertyChanged(std::string_view) override {}
    int32_t ShowMessage(std::string_view text, int32_t, std::string_view) override
    {
        messages.emplace_back(text);
        return kMessageAnswerOk;
    }
    EventLoop& Loop() override { return m_loop; }

    std::vector<std::string> messages;

private:
    EventLoop& m_loop;
};

class ErrorCollector : public TavrenPlayerEvents
{
public:
    void PlayerError(int32_t& code) override { codes.push_back(code); }
    std::vector<int32_t> codes;
};

struct ChunkEntry
{
    std::string id;
    uint32_t offset;
    uint32_t size;
};

std::string FourCCText(FOURCC code)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

/// The sub-chunks of the RIFF form, in file order; the cart chunk's bytes when there is one.
std::vector<ChunkEntry> WalkChunks(const std::string& file, std::optional<CartChunk>& cart)
{
    std::vector<ChunkEntry> chunks;
    HMMIO handle = mmioOpenA(file.c_str(), nullptr, MMIO_READ);
    if (handle == nullptr)
        return chunks;
    MMCKINFO riff{};
    if (mmioDescend(handle, &riff, nullptr, 0) == 0 && riff.ckid == FOURCC_RIFF) {
        for (;;) {
            MMCKINFO chunk{};
            if (mmioDescend(handle, &chunk, &riff, 0) != 0)
                break;
            chunks.push_back(
                ChunkEntry{FourCCText(chunk.ckid), chunk.dwDataOffset - 8, chunk.cksize});
            if (chunk.ckid == kCartChunkId && !cart) {
                CartChunk record{};
                const int32_t wanted =
                    static_cast<int32_t>(std::min<uint32_t>(chunk.cksize, sizeof(record)));
                if (mmioRead(handle, reinterpret_cast<char*>(&record), wanted) >= 0)
                    cart = record;
            }
            if (mmioAscend(handle, &chunk, 0) != 0)
                break;
        }
    }
    mmioClose(handle, 0);
    return chunks;
}

template <size_t N> std::string Field(const char (&text)[N])
{
    return std::string(text, strnlen(text, N));
}

ordered_json CartJson(const CartChunk& cart)
{
    ordered_json fields;
    fields["Version"] = Field(cart.Version);
    fields["Title"] = Field(cart.Title);
    fields["Artist"] = Field(cart.Artist);
    fields["CutID"] = Field(cart.CutID);
    fields["ClientID"] = Field(cart.ClientID);
    fields["Category"] = Field(cart.Category);
    fields["Classification"] = Field(cart.Classification);
    fields["OutCue"] = Field(cart.OutCue);
    fields["StartDate"] = Field(cart.StartDate);
    fields["StartTime"] = Field(cart.StartTime);
    fields["EndDate"] = Field(cart.EndDate);
    fields["EndTime"] = Field(cart.EndTime);
    fields["ProducerAppID"] = Field(cart.ProducerAppID);
    fields["ProducerAppVersion"] = Field(cart.ProducerAppVersion);
    fields["UserDef"] = Field(cart.UserDef);
    fields["LevelReference"] = cart.LevelReference;
    fields["URL"] = Field(cart.URL);
    return fields;
}

} // namespace

int RunInfo(const std::string& file, bool json)
{
    WAVEFORMATEX format{};
    int32_t dataSize = 0;
    const int32_t headerResult = ReadWaveHeader(file, format, dataSize);

    EventLoop loop(EventLoop::Clock::Virtual);
    CapturingSite site(loop);
    ErrorCollector errors;
    int32_t openResult = 0;
    float totalLength = 0;
    int32_t totalBlocks = 0;
    {
        TavrenPlayer player(site, CreateStreamPlay(loop, EngineKind::Simulated));
        player.InitNew();
        player.ReportErrors(true);
        player.SetEventListener(&errors);
        std::string name = file;
        openResult = player.OpenAudio(name);
        totalLength = player.TotalAudioLength();
        totalBlocks = player.State().TotalBlocks;
        player.SetEventListener(nullptr);
    }
    const bool playable = openResult == 0;

    std::optional<int32_t> referenceCode;
    if (headerResult == 0) {
        const int32_t code = CheckPlaybackFileFormat(format);
        if (code != 0)
            referenceCode = code;
    }
    if (!playable || totalBlocks == 0) {
        totalLength =
            format.nAvgBytesPerSec > 0
                ? static_cast<float>(static_cast<double>(dataSize) / format.nAvgBytesPerSec)
                : 0.0f;
        totalBlocks = format.nBlockAlign > 0
                          ? static_cast<int32_t>(
                                RoundHalfEven(static_cast<double>(dataSize) / format.nBlockAlign))
                          : 0;
    }
    std::optional<CartChunk> cart;
    const std::vector<ChunkEntry> chunks = WalkChunks(file, cart);
    const std::optional<std::string> message =
        site.messages.empty() ? std::nullopt : std::optional<std::string>(site.messages.front());

    if (json) {
        ordered_json out;
        out["file"] = file;
        out["header_result"] = headerResult;
        out["open_result"] = openResult;
        out["reference_code"] =
            referenceCode ? ordered_json(*referenceCode) : ordered_json(nullptr);
        out["message"] = message ? ordered_json(*message) : ordered_json(nullptr);
        out["player_errors"] = errors.codes;
        out["format"] = {{"wFormatTag", format.wFormatTag},
                         {"nChannels", format.nChannels},
                         {"nSamplesPerSec", format.nSamplesPerSec},
                         {"nAvgBytesPerSec", format.nAvgBytesPerSec},
                         {"nBlockAlign", format.nBlockAlign},
                         {"wBitsPerSample", format.wBitsPerSample},
                         {"cbSize", format.cbSize}};
        out["data_size"] = dataSize;
        out["total_audio_length"] = totalLength;
        out["total_blocks"] = totalBlocks;
        ordered_json list = ordered_json::array();
        for (const ChunkEntry& chunk : chunks)
            list.push_back({{"id", chunk.id}, {"offset", chunk.offset}, {"size", chunk.size}});
        out["chunks"] = list;
        out["cart"] = cart ? CartJson(*cart) : ordered_json(nullptr);
        out["playable"] = playable;
        fmt::print("{}\n", out.dump(2));
        return playable ? 0 : 1;
    }

    fmt::print("File          {}\n", file);
    fmt::print("Header        {}\n", headerResult == 0
                                         ? std::string("read")
                                         : fmt::format("not read, code {}", headerResult));
    fmt::print("Format        tag {}, {} channel(s), {} Hz, {} bytes/s, block {}, {} bits, "
               "{} extra byte(s)\n",
               format.wFormatTag, format.nChannels, format.nSamplesPerSec, format.nAvgBytesPerSec,
               format.nBlockAlign, format.wBitsPerSample, format.cbSize);
    fmt::print("Data          {} bytes, {:.3f} s, {} blocks\n", dataSize, totalLength, totalBlocks);
    fmt::print("Chunks       ");
    for (const ChunkEntry& chunk : chunks)
        fmt::print(" '{}' at {} ({} bytes);", chunk.id, chunk.offset, chunk.size);
    fmt::print("\n");
    if (cart) {
        // The version, then every text field that holds something.
        fmt::print("Cart          version '{}'", Field(cart->Version));
        const ordered_json fields = CartJson(*cart);
        for (auto field = fields.cbegin(); field != fields.cend(); ++field)
            if (field->is_string() && field.key() != "Version" &&
                !field->get<std::string>().empty())
                fmt::print(", {} '{}'", field.key(), field->get<std::string>());
        fmt::print("\n");
    }
    if (playable) {
        fmt::print("Plays         yes\n");
    } else {
        fmt::print("Plays         no: open returned {}{}\n", openResult,
                   referenceCode ? fmt::format(", reference code {}", *referenceCode) : "");
        if (message)
            fmt::print("Message       {}\n", *message);
    }
    return playable ? 0 : 1;
}

} // namespace tavrenly::app
