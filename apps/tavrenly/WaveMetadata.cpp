// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/WaveMetadata.h"

#include "platform/base/ByteOrder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fmt/format.h>
#include <fstream>

namespace tavrenly::app {

namespace {

/// A chunk body read field by field; whatever lies past its end reads as zero or empty.
class BodyReader
{
public:
    explicit BodyReader(std::span<const uint8_t> body) : m_body(body) {}

    uint16_t U16(size_t at) const { return at + 2 <= m_body.size() ? LoadLe16(&m_body[at]) : 0; }
    uint32_t U32(size_t at) const { return at + 4 <= m_body.size() ? LoadLe32(&m_body[at]) : 0; }
    std::string Id(size_t at) const { return Text(at, 4); }
    /// At most `width` bytes from `at`, cut at the first zero byte.
    std::string Text(size_t at, size_t width) const
    {
        if (at >= m_body.size())
            return {};
        const auto* begin = reinterpret_cast<const char*>(&m_body[at]);
        const size_t room = std::min(width, m_body.size() - at);
        return std::string(begin, strnlen(begin, room));
    }
    size_t Size() const { return m_body.size(); }
    std::span<const uint8_t> Sub(size_t at, size_t size) const
    {
        if (at >= m_body.size())
            return {};
        return m_body.subspan(at, std::min(size, m_body.size() - at));
    }

private:
    std::span<const uint8_t> m_body;
};

// Offsets of the broadcast extension's fixed part.
constexpr size_t kBextOriginator = 256;
constexpr size_t kBextOriginatorReference = 288;
constexpr size_t kBextOriginationDate = 320;
constexpr size_t kBextOriginationTime = 330;
constexpr size_t kBextTimeReference = 338;
constexpr size_t kBextVersion = 346;
constexpr size_t kBextUmid = 348;
constexpr size_t kBextLoudness = 412;
constexpr size_t kBextCodingHistory = 602;
/// A loudness field a writer of version 2 left unmeasured.
constexpr uint16_t kBextNotMeasured = 0x7FFF;

/// Each cue point and sampler loop is a record of six 32-bit fields.
constexpr size_t kPointRecord = 24;
constexpr size_t kSamplerHeader = 36;

/// The bytes of one chunk read at most: descriptive chunks are small, a forged size is not.
constexpr uint64_t kMaxChunkRead = uint64_t{1} << 20;

CuePoint* FindCue(std::vector<CuePoint>& cues, uint32_t id)
{
    const auto at =
        std::find_if(cues.begin(), cues.end(), [id](const CuePoint& cue) { return cue.id == id; });
    return at == cues.end() ? nullptr : &*at;
}

/// Whether `text` is made of well-formed UTF-8 sequences (JSON's dump checks the rest).
bool IsUtf8(const std::string& text)
{
    size_t continuation = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (continuation > 0) {
            if ((byte & 0xC0) != 0x80)
                return false;
            --continuation;
        } else if ((byte & 0xE0) == 0xC0) {
            continuation = 1;
        } else if ((byte & 0xF0) == 0xE0) {
            continuation = 2;
        } else if ((byte & 0xF8) == 0xF0) {
            continuation = 3;
        } else if (byte >= 0x80) {
            return false;
        }
    }
    return continuation == 0;
}

} // namespace

uint32_t WaveMetadata::SampleRate() const
{
    return BodyReader(format).U32(4);
}

