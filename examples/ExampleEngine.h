// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// What the three examples share: the --engine=NAME option and the event loop that goes with
// the engine it names.
//
// A host normally leaves the engine to the library (the default: real sound devices, or
// whatever "Engine=" in the settings file says). "simulated" runs the engine on the event
// loop's virtual clock instead: no sound card is needed and a minute of audio takes no time,
// which is how the package check runs the examples. "null" plays in real time into nothing.

#include <tavrenly/engine/EngineFactory.h>
#include <tavrenly/platform/host/EventLoop.h>

#include <cstring>
#include <memory>

namespace example {

struct EngineChoice
{
    tavrenly::EngineKind kind = tavrenly::EngineKind::Default;

    /// A simulated engine needs the virtual clock; every other engine runs on real time.
    tavrenly::EventLoop::Clock Clock() const
    {
        return kind == tavrenly::EngineKind::Simulated ? tavrenly::EventLoop::Clock::Virtual
                                                       : tavrenly::EventLoop::Clock::Real;
    }
};

/// Takes a leading "--engine=NAME" off the arguments (argv[1] then names the first operand).
inline EngineChoice TakeEngineOption(int& argc, char**& argv)
{
    EngineChoice choice;
    constexpr const char* kOption = "--engine=";
    if (argc > 1 && std::strncmp(argv[1], kOption, std::strlen(kOption)) == 0) {
        choice.kind = tavrenly::ParseEngineKind(argv[1] + std::strlen(kOption));
        --argc;
        ++argv;
    }
    choice.kind = tavrenly::ResolveEngineKind(choice.kind);
    return choice;
}

} // namespace example
