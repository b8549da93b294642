// tavrenly: the command-line face of the library.

#include "apps/tavrenly/Demo.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv)
{
    CLI::App app{"Tavrenly: broadcast audio player and recorder controls"};
    app.require_subcommand(1);

    tavrenly::app::DemoOptions demo;
    std::string demoEngine = "simulated";
    CLI::App* demoCommand =
        app.add_subcommand("demo", "Play a generated jingle with markers, a loop and a fade");
    demoCommand->add_option("--engine", demoEngine, "simulated (virtual time) or device")
        ->check(CLI::IsMember({"simulated", "device", "null"}));
    demoCommand->add_flag("--quiet", demo.quiet, "Print only the summary");

    CLI11_PARSE(app, argc, argv);

    if (demoCommand->parsed()) {
        demo.engine = tavrenly::ParseEngineKind(demoEngine);
        return tavrenly::app::RunDemo(demo);
    }
    return 0;
}