std::optional<BextChunk> ParseBext(std::span<const uint8_t> body)
{
    const BodyReader r(body);
    BextChunk bext;
    bext.Description = r.Text(0, kBextOriginator);
    bext.Originator = r.Text(kBextOriginator, 32);
    bext.OriginatorReference = r.Text(kBextOriginatorReference, 32);
    bext.OriginationDate = r.Text(kBextOriginationDate, 10);
    bext.OriginationTime = r.Text(kBextOriginationTime, 8);
    bext.TimeReference = r.U32(kBextTimeReference) | uint64_t{r.U32(kBextTimeReference + 4)} << 32;
    bext.Version = r.U16(kBextVersion);
    const std::span<const uint8_t> umid = r.Sub(kBextUmid, 64);
    if (std::any_of(umid.begin(), umid.end(), [](uint8_t b) { return b != 0; }))
        for (const uint8_t b : umid)
            bext.UMID += fmt::format("{:02x}", b);
    if (bext.Version >= 2) {
        std::optional<int16_t>* fields[] = {&bext.LoudnessValue, &bext.LoudnessRange,
                                            &bext.MaxTruePeakLevel, &bext.MaxMomentaryLoudness,
                                            &bext.MaxShortTermLoudness};
        for (size_t i = 0; i < std::size(fields); ++i) {
            const size_t at = kBextLoudness + 2 * i;
            if (at + 2 <= r.Size() && r.U16(at) != kBextNotMeasured)
                *fields[i] = static_cast<int16_t>(r.U16(at));
        }
    }
    bext.CodingHistory = r.Text(kBextCodingHistory, r.Size());
    return bext;
}

void ParseList(std::span<const uint8_t> body, std::map<std::string, std::string>& info,
               std::vector<CuePoint>& cues)
{
    const BodyReader r(body);
    const std::string type = r.Id(0);
    if (type != "INFO" && type != "adtl")
        return;
    for (size_t at = 4; at + 8 <= r.Size();) {
        const std::string id = r.Id(at);
        const uint32_t size = r.U32(at + 4);
        const BodyReader sub(r.Sub(at + 8, size));
        at += 8 + uint64_t{size} + (size & 1);
        if (type == "INFO") {
            info.emplace(id, sub.Text(0, sub.Size()));
            continue;
        }
        CuePoint* cue = FindCue(cues, sub.U32(0));
        if (cue == nullptr)
            continue;
        if (id == "labl")
            cue->label = sub.Text(4, sub.Size());
        else if (id == "note")
            cue->note = sub.Text(4, sub.Size());
        else if (id == "ltxt" && sub.Size() >= 8)
            cue->length = sub.U32(4);
    }
}

std::vector<CuePoint> ParseCue(std::span<const uint8_t> body)
{
    const BodyReader r(body);
    const size_t count =
        std::min<size_t>(r.U32(0), (r.Size() - std::min<size_t>(4, r.Size())) / kPointRecord);
    std::vector<CuePoint> cues;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = 4 + i * kPointRecord;
        const uint32_t position = r.U32(at + 4);
        const uint32_t sampleOffset = r.U32(at + 20);
        cues.push_back(
            CuePoint{r.U32(at), sampleOffset != 0 ? sampleOffset : position, {}, {}, {}});
    }
    return cues;
}

std::optional<SamplerChunk> ParseSampler(std::span<const uint8_t> body)
{
    const BodyReader r(body);
    if (r.Size() < kSamplerHeader)
        return std::nullopt;
    SamplerChunk sampler{r.U32(0), r.U32(4), r.U32(8), r.U32(12), {}};
    const size_t count = std::min<size_t>(r.U32(28), (r.Size() - kSamplerHeader) / kPointRecord);
    for (size_t i = 0; i < count; ++i) {
        const size_t at = kSamplerHeader + i * kPointRecord;
        sampler.loops.push_back(
            SamplerLoop{r.U32(at), r.U32(at + 4), r.U32(at + 8), r.U32(at + 12), r.U32(at + 20)});
    }
    return sampler;
}

CartChunk ParseCart(std::span<const uint8_t> body)
{
    CartChunk cart{};
    // An empty chunk's span may hold no pointer at all, which memcpy must not be given.
    if (!body.empty())
        std::memcpy(&cart, body.data(), std::min(body.size(), sizeof cart));
    const BodyReader r(body);
    cart.LevelReference = static_cast<int32_t>(r.U32(offsetof(CartChunk, LevelReference)));
    for (size_t i = 0; i < std::size(cart.PostTimer); ++i)
        cart.PostTimer[i].dwValue =
            r.U32(offsetof(CartChunk, PostTimer) + i * sizeof(CartTimer) + 4);
    return cart;
}

