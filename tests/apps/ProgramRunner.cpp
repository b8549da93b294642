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
    return RunShell(dir, ProgramCommand(dir, args));
}

} // namespace tavrenly::test
