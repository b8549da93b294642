#include "tstream2/UiWaker.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tavrenly {

UiWaker::UiWaker(EventLoop& loop, std::function<void()> onWake,
                 std::function<void(const std::string&)> onFailure)
    : m_handlers(std::make_shared<Handlers>(Handlers{std::move(onWake), std::move(onFailure)}))
{
    m_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fd < 0) {
        m_error = std::string("the engine cannot wake its user-interface thread (eventfd: ") +
                  std::strerror(errno) + ")";
        return;
    }
    try {
        m_thread = std::thread([this, &loop] { Run(loop); });
    } catch (const std::system_error& failure) {
        m_error =
            std::string("the engine cannot start its wake-up thread (") + failure.what() + ")";
    }
}

UiWaker::~UiWaker()
{
    if (m_thread.joinable()) {
        m_stop.store(true, std::memory_order_relaxed);
        Notify();
        m_thread.join();
    }
    if (m_fd >= 0)
        close(m_fd);
}

void UiWaker::Notify() noexcept
{
    if (m_fd < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_fd, &one, sizeof one);
}

void UiWaker::Run(EventLoop& loop)
{
    const std::weak_ptr<Handlers> handlers = m_handlers;
    std::string failure;
    while (Wait(failure)) {
        loop.Post([handlers] {
            if (const std::shared_ptr<Handlers> alive = handlers.lock())
                alive->onWake();
        });
    }
    if (failure.empty())
        return;
    loop.Post([handlers, failure] {
        if (const std::shared_ptr<Handlers> alive = handlers.lock())
            alive->onFailure(failure);
    });
}

bool UiWaker::Wait(std::string& failure)
{
    for (;;) {
        pollfd entry{m_fd, POLLIN, 0};
        if (poll(&entry, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            // Anything else will fail again at once: give up rather than spin.
            failure = std::string("the engine's wake-up wait failed (poll: ") +
                      std::strerror(errno) + ")";
            return false;
        }
        if ((entry.revents & (POLLERR | POLLNVAL)) != 0) {
            failure = "the engine's wake-up channel broke";
            return false;
        }
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(m_fd, &count, sizeof count);
        return !m_stop.load(std::memory_order_relaxed);
    }
}

} // namespace tavrenly
