// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: owners of FFmpeg's C handles.

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <memory>

namespace tavrenly::codec {

struct CodecContextFree
{
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct FrameFree
{
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketFree
{
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct ParserFree
{
    void operator()(AVCodecParserContext* parser) const noexcept { av_parser_close(parser); }
};
struct AvBufferFree
{
    void operator()(uint8_t* data) const noexcept { av_free(data); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserFree>;
using AvBytesPtr = std::unique_ptr<uint8_t, AvBufferFree>;

} // namespace tavrenly::codec
