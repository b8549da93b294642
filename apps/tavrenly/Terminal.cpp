#include "apps/tavrenly/Terminal.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fmt/format.h>

namespace tavrenly::app {

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_resume{false};

extern "C" void OnInterrupt(int)
{
    g_interrupted.store(true);
}

extern "C" void OnResume(int)
{
    g_resume.store(true);
}

} // namespace

std::string LevelBar(int16_t level, int width, int mark)
{
    const int filled = std::clamp(level * width / 100, 0, width);
    std::string bar = std::string(static_cast<size_t>(filled), '#') +
                      std::string(static_cast<size_t>(width - filled), '.');
    if (mark >= 0)
        bar[static_cast<size_t>(std::clamp(mark * width / 100, 0, width - 1))] = '|';
    return bar;
}

void SayProblem(const std::string& problem)
{
    static std::string said;
    if (problem.empty() || problem == said)
        return;
    said = problem;
    fmt::print(stderr, "tavrenly: {}\n", said);
}

void LiveLine::Draw(const std::string& text)
{
    fmt::print(stdout, "\r{}\033[K", text);
    std::fflush(stdout);
    m_shown = true;
}

void LiveLine::Clear(void* self)
{
    auto* live = static_cast<LiveLine*>(self);
    if (!live->m_shown)
        return;
    fmt::print(stdout, "\r\033[K");
    live->m_shown = false;
}

RunSignals::RunSignals()
{
    g_interrupted.store(false);
    g_resume.store(false);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::signal(SIGUSR1, OnResume);
}

RunSignals::~RunSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGUSR1, SIG_DFL);
}

bool RunSignals::Interrupted() const
{
    return g_interrupted.load();
}

bool RunSignals::TakeResume()
{
    return g_resume.exchange(false);
}

} // namespace tavrenly::app
