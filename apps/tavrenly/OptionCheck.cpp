// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/OptionCheck.h"

#include "apps/tavrenly/ValueText.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrenly::app {

namespace {

/// A value as the user typed it: whole numbers without a point, others at the precision they
/// were read in (options are 32-bit floats, so 0.1 shows as 0.1, not 0.10000000149...).
std::string Shown(double value)
{
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15)
        return fmt::format("{}", static_cast<int64_t>(value));
    return fmt::format("{}", static_cast<float>(value));
}

} // namespace

std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv)
{
    app.name("tavrenly");
    if (argc < 2) {
        fmt::print(stderr, "{}", app.help());
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first.empty() || first[0] != '-') {
        std::vector<std::string> names;
        for (const CLI::App* command : app.get_subcommands({}))
            names.push_back(command->get_name());
        if (std::find(names.begin(), names.end(), first) == names.end()) {
            fmt::print(stderr, "tavrenly: unknown command \"{}\"; the commands are {}\n", first,
                       fmt::join(names, ", "));
            return kExitUsage;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        return kExitUsage;
    } catch (const RefusedValue& refused) {
        fmt::print(stderr, "tavrenly: {}\n", refused.what());
        return kExitUsage;
    }
    return std::nullopt;
}

void OptionCheck::OneOf(std::string_view option, int64_t value,
                        std::initializer_list<int64_t> accepted)
{
    for (int64_t candidate : accepted)
        if (candidate == value)
            return;
    Refuse(fmt::format("{} {}: must be one of {}", option, value, fmt::join(accepted, ", ")));
}

void OptionCheck::Range(std::string_view option, double value, double min, double max)
{
    if (!std::isfinite(value) || value < min || value > max)
        Refuse(fmt::format("{} {}: must be from {} to {}", option, Shown(value), Shown(min),
                           Shown(max)));
}

void OptionCheck::AtLeast(std::string_view option, double value, double min)
{
    if (!std::isfinite(value) || value < min)
        Refuse(fmt::format("{} {}: must be {} or more", option, Shown(value), Shown(min)));
}

void OptionCheck::Before(std::string_view first, double firstValue, std::string_view second,
                         double secondValue)
{
    if (!(firstValue < secondValue))
        Refuse(fmt::format("{} {} must be before {} {}", first, Shown(firstValue), second,
                           Shown(secondValue)));
}

void OptionCheck::WritableFile(std::string_view option, const std::string& path)
{
    struct stat info
    {};
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return Refuse(fmt::format("{} {}: is a folder, not a file", option, path));
        if (access(path.c_str(), W_OK) != 0)
            Refuse(
                fmt::format("{} {}: cannot be written ({})", option, path, std::strerror(errno)));
        return;
    }
    const size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Refuse(fmt::format("{} {}: the folder {} does not exist", option, path, folder));
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        Refuse(fmt::format("{} {}: cannot be written in {} ({})", option, path, folder,
                           std::strerror(errno)));
}

void OptionCheck::NotAnInput(std::string_view option, const std::string& path,
                             const std::vector<std::string>& inputs)
{
    struct stat out
    {};
    const bool standardOutput = path == "-";
    if ((standardOutput ? fstat(STDOUT_FILENO, &out) : stat(path.c_str(), &out)) != 0)
        return; // made by the run: no input can be it
    for (const std::string& input : inputs) {
        struct stat in
        {};
        if (stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            return Refuse(fmt::format("{} {}: is the input {}; writing it would destroy it", option,
                                      standardOutput ? "- (standard output)" : path, input));
    }
}

void OptionCheck::Refuse(std::string message)
{
    if (!m_problem)
        m_problem = std::move(message);
}

int OptionCheck::Report() const
{
    if (!m_problem)
        return kExitDone;
    fmt::print(stderr, "tavrenly: {}\n", *m_problem);
    return kExitUsage;
}

} // namespace tavrenly::app
