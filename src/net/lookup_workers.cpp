#include "net/lookup_workers.h"

#include <algorithm>
#include <exception>

#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

namespace {
Logger s_log("NameResolver");
}  // namespace

LookupWorkers& LookupWorkers::instance() {
    static LookupWorkers* pool = new LookupWorkers();
    return *pool;
}

LookupWorkers::~LookupWorkers() {
    std::vector<std::unique_ptr<Thread>> all;
    {
        std::unique_lock<std::mutex> guard(_lock);
        _stopping = true;
        _wake.notify_all();
        _ended.wait(guard, [this] { return _threads == 0; });
        all.swap(_objects);
    }
    for (auto& thread : all) thread->join();
}

void LookupWorkers::reap(std::vector<std::unique_ptr<Thread>>& ended) {
    for (auto& thread : ended) thread->join();
    ended.clear();
}

bool LookupWorkers::submit(std::function<void()> job) {
    std::vector<std::unique_ptr<Thread>> ended;
    bool queued = true;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(_lock);
        // Threads that ended are joined here, by the next submitter.
        for (Thread* t : _endedThreads) {
            auto it = std::find_if(_objects.begin(), _objects.end(), [t](const auto& o) { return o.get() == t; });
            if (it == _objects.end()) continue;
            ended.push_back(std::move(*it));
            _objects.erase(it);
        }
        _endedThreads.clear();
        _jobs.push_back(std::move(job));
        if (_jobs.size() <= _idle) {
            wake = true;
        } else if (_threads < kMaxThreads) {
            try {
                auto thread = std::make_unique<ThreadFunction>([this] { run(); }, "NameLookup-%zu", ++_started);
                thread->start();
                _objects.push_back(std::move(thread));
                ++_threads;
            } catch (const std::exception& e) {
                s_log.warn("Could not start a lookup thread: %s", e.what());
                if (_threads == 0) {
                    _jobs.pop_back();
                    queued = false;
                }
            }
        }
        // else: the next free thread takes it
    }
    // Woken outside the lock, so that the thread does not wake only to wait
    // for it.
    if (wake) _wake.notify_one();
    reap(ended);
    return queued;
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
    _endedThreads.push_back(Thread::current());
    --_threads;
    _ended.notify_all();
}

}  // namespace morvex
