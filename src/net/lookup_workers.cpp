#include "net/lookup_workers.h"

#include <pthread.h>

#include <system_error>
#include <thread>

namespace morvex {

LookupWorkers& LookupWorkers::instance() {
    static LookupWorkers* pool = new LookupWorkers();
    return *pool;
}

LookupWorkers::~LookupWorkers() {
    std::unique_lock<std::mutex> guard(_lock);
    _stopping = true;
    _wake.notify_all();
    _ended.wait(guard, [this] { return _threads == 0; });
}

bool LookupWorkers::submit(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> guard(_lock);
        _jobs.push_back(std::move(job));
        if (_jobs.size() > _idle) {
            if (_threads >= kMaxThreads) return true;  // the next free thread takes it
            try {
                std::thread(&LookupWorkers::run, this).detach();
                ++_threads;
            } catch (const std::system_error&) {
                if (_threads == 0) {
                    _jobs.pop_back();
                    return false;
                }
            }
            return true;
        }
    }
    // Woken outside the lock, so that the thread does not wake only to wait
    // for it.
    _wake.notify_one();
    return true;
}

std::size_t LookupWorkers::threads() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _threads;
}

std::size_t LookupWorkers::idle() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _idle;
}

void LookupWorkers::run() {
    pthread_setname_np(pthread_self(), "NameLookup");
    std::unique_lock<std::mutex> guard(_lock);
    for (;;) {
        if (_jobs.empty()) {
            ++_idle;
            bool woken = _wake.wait_for(guard, _idleExit, [this] { return !_jobs.empty() || _stopping; });
            --_idle;
            if (!woken || (_stopping && _jobs.empty())) break;
        }
        std::function<void()> job = std::move(_jobs.front());
        _jobs.pop_front();
        guard.unlock();
        try {
            job();
        } catch (...) {
            // A job reports its own failures; this thread serves the next.
        }
        job = nullptr;  // what it captured goes before the lock is taken
        guard.lock();
    }
    --_threads;
    _ended.notify_all();
}

}  // namespace morvex
