// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Notices a device that has gone (unplugged, its sound server killed): its backend calls the
// engine's callback no more, so a count the callback raises stops moving. Checked on the UI
// thread's loop every half second; two seconds without a callback count as gone.
//
// Threading: every member on the UI thread of `loop`; the count may be raised on any thread.

#include "platform/host/EventLoop.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace tavrenly {

class DeviceWatchdog
{
public:
    static constexpr int64_t kStallMs = 2000;
    static constexpr int64_t kCheckIntervalMs = 500;

    explicit DeviceWatchdog(EventLoop& loop) : m_loop(loop) {}
    ~DeviceWatchdog() { Disarm(); }
    DeviceWatchdog(const DeviceWatchdog&) = delete;
    DeviceWatchdog& operator=(const DeviceWatchdog&) = delete;

    /// Starts watching `callbacks`, which must outlive the watch. `onStall` runs once on the
    /// loop when the count has not moved for kStallMs; the watch is over then. The owner may
    /// destroy the watchdog from inside `onStall`.
    void Arm(const std::atomic<uint64_t>& callbacks, std::function<void()> onStall);
    void Disarm();
    bool Armed() const { return m_task != 0; }

private:
    void Check();

    EventLoop& m_loop;
    const std::atomic<uint64_t>* m_callbacks = nullptr;
    std::function<void()> m_onStall;
    EventLoop::TaskId m_task = 0;
    uint64_t m_seen = 0;
    int64_t m_lastProgressMs = 0;
};

} // namespace tavrenly
