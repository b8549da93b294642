// SPDX-License-Identifier: LGPL-2.1-or-later

// Build-time tool: prints FFmpeg's table of WAVE format tags and the codecs they mean, as C++
// initialisers, so that the library can map tags to codecs without linking the container
// library (and the network, disc and crypto libraries it brings) into every host.

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>

int main()
{
    // The table itself is private to the container library: its lookup is asked for every
    // 16-bit tag a WAVE format record can hold instead.
    const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
    std::printf("// Made at build time from the installed FFmpeg; not edited by hand.\n");
    for (unsigned tag = 0; tag <= 0xFFFF; ++tag)
        if (const AVCodecID id = av_codec_get_id(tables, tag); id != AV_CODEC_ID_NONE)
            std::printf("{0x%04X, %d},\n", tag, static_cast<int>(id));
    return 0;
}
