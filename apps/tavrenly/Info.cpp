// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Info.h"

#include "apps/tavrenly/FileExplain.h"
#include "apps/tavrenly/FileLevels.h"
#include "apps/tavrenly/InfoSections.h"
#include "apps/tavrenly/WaveMetadata.h"
#include "player/PlayerState.h"

#include "common/CartChunk.h"
#include "common/WaveFile.h"
#include "engine/EngineFactory.h"
#include "platform/codec/CodecName.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "platform/riff/WaveChunks.h"
#include "player/TavrenPlayer.h"

#include <algorithm>
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

/// The sub-chunks of the RIFF form, in file order.
std::vector<ChunkEntry> WalkChunks(const std::string& file)
{
    std::vector<ChunkEntry> chunks;
    HMMIO handle = mmioOpenA(file.c_str(), nullptr, MMIO_READ);
    if (handle == nullptr)
        return chunks;
    MMCKINFO riff{};
    if (mmioDescend(handle, &riff, nullptr, 0) == 0 &&
        (riff.ckid == FOURCC_RIFF || riff.ckid == FOURCC_RF64)) {
        for (;;) {
            MMCKINFO chunk{};
            if (mmioDescend(handle, &chunk, &riff, 0) != 0)
                break;
            chunks.push_back(
                ChunkEntry{FourCCText(chunk.ckid), chunk.dwDataOffset - 8, chunk.cksize});
            if (mmioAscend(handle, &chunk, 0) != 0)
                break;
        }
    }
    mmioClose(handle, 0);
    return chunks;
}

