// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The WAVE file rules of the player's side: the header reader that is the first check of a
// file, and the format checks of the player's open. The chunk walk under both is
// ReadWaveChunks (platform/riff/WaveChunks.h); the recording side is WaveFileWriter.
//
// Usage:
//   WAVEFORMATEX format{};
//   int32_t dataSize = 0;
//   if (ReadWaveHeader(path, format, dataSize) == 0 && CheckPlaybackFileFormat(format) == 0)
//       ... the file may be opened for playback ...

#include "platform/base/WaveFormat.h"

#include <cstdint>
#include <string>

namespace tavrenly {

/// Reads the first 18 bytes of the "fmt " chunk of the RIFF "WAVE" form in `fileName` into
/// `format` and the size of its "data" chunk into `dataSize` (0 when there is none; "data"
/// may come before or after "fmt "). Returns 0 when read (also for a "fmt " chunk of size 0,
/// which leaves `format` untouched; a 16-byte chunk leaves `cbSize` untouched), -1 when the
/// file is missing, empty or cannot be opened or its format cannot be read, or the RIFF file
/// services' code of the chunk search that failed (MMIOERR_CHUNKNOTFOUND, 265, for a file that
/// is not a WAVE form or has no "fmt " chunk). Reports nothing itself and always closes the
/// file. Any thread.
int32_t ReadWaveHeader(const std::string& fileName, WAVEFORMATEX& format, int32_t& dataSize);
/// ReadWaveHeader with the "data" size in 64 bits, as an RF64 file's "ds64" chunk gives it
/// (cut to what the file holds); `rf64`, when given, says whether the form is RF64.
int32_t ReadWaveHeader(const std::string& fileName, WAVEFORMATEX& format, uint64_t& dataBytes,
                       bool* rf64 = nullptr);

/// The player's open-time checks of a file's format. Returns 0 when the format is accepted,
/// else the reference code of the first failing check: 1 = sample rate not one of 8000,
/// 11025, 22050, 32000, 32075, 44100, 48000, 96000 Hz (then nothing else is checked); 2 =
/// channels not 1 or 2; 3 = more than 384000 bytes per second (also when the channels fail).
int32_t CheckPlaybackFileFormat(const WAVEFORMATEX& format);

/// The data rate, in bytes per second, that the block layout of a block codec fixes: IMA
/// ADPCM and MS ADPCM (samples per block from the record's extra bytes, else from the block
/// size as their decoders count them) and GSM 6.10 (320 samples per 65-byte block). Writers
/// commonly store a wrong nAvgBytesPerSec for these (one writes 16000 into every IMA ADPCM
/// file), while the block layout is what the decoder really follows. `format` is the complete
/// record of `formatSize` bytes; its extra bytes are read only as far as both cbSize and
/// `formatSize` reach. Returns 0 for other formats or a layout that fixes nothing (a block
/// too small for its headers). Any thread.
double BlockLayoutBytesPerSecond(const uint8_t* format, int32_t formatSize);

/// The samples (frames) `dataBytes` of audio in the format `format` (the complete record of
/// `formatSize` bytes) hold, as an RF64 file's "ds64" chunk counts them: whole blocks for PCM
/// and the companded formats, the block layout's count for the block codecs, the average rate's
/// for the others (MPEG audio). 0 when the record tells nothing of it. Any thread.
uint64_t WaveSampleCount(const uint8_t* format, int32_t formatSize, uint64_t dataBytes);

/// The highest average data rate the player accepts: 96000 Hz x 2 channels x 16 bits.
inline constexpr uint32_t kMaxPlaybackBytesPerSecond = 384000;

} // namespace tavrenly
