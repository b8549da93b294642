#include "platform/host/EventLoop.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace tavrenly {

namespace {

constexpr int64_t kNothingDue = std::numeric_limits<int64_t>::max();
// More free nodes than this are simply released: a loop rarely has more tasks pending at once.
constexpr size_t kMaxFreeNodes = 256;

// Counts a task as running for as long as it is on the stack, also when it throws.
class DepthGuard
{
public:
    explicit DepthGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~DepthGuard() { --m_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& m_depth;
};

} // namespace

EventLoop::EventLoop(Clock clock) : m_clock(clock), m_realOrigin(std::chrono::steady_clock::now())
{
    // The free lists grow with the most tasks ever retired at once; sized now, they never
    // allocate when a later peak (a pause cancelling a queue's worth of buffer ends) comes.
    m_freeTaskNodes.reserve(kMaxFreeNodes);
    m_freeIdNodes.reserve(kMaxFreeNodes);
}

EventLoop::~EventLoop() = default;

int64_t EventLoop::NowMicros() const
{
    if (m_clock == Clock::Virtual)
        return m_virtualNow;
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 m_realOrigin)
        .count();
}

void EventLoop::Post(Task task)
{
    {
        std::lock_guard lock(m_postedMutex);
        m_posted.push_back(std::move(task));
    }
    m_wake.notify_one();
}

EventLoop::TaskId EventLoop::ScheduleAfter(int64_t delayMicros, Task task)
{
    const int64_t now = NowMicros();
    const int64_t delay = std::max<int64_t>(delayMicros, 0);
    const int64_t at = delay > kNothingDue - 1 - now ? kNothingDue - 1 : now + delay;
    return Schedule(at, std::move(task));
}

EventLoop::TaskId EventLoop::ScheduleAt(int64_t atMicros, Task task)
{
    return Schedule(std::max(atMicros, NowMicros()), std::move(task));
}

EventLoop::TaskId EventLoop::Schedule(int64_t atMicros, Task task)
{
    const TaskId id = m_nextId++;
    if (m_freeTaskNodes.empty()) {
        m_scheduled.emplace(Key{atMicros, id}, std::move(task));
    } else {
        auto node = std::move(m_freeTaskNodes.back());
        m_freeTaskNodes.pop_back();
        node.key() = Key{atMicros, id};
        node.mapped() = std::move(task);
        m_scheduled.insert(std::move(node));
    }
    if (m_freeIdNodes.empty()) {
        m_dueById.emplace(id, atMicros);
    } else {
        auto node = std::move(m_freeIdNodes.back());
        m_freeIdNodes.pop_back();
        node.key() = id;
        node.mapped() = atMicros;
        m_dueById.insert(std::move(node));
    }
    return id;
}

void EventLoop::Retire(std::map<TaskId, int64_t>::iterator idEntry)
{
    auto node = m_dueById.extract(idEntry);
    if (m_freeIdNodes.size() < kMaxFreeNodes)
        m_freeIdNodes.push_back(std::move(node));
}

void EventLoop::Cancel(TaskId id)
{
    const auto found = m_dueById.find(id);
    if (found == m_dueById.end())
        return;
    auto node = m_scheduled.extract(Key{found->second, id});
    Retire(found);
    // The task is destroyed here, before its node is kept: it may own things whose
    // destructors schedule or cancel.
    node.mapped() = nullptr;
    if (m_freeTaskNodes.size() < kMaxFreeNodes)
        m_freeTaskNodes.push_back(std::move(node));
}

bool EventLoop::IsScheduled(TaskId id) const
{
    return m_dueById.count(id) != 0;
}

int64_t EventLoop::NextDueMicros() const
{
    return m_scheduled.empty() ? kNothingDue : m_scheduled.begin()->first.first;
}

void EventLoop::RunTask(Task& task)
{
    DepthGuard guard(m_taskDepth);
    task();
}

bool EventLoop::RunOnePosted()
{
    Task task;
    {
        std::lock_guard lock(m_postedMutex);
        if (m_posted.empty())
            return false;
        task = std::move(m_posted.front());
        m_posted.pop_front();
    }
    RunTask(task);
    return true;
}

bool EventLoop::RunOneDue(int64_t upToMicros)
{
    if (m_scheduled.empty())
        return false;
    const auto first = m_scheduled.begin();
    const auto [due, id] = first->first;
    if (due > upToMicros)
        return false;
    if (m_clock == Clock::Virtual)
        m_virtualNow = std::max(m_virtualNow, due);
    // Out of the queue before it runs: the task may cancel itself or schedule at the same time.
    auto node = m_scheduled.extract(first);
    Retire(m_dueById.find(id));
    Task task = std::move(node.mapped());
    node.mapped() = nullptr;
    if (m_freeTaskNodes.size() < kMaxFreeNodes)
        m_freeTaskNodes.push_back(std::move(node));
    RunTask(task);
    return true;
}

bool EventLoop::TakeStop()
{
    std::lock_guard lock(m_postedMutex);
    return std::exchange(m_stopRequested, false);
}

