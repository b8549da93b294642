// SPDX-License-Identifier: LGPL-2.1-or-later

// Fuzzes the reader of the descriptive chunks (bext, LIST, cue, smpl, cart) with arbitrary file
// content: every array it returns is bounded by the bytes it had, every text it returns fits
// in them, and the printable form of any text is well-formed UTF-8 no longer than twice it.

#include "apps/tavrenly/WaveMetadata.h"
#include "fuzz/MemoryFile.h"

using namespace tavrenly::app;

using tavrenly::fuzz::Check;

namespace {

void CheckText(const std::string& text, size_t size)
{
    Check(text.size() <= size);
    const std::string printable = PrintableText(text);
    Check(printable.size() <= 2 * text.size());
    // Printing it again changes nothing: it is already what can be printed.
    Check(PrintableText(printable) == printable);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static tavrenly::fuzz::MemoryFile file;
    file.Assign(data, size);
    const WaveMetadata meta = ReadWaveMetadata(file.Path());
    // Each cue point and sampler loop is a 24-byte record of the input.
    Check(meta.cues.size() * 24 <= size);
    Check(!meta.sampler || meta.sampler->loops.size() * 24 <= size);
    for (const CuePoint& cue : meta.cues) {
        CheckText(cue.label, size);
        CheckText(cue.note, size);
    }
    for (const auto& [id, text] : meta.info)
        CheckText(text, size);
    if (meta.bext)
        CheckText(meta.bext->CodingHistory, size);
    Check(meta.cartTimers.size() <= 8);
    return 0;
}
