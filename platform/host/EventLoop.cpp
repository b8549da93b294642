// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/host/EventLoop.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tavrenly {

namespace {

constexpr int64_t kNothingDue = std::numeric_limits<int64_t>::max();
// Low bits of a task id name its slot, so at most this many tasks are scheduled at once; the
// high bits count schedules and last for centuries of a thousand players' ticks.
constexpr int kSlotBits = 20;
constexpr uint64_t kSlotMask = (uint64_t{1} << kSlotBits) - 1;
// Room made up front: a loop rarely has more tasks pending at once.
constexpr size_t kReservedTasks = 256;

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
    m_due.reserve(kReservedTasks);
    m_slots.reserve(kReservedTasks);
    m_freeSlots.reserve(kReservedTasks);
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
    // Room in the heap first: once a slot holds the task, nothing below may throw, or the
    // slot would name an entry the heap does not have.
    if (m_due.size() == m_due.capacity())
        m_due.reserve(2 * m_due.capacity() + kReservedTasks);
    uint32_t slot = 0;
    if (!m_freeSlots.empty()) {
        slot = m_freeSlots.back();
        m_freeSlots.pop_back();
    } else {
        if (m_slots.size() > kSlotMask)
            throw std::length_error("EventLoop: too many scheduled tasks");
        slot = static_cast<uint32_t>(m_slots.size());
        m_slots.emplace_back();
        // Every slot fits on the free list, so freeing one never allocates.
        m_freeSlots.reserve(m_slots.capacity());
    }
    if ((++m_scheduleCount << kSlotBits) == 0)
        ++m_scheduleCount; // keeps 0 from ever being an id
    const TaskId id = (m_scheduleCount << kSlotBits) | slot;
    Slot& entry = m_slots[slot];
    entry.task = std::move(task);
    entry.id = id;
    m_due.emplace_back();
    SiftUp(m_due.size() - 1, Due{atMicros, id});
    return id;
}

bool EventLoop::Earlier(const Due& a, const Due& b)
{
    return a.atMicros < b.atMicros || (a.atMicros == b.atMicros && a.id < b.id);
}

void EventLoop::Place(size_t position, const Due& entry)
{
    m_due[position] = entry;
    m_slots[entry.id & kSlotMask].position = position;
}

void EventLoop::SiftUp(size_t position, Due entry)
{
    while (position > 0) {
        const size_t parent = (position - 1) / 2;
        const Due& above = m_due[parent];
        if (!Earlier(entry, above))
            break;
        Place(position, above);
        position = parent;
    }
    Place(position, entry);
}

void EventLoop::SiftDown(size_t position, Due entry)
{
    const size_t count = m_due.size();
    for (;;) {
        size_t child = 2 * position + 1;
        if (child >= count)
            break;
        if (child + 1 < count && Earlier(m_due[child + 1], m_due[child]))
            ++child;
        const Due& below = m_due[child];
        if (!Earlier(below, entry))
            break;
        Place(position, below);
        position = child;
    }
    Place(position, entry);
}

EventLoop::Task EventLoop::Remove(size_t position)
{
    const uint32_t slot = static_cast<uint32_t>(m_due[position].id & kSlotMask);
    Task task = std::move(m_slots[slot].task);
    m_slots[slot].task = nullptr;
    m_slots[slot].id = 0;
    m_freeSlots.push_back(slot);

    const Due last = m_due.back();
    m_due.pop_back();
    if (position == m_due.size())
        return task;
    const size_t parent = position == 0 ? 0 : (position - 1) / 2;
    if (position > 0 && Earlier(last, m_due[parent]))
        SiftUp(position, last);
    else
        SiftDown(position, last);
    return task;
}

const EventLoop::Slot* EventLoop::FindSlot(TaskId id) const
{
    const uint64_t slot = id & kSlotMask;
    if (id == 0 || slot >= m_slots.size() || m_slots[slot].id != id)
        return nullptr;
    return &m_slots[slot];
}

EventLoop::Slot* EventLoop::FindSlot(TaskId id)
{
    return const_cast<Slot*>(std::as_const(*this).FindSlot(id));
}

void EventLoop::Cancel(TaskId id)
{
    const Slot* slot = FindSlot(id);
    if (slot == nullptr)
        return;
    // Destroyed here, once its slot is free: the task may own things whose destructors
    // schedule or cancel.
    Task task = Remove(slot->position);
}

bool EventLoop::IsScheduled(TaskId id) const
{
    return FindSlot(id) != nullptr;
}

int64_t EventLoop::NextDueMicros() const
{
    return m_due.empty() ? kNothingDue : m_due.front().atMicros;
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
    if (m_due.empty())
        return false;
    const int64_t due = m_due.front().atMicros;
    if (due > upToMicros)
        return false;
    if (m_clock == Clock::Virtual)
        m_virtualNow = std::max(m_virtualNow, due);
    // Out of the queue before it runs: the task may cancel itself or schedule at the same time.
    Task task = Remove(0);
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
