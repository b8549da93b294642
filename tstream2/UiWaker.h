#pragma once

// How a device engine's audio thread gets work done on the UI thread. The audio callback may
// not lock, and EventLoop::Post does; so the callback only writes to an eventfd (one
// non-blocking system call) and a small thread of the waker, which may block, turns each wake
// into one Post of the engine's handler. Wakes that arrive before the handler ran are merged.
//
// Threading: construct, destroy and read Works/Error on the UI thread of `loop`; Notify from
// any thread, the audio callback included. The handlers run on the UI thread. Once the waker
// is destroyed, a wake already posted runs nothing, so the engine that owns it may go.

#include "platform/host/EventLoop.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

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
    bool Works() const { return m_thread.joinable(); }
    /// Why the waker does not work, or "".
    const std::string& Error() const { return m_error; }

private:
    struct Handlers
    {
        std::function<void()> onWake;
        std::function<void(const std::string&)> onFailure;
    };

    void Run(EventLoop& loop);
    bool Wait(std::string& failure);

    int m_fd = -1;
    std::shared_ptr<Handlers> m_handlers;
    std::atomic<bool> m_stop{false};
    std::string m_error;
    std::thread m_thread;
};

} // namespace tavrenly
