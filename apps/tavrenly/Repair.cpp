// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Repair.h"

#include "common/RecordingRepair.h"

#include <filesystem>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace tavrenly::app {

namespace {

using nlohmann::ordered_json;

ordered_json ReportJson(const std::string& file, const RepairReport& report)
{
    ordered_json out;
    out["file"] = file;
    out["verdict"] = RepairVerdictText(report.verdict);
    out["message"] = report.message;
    out["changed"] = report.changed;
    out["file_size"] = report.fileSize;
    out["block_align"] = report.blockAlign;
    out["data_offset"] = report.dataOffset;
    out["riff_size"] = {{"before", report.riffSizeBefore}, {"after", report.riffSizeAfter}};
    out["data_size"] = {{"before", report.dataSizeBefore}, {"after", report.dataSizeAfter}};
    out["partial_block_bytes"] = report.partialBlockBytes;
    return out;
}

bool Playable(RepairVerdict verdict)
{
    return verdict == RepairVerdict::kRepaired || verdict == RepairVerdict::kAlreadyRight;
}

} // namespace

int RunRepair(const RepairOptions& options)
{
    if (options.files.empty() && options.scanFolder.empty()) {
        fmt::print(stderr, "tavrenly: repair wants files or --scan FOLDER\n");
        return 2;
    }
    if (!options.scanFolder.empty() && !std::filesystem::is_directory(options.scanFolder)) {
        fmt::print(stderr, "tavrenly: --scan {}: no such folder\n", options.scanFolder);
        return 2;
    }
    std::vector<std::string> files = options.files;
    if (!options.scanFolder.empty()) {
        const std::vector<std::string> found = FindTemporaryRecordings(options.scanFolder);
        files.insert(files.end(), found.begin(), found.end());
        if (!options.json)
            fmt::print("{}: {} unfinished recording(s)\n", options.scanFolder, found.size());
    }

    ordered_json list = ordered_json::array();
    int failed = 0;
    for (const std::string& file : files) {
        RepairReport report;
        const RepairVerdict verdict = RepairRecording(file, report, options.dryRun);
        if (!Playable(verdict))
            ++failed;
        if (options.json)
            list.push_back(ReportJson(file, report));
        else
            fmt::print(Playable(verdict) ? stdout : stderr, "{}: {}: {}\n", file,
                       RepairVerdictText(verdict), report.message);
    }
    if (options.json) {
        ordered_json out;
        out["dry_run"] = options.dryRun;
        out["files"] = list;
        out["failed"] = failed;
        fmt::print("{}\n", out.dump(2));
    }
    return failed == 0 ? 0 : 1;
}

} // namespace tavrenly::app
