// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// How a device engine's audio thread gets work done on the UI thread. The audio callback may
// not lock, and EventLoop::Post does; so the callback only marks its waker due and, when it
// was not due yet, writes to an eventfd (one non-blocking system call). One small thread per
// event loop, shared by every waker of that loop, waits on the eventfd and turns each wake into
// one Post; on the UI thread that task runs the handler of every waker marked due. Wakes that
// arrive before the handler ran are merged, and a hundred engines on one loop cost one thread,
// not a hundred.
//
// Threading: construct, destroy and read Works/Error on the UI thread of `loop`; Notify from
// any thread, the audio callback included. The handlers run on the UI thread. Once the waker
// is destroyed, a wake already posted runs nothing, so the engine that owns it may go.

#include "platform/host/EventLoop.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace tavrenly {

class UiWaker
{
public:
    /// `onWake` runs after Notify. `onFailure` runs once, with a sentence, when waking stops
    /// working later (the wait failed); a waker that could not be made at all says so through
    /// Works and Error instead, as its owner has no listener yet.
    UiWaker(EventLoop& loop, std::function<void()> onWake,
            std::function<void(const std::string&)> onFailure);
    ~UiWaker();
    UiWaker(const UiWaker&) = delete;
    UiWaker& operator=(const UiWaker&) = delete;

    /// Callback-safe: one write that never blocks; nothing when the waker does not work.
    void Notify() noexcept;
    /// False when the eventfd or the thread could not be made: nothing will ever wake.
    bool Works() const;
    /// Why the waker does not work, or "".
    const std::string& Error() const;

private:
    class Hub;
    struct Handlers
    {
        std::function<void()> onWake;
        std::function<void(const std::string&)> onFailure;
        std::atomic<bool> due{false};
    };

    std::shared_ptr<Handlers> m_handlers;
    std::shared_ptr<Hub> m_hub;
};

} // namespace tavrenly
