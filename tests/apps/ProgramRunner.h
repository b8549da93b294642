// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Runs the built tavrenly program from a test as a user would, with machine settings of its
// own (none), so a settings file on the build machine cannot change the defaults the
// expectations rely on, and with the test's folder as its working and temporary folder.

#include "tests/support/TestSupport.h"

#include <string>
#include <vector>

namespace tavrenly::test {

struct Output
{
    int status = -1;
    std::string out;
    std::string err;
};

/// `text` quoted for the shell.
std::string Quoted(const std::string& text);
/// The shell command that runs the program with `args` in `dir` (no redirections).
std::string ProgramCommand(const TempDir& dir, const std::vector<std::string>& args);
/// Runs a shell `script` (which may use ProgramCommand) and returns its status and output.
Output RunShell(const TempDir& dir, const std::string& script);
/// Runs the program with `args` in `dir`, stopped (status 124) if it runs over two minutes.
Output RunProgram(const TempDir& dir, const std::vector<std::string>& args);

} // namespace tavrenly::test
