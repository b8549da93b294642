// SPDX-License-Identifier: LGPL-2.1-or-later

// Fuzzes the wave header reader with arbitrary file content and checks what it promises:
// a known result code, a data size the file can hold, and no descriptor left open.

#include "common/WaveFile.h"
#include "fuzz/MemoryFile.h"
#include "platform/riff/Riff.h"

#include <cstring>

using namespace tavrenly;

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file;
    file.Assign(data, size);
    const long before = fuzz::OpenDescriptors();

    WAVEFORMATEX format;
    std::memset(&format, 0xA5, sizeof format);
    int32_t dataSize = -2;
    const int32_t result = ReadWaveHeader(file.Path(), format, dataSize);

    Check(fuzz::OpenDescriptors() == before); // the reader closes the file on every way out
    Check(result == 0 || result == -1 || result == static_cast<int32_t>(MMIOERR_CHUNKNOTFOUND) ||
          result == static_cast<int32_t>(MMIOERR_CANNOTREAD));
    // Never a data size larger than what the file holds past its headers.
    Check(result != 0 || (dataSize >= 0 && static_cast<size_t>(dataSize) + 20 <= size));
    if (result == 0)
        (void)CheckPlaybackFileFormat(format);
    return 0;
}
