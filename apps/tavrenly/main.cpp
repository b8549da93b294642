// SPDX-License-Identifier: LGPL-2.1-or-later

// tavrenly: the command-line face of the library: play files, record one, describe files,
// list devices, and the demo.

#include "apps/tavrenly/Demo.h"
#include "apps/tavrenly/Devices.h"
#include "apps/tavrenly/Info.h"
#include "apps/tavrenly/Play.h"
#include "apps/tavrenly/Record.h"
#include "apps/tavrenly/Repair.h"
#include "apps/tavrenly/Serve.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

namespace {

using namespace tavrenly::app;

const std::vector<std::string> kEngines = {"device", "null", "simulated"};

struct InfoOptions
{
    std::vector<std::string> files;
    bool json = false;
    bool noLevels = false;
};

CLI::App* AddInfoCommand(CLI::App& app, InfoOptions& options)
{
    CLI::App* command = app.add_subcommand(
        "info", "Describe WAVE files: the codec (as FFmpeg names it), the format, the duration "
                "(h:mm:ss.mmm), sample peak and RMS (dBFS), integrated loudness (LUFS), "
                "loudness range (LU) and true peak (dBTP) of the decoded audio, the chunks, the "
                "cart, bext, LIST/INFO, cue and smpl chunks' fields, and whether each plays");
    command->add_option("files", options.files, "The WAVE files")->required();
    command->add_flag("--json", options.json, "Print one JSON object a line, one for each file");
    command->add_flag("--no-levels", options.noLevels,
                      "Do not decode the audio: no levels or loudness (quick on long files)");
    return command;
}

CLI::App* AddRepairCommand(CLI::App& app, RepairOptions& options)
{
    CLI::App* command =
        app.add_subcommand("repair", "Make recordings a crash or a full disk left playable");
    command->add_option("files", options.files, "WAVE files to repair in place");
    command->add_option("--scan", options.scanFolder,
                        "Also repair the unfinished temporary recordings in this folder");
    command->add_flag("--dry-run", options.dryRun, "Report what would change; write nothing");
    command->add_flag("--json", options.json, "Print one JSON object");
    return command;
}

/// `engine` stays empty when not given: the settings file's Engine=, else device.
CLI::App* AddDemoCommand(CLI::App& app, DemoOptions& options, std::string& engine)
{
    CLI::App* command =
        app.add_subcommand("demo", "Play a generated jingle with markers, a loop and a fade");
    command
        ->add_option("--engine", engine,
                     "device (the null backend only when there is no sound system at all), null "
                     "or simulated (virtual time); by default the settings file's Engine=, else "
                     "device")
        ->check(CLI::IsMember(kEngines));
    command->add_flag("--quiet", options.quiet, "Print only the summary");
    return command;
}

/// `engine` stays empty when not given: the settings file's Engine=, else device.
CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options, std::string& engine)
{
    CLI::App* command =
        app.add_subcommand("serve", "Serve players and recorders on D-Bus (and as MPRIS players)");
    command->add_flag("--system", options.system, "Use the system bus instead of the session bus");
    command
        ->add_option("--engine", engine,
                     "device, null or simulated (virtual time, moved by the factory's "
                     "AdvanceTime); by default the settings file's Engine=, else device")
        ->check(CLI::IsMember(kEngines));
    command->add_option("--name", options.busName, "The bus name to own")->capture_default_str();
    return command;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Tavrenly: broadcast audio player and recorder controls"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "tavrenly " TAVRENLY_VERSION);
    app.footer(kExitStatusText);

    PlayOptions play;
    CLI::App* playCommand = AddPlayCommand(app, play);
    RecordOptions record;
    CLI::App* recordCommand = AddRecordCommand(app, record);
    InfoOptions info;
    CLI::App* infoCommand = AddInfoCommand(app, info);
    RepairOptions repair;
    CLI::App* repairCommand = AddRepairCommand(app, repair);
    CLI::App* devicesCommand = app.add_subcommand("devices", "List the sound devices");
    bool devicesJson = false;
    devicesCommand->add_flag("--json", devicesJson,
                             "Print one JSON document: outputs and inputs, each with its number, "
                             "name, system_name, backend, channels, rates and default");
    DemoOptions demo;
    std::string demoEngine;
    CLI::App* demoCommand = AddDemoCommand(app, demo, demoEngine);

    ServeOptions serve;
    std::string serveEngine;
    CLI::App* serveCommand = AddServeCommand(app, serve, serveEngine);

    if (const std::optional<int> status = ParseCommandLine(app, argc, argv))
        return *status;

    if (playCommand->parsed()) {
        if (const int refused = ResolvePlayOptions(play))
            return refused;
        return RunPlay(play);
    }
    if (recordCommand->parsed())
        return RunRecord(record);
    if (infoCommand->parsed())
        return RunInfo(info.files, info.json, !info.noLevels);
    if (repairCommand->parsed())
        return RunRepair(repair);
    if (devicesCommand->parsed())
        return RunDevices(devicesJson);
    if (demoCommand->parsed()) {
        demo.engine = tavrenly::ResolveEngineKind(tavrenly::ParseEngineKind(demoEngine));
        return RunDemo(demo);
    }
    if (serveCommand->parsed()) {
        serve.engine = tavrenly::ParseEngineKind(serveEngine);
        return RunServe(serve);
    }
    return 0;
}
