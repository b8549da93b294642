// SPDX-License-Identifier: LGPL-2.1-or-later

#include "common/TavrenlyFN.h"

namespace tavrenly {

OSVERSIONINFOA& OSVersionRecord()
{
    // Zero until the first query, so a failed query reads platform id 0.
    static OSVERSIONINFOA record{};
    return record;
}

void QueryOSVersion()
{
    OSVERSIONINFOA& record = OSVersionRecord();
    record.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    GetVersionExA(&record);
}

double FileLength(const std::string& path)
{
    return static_cast<double>(GetFileLength(path));
}

} // namespace tavrenly
