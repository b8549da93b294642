// SPDX-License-Identifier: LGPL-2.1-or-later

// Fuzzes the repair of unfinished recordings with arbitrary file content and checks what it
// promises: a file it refuses keeps every byte, a repaired file differs only in its two size
// fields, which then describe whole blocks inside the file, and a second run finds nothing
// to change; no descriptor is left open.

#include "common/RecordingRepair.h"
#include "fuzz/MemoryFile.h"
#include "platform/base/ByteOrder.h"

#include <string>

using namespace tavrenly;

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file;
    file.Assign(data, size);
    const std::string before = file.Content();
    const long descriptors = fuzz::OpenDescriptors();

    RepairReport dry;
    const RepairVerdict planned = RepairRecording(file.Path(), dry, true);
    Check(file.Content() == before);
    RepairReport report;
    const RepairVerdict verdict = RepairRecording(file.Path(), report);
    Check(fuzz::OpenDescriptors() == descriptors);
    Check(verdict == planned && !report.message.empty());

    const std::string after = file.Content();
    if (verdict != RepairVerdict::kRepaired) {
        Check(after == before && !report.changed);
        return 0;
    }
    Check(report.changed && after.size() == before.size());
    const size_t dataSizeField = static_cast<size_t>(report.dataOffset) + 4;
    for (size_t i = 0; i < after.size(); ++i)
        if ((i < 4 || i >= 8) && (i < dataSizeField || i >= dataSizeField + 4))
            Check(after[i] == before[i]);
    const auto* bytes = reinterpret_cast<const uint8_t*>(after.data());
    Check(LoadLe32(bytes + 4) == report.riffSizeAfter &&
          LoadLe32(bytes + dataSizeField) == report.dataSizeAfter);
    Check(report.blockAlign > 0);
    Check(size_t{report.riffSizeAfter} + 8 <= after.size());
    Check(report.dataOffset + 8 + report.dataSizeAfter <= after.size());
    RepairReport again;
    Check(RepairRecording(file.Path(), again) == RepairVerdict::kAlreadyRight);
    return 0;
}
