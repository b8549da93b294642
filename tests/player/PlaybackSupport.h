#pragma once

// Files and references for the playback tests: wave files built byte by byte or made by sox
// and ffmpeg, the diagnostic log read back, running a player to the end of its item in
// virtual time, and the reference output of the codec layer converting a whole file in one
// piece.

#include "tests/player/PlayerFixture.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavrenly::test {

/// The 16 bytes of a plain `fmt ` chunk body (no cbSize), or `size` bytes zero-extended.
std::vector<uint8_t> FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                             uint16_t blockAlign, uint16_t bits, size_t size = 16);

struct Chunk
{
    std::string id; ///< four characters
    std::vector<uint8_t> body;
};

/// A RIFF file of `form` ("WAVE") holding the chunks in order (odd sizes padded).
std::vector<uint8_t> RiffBytes(const std::vector<Chunk>& chunks, const std::string& riff = "RIFF",
                               const std::string& form = "WAVE");

/// 16-bit PCM frames whose samples count: frame i holds left = i mod 32768 and right =
/// i / 32768, so the first frame played names the block it came from.
std::vector<uint8_t> CounterFrames(int32_t frames, uint16_t channels = 2);
/// The frame number a counter frame at `bytes` carries (stereo).
int32_t CounterFrameAt(const std::vector<uint8_t>& bytes, size_t offset);

/// Writes a 16-bit PCM wave of counter frames; returns the data bytes.
std::vector<uint8_t> WriteCounterWave(const std::string& path, double seconds,
                                      uint32_t rate = 44100);

/// The data chunk's bytes of a wave file, found by walking its chunks.
std::vector<uint8_t> DataChunkBytes(const std::string& path);

/// Lines of a diagnostic log without their time stamps.
std::vector<std::string> LogLines(const std::string& path);
/// True when `wanted` appear in `lines` in this order (others may lie between them).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted);

/// Advances virtual time in 10 ms steps until `AudioEndReached` was raised or `maxMs` passed;
/// true when it was raised.
bool PlayToEnd(PlayerHarness& h, int64_t maxMs);

/// What the codec layer makes of the open file's whole data chunk in one conversion per
/// stage, each drained at the end, with the stages the player uses for it (read from the
/// player's state).
std::vector<uint8_t> ConvertedInOnePiece(PlayerHarness& h, const std::string& path);
/// The same for `audio` in the open file's format instead of its data chunk.
std::vector<uint8_t> ConvertedInOnePiece(PlayerHarness& h, std::vector<uint8_t> audio);

/// Events without the position and level ones, which come every tick and buffer.
std::vector<std::string> StateEvents(const RecordingListener& listener);

} // namespace tavrenly::test
