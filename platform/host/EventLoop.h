#pragma once

// The user-interface thread of a host: everything a control does runs here, one thing at a
// time. Device engines hand work over from their own threads with Post(), the only member
// that is safe to call from another thread.
//
// Two clocks:
//  - Real: time is the monotonic clock; Run() sleeps until the next timer or posted task.
//  - Virtual: time stands still until Advance(ms) moves it. Advance fires every timer tick and
//    every scheduled task that falls due, in strict time order (ties in the order they were
//    scheduled), with Now() set to each one's due time while it runs. Tests use this clock,
//    so whole minutes of playback run in milliseconds and never depend on the machine's speed.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace tavrenly {

class Timer;

class EventLoop {
public:
    enum class Clock { Real, Virtual };
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

    /// Runs a task once, `delayMicros` from now. UI thread only. Returns its id.
    TaskId ScheduleAfter(int64_t delayMicros, Task task);
    /// Runs a task once at the absolute time `atMicros` (not before now). UI thread only.
    TaskId ScheduleAt(int64_t atMicros, Task task);
    /// Forgets a scheduled task that has not run yet; unknown ids are ignored.
    void Cancel(TaskId id);

    /// Real clock: runs tasks and timers until Stop(). Virtual clock: runs what is due now.
    void Run();
    /// Runs until `done` returns true (checked after each task) or `timeoutMs` passes.
    /// Returns the final value of `done`. With the virtual clock the time is advanced in
    /// steps to each next due item, so "run until the item ends" works in both modes.
    bool RunUntil(const std::function<bool()>& done, int64_t timeoutMs);
    /// Makes Run() return after the task in progress. Thread-safe.
    void Stop();

    /// Virtual clock only: moves time forward by `ms`, running everything that falls due.
    void Advance(int64_t ms);
    /// Virtual clock only: moves time forward by `micros`.
    void AdvanceMicros(int64_t micros);
    /// Runs every posted task that is already queued (both clocks); returns how many ran.
    int RunPending();

private:
    friend class Timer;
    struct Scheduled {
        TaskId id;
        Task task;
    };

    TaskId Schedule(int64_t atMicros, Task task);
    bool RunOneDue(int64_t upToMicros);
    int64_t NextDueMicros() const;
    std::vector<Task> TakePosted();

    const Clock m_clock;
    int64_t m_virtualNow = 0;
    int64_t m_realOrigin = 0;
    TaskId m_nextId = 1;
    // Ordered by (due time, id): ties run in the order they were scheduled.
    std::map<std::pair<int64_t, TaskId>, Task> m_scheduled;

    mutable std::mutex m_postedMutex;
    std::condition_variable m_wake;
    std::vector<Task> m_posted;
    bool m_stopRequested = false;
};

/// A repeating timer on an event loop (a control's position timer). Created disabled. Its
/// callback runs on the loop's thread; it may disable, re-enable or change the timer, or
/// destroy the object that owns it... but not the Timer itself from inside the callback.
class Timer {
public:
    Timer(EventLoop& loop, int32_t intervalMs, std::function<void()> onTick);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    int32_t Interval() const noexcept { return m_intervalMs; }
    /// Changes the interval; an enabled timer restarts its period from now.
    void Interval(int32_t intervalMs);
    bool Enabled() const noexcept { return m_enabled; }
    /// Enabling starts a full period from now; enabling an enabled timer changes nothing.
    void Enabled(bool enabled);

private:
    void Arm();
    void Tick();

    EventLoop& m_loop;
    int32_t m_intervalMs;
    std::function<void()> m_onTick;
    bool m_enabled = false;
    EventLoop::TaskId m_pending = 0;
};

} // namespace tavrenly
