// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Runs the traffic of a service's bus connections on the controls' UI thread, so that every
// call reaches a control, and every signal leaves it, on the thread the control lives on.
//
// Real clock: a watcher thread waits on the connections' sockets (and on SIGINT / SIGTERM)
// and posts one "process the buses" task onto the loop when any is ready; the task handles
// every queued message and hands the watcher the sockets again. The loop itself runs in Run.
// Virtual clock: the loop has no thread of its own to wait in, so Run waits on the sockets
// itself and, after each message, runs what the message made due now; time moves only when a
// handler advances it (which it may, since no loop task is running then).

#include "platform/host/EventLoop.h"

#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <thread>
#include <vector>

namespace tavrenly::app {

class BusPump
{
public:
    explicit BusPump(EventLoop& loop);
    ~BusPump();
    BusPump(const BusPump&) = delete;
    BusPump& operator=(const BusPump&) = delete;

    /// Starts serving `bus` (owned by the caller, which must Remove it before freeing it).
    /// UI thread only.
    void Add(sd_bus* bus);
    void Remove(sd_bus* bus);

    /// Serves until Stop(), SIGINT or SIGTERM (returns 0) or until a connection is lost
    /// (returns 1). Blocks those two signals in the calling thread (and so in the watcher).
    int Run();
    /// Run returns once the message in progress is handled. UI thread only.
    void Stop();

private:
    /// Handles every queued message of every connection; false when one was lost.
    bool Process();
    std::vector<pollfd> Sockets() const;
    void Arm();
    void Watch();
    void Wake();

    EventLoop& m_loop;
    std::vector<sd_bus*> m_buses;
    int m_signalFd = -1;
    int m_wakeFd = -1;
    bool m_stop = false;
    int m_status = 0;

    std::mutex m_mutex;
    std::condition_variable m_armed;
    std::vector<pollfd> m_armedSockets; // handed to the watcher; empty while it has them
    bool m_isArmed = false;
    bool m_quit = false;
    std::thread m_watcher;
};

} // namespace tavrenly::app
