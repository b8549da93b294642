// SPDX-License-Identifier: LGPL-2.1-or-later

// Fuzzes the reader of the descriptive chunks (bext, LIST, cue, smpl, cart) with arbitrary file
// content: every array it returns is bounded by the bytes it had, and the printable form of
// a label is no longer than twice it and stays as it is when made printable again.

#include "apps/tavrenly/WaveMetadata.h"
#include "fuzz/MemoryFile.h"

using namespace tavrenly::app;

using tavrenly::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static tavrenly::fuzz::MemoryFile file;
    file.Assign(data, size);
    const WaveMetadata meta = ReadWaveMetadata(file.Path());
    // Each cue point and sampler loop is a 24-byte record of the input.
    Check(meta.cues.size() * 24 <= size && meta.cartTimers.size() <= 8);
    Check(!meta.sampler || meta.sampler->loops.size() * 24 <= size);
    for (const CuePoint& cue : meta.cues) {
        const std::string printable = PrintableText(cue.label);
        // Printing it again changes nothing: it is already what can be printed.
        Check(cue.label.size() <= size && printable.size() <= 2 * cue.label.size());
        Check(PrintableText(printable) == printable);
    }
    return 0;
}
