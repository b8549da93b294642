// Compressed-format stages on FFmpeg's libavcodec (placeholder until the codecs land).

#include "platform/codec/CodecStage.h"

namespace tavrenly::codec {

namespace {
constexpr uint32_t kNotPossible = 512; // ACMERR_NOTPOSSIBLE
}

bool HasCompressedCodec(uint16_t, bool)
{
    return false;
}

uint32_t CreateDecoder(const WAVEFORMATEX*, std::unique_ptr<CodecStage>&)
{
    return kNotPossible;
}

uint32_t CreateEncoder(const WAVEFORMATEX*, std::unique_ptr<CodecStage>&)
{
    return kNotPossible;
}

uint32_t SuggestCompressedFormat(const WAVEFORMATEX*, WAVEFORMATEX*, uint32_t, uint32_t)
{
    return kNotPossible;
}

uint32_t CompressedFormatSize(uint16_t, uint32_t&)
{
    return kNotPossible;
}

} // namespace tavrenly::codec
