// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// The user-interface thread of a host: everything a control does runs here, one thing at a
// time. Device engines hand work over from their own threads with Post(), the only member
// (with Stop) that is safe to call from another thread.
//
// Two clocks:
//  - Real: time is the monotonic clock; Run() sleeps until the next timer or posted task.
//    Sleeps end on whole milliseconds, so that everything due within one millisecond runs in
//    one wake-up (a thousand players' timers would otherwise each wake the thread); a task
//    runs up to a millisecond late, never early.
//  - Virtual: time stands still until Advance(ms) moves it. Advance fires every timer tick and
//    every scheduled task that falls due, in strict time order (ties in the order they were
//    scheduled), with Now() set to each one's due time while it runs; posted tasks run before
//    the next scheduled one. Tests use this clock, so whole minutes of playback run in
//    milliseconds and never depend on the machine's speed.
//
// Re-entrancy: a task may post, schedule and cancel anything, including itself. Moving
// virtual time from inside a task (Advance, or RunUntil's stepping) is refused: the outer
// Advance owns the clock, and a nested one would run later work before the task that asked
// for it had finished.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tavrenly {

/// The UI thread's loop every control runs on: posted tasks, timers, real or virtual time.
class EventLoop
{
public:
    enum class Clock
    {
        Real,
        Virtual
    };
    using Task = std::function<void()>;
    /// Identifies a scheduled task so that it can be cancelled; 0 is never used.
    using TaskId = uint64_t;

    explicit EventLoop(Clock clock = Clock::Real);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    Clock ClockKind() const noexcept { return m_clock; }
    bool IsVirtual() const noexcept { return m_clock == Clock::Virtual; }

    /// Current time in microseconds since the loop was made (virtual or monotonic).
    int64_t NowMicros() const;
    /// Current time in whole milliseconds.
    int64_t NowMs() const { return NowMicros() / 1000; }

    /// Queues a task to run on the loop's thread as soon as possible, after what is already
    /// queued. Thread-safe, never blocks on the loop, may be called from any thread.
    void Post(Task task);

    /// Runs a task once, `delayMicros` from now (a negative delay means now). UI thread only.
    /// Throws std::length_error past about a million tasks scheduled at once.
    TaskId ScheduleAfter(int64_t delayMicros, Task task);
    /// Runs a task once at the absolute time `atMicros` (a past time means now). UI thread only.
    TaskId ScheduleAt(int64_t atMicros, Task task);
    /// Forgets a scheduled task that has not run yet; unknown, finished and running ids are
    /// ignored. UI thread only.
    void Cancel(TaskId id);
    /// True while `id` is scheduled and has not started.
    bool IsScheduled(TaskId id) const;

    /// Real clock: runs tasks and timers until Stop(). Virtual clock: runs what is due now
    /// (posted tasks and scheduled tasks due at the current time) and returns.
    void Run();
    /// Runs until `done` returns true (checked first and after each task) or `timeoutMs`
    /// passes; returns the final value of `done`. With the virtual clock the time is advanced
    /// in steps to each next due item and ends at most `timeoutMs` later, so "run until the
    /// item ends" works in both modes. Stop() also ends it.
    bool RunUntil(const std::function<bool()>& done, int64_t timeoutMs);
    /// Makes the innermost Run()/RunUntil() return after the task in progress. Thread-safe.
    void Stop();

    /// Virtual clock only: moves time forward by `ms`, running everything that falls due, and
    /// leaves the time exactly `ms` later. Returns false (and does nothing) with the real
    /// clock, for a negative step, or when called from inside a task the loop is running.
    bool Advance(int64_t ms);
    /// Virtual clock only: moves time forward by `micros`; as Advance.
    bool AdvanceMicros(int64_t micros);
    /// Runs every posted task that is queued, including those they post; returns how many ran.
    /// UI thread only.
    int RunPending();

    /// Number of tasks scheduled and not yet run (timers included).
    size_t ScheduledCount() const noexcept { return m_due.size(); }
    /// Real clock: how many times Run or RunUntil has slept and woken again.
    uint64_t WakeUps() const noexcept { return m_wakeUps; }

private:
    // A scheduled task's place in the time order. The id's high bits count schedules and its
    // low bits name the task's slot, so comparing (due, id) breaks ties in schedule order and
    // the id alone finds the slot.
    struct Due
    {
        int64_t atMicros;
        TaskId id;
    };
    struct Slot
    {
        Task task;
        TaskId id = 0;       // 0 while the slot is free
        size_t position = 0; // index of its entry in m_due
    };

    TaskId Schedule(int64_t atMicros, Task task);
    bool RunOnePosted();
    /// Runs the earliest scheduled task if it is due at or before `upToMicros`; with the
    /// virtual clock the time is set to its due time first.
    bool RunOneDue(int64_t upToMicros);
    int64_t NextDueMicros() const;
    void RunTask(Task& task);
    bool TakeStop();
    /// Real clock: sleeps until a post, a stop or `untilMicros` rounded up to the millisecond.
    void Sleep(std::unique_lock<std::mutex>& lock, int64_t untilMicros);
    /// The slot of a scheduled id, or null for an id that is not (or no longer) scheduled.
    Slot* FindSlot(TaskId id);
    const Slot* FindSlot(TaskId id) const;
    /// Takes the entry at `position` out of the heap and frees its slot; returns its task.
    Task Remove(size_t position);
    static bool Earlier(const Due& a, const Due& b);
    void Place(size_t position, const Due& entry);
    void SiftUp(size_t position, Due entry);
    void SiftDown(size_t position, Due entry);

    const Clock m_clock;
    int64_t m_virtualNow = 0;
    std::chrono::steady_clock::time_point m_realOrigin;
    uint64_t m_scheduleCount = 0;
    // A binary min-heap on (due time, id). Entries are small and held by value, so the order is
    // kept without a node per task; the tasks themselves live in m_slots, whose storage is
    // reused, so a steady stream of timer ticks and buffer ends whose captures fit a task's
    // inline storage (a pointer or two) allocates nothing.
    std::vector<Due> m_due;
    std::vector<Slot> m_slots;
    std::vector<uint32_t> m_freeSlots;
    int m_taskDepth = 0; // tasks running on this loop (nested calls count each)

    mutable std::mutex m_postedMutex;
    std::condition_variable m_wake;
    std::deque<Task> m_posted;
    bool m_stopRequested = false;
    uint64_t m_wakeUps = 0;
};

/// A repeating timer on an event loop (a control's position timer). Created disabled. Its
/// callback runs on the loop's thread; it may disable, re-enable or change this timer or any
/// other, and destroy the object that owns this or another timer (a destroyed Timer cancels
/// its pending tick). An interval of 0 or less keeps the timer from ticking. UI thread only;
/// a Timer must be destroyed before its loop.
class Timer
{
public:
    Timer(EventLoop& loop, int32_t intervalMs, std::function<void()> onTick);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    int32_t Interval() const noexcept;
    /// Changes the interval; an enabled timer restarts its period from now.
    void Interval(int32_t intervalMs);
    bool Enabled() const noexcept;
    /// Enabling starts a full period from now; enabling an enabled timer changes nothing.
    void Enabled(bool enabled);

private:
    struct Core;
    static void Arm(const std::shared_ptr<Core>& core);
    static void Disarm(Core& core);

    // Shared with the pending tick, so a callback that destroys this Timer still returns into
    // live state.
    std::shared_ptr<Core> m_core;
};

} // namespace tavrenly
