// SPDX-License-Identifier: LGPL-2.1-or-later

#include "tstream2/UiWaker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tavrenly {

// The eventfd and the thread that every waker of one loop shares, and the wakers it serves.
class UiWaker::Hub : public std::enable_shared_from_this<Hub>
{
public:
    /// The hub of `loop`, made (and its thread started) when the loop has none.
    static std::shared_ptr<Hub> Of(EventLoop& loop);
    ~Hub();

    void Join(const std::shared_ptr<Handlers>& handlers);
    void Leave(const Handlers* handlers);
    void Notify() noexcept;
    bool Works() const { return m_thread.joinable(); }
    const std::string& Error() const { return m_error; }

private:
    explicit Hub(EventLoop& loop) : m_loop(loop) {}
    void Start();
    void Run();
    bool Wait(std::string& failure);
    /// On the UI thread: the handler of every due waker, once each.
    void RunDue();
    void RunFailure(const std::string& failure);
    std::vector<std::weak_ptr<Handlers>> Members();

    EventLoop& m_loop;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_posted{false}; // a RunDue is queued and has not started yet
    std::string m_error;
    std::thread m_thread;
    std::mutex m_lock; // the members, touched on the UI thread only but by many wakers
    std::vector<std::pair<const Handlers*, std::weak_ptr<Handlers>>> m_members;
    std::vector<std::weak_ptr<Handlers>> m_scratch; // RunDue's copy of the members, kept
};

namespace {

struct HubRegistry
{
    std::mutex lock;
    std::vector<std::pair<const EventLoop*, std::weak_ptr<void>>> hubs;
};

HubRegistry& Hubs()
{
    static HubRegistry registry;
    return registry;
}

} // namespace

std::shared_ptr<UiWaker::Hub> UiWaker::Hub::Of(EventLoop& loop)
{
    HubRegistry& registry = Hubs();
    const std::lock_guard<std::mutex> hold(registry.lock);
    std::erase_if(registry.hubs, [](const auto& entry) { return entry.second.expired(); });
    for (const auto& [owner, hub] : registry.hubs)
        if (owner == &loop)
            return std::static_pointer_cast<Hub>(hub.lock());
    std::shared_ptr<Hub> hub(new Hub(loop));
    hub->Start();
    registry.hubs.emplace_back(&loop, hub);
    return hub;
}

void UiWaker::Hub::Start()
{
    m_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fd < 0) {
        m_error = std::string("the engine cannot wake its user-interface thread (eventfd: ") +
                  std::strerror(errno) + ")";
        return;
    }
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error& failure) {
        m_error =
            std::string("the engine cannot start its wake-up thread (") + failure.what() + ")";
    }
}

UiWaker::Hub::~Hub()
{
    if (m_thread.joinable()) {
        m_stop.store(true, std::memory_order_relaxed);
        Notify();
        m_thread.join();
    }
    if (m_fd >= 0)
        close(m_fd);
}

void UiWaker::Hub::Join(const std::shared_ptr<Handlers>& handlers)
{
    const std::lock_guard<std::mutex> hold(m_lock);
    m_members.emplace_back(handlers.get(), handlers);
}

void UiWaker::Hub::Leave(const Handlers* handlers)
{
    const std::lock_guard<std::mutex> hold(m_lock);
    std::erase_if(m_members, [handlers](const auto& member) { return member.first == handlers; });
}

void UiWaker::Hub::Notify() noexcept
{
    if (m_fd < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_fd, &one, sizeof one);
}

std::vector<std::weak_ptr<UiWaker::Handlers>> UiWaker::Hub::Members()
{
    const std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::weak_ptr<Handlers>> members;
    members.reserve(m_members.size());
    for (const auto& member : m_members)
        members.push_back(member.second);
    return members;
}

void UiWaker::Hub::RunDue()
{
    m_posted.store(false, std::memory_order_release);
    // The list is copied into memory kept from the last wake, so a wake allocates nothing.
    std::vector<std::weak_ptr<Handlers>> members = std::move(m_scratch);
    members.clear();
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        for (const auto& member : m_members)
            members.push_back(member.second);
    }
    // A handler may destroy any engine, its own included: each is looked up just before it
    // runs, and one that has gone is passed over.
    for (const std::weak_ptr<Handlers>& member : members)
        if (const std::shared_ptr<Handlers> alive = member.lock())
            if (alive->due.exchange(false, std::memory_order_acq_rel))
                alive->onWake();
    members.clear();
    m_scratch = std::move(members);
}

void UiWaker::Hub::RunFailure(const std::string& failure)
{
    for (const std::weak_ptr<Handlers>& member : Members())
        if (const std::shared_ptr<Handlers> alive = member.lock())
            alive->onFailure(failure);
}

void UiWaker::Hub::Run()
{
    const std::weak_ptr<Hub> self = weak_from_this();
    std::string failure;
    while (Wait(failure)) {
        if (m_posted.exchange(true, std::memory_order_acq_rel))
            continue; // the one already queued will see every waker due by then
        m_loop.Post([self] {
            if (const std::shared_ptr<Hub> hub = self.lock())
                hub->RunDue();
        });
    }
    if (failure.empty())
        return;
    m_loop.Post([self, failure] {
        if (const std::shared_ptr<Hub> hub = self.lock())
            hub->RunFailure(failure);
    });
}

bool UiWaker::Hub::Wait(std::string& failure)
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

UiWaker::UiWaker(EventLoop& loop, std::function<void()> onWake,
                 std::function<void(const std::string&)> onFailure)
    : m_handlers(std::make_shared<Handlers>()), m_hub(Hub::Of(loop))
{
    m_handlers->onWake = std::move(onWake);
    m_handlers->onFailure = std::move(onFailure);
    m_hub->Join(m_handlers);
}

UiWaker::~UiWaker()
{
    m_hub->Leave(m_handlers.get());
    m_handlers.reset();
    m_hub.reset(); // the loop's last waker stops the thread
}

void UiWaker::Notify() noexcept
{
    if (!m_handlers->due.exchange(true, std::memory_order_acq_rel))
        m_hub->Notify();
}

bool UiWaker::Works() const
{
    return m_hub->Works();
}

const std::string& UiWaker::Error() const
{
    return m_hub->Error();
}

} // namespace tavrenly
