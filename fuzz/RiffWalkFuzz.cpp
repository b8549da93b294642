// Fuzzes the RIFF file services with a full chunk walk of arbitrary bytes: every chunk is
// entered, read in uneven pieces and left, and its bytes must be exactly the input's bytes at
// its data offset, inside its parent and the file. The walked tree is then written back
// through the chunk writer and walked again; both walks must agree.

#include "fuzz/MemoryFile.h"
#include "platform/riff/Riff.h"

#include <cstring>
#include <string>
#include <vector>

using namespace tavrenly;
using fuzz::Check;

namespace {

struct Node
{
    FOURCC id = 0;
    FOURCC type = 0;
    bool form = false;
    std::string bytes; ///< the data of a leaf
    std::vector<Node> children;
    bool operator==(const Node&) const = default;
};

struct Walk
{
    HMMIO file;
    const std::string& content;
    uint32_t seed;
    size_t count = 0;

    int32_t Position() const { return mmioSeek(file, 0, SEEK_CUR); }

    /// The leaf's bytes, read in pieces of 1 to 97 bytes; every read is whole, as the size
    /// never reaches past the file.
    std::string Leaf(const MMCKINFO& ck)
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
        return bytes;
    }

    /// The chunks at the current position inside `parent` (null: the top level).
    std::vector<Node> Level(const MMCKINFO* parent, int depth)
    {
        std::vector<Node> nodes;
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
            Node node;
            node.id = ck.ckid;
            if ((ck.ckid == FOURCC_RIFF || ck.ckid == FOURCC_LIST) && ck.cksize >= 4 && depth < 6) {
                node.form = true;
                node.type = ck.fccType;
                Check(Position() == static_cast<int32_t>(ck.dwDataOffset + 4));
                node.children = Level(&ck, depth + 1);
            } else {
                node.bytes = Leaf(ck);
            }
            Check(mmioAscend(file, &ck, 0) == 0);
            Check(Position() == int64_t{ck.dwDataOffset} + ck.cksize + (ck.cksize & 1));
            nodes.push_back(std::move(node));
        }
        return nodes;
    }
};

UniqueHmmio Open(const fuzz::MemoryFile& file, int32_t buffer, uint32_t flags)
{
    MMIOINFO info{};
    info.cchBuffer = buffer;
    UniqueHmmio handle(mmioOpenA(file.Path().c_str(), &info, flags));
    Check(handle != nullptr);
    return handle;
}

std::vector<Node> WalkFile(const fuzz::MemoryFile& source, int32_t buffer, uint32_t seed)
{
    const std::string content = source.Content();
    return Walk{Open(source, buffer, MMIO_READ).get(), content, seed}.Level(nullptr, 0);
}

void WriteNodes(HMMIO file, const std::vector<Node>& nodes)
{
    for (const Node& node : nodes) {
        MMCKINFO ck;
        ck.ckid = node.id;
        ck.fccType = node.type;
        const uint32_t flags = !node.form               ? 0
                               : node.id == FOURCC_RIFF ? MMIO_CREATERIFF
                                                        : MMIO_CREATELIST;
        Check(mmioCreateChunk(file, &ck, flags) == 0);
        const auto size = static_cast<int32_t>(node.bytes.size());
        if (node.form)
            WriteNodes(file, node.children);
        else
            Check(mmioWrite(file, node.bytes.data(), size) == size);
        Check(mmioAscend(file, &ck, 0) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile input;
    static fuzz::MemoryFile output;
    if (size < 1)
        return 0;
    // The first byte picks the I/O buffer size, so small buffers and refills get exercised.
    const int32_t buffer = 1 + data[0] * 3;
    input.Assign(data + 1, size - 1);
    const std::vector<Node> tree = WalkFile(input, buffer, data[0]);

    output.Assign(nullptr, 0);
    UniqueHmmio file = Open(output, buffer, MMIO_READWRITE);
    WriteNodes(file.get(), tree);
    Check(mmioClose(file.release(), 0) == 0);
    Check(WalkFile(output, 4096, 1) == tree);
    return 0;
}
