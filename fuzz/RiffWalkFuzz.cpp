// SPDX-License-Identifier: LGPL-2.1-or-later

// Fuzzes the RIFF file services with a full chunk walk of arbitrary bytes: every chunk is
// entered, read in uneven pieces and left, and its bytes must be exactly the input's bytes at
// its data offset, inside its parent and the file.

#include "fuzz/MemoryFile.h"
#include "platform/riff/Riff.h"

#include <cstring>
#include <string>

using namespace tavrenly;
using fuzz::Check;

namespace {

struct Walk
{
    HMMIO file;
    const std::string& content;
    uint32_t seed;
    size_t count = 0;

    int32_t Position() const { return mmioSeek(file, 0, SEEK_CUR); }

    /// Reads the leaf in pieces of 1 to 97 bytes; every read is whole, as the size never
    /// reaches past the file.
    void Leaf(const MMCKINFO& ck)
    {
        const auto at = static_cast<int32_t>(ck.dwDataOffset);
        Check(mmioSeek(file, at, SEEK_SET) == at);
        std::string bytes(ck.cksize, '\0');
        for (uint32_t done = 0, piece = 0; done < ck.cksize; done += piece) {
            seed = seed * 1103515245u + 12345u;
            piece = std::min(ck.cksize - done, 1 + (seed >> 16) % 97);
            Check(mmioRead(file, bytes.data() + done, static_cast<int32_t>(piece)) ==
                  static_cast<int32_t>(piece));
        }
        Check(bytes.compare(0, bytes.size(), content, ck.dwDataOffset, ck.cksize) == 0);
    }

    /// Walks the chunks at the current position inside `parent` (null: the top level).
    void Level(const MMCKINFO* parent, int depth)
    {
        const auto size = static_cast<int64_t>(content.size());
        const int64_t end = parent ? int64_t{parent->dwDataOffset} + parent->cksize : size;
        MMCKINFO ck;
        while (count < 2000 && mmioDescend(file, &ck, parent, 0) == 0) {
            ++count;
            // A chunk starts inside its parent; its size may reach past a short parent but
            // never past the file.
            Check(ck.dwDataOffset >= 8 && int64_t{ck.dwDataOffset} - 8 < end);
            Check(int64_t{ck.dwDataOffset} + ck.cksize <= size);
            Check(std::memcmp(content.data() + ck.dwDataOffset - 8, &ck.ckid, 4) == 0);
            if ((ck.ckid == FOURCC_RIFF || ck.ckid == FOURCC_LIST) && ck.cksize >= 4 && depth < 6) {
                Check(Position() == static_cast<int32_t>(ck.dwDataOffset + 4));
                Level(&ck, depth + 1);
            } else {
                Leaf(ck);
            }
            Check(mmioAscend(file, &ck, 0) == 0);
            Check(Position() == int64_t{ck.dwDataOffset} + ck.cksize + (ck.cksize & 1));
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile input;
    if (size < 1)
        return 0;
    // The first byte picks the I/O buffer size, so small buffers and refills get exercised.
    input.Assign(data + 1, size - 1);
    MMIOINFO info{};
    info.cchBuffer = 1 + data[0] * 3;
    UniqueHmmio file(mmioOpenA(input.Path().c_str(), &info, MMIO_READ));
    Check(file != nullptr);
    const std::string content = input.Content();
    Walk{file.get(), content, data[0]}.Level(nullptr, 0);
    return 0;
}
