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

namespace {

constexpr int kMaxDepth = 6;
constexpr size_t kMaxChunks = 2000;

struct Node
{
    FOURCC id = 0;
    FOURCC type = 0;
    bool form = false;
    std::string bytes; ///< the data of a leaf
    std::vector<Node> children;
};

using fuzz::Check;

class Walker
{
public:
    Walker(HMMIO file, const std::string& content, uint32_t pieceSeed)
        : m_file(file), m_content(content), m_seed(pieceSeed)
    {}

    /// Walks the chunks at the current position inside `parent` (null: the top level).
    std::vector<Node> Walk(const MMCKINFO* parent, int depth)
    {
        std::vector<Node> nodes;
        const int64_t end = parent ? int64_t{parent->dwDataOffset} + parent->cksize
                                   : static_cast<int64_t>(m_content.size());
        MMCKINFO ck;
        while (m_count < kMaxChunks && mmioDescend(m_file, &ck, parent, 0) == 0) {
            ++m_count;
            // A chunk starts inside its parent; its size may reach past a short parent but
            // never past the file.
            Check(int64_t{ck.dwDataOffset} - 8 < end);
            Check(int64_t{ck.dwDataOffset} + ck.cksize <= static_cast<int64_t>(m_content.size()));
            Check(ck.dwDataOffset >= 8);
            Check(std::memcmp(m_content.data() + ck.dwDataOffset - 8, &ck.ckid, 4) == 0);
            Node node;
            node.id = ck.ckid;
            const bool isForm =
                (ck.ckid == FOURCC_RIFF || ck.ckid == FOURCC_LIST) && ck.cksize >= 4;
            if (isForm && depth < kMaxDepth) {
                node.form = true;
                node.type = ck.fccType;
                Check(mmioSeek(m_file, 0, SEEK_CUR) == static_cast<int32_t>(ck.dwDataOffset + 4));
                node.children = Walk(&ck, depth + 1);
            } else {
                node.bytes = ReadLeaf(ck);
            }
            Check(mmioAscend(m_file, &ck, 0) == 0);
            const int64_t after = int64_t{ck.dwDataOffset} + ck.cksize + (ck.cksize & 1);
            Check(mmioSeek(m_file, 0, SEEK_CUR) == after);
            nodes.push_back(std::move(node));
        }
        return nodes;
    }

private:
    std::string ReadLeaf(const MMCKINFO& ck)
    {
        Check(mmioSeek(m_file, static_cast<int32_t>(ck.dwDataOffset), SEEK_SET) ==
              static_cast<int32_t>(ck.dwDataOffset));
        std::string bytes(ck.cksize, '\0');
        uint32_t done = 0;
        while (done < ck.cksize) {
            m_seed = m_seed * 1103515245u + 12345u;
            const uint32_t piece = std::min(ck.cksize - done, 1 + (m_seed >> 16) % 97);
            const int32_t got = mmioRead(m_file, bytes.data() + done, static_cast<int32_t>(piece));
            Check(got == static_cast<int32_t>(piece)); // the size never reaches past the file
            done += piece;
        }
        Check(bytes.compare(0, bytes.size(), m_content, ck.dwDataOffset, ck.cksize) == 0);
        return bytes;
    }

    HMMIO m_file;
    const std::string& m_content;
    uint32_t m_seed;
    size_t m_count = 0;
};

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
        if (node.form)
            WriteNodes(file, node.children);
        else
            Check(mmioWrite(file, node.bytes.data(), static_cast<int32_t>(node.bytes.size())) ==
                  static_cast<int32_t>(node.bytes.size()));
        Check(mmioAscend(file, &ck, 0) == 0);
    }
}

bool SameTree(const std::vector<Node>& a, const std::vector<Node>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].form != b[i].form || a[i].type != b[i].type ||
            a[i].bytes != b[i].bytes || !SameTree(a[i].children, b[i].children))
            return false;
    }
    return true;
}

std::vector<Node> WalkFile(const fuzz::MemoryFile& source, int32_t buffer, uint32_t seed)
{
    const std::string content = source.Content();
    MMIOINFO info;
    info.cchBuffer = buffer;
    UniqueHmmio file(mmioOpenA(source.Path().c_str(), &info, MMIO_READ));
    Check(file != nullptr);
    Walker walker(file.get(), content, seed);
    return walker.Walk(nullptr, 0);
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
    MMIOINFO info;
    info.cchBuffer = buffer;
    HMMIO file = mmioOpenA(output.Path().c_str(), &info, MMIO_READWRITE);
    Check(file != nullptr);
    WriteNodes(file, tree);
    Check(mmioClose(file, 0) == 0);
    Check(SameTree(tree, WalkFile(output, 4096, 1)));
    return 0;
}
