// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: a stage that encodes 16-bit PCM to one of the compressed wave
// formats we write (A-law, mu-law, IMA ADPCM, MS ADPCM, GSM 6.10, MPEG-1 Layer II, MPEG
// Layer III) with FFmpeg's libavcodec.
//
// The stage takes whole frames of the codec's frame size (its block's samples for ADPCM and
// GSM, 1152 for MPEG; any number for A-law and mu-law) and reports the rest unused. The end
// flag does not flush: the controls give it on every buffer. A drain encodes the last partial
// frame completed with silence and takes out what the encoder still holds (the Layer III
// look-ahead, about two frames); an encoder cannot take input after that, so the stage opens
// a new one when input comes again.
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
    uint32_t Drain(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                   uint8_t* dest, uint32_t destLength, uint32_t& destUsed) override;
    uint32_t MaxOutputBytes(uint32_t sourceLength) const override;
    void Reset() override;

private:
    enum class State
    {
        Encoding,
        Draining, ///< the end was sent; packets are still coming out
        Drained   ///< the encoder is spent: a new one is opened for more input
    };

    FfmpegEncoder() = default;
    uint32_t Open(const WAVEFORMATEX* destination);
    /// Encodes `samples` sample frames from `source`, completed with silence to a whole frame.
    uint32_t SendFrame(const uint8_t* source, uint32_t samples);
    /// Copies the packets the encoder has ready into dest[written, destLength); a packet that
    /// does not fit stays pending. Sets `ended` when the encoder has given its last packet.
    uint32_t TakePackets(uint8_t* dest, uint32_t destLength, uint32_t& written, bool& ended);

    CodecContextPtr m_codec;
    FramePtr m_frame;
    PacketPtr m_packet;
    uint16_t m_channels = 0;
    uint32_t m_frameSamples = 0;   // per frame; the frame buffer's capacity when variable
    bool m_variableFrames = false; // any number of samples per frame (A-law, mu-law)
    uint32_t m_maxPacketBytes = 0; // the largest packet one frame can give
    int64_t m_nextPts = 0;
    std::unique_ptr<uint8_t[]> m_record; // the destination record, to open the encoder again
    State m_state = State::Encoding;
    bool m_pending = false; // m_packet holds a packet that did not fit the last output
    bool m_fed = false;     // input was sent since the encoder was opened
};

} // namespace tavrenly::codec
