// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Internal to platform/codec: a stage that decodes one compressed wave format to 16-bit PCM at
// the record's rate and channel count with FFmpeg's libavcodec.
//
// The stage consumes whole units only and keeps no input between calls that the caller does
// not hold too:
// - block codecs (ADPCM, G.711, GSM, G.72x...) take whole nBlockAlign blocks; a partial block
//   is reported unused;
// - frame codecs (MPEG audio, AC-3, AAC...) go through FFmpeg's parser, which finds the frame
//   boundaries; the bytes after the last whole frame are reported unused. The parser keeps a
//   copy of them, and the stage checks that the next input starts with the same bytes: when
//   it does not (the caller dropped its held bytes at a jump), parser and decoder start over.
//
// A drain decodes what is left at the end: a last partial block as far as the decoder can
// (FFmpeg's own reading of a file does the same), the frame the parser still holds, and what a
// decoder with a delay keeps back; then decoder and parser start over.
//
// A unit that fails to decode becomes silence of its length, garbage between MPEG frames is
// skipped, and the stream goes on: a damaged file never stops playback or puts noise on air.
// Frames whose rate differs from the record's play as silence (they cannot be played at the
// right speed); frames with another channel count are mixed to the record's.
//
// Everything of ours is allocated when the stage is made: Convert() copies input into buffers
// made then and reuses one packet and one frame. Underneath, libavcodec's send/receive calls
// take a few small reference records per packet and frame from the heap (its interface offers
// no way around them; the sample buffers come from its pools), and the parser is made again
// after a jump in the input or a Reset().

#include "platform/codec/CodecStage.h"
#include "platform/codec/FfmpegHandles.h"

#include <cstdint>
#include <memory>

namespace tavrenly::codec {

class FfmpegDecoder final : public CodecStage
{
public:
    /// Makes a decoder for the complete record `source` (18 + cbSize bytes; the extra bytes
    /// become the codec's extradata). Returns 0; ACMERR_NOTPOSSIBLE for a tag without a
    /// decoder or a record the decoder refuses; MMSYSERR_NOMEM.
    static uint32_t Create(const WAVEFORMATEX* source, std::unique_ptr<CodecStage>& stage);

    uint32_t Convert(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                     uint8_t* dest, uint32_t destLength, uint32_t& destUsed, bool end) override;
    uint32_t Drain(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                   uint8_t* dest, uint32_t destLength, uint32_t& destUsed) override;
    uint32_t MaxOutputBytes(uint32_t sourceLength) const override;
    void Reset() override;

private:
    enum class Framing
    {
        Blocks,
        Parsed
    };

    FfmpegDecoder() = default;
    uint32_t Open(const WAVEFORMATEX* source);
    static const AVCodec* FindDecoder(AVCodecID id);
    uint32_t OpenCodec(const AVCodec* codec, const WAVEFORMATEX* source);
    /// Sets m_exactRatio, m_unitBytes and m_unitSamples when the codec's output is
    /// proportional to whole blocks.
    void FindExactRatio(uint32_t recordBlockAlign);
    /// Blocks or the parser; sets m_packetCapacity.
    uint32_t ChooseFraming(AVCodecID id, uint32_t recordBlockAlign);
    /// The upper bound of samples per input byte that sizes the caller's output buffers.
    void BoundOutput(const WAVEFORMATEX* source);
    uint32_t ConvertBlocks(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                           uint8_t* dest, uint32_t destLength, uint32_t& destUsed);
    uint32_t ConvertParsed(const uint8_t* source, uint32_t sourceLength, uint32_t& sourceUsed,
                           uint8_t* dest, uint32_t destLength, uint32_t& destUsed);
    bool RestartParser();
    /// Decodes one packet of `size` bytes from m_packet into `dest` (room: `maxSamples`
    /// sample frames). Returns the sample frames written; `error` tells whether the decoder
    /// refused any part of the packet.
    uint32_t DecodePacket(uint32_t size, int16_t* dest, uint32_t maxSamples, bool& error);
    /// Takes the frames the decoder has ready into `dest` (room: `maxSamples` sample frames).
    uint32_t ReceiveFrames(int16_t* dest, uint32_t maxSamples, bool& error);
    /// The part of a drain after the whole units: the partial block or the parser's last
    /// frame, then the decoder's delay. Returns the sample frames written.
    uint32_t DrainTail(const uint8_t* rest, uint32_t restLength, int16_t* dest, uint32_t room);
    /// Decodes a parsed frame, skipping garbage in front of an MPEG frame; silence for what
    /// cannot be decoded.
    uint32_t DecodeParsedFrame(const uint8_t* data, uint32_t size, int16_t* dest,
                               uint32_t maxSamples);
    /// Sample frames of silence (at most `maxSamples`) standing in for `bytes` undecodable
    /// bytes, so the output keeps the length the input's byte rate promises.
    uint32_t SilenceFor(uint32_t bytes, uint32_t maxSamples);
    uint64_t MaxSamples(uint32_t bytes) const;
    void WriteSilence(int16_t* dest, uint32_t samples) const;

    CodecContextPtr m_codec;
    FramePtr m_frame;
    PacketPtr m_packet; // owns a buffer of m_packetCapacity + padding bytes
    uint32_t m_packetCapacity = 0;
    Framing m_framing = Framing::Blocks;
    uint16_t m_channels = 0;
    uint32_t m_sampleRate = 0;
    uint32_t m_avgBytesPerSec = 0;
    uint32_t m_blockAlign = 1;
    bool m_fed = false; // input arrived since the last drain or reset

    // Blocks: packets of whole units of m_unitBytes. With an exact ratio each unit decodes to
    // m_unitSamples sample frames; without one, each packet is one unit.
    uint32_t m_unitBytes = 1;
    uint32_t m_unitSamples = 0;
    bool m_exactRatio = false;

    // Upper bound of the output: sample frames per input byte, plus a constant.
    uint32_t m_samplesPerByte = 0;
    uint32_t m_slackSamples = 0;

    // Parsed framing.
    bool m_mpeg = false;
    uint32_t m_frameSamples = 0;   // of the last good frame (or what the record says)
    int64_t m_silenceDebt = 0;     // bytes x rate of undecodable input not yet given as silence
    CodecContextPtr m_parserCodec; // the parser writes what it finds here, not into m_codec
    ParserPtr m_parser;
    AvBytesPtr m_scratch; // input chunk with padding, as the parser requires
    AvBytesPtr m_held;    // copy of the bytes the parser holds
    uint32_t m_heldLength = 0;
    uint32_t m_holdLimit = 0;
};

} // namespace tavrenly::codec
