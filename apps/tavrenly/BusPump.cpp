// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/BusPump.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace tavrenly::app {

namespace {

/// poll() that resumes after a signal handler; -1 only for a real failure.
int PollAll(std::vector<pollfd>& sockets)
{
    for (;;) {
        const int r = poll(sockets.data(), sockets.size(), -1);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

} // namespace

BusPump::BusPump(EventLoop& loop) : m_loop(loop)
{
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

BusPump::~BusPump()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_armed.notify_all();
    Wake();
    if (m_watcher.joinable())
        m_watcher.join();
    if (m_signalFd >= 0)
        close(m_signalFd);
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

void BusPump::Add(sd_bus* bus)
{
    m_buses.push_back(bus);
    Wake();
}

void BusPump::Remove(sd_bus* bus)
{
    std::erase(m_buses, bus);
    Wake();
}

void BusPump::Wake()
{
    if (m_wakeFd < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof(one));
}

std::vector<pollfd> BusPump::Sockets() const
{
    std::vector<pollfd> sockets;
    for (sd_bus* bus : m_buses) {
        const int events = sd_bus_get_events(bus);
        sockets.push_back(
            pollfd{sd_bus_get_fd(bus), static_cast<short>(events < 0 ? POLLIN : events), 0});
    }
    sockets.push_back(pollfd{m_signalFd, POLLIN, 0});
    sockets.push_back(pollfd{m_wakeFd, POLLIN, 0});
    return sockets;
}

bool BusPump::Process()
{
    // A copy: a handler may create or destroy a connection (a player's own one).
    const std::vector<sd_bus*> buses = m_buses;
    for (sd_bus* bus : buses) {
        if (std::find(m_buses.begin(), m_buses.end(), bus) == m_buses.end())
            continue;
        for (;;) {
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0)
                return false;
            if (r == 0)
                break;
            if (m_loop.IsVirtual())
                m_loop.Run();
            if (m_stop)
                return true;
        }
    }
    return true;
}

void BusPump::Arm()
{
    {
        std::lock_guard lock(m_mutex);
        m_armedSockets = Sockets();
        m_isArmed = true;
    }
    m_armed.notify_all();
}

void BusPump::Watch()
{
    for (;;) {
        std::vector<pollfd> sockets;
        {
            std::unique_lock lock(m_mutex);
            m_armed.wait(lock, [this] { return m_isArmed || m_quit; });
            if (m_quit)
                return;
            sockets = std::move(m_armedSockets);
            m_isArmed = false;
        }
        if (PollAll(sockets) < 0)
            return;
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(m_wakeFd, &count, sizeof(count));
        const bool signalled = (sockets[sockets.size() - 2].revents & POLLIN) != 0;
        {
            std::lock_guard lock(m_mutex);
            if (m_quit)
                return;
        }
        m_loop.Post([this, signalled] {
            if (signalled) {
                m_loop.Stop();
                return;
            }
            if (!Process()) {
                m_status = 1;
                m_loop.Stop();
                return;
            }
            Arm();
        });
    }
}

int BusPump::Run()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    m_signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

    if (!Process())
        return 1;
    if (!m_loop.IsVirtual()) {
        m_watcher = std::thread([this] { Watch(); });
        Arm();
        m_loop.Run();
        return m_status;
    }
    while (!m_stop) {
        std::vector<pollfd> sockets = Sockets();
        if (PollAll(sockets) < 0)
            return 1;
        if ((sockets[sockets.size() - 2].revents & POLLIN) != 0)
            return 0;
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = read(m_wakeFd, &count, sizeof(count));
        if (!Process())
            return 1;
    }
    return 0;
}

void BusPump::Stop()
{
    m_stop = true;
    m_loop.Stop();
}

} // namespace tavrenly::app