template <size_t N> std::string Field(const char (&text)[N])
{
    return PrintableText(std::string(text, strnlen(text, N)));
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

/// What info tells of one file.
struct InfoFacts
{
    std::string file;
    WAVEFORMATEX format{};
    /// As the header reader gives it: 64-bit, for an RF64 file from its "ds64" chunk.
    uint64_t dataSize = 0;
    bool rf64 = false;
    int32_t headerResult = 0;
    int32_t openResult = 0;
    std::optional<int32_t> referenceCode;
    std::optional<std::string> message;
    std::vector<int32_t> playerErrors;
    float totalLength = 0;
    int32_t totalBlocks = 0;
    std::vector<ChunkEntry> chunks;
    /// The data chunk's size as its header says, and the bytes of it the file holds.
    std::optional<uint64_t> dataDeclared;
    uint64_t dataPresent = 0;
    /// Why the path is no file to read ("is a folder"...): then nothing else was read.
    std::optional<std::string> problem;
    std::string codec;
    WaveMetadata meta;
    LevelsResult levels;

    bool Playable() const { return openResult == 0; }
    uint64_t DataSize() const { return dataSize; }
};

/// What a real open on the simulated engine says of the file.
void TryOpen(InfoFacts& facts)
{
    EventLoop loop(EventLoop::Clock::Virtual);
    CapturingSite site(loop);
    ErrorCollector errors;
    TavrenPlayer player(site, CreateStreamPlay(loop, EngineKind::Simulated));
    player.InitNew();
    player.ReportErrors(true);
    player.SetEventListener(&errors);
    facts.openResult = player.OpenAudio(facts.file);
    facts.totalLength = player.TotalAudioLength();
    facts.totalBlocks = player.State().TotalBlocks;
    player.SetEventListener(nullptr);
    facts.playerErrors = errors.codes;
    if (!site.messages.empty())
        facts.message = site.messages.front();
}

InfoFacts Gather(const std::string& file, bool levels)
{
    InfoFacts facts;
    facts.file = file;
    // A FIFO or a device would block the reads below, and a folder reads as "did not exist".
    facts.problem = WhyNotAFile(file);
    if (facts.problem) {
        facts.headerResult = facts.openResult = -1;
        return facts;
    }
    facts.headerResult = ReadWaveHeader(file, facts.format, facts.dataSize, &facts.rf64);
    TryOpen(facts);
    const WAVEFORMATEX& format = facts.format;
    if (facts.headerResult == 0) {
        const int32_t code = CheckPlaybackFileFormat(format);
        if (code != 0)
            facts.referenceCode = code;
    }
    // A file the player does not open still has a length its header gives.
    if (!facts.Playable() || facts.totalBlocks == 0) {
        facts.totalLength =
            format.nAvgBytesPerSec > 0
                ? static_cast<float>(static_cast<double>(facts.DataSize()) / format.nAvgBytesPerSec)
                : 0.0f;
        facts.totalBlocks = format.nBlockAlign > 0
                                ? static_cast<int32_t>(RoundHalfEven(
                                      static_cast<double>(facts.DataSize()) / format.nBlockAlign))
                                : 0;
    }
    facts.chunks = WalkChunks(file);
    facts.meta = ReadWaveMetadata(file);
    if (facts.meta.format.size() >= 16)
        facts.codec = CodecNameOf(reinterpret_cast<const WAVEFORMATEX*>(facts.meta.format.data()),
                                  static_cast<uint32_t>(facts.meta.format.size()));
    if (facts.headerResult == 0 && levels)
        facts.levels = MeasureFileLevels(file);
    if (const auto data = DataSizesOf(file)) {
        facts.dataDeclared = data->declared;
        facts.dataPresent = data->present;
    }
    return facts;
}

void PrintJson(const InfoFacts& facts)
{
    const WAVEFORMATEX& format = facts.format;
    ordered_json out;
    out["file"] = facts.file;
    out["problem"] = facts.problem ? ordered_json(*facts.problem) : ordered_json(nullptr);
    out["header_result"] = facts.headerResult;
    out["open_result"] = facts.openResult;
    out["reference_code"] =
        facts.referenceCode ? ordered_json(*facts.referenceCode) : ordered_json(nullptr);
    out["message"] = facts.message ? ordered_json(*facts.message) : ordered_json(nullptr);
    out["player_errors"] = facts.playerErrors;
    out["format"] = {{"wFormatTag", format.wFormatTag},
                     {"nChannels", format.nChannels},
                     {"nSamplesPerSec", format.nSamplesPerSec},
                     {"nAvgBytesPerSec", format.nAvgBytesPerSec},
                     {"nBlockAlign", format.nBlockAlign},
                     {"wBitsPerSample", format.wBitsPerSample},
                     {"cbSize", format.cbSize}};
    out["codec"] = facts.codec.empty() ? ordered_json(nullptr) : ordered_json(facts.codec);
    out["data_size"] = facts.DataSize();
    out["rf64"] = facts.rf64;
    // A data chunk cut short plays only what is there; both sizes say by how much.
    out["data_size_declared"] =
        facts.dataDeclared ? ordered_json(*facts.dataDeclared) : ordered_json(nullptr);
    out["data_bytes_present"] = facts.dataPresent;
    out["total_audio_length"] = facts.totalLength;
    out["duration"] = ClockTime(facts.totalLength);
    out["total_blocks"] = facts.totalBlocks;
    ordered_json list = ordered_json::array();
    for (const ChunkEntry& chunk : facts.chunks)
        list.push_back({{"id", chunk.id}, {"offset", chunk.offset}, {"size", chunk.size}});
    out["chunks"] = list;
    out["cart"] = facts.meta.cart ? CartJson(*facts.meta.cart) : ordered_json(nullptr);
    if (facts.meta.cart)
        out["cart"]["PostTimers"] = TimersJson(facts.meta);
    out["levels"] = LevelsJson(facts.levels);
    out["levels_problem"] =
        facts.levels.problem.empty() ? ordered_json(nullptr) : ordered_json(facts.levels.problem);
    AddMetadataJson(out, facts.meta);
    out["playable"] = facts.Playable();
    // One line a file, so that a script reads several files' objects line by line; text from
    // the file that is no UTF-8 was made so, and anything left is replaced, never thrown on.
    fmt::print("{}\n", out.dump(-1, ' ', false, ordered_json::error_handler_t::replace));
}

void PrintText(const InfoFacts& facts)
{
    const WAVEFORMATEX& format = facts.format;
    fmt::print("File          {}\n", facts.file);
    if (facts.problem) {
        // "x.wav is a folder", or the system's reason: "x.wav: Permission denied".
        const bool phrase =
            facts.problem->rfind("is ", 0) == 0 || facts.problem->rfind("does ", 0) == 0;
        fmt::print("Problem       {}{} {}\nPlays         no\n", facts.file, phrase ? "" : ":",
                   *facts.problem);
        return;
    }
    fmt::print("Header        {}\n", facts.headerResult == 0
                                         ? std::string("read")
                                         : fmt::format("not read, code {}", facts.headerResult));
    fmt::print("Format        {}tag {}, {} channel(s), {} Hz, {} bytes/s, block {}, {} bits, "
               "{} extra byte(s)\n",
               facts.codec.empty() ? "" : facts.codec + ", ", format.wFormatTag, format.nChannels,
               format.nSamplesPerSec, format.nAvgBytesPerSec, format.nBlockAlign,
               format.wBitsPerSample, format.cbSize);
    fmt::print("Data          {} bytes, {} ({:.3f} s), {} blocks{}\n", facts.DataSize(),
               ClockTime(facts.totalLength), facts.totalLength, facts.totalBlocks,
               facts.rf64 ? " (RF64: sizes from ds64)" : "");
    PrintLevelsText(facts.levels);
    if (facts.dataDeclared && facts.dataPresent < *facts.dataDeclared)
        fmt::print("Truncated     the data chunk declares {} bytes, the file holds {}\n",
                   *facts.dataDeclared, facts.dataPresent);
    fmt::print("Chunks       ");
    for (const ChunkEntry& chunk : facts.chunks)
        fmt::print(" '{}' at {} ({} bytes);", chunk.id, chunk.offset, chunk.size);
    fmt::print("\n");
    if (facts.meta.cart) {
        // The version, then every text field that holds something.
        fmt::print("Cart          version '{}'", Field(facts.meta.cart->Version));
        const ordered_json fields = CartJson(*facts.meta.cart);
        for (auto field = fields.cbegin(); field != fields.cend(); ++field)
            if (field->is_string() && field.key() != "Version" &&
                !field->get<std::string>().empty())
                fmt::print(", {} '{}'", field.key(), field->get<std::string>());
        fmt::print("\n");
    }
    PrintMetadataText(facts.meta);
    if (facts.Playable()) {
        fmt::print("Plays         yes\n");
        return;
    }
    fmt::print("Plays         no: open returned {}{}\n", facts.openResult,
               facts.referenceCode ? fmt::format(", reference code {}", *facts.referenceCode) : "");
    if (facts.message)
        fmt::print("Message       {}\n", *facts.message);
}

} // namespace

int RunInfo(const std::vector<std::string>& files, bool json, bool levels)
{
    int status = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const InfoFacts facts = Gather(files[i], levels);
        if (json) {
            PrintJson(facts);
        } else {
            if (i > 0)
                fmt::print("\n");
            PrintText(facts);
        }
        if (!facts.Playable())
            status = 1;
    }
    return status;
}

} // namespace tavrenly::app
