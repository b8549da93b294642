#pragma once

// Internal to platform/codec: a stage that encodes 16-bit PCM to one of the compressed wave
// formats we write (A-law, mu-law, IMA ADPCM, MS ADPCM, GSM 6.10, MPEG-1 Layer II, MPEG
// Layer III) with FFmpeg's libavcodec.
//
// The stage takes whole frames of the codec's frame size (its block's samples for ADPCM and
// GSM, 1152 for MPEG; any number for A-law and mu-law) and reports the rest unused. The end
// flag does not flush: the controls give it on every buffer. A recording's last partial frame
// therefore stays with the caller and is dropped when the stream closes, and the Layer III
// encoder's look-ahead (about two frames) is never written; every other codec here holds
// nothing back.
//
// Everything of ours is allocated when the stage is made; Convert() reuses one frame and one
// packet. libavcodec itself allocates each encoded packet's buffer and a few small reference
// records per frame.

#include "platform/codec/CodecStage.h"
#include "platform/codec/FfmpegHandles.h"

#include <cstdint>
#include <memory>

namespace tavrenly::codec {

class FfmpegEncoder final : public CodecStage
{
public:
    /// Makes an encoder from 16-bit PCM at `destination`'s rate and channels to the complete
    /// record `destination` (18 + cbSize bytes). Returns 0; ACMERR_NOTPOSSIBLE for a tag we do
    /// not write, a record whose rate, channels, bit rate or block size the encoder cannot
    /// produce, or an encoder missing from this FFmpeg build; MMSYSERR_NOMEM.
    static uint32_t Create(const WAVEFORMATEX* destination, std::unique_ptr<CodecStage>& stage);

    uint32_t Convert(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                     uint8_t* dest, uint32_t destLength, uint32_t& destUsed, bool end) override;
    uint32_t MaxOutputBytes(uint32_t sourceLength) const override;
    void Reset() override;

private:
    FfmpegEncoder() = default;
    uint32_t Open(const WAVEFORMATEX* destination);

    CodecContextPtr m_codec;
    FramePtr m_frame;
    PacketPtr m_packet;
    uint16_t m_channels = 0;
    uint32_t m_frameSamples = 0;   // per frame; the frame buffer's capacity when variable
    bool m_variableFrames = false; // any number of samples per frame (A-law, mu-law)
    uint32_t m_maxPacketBytes = 0; // the largest packet one frame can give
    int64_t m_nextPts = 0;
};

} // namespace tavrenly::codec
