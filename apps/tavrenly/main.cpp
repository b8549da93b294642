// tavrenly: the command-line face of the library: play files, record one, describe files,
// list devices, and the demo.

#include "apps/tavrenly/Demo.h"
#include "apps/tavrenly/Devices.h"
#include "apps/tavrenly/Info.h"
#include "apps/tavrenly/Play.h"
#include "apps/tavrenly/Record.h"
#include "apps/tavrenly/Repair.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

namespace {

const std::vector<std::string> kEngines = {"device", "null", "simulated"};

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Tavrenly: broadcast audio player and recorder controls"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "tavrenly " TAVRENLY_VERSION);
    app.footer(tavrenly::app::kExitStatusText);

    tavrenly::app::PlayOptions play;
    CLI::App* playCommand = tavrenly::app::AddPlayCommand(app, play);

    // record
    tavrenly::app::RecordOptions record;
    CLI::App* recordCommand = tavrenly::app::AddRecordCommand(app, record);

    // info
    std::vector<std::string> infoFiles;
    bool infoJson = false;
    CLI::App* infoCommand =
        app.add_subcommand("info", "Describe WAVE files and whether each plays");
    infoCommand->add_option("files", infoFiles, "The WAVE files")->required();
    infoCommand->add_flag("--json", infoJson, "Print one JSON object a line, one for each file");

    // repair
    tavrenly::app::RepairOptions repair;
    CLI::App* repairCommand =
        app.add_subcommand("repair", "Make recordings a crash or a full disk left playable");
    repairCommand->add_option("files", repair.files, "WAVE files to repair in place");
    repairCommand->add_option("--scan", repair.scanFolder,
                              "Also repair the unfinished temporary recordings in this folder");
    repairCommand->add_flag("--dry-run", repair.dryRun, "Report what would change; write nothing");
    repairCommand->add_flag("--json", repair.json, "Print one JSON object");

    // devices
    CLI::App* devicesCommand = app.add_subcommand("devices", "List the sound devices");

    // demo
    tavrenly::app::DemoOptions demo;
    std::string demoEngine; // not given: the settings file's Engine=, else device
    CLI::App* demoCommand =
        app.add_subcommand("demo", "Play a generated jingle with markers, a loop and a fade");
    demoCommand
        ->add_option("--engine", demoEngine,
                     "device (the null backend only when there is no sound system at all), null "
                     "or simulated (virtual time); by default the settings file's Engine=, else "
                     "device")
        ->check(CLI::IsMember(kEngines));
    demoCommand->add_flag("--quiet", demo.quiet, "Print only the summary");

    if (const std::optional<int> status = tavrenly::app::ParseCommandLine(app, argc, argv))
        return *status;

    if (playCommand->parsed()) {
        if (const int refused = tavrenly::app::ResolvePlayOptions(play))
            return refused;
        return tavrenly::app::RunPlay(play);
    }
    if (recordCommand->parsed())
        return tavrenly::app::RunRecord(record);
    if (infoCommand->parsed())
        return tavrenly::app::RunInfo(infoFiles, infoJson);
    if (repairCommand->parsed())
        return tavrenly::app::RunRepair(repair);
    if (devicesCommand->parsed())
        return tavrenly::app::RunDevices();
    if (demoCommand->parsed()) {
        demo.engine = tavrenly::ResolveEngineKind(tavrenly::ParseEngineKind(demoEngine));
        return tavrenly::app::RunDemo(demo);
    }
    return 0;
}
