// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Checks of command-line values made before anything is opened or played. The first refused
// value is kept as one line that names the option, the value given and what is accepted; the
// program prints it and ends with kExitUsage.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace tavrenly::app {

/// Exit statuses of the program, the same for every command.
inline constexpr int kExitDone = 0;   ///< the command did what it was asked
inline constexpr int kExitFailed = 1; ///< a file did not open, a device failed, interrupted
inline constexpr int kExitUsage = 2;  ///< the command line was wrong; nothing was done

/// The exit statuses as --help and the README list them.
inline constexpr const char* kExitStatusText =
    "Exit status: 0 done (record: the recording ended as asked, by its length or Ctrl-C, and "
    "was saved); 1 a file did not open, a device failed, the command was interrupted, or a "
    "fault, a full disk or the 2 GiB of a RIFF file (see record --rf64) cut or lost part of a "
    "recording (the file kept is named); 2 the command "
    "line was "
    "wrong (an unknown command or option, a value out of range, a missing folder), nothing "
    "was done.";

/// Parses the command line. A bare `tavrenly` prints the usage, an unknown command is named,
/// --help and --version print and end with kExitDone, every parse error ends with
/// kExitUsage. Returns the status to end with, or nullopt when a command is to run.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv);

class OptionCheck
{
public:
    /// `value` must be one of `accepted`.
    void OneOf(std::string_view option, int64_t value, std::initializer_list<int64_t> accepted);
    /// `min <= value <= max` (and finite).
    void Range(std::string_view option, double value, double min, double max);
    /// `value >= min` (and finite).
    void AtLeast(std::string_view option, double value, double min);
    /// The value of `first` must be below that of `second`.
    void Before(std::string_view first, double firstValue, std::string_view second,
                double secondValue);
    /// `path` names a file this process may create or overwrite (its folder exists and is
    /// writable). Nothing is created.
    void WritableFile(std::string_view option, const std::string& path);
    /// `path`, when it exists, is none of `inputs`, through links of either kind: writing it
    /// would destroy an input while it is read. "-" is standard output, e.g. appended to one.
    void NotAnInput(std::string_view option, const std::string& path,
                    const std::vector<std::string>& inputs);
    /// Any other refusal, in the same one-line form.
    void Refuse(std::string message);

    bool Passed() const { return !m_problem.has_value(); }
    /// The first refusal, without the program's name.
    const std::optional<std::string>& Problem() const { return m_problem; }
    /// Prints the first refusal to standard error; kExitUsage when there was one, else
    /// kExitDone.
    int Report() const;

private:
    std::optional<std::string> m_problem;
};

} // namespace tavrenly::app
