// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tests/apps/ProgramRunner.h"

namespace tavrenly::test {

std::string Quoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ProgramCommand(const TempDir& dir, const std::vector<std::string>& args)
{
    std::string command = "TAVRENLY_SYSCONFDIR=" + Quoted(dir.File("etc")) +
                          " TMPDIR=" + Quoted(dir.Path().string()) + " " + Quoted(TAVRENLY_PROGRAM);
    for (const std::string& arg : args)
        command += " " + Quoted(arg);
    return command;
}

Output RunShell(const TempDir& dir, const std::string& script)
{
    const std::string command = "cd " + Quoted(dir.Path().string()) + " && { " + script +
                                " ; } > " + Quoted(dir.File("stdout.txt")) + " 2> " +
                                Quoted(dir.File("stderr.txt"));
    Output output;
    output.status = Run(command);
    output.out = ReadText(dir.File("stdout.txt"));
    output.err = ReadText(dir.File("stderr.txt"));
    return output;
}

Output RunProgram(const TempDir& dir, const std::vector<std::string>& args)
{
    // The program guards its own runs (an item not ended 5 s after its audio is stopped); this
    // bound is for a program that hangs anyway, which then fails its test instead of stalling.
    return RunShell(dir, "timeout 120 env " + ProgramCommand(dir, args));
}

} // namespace tavrenly::test
