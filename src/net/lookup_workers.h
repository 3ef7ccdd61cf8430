// LookupWorkers: a few threads that run blocking lookups for the loops.
//
// The system resolver only blocks; each loop hands its lookups here and gets
// the outcome posted back. Threads start on demand, up to kMaxThreads, so a
// handful of names whose servers never answer hold only their own threads
// while other names go on; a thread idle for idleExit() ends, so an idle
// process keeps none. A thread per lookup (or the C library's asynchronous
// lookup, which starts one per notification) cost a clone, a stack mapping
// and several futex calls on every proxied request. The threads are the
// program's own Thread objects ("NameLookup-<n>"): named in log lines and
// crash reports, with the alternate signal stack every thread gets.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "util/thread.h"

namespace morvex {

class LookupWorkers {
public:
    static constexpr std::size_t kMaxThreads = 16;

    // The process-wide pool (never destroyed: idle threads may outlive main).
    static LookupWorkers& instance();

    explicit LookupWorkers(std::chrono::milliseconds idleExit = std::chrono::seconds(5)) noexcept
        : _idleExit(idleExit) {}
    // Waits until every thread has ended (tests; the process-wide pool is
    // never destroyed).
    ~LookupWorkers();
    LookupWorkers(const LookupWorkers&) = delete;
    LookupWorkers& operator=(const LookupWorkers&) = delete;

    // Queues job for a worker thread. False (job dropped, not run) only when
    // no thread runs and none could be started.
    bool submit(std::function<void()> job);

    std::size_t threads() const;
    // Threads waiting for a job.
    std::size_t idle() const;
    std::chrono::milliseconds idleExit() const noexcept { return _idleExit; }

private:
    void run();
    // Joins and frees the threads that have ended (outside the lock).
    void reap(std::vector<std::unique_ptr<Thread>>& ended);

    const std::chrono::milliseconds _idleExit;
    mutable std::mutex _lock;
    std::condition_variable _wake;
    std::condition_variable _ended;
    std::deque<std::function<void()>> _jobs;
    std::size_t _threads = 0;
    std::size_t _started = 0;
    std::vector<std::unique_ptr<Thread>> _objects;  // one per thread not yet joined
    std::vector<Thread*> _endedThreads;             // threads whose run() returned
    std::size_t _idle = 0;
    bool _stopping = false;
};

}  // namespace morvex