std::vector<CartTimerEntry> UsedCartTimers(const CartChunk& cart)
{
    std::vector<CartTimerEntry> timers;
    for (const CartTimer& timer : cart.PostTimer) {
        const std::string usage(timer.dwUsage, strnlen(timer.dwUsage, sizeof timer.dwUsage));
        if (!usage.empty())
            timers.push_back(CartTimerEntry{usage, timer.dwValue});
    }
    return timers;
}

WaveMetadata ReadWaveMetadata(const std::string& path)
{
    WaveMetadata meta;
    std::ifstream file(path, std::ios::binary);
    uint8_t head[12] = {};
    if (!file.read(reinterpret_cast<char*>(head), sizeof head) ||
        (std::memcmp(head, "RIFF", 4) != 0 && std::memcmp(head, "RF64", 4) != 0) ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return meta;
    file.seekg(0, std::ios::end);
    const auto fileSize = static_cast<uint64_t>(file.tellg());
    uint64_t rf64DataSize = 0;
    std::vector<uint8_t> adtl; // applied once every cue point is known
    for (uint64_t at = 12; at + 8 <= fileSize;) {
        uint8_t header[8];
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(header), sizeof header))
            break;
        const std::string id(reinterpret_cast<const char*>(header), 4);
        uint64_t size = LoadLe32(header + 4);
        if (id == "data" && size == 0xFFFFFFFF && rf64DataSize != 0)
            size = rf64DataSize;
        const bool wanted = id == "bext" || id == "LIST" || id == "cue " || id == "smpl" ||
                            id == "cart" || id == "ds64" || id == "fmt ";
        std::vector<uint8_t> body;
        if (wanted) {
            body.resize(static_cast<size_t>(std::min({size, kMaxChunkRead, fileSize - at - 8})));
            file.read(reinterpret_cast<char*>(body.data()),
                      static_cast<std::streamsize>(body.size()));
            body.resize(static_cast<size_t>(file.gcount()));
        }
        const BodyReader r(body);
        if (id == "ds64")
            rf64DataSize = r.U32(8) | uint64_t{r.U32(12)} << 32;
        else if (id == "fmt " && meta.format.empty())
            meta.format = std::move(body);
        else if (id == "bext" && !meta.bext)
            meta.bext = ParseBext(body);
        else if (id == "cue " && meta.cues.empty())
            meta.cues = ParseCue(body);
        else if (id == "smpl" && !meta.sampler)
            meta.sampler = ParseSampler(body);
        else if (id == "cart" && !meta.cart) {
            meta.cart = ParseCart(body);
            meta.cartTimers = UsedCartTimers(*meta.cart);
        } else if (id == "LIST" && r.Id(0) == "adtl" && adtl.empty())
            adtl = std::move(body);
        else if (id == "LIST" && r.Id(0) == "INFO" && meta.info.empty())
            ParseList(body, meta.info, meta.cues);
        at += 8 + size + (size & 1);
    }
    // The labels may come before the points they name.
    std::map<std::string, std::string> ignored;
    ParseList(adtl, ignored, meta.cues);
    return meta;
}

std::string PrintableText(const std::string& text)
{
    std::string out;
    const bool utf8 = IsUtf8(text);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r')
            out += '?';
        else if (byte < 0x80 || utf8)
            out += c;
        else {
            out += static_cast<char>(0xC0 | byte >> 6);
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string ClockTime(double seconds)
{
    const auto ms = static_cast<int64_t>(std::llround(std::max(0.0, seconds) * 1000.0));
    return fmt::format("{}:{:02}:{:02}.{:03}", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                       ms % 1000);
}

} // namespace tavrenly::app
