// The "LogFlusher" thread: writes batched lines at most
// LogAppender::kFlushDelayMs after the first of them, and the summaries of
// suppressed messages once their interval has passed (not only when a later
// message of the same kind happens to arrive). It sleeps without a time-out
// while nothing is due, so an idle process is not woken.
//
// It is a thread of the thread layer (its name in log lines and crash
// reports, a notation list, an alternate signal stack); it takes no
// asynchronous signals and never ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace morvex {

class Thread;

class LogFlusher {
public:
    using Clock = std::chrono::steady_clock;

    static LogFlusher& instance();

    // Starts the thread if it is not running. Needs the MainThread (without
    // one nothing starts and arm() keeps answering false). Call with no
    // logging lock held: the logging configuration calls it on the thread
    // that loads it. True when the thread runs.
    bool start();
    bool running() const;

    // Asks for the pending lines to be written within kFlushDelayMs. Called
    // with an appender's lock held; takes only the flusher's own lock. False
    // when no thread runs: the caller then writes at once.
    bool arm() noexcept;
    // Asks for a wake at `when` to write the summaries then due.
    void armSummariesAt(Clock::time_point when) noexcept;

private:
    LogFlusher() = default;
    void run();

    mutable std::mutex _mutex;
    std::condition_variable _wake;
    bool _armed = false;
    Clock::time_point _deadline;
    bool _summariesArmed = false;
    Clock::time_point _summaryDeadline;
    std::unique_ptr<Thread> _thread;
};

}  // namespace morvex
