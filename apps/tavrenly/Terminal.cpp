// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Terminal.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fmt/format.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

size_t TerminalColumns()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 2)
        return 79;
    return static_cast<size_t>(size.ws_col) - 1;
}

bool InTerminalForeground(int fd)
{
    return isatty(fd) == 1 && tcgetpgrp(fd) == getpgrp();
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
    if (!InTerminalForeground(STDOUT_FILENO))
        return;
    fmt::print(stdout, "\r{}\033[K", text);
    std::fflush(stdout);
    m_shown = true;
}

void LiveLine::Clear()
{
    if (!m_shown || !InTerminalForeground(STDOUT_FILENO))
        return;
    fmt::print(stdout, "\r\033[K");
    m_shown = false;
}

TerminalKeys::TerminalKeys()
{
    Activate();
}

void TerminalKeys::Activate()
{
    if (!InTerminalForeground(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &m_saved) != 0)
        return;
    termios raw = m_saved;
    // Keys one by one and unechoed; Ctrl-C still raises SIGINT (ISIG stays on).
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    m_active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

TerminalKeys::~TerminalKeys()
{
    // Put in the background since, the terminal belongs to the shell, which set its own modes.
    if (m_active && InTerminalForeground(STDIN_FILENO))
        tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
}

char TerminalKeys::Take()
{
    if (!InTerminalForeground(STDIN_FILENO))
        return 0;
    if (!m_active)
        Activate(); // started in the background and brought to the foreground since
    if (!m_active)
        return 0;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0)
        return 0;
    char key = 0;
    return read(STDIN_FILENO, &key, 1) == 1 ? key : 0;
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
