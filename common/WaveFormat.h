#pragma once

// The WAVE file rules both controls share: the header reader the player uses as the first
// check of a file, the format checks of the player's open, and the broadcast cart record the
// recorder writes after the "fmt " chunk.

#include "platform/base/WaveFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrenly {

/// Reads the first 18 bytes of the "fmt " chunk of the RIFF "WAVE" form in `fileName` into
/// `format` and the size of its "data" chunk into `dataSize` (0 when there is none).
/// Returns 0 when read (also for a "fmt " chunk of size 0, which leaves `format` untouched; a
/// 16-byte chunk leaves `cbSize` untouched), -1 when the file is missing, empty or cannot be
/// opened or its format cannot be read, or the RIFF file services' code of the chunk search
/// that failed (MMIOERR_CHUNKNOTFOUND, 265, for a file that is not a WAVE form or has no
/// "fmt " chunk). Reports nothing itself and always closes the file. Any thread.
int32_t ReadWaveHeader(const std::string& fileName, WAVEFORMATEX& format, int32_t& dataSize);

/// The player's open-time checks of a file's format. Returns 0 when the format is accepted,
/// else the reference code of the first failing check: 1 = sample rate not one of 8000,
/// 11025, 22050, 32000, 32075, 44100, 48000, 96000 Hz (then nothing else is checked); 2 =
/// channels not 1 or 2; 3 = more than 384000 bytes per second (also when the channels fail).
int32_t CheckPlaybackFileFormat(const WAVEFORMATEX& format);

/// The highest average data rate the player accepts: 96000 Hz x 2 channels x 16 bits.
inline constexpr uint32_t kMaxPlaybackBytesPerSecond = 384000;

#pragma pack(push, 1)
/// One post-timer entry of the cart record: a four-character usage id and a sample position.
struct CartTimer
{
    char dwUsage[4];
    uint32_t dwValue; ///< little-endian on disk
};

/// The fixed part of the broadcast cart chunk (AES46-2002), 2048 bytes, text fields in
/// single-byte characters, not NUL-terminated when full.
struct CartChunk
{
    char Version[4];
    char Title[64];
    char Artist[64];
    char CutID[64];
    char ClientID[64];
    char Category[64];
    char Classification[64];
    char OutCue[64];
    char StartDate[10];
    char StartTime[8];
    char EndDate[10];
    char EndTime[8];
    char ProducerAppID[64];
    char ProducerAppVersion[64];
    char UserDef[64];
    int32_t LevelReference; ///< little-endian on disk
    CartTimer PostTimer[8];
    char Reserved[276];
    char URL[1024];
};
#pragma pack(pop)

inline constexpr size_t kCartChunkSize = 2048;
static_assert(sizeof(CartTimer) == 8, "a post-timer entry is 8 bytes");
static_assert(sizeof(CartChunk) == kCartChunkSize, "the cart record is 2048 bytes");
static_assert(offsetof(CartChunk, Title) == 4);
static_assert(offsetof(CartChunk, Artist) == 68);
static_assert(offsetof(CartChunk, CutID) == 132);
static_assert(offsetof(CartChunk, ClientID) == 196);
static_assert(offsetof(CartChunk, Category) == 260);
static_assert(offsetof(CartChunk, Classification) == 324);
static_assert(offsetof(CartChunk, OutCue) == 388);
static_assert(offsetof(CartChunk, StartDate) == 452);
static_assert(offsetof(CartChunk, StartTime) == 462);
static_assert(offsetof(CartChunk, EndDate) == 470);
static_assert(offsetof(CartChunk, EndTime) == 480);
static_assert(offsetof(CartChunk, ProducerAppID) == 488);
static_assert(offsetof(CartChunk, ProducerAppVersion) == 552);
static_assert(offsetof(CartChunk, UserDef) == 616);
static_assert(offsetof(CartChunk, LevelReference) == 680);
static_assert(offsetof(CartChunk, PostTimer) == 684);
static_assert(offsetof(CartChunk, Reserved) == 748);
static_assert(offsetof(CartChunk, URL) == 1024);

/// The cart record a recording carries: version "0101", every other field empty or 0.
CartChunk MakeRecordingCartChunk();

/// The record as it is written into the "cart" chunk, numbers little-endian.
std::array<uint8_t, kCartChunkSize> CartChunkBytes(const CartChunk& cart);

} // namespace tavrenly
