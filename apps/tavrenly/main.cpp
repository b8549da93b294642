// tavrenly: the command-line face of the library: play a file, record one, describe a file,
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

template <typename T>
void Optional(CLI::App* command, const std::string& name, std::optional<T>& target,
              const std::string& help)
{
    command->add_option_function<T>(
        name, [&target](const T& value) { target = value; }, help);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Tavrenly: broadcast audio player and recorder controls"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "tavrenly " TAVRENLY_VERSION);
    app.footer(tavrenly::app::kExitStatusText);

    // play
    tavrenly::app::PlayOptions play;
    std::string playEngine; // not given: the settings file's Engine=, else device
    std::string loopText;
    std::vector<std::string> fadeTexts;
    CLI::App* playCommand = app.add_subcommand("play", "Play a WAVE file");
    playCommand->add_option("file", play.file, "The WAVE file")->required();
    playCommand
        ->add_option("--engine", playEngine,
                     "device, null or simulated (virtual time); by default the settings file's "
                     "Engine=, else device")
        ->check(CLI::IsMember(kEngines));
    Optional(playCommand, "--device", play.device, "Output device number (0 = default)");
    Optional(playCommand, "--rate", play.rate, "Playback rate: 11025, 22050, 44100, 48000");
    Optional(playCommand, "--channels", play.channels, "Playback channels: 1 or 2");
    Optional(playCommand, "--buffer-ms", play.bufferMs, "Engine buffer length in ms");
    Optional(playCommand, "--buffers", play.buffers, "Number of engine buffers");
    Optional(playCommand, "--audio-start", play.audioStart, "Item start (file seconds)");
    Optional(playCommand, "--audio-end", play.audioEnd, "Item end (file seconds)");
    Optional(playCommand, "--intro-start", play.introStart, "Intro start marker");
    Optional(playCommand, "--intro-end", play.introEnd, "Intro end marker");
    Optional(playCommand, "--hook-start", play.hookStart, "Hook start marker");
    Optional(playCommand, "--hook-end", play.hookEnd, "Hook end marker");
    Optional(playCommand, "--extro", play.extro, "Extro marker");
    Optional(playCommand, "--sweeper", play.sweeper, "Sweeper start marker");
    playCommand->add_option(
        "--loop", loopText,
        "Loop START:END[:MAXCOUNT] in file seconds; the section plays MAXCOUNT + 1 times "
        "(without MAXCOUNT the control's default, 1000)");
    playCommand->add_option("--fade", fadeTexts,
                            "Volume change START:DURATION:FROM:TO (repeatable)");
    Optional(playCommand, "--volume", play.volume, "PlayVolume 0..100");
    Optional(playCommand, "--fade-mode", play.fadeMode, "0 linear, 1 slow start, 2 fast start");
    Optional(playCommand, "--offset", play.offset, "Start this many seconds into the item");
    playCommand->add_option("--debug-file", play.debugFile, "Diagnostic log file");
    Optional(playCommand, "--debug-level", play.debugLevel, "Log level: 1, 16 or 255");
    playCommand->add_option("--render", play.render,
                            "Play as fast as possible (simulated engine) and write what was "
                            "played to this WAVE file (- for standard output)");
    playCommand->add_flag("--events", play.events, "Print every event even when not on a terminal");
    playCommand->add_flag("--quiet", play.quiet, "Print nothing but errors");

    // record
    tavrenly::app::RecordOptions record;
    CLI::App* recordCommand = tavrenly::app::AddRecordCommand(app, record);

    // info
    std::string infoFile;
    bool infoJson = false;
    CLI::App* infoCommand = app.add_subcommand("info", "Describe a WAVE file and whether it plays");
    infoCommand->add_option("file", infoFile, "The WAVE file")->required();
    infoCommand->add_flag("--json", infoJson, "Print one JSON object");

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
        play.engine = tavrenly::ResolveEngineKind(tavrenly::ParseEngineKind(playEngine));
        if (!loopText.empty()) {
            play.loop = tavrenly::app::ParseLoop(loopText);
            if (!play.loop) {
                fmt::print(
                    stderr,
                    "tavrenly: --loop {}: must be START:END[:MAXCOUNT], MAXCOUNT 0 to 32767\n",
                    loopText);
                return 2;
            }
        }
        for (const std::string& text : fadeTexts) {
            const auto fade = tavrenly::app::ParseFade(text);
            if (!fade) {
                fmt::print(stderr, "tavrenly: --fade {}: must be START:DURATION:FROM:TO\n", text);
                return 2;
            }
            play.fades.push_back(*fade);
        }
        return tavrenly::app::RunPlay(play);
    }
    if (recordCommand->parsed())
        return tavrenly::app::RunRecord(record);
    if (infoCommand->parsed())
        return tavrenly::app::RunInfo(infoFile, infoJson);
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