void EventLoop::Sleep(std::unique_lock<std::mutex>& lock, int64_t untilMicros)
{
    const auto ready = [this] { return !m_posted.empty() || m_stopRequested; };
    if (untilMicros == kNothingDue) {
        m_wake.wait(lock, ready);
    } else {
        const int64_t wholeMs = (untilMicros + 999) / 1000 * 1000;
        m_wake.wait_until(lock, m_realOrigin + std::chrono::microseconds(wholeMs), ready);
    }
    ++m_wakeUps;
}

void EventLoop::Stop()
{
    {
        std::lock_guard lock(m_postedMutex);
        m_stopRequested = true;
    }
    m_wake.notify_all();
}

void EventLoop::Run()
{
    for (;;) {
        if (TakeStop())
            return;
        if (RunOnePosted())
            continue;
        if (RunOneDue(NowMicros()))
            continue;
        if (m_clock == Clock::Virtual)
            return;

        std::unique_lock lock(m_postedMutex);
        Sleep(lock, NextDueMicros());
    }
}

bool EventLoop::RunUntil(const std::function<bool()>& done, int64_t timeoutMs)
{
    if (done())
        return true;
    const int64_t timeoutMicros = std::max<int64_t>(timeoutMs, 0) * 1000;
    const int64_t deadline = NowMicros() + timeoutMicros;

    if (m_clock == Clock::Virtual) {
        // Inside a task the clock belongs to the outer Advance: only what is due now may run.
        const bool mayMoveTime = m_taskDepth == 0;
        const int64_t limit = mayMoveTime ? deadline : m_virtualNow;
        for (;;) {
            if (TakeStop())
                return done();
            if (RunOnePosted() || RunOneDue(limit)) {
                if (done())
                    return true;
                continue;
            }
            break;
        }
        if (mayMoveTime)
            m_virtualNow = std::max(m_virtualNow, deadline);
        return done();
    }

    for (;;) {
        if (TakeStop())
            return done();
        if (RunOnePosted() || RunOneDue(NowMicros())) {
            if (done())
                return true;
            continue;
        }
        if (NowMicros() >= deadline)
            return done();

        std::unique_lock lock(m_postedMutex);
        Sleep(lock, std::min(NextDueMicros(), deadline));
    }
}

bool EventLoop::Advance(int64_t ms)
{
    if (ms < 0 || ms > kNothingDue / 2000)
        return false;
    return AdvanceMicros(ms * 1000);
}

bool EventLoop::AdvanceMicros(int64_t micros)
{
    if (m_clock != Clock::Virtual || micros < 0 || m_taskDepth > 0)
        return false;
    const int64_t target = m_virtualNow + micros;
    while (RunOnePosted() || RunOneDue(target)) {
    }
    m_virtualNow = target;
    return true;
}

int EventLoop::RunPending()
{
    int count = 0;
    while (RunOnePosted())
        ++count;
    return count;
}

// ---- Timer ------------------------------------------------------------------------------------

struct Timer::Core : std::enable_shared_from_this<Timer::Core>
{
    Core(EventLoop& loop, int32_t intervalMs, std::function<void()> onTick)
        : loop(loop), intervalMs(intervalMs), onTick(std::move(onTick))
    {}

    EventLoop& loop;
    int32_t intervalMs;
    std::function<void()> onTick;
    bool enabled = false;
    EventLoop::TaskId pending = 0;
};

Timer::Timer(EventLoop& loop, int32_t intervalMs, std::function<void()> onTick)
    : m_core(std::make_shared<Core>(loop, intervalMs, std::move(onTick)))
{}

Timer::~Timer()
{
    m_core->enabled = false;
    Disarm(*m_core);
}

int32_t Timer::Interval() const noexcept
{
    return m_core->intervalMs;
}

void Timer::Interval(int32_t intervalMs)
{
    m_core->intervalMs = intervalMs;
    if (!m_core->enabled)
        return;
    Disarm(*m_core);
    Arm(m_core);
}

bool Timer::Enabled() const noexcept
{
    return m_core->enabled;
}

void Timer::Enabled(bool enabled)
{
    if (enabled == m_core->enabled)
        return;
    m_core->enabled = enabled;
    if (enabled)
        Arm(m_core);
    else
        Disarm(*m_core);
}

void Timer::Arm(const std::shared_ptr<Core>& core)
{
    if (core->intervalMs <= 0)
        return;
    // The task holds a plain pointer (so it fits in the task without an allocation): a Timer
    // cancels its tick when destroyed, so a tick that runs finds its Core alive.
    core->pending = core->loop.ScheduleAfter(int64_t{core->intervalMs} * 1000, [raw = core.get()] {
        // Kept alive until the callback returns, even if the callback destroys the Timer.
        const std::shared_ptr<Core> self = raw->shared_from_this();
        self->pending = 0;
        if (!self->enabled)
            return;
        // The next period is armed before the callback so that the callback can disable,
        // re-time or destroy the timer and find it in a consistent state.
        Arm(self);
        self->onTick();
    });
}

void Timer::Disarm(Core& core)
{
    if (core.pending == 0)
        return;
    core.loop.Cancel(core.pending);
    core.pending = 0;
}

} // namespace tavrenly
