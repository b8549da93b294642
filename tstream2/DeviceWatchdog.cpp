// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/DeviceWatchdog.h"

namespace tavrenly {

void DeviceWatchdog::Arm(const std::atomic<uint64_t>& callbacks, std::function<void()> onStall)
{
    Disarm();
    m_callbacks = &callbacks;
    m_onStall = std::move(onStall);
    m_seen = callbacks.load(std::memory_order_relaxed);
    m_lastProgressMs = m_loop.NowMs();
    m_task = m_loop.ScheduleAfter(kCheckIntervalMs * 1000, [this] { Check(); });
}

void DeviceWatchdog::Disarm()
{
    if (m_task != 0)
        m_loop.Cancel(m_task);
    m_task = 0;
}

void DeviceWatchdog::Check()
{
    m_task = 0;
    const uint64_t callbacks = m_callbacks->load(std::memory_order_relaxed);
    if (callbacks != m_seen) {
        m_seen = callbacks;
        m_lastProgressMs = m_loop.NowMs();
    } else if (m_loop.NowMs() - m_lastProgressMs >= kStallMs) {
        // Moved out first: the handler may arm the watch again or destroy the watchdog.
        const std::function<void()> stalled = std::move(m_onStall);
        stalled();
        return;
    }
    m_task = m_loop.ScheduleAfter(kCheckIntervalMs * 1000, [this] { Check(); });
}

} // namespace tavrenly
