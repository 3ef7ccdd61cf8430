#include "util/log_flusher.h"

#include <signal.h>

#include "util/log_appender.h"
#include "util/log_facility.h"
#include "util/thread.h"

namespace morvex {

LogFlusher& LogFlusher::instance() {
    static auto* s_flusher = new LogFlusher;  // never destroyed: appenders arm it during exit
    return *s_flusher;
}

bool LogFlusher::start() {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_thread) return true;
    }
    if (!Thread::mainThreadExists()) return false;
    std::unique_ptr<Thread> thread;
    // The thread takes no asynchronous signals: the program's own handling
    // of them (stop requests) stays with its threads. It inherits this mask.
    sigset_t all, old;
    sigfillset(&all);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP}) sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
        thread = std::make_unique<ThreadFunction>([this] { run(); }, "LogFlusher");
    } catch (...) {
        // No thread (already logged by the thread layer): lines are written
        // at once instead of batched.
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!thread) return false;
    std::lock_guard<std::mutex> guard(_mutex);
    if (_thread) return true;  // another thread won; ours is given up unstarted
    _thread = std::move(thread);
    _thread->start();
    return true;
}

bool LogFlusher::running() const {
    std::lock_guard<std::mutex> guard(_mutex);
    return _thread != nullptr;
}

bool LogFlusher::arm() noexcept {
    std::lock_guard<std::mutex> guard(_mutex);
    if (!_thread) return false;
    if (_armed) return true;
    _armed = true;
    _deadline = Clock::now() + std::chrono::milliseconds(LogAppender::kFlushDelayMs);
    _wake.notify_one();
    return true;
}

void LogFlusher::armSummariesAt(Clock::time_point when) noexcept {
    std::lock_guard<std::mutex> guard(_mutex);
    if (_summariesArmed && _summaryDeadline <= when) return;
    _summariesArmed = true;
    _summaryDeadline = when;
    _wake.notify_one();
}

void LogFlusher::run() {
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
        _wake.wait(lock, [this] { return _armed || _summariesArmed; });
        Clock::time_point next = Clock::time_point::max();
        if (_armed) next = _deadline;
        if (_summariesArmed && _summaryDeadline < next) next = _summaryDeadline;
        if (Clock::now() < next) {
            // Woken early by a new earlier deadline, or the time came.
            _wake.wait_until(lock, next);
            continue;
        }
        const bool lines = _armed && _deadline <= Clock::now();
        const bool summaries = _summariesArmed && _summaryDeadline <= Clock::now();
        if (lines) _armed = false;
        if (summaries) _summariesArmed = false;
        lock.unlock();
        if (summaries) LogFacility::instance().writeDueSummaries(false);
        if (lines || summaries) LogAppender::flushAllListed();
        drainAppenderDiagnostics();
        lock.lock();
    }
}

}  // namespace morvex
