#include "platform/os_thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/error_codes.h"
#include "platform/last_error.h"

namespace morvex::platform {

struct OsThread {
    pthread_t thread;
    bool joined = false;
};

namespace {

thread_local std::uint32_t t_osThreadId = 0;

// Lives on the creator's stack until the new thread has reported its id.
struct StartBlock {
    ThreadProc proc;
    void* arg;
    std::atomic<std::uint32_t> tid{0};
};

void* trampoline(void* p) {
    auto* block = static_cast<StartBlock*>(p);
    ThreadProc proc = block->proc;
    void* arg = block->arg;
    block->tid.store(GetCurrentThreadId(), std::memory_order_release);
    block->tid.notify_one();
    // The block is gone from here on.
    proc(arg);
    return nullptr;
}

}  // namespace

HANDLE BeginThreadEx(std::size_t stackSize, ThreadProc proc, void* arg, std::uint32_t* threadId) noexcept {
    auto* handle = new (std::nothrow) OsThread;
    if (!handle) {
        SetLastError(ENOMEM);
        return nullptr;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize != 0) {
        const std::size_t minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
        if (int rc = pthread_attr_setstacksize(&attr, stackSize < minimum ? minimum : stackSize)) {
            pthread_attr_destroy(&attr);
            delete handle;
            SetLastError(static_cast<std::uint32_t>(rc));
            return nullptr;
        }
    }
    StartBlock block{proc, arg};
    int rc = pthread_create(&handle->thread, &attr, &trampoline, &block);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete handle;
        SetLastError(static_cast<std::uint32_t>(rc));
        return nullptr;
    }
    block.tid.wait(0, std::memory_order_acquire);
    if (threadId) *threadId = block.tid.load(std::memory_order_acquire);
    return handle;
}

std::uint32_t WaitForSingleObject(HANDLE thread, std::uint32_t timeoutMs) noexcept {
    if (!thread) {
        SetLastError(EINVAL);
        return WAIT_FAILED;
    }
    if (thread->joined) return WAIT_OBJECT_0;
    int rc;
    if (timeoutMs == 0xFFFFFFFFu) {
        rc = pthread_join(thread->thread, nullptr);
    } else if (timeoutMs == 0) {
        rc = pthread_tryjoin_np(thread->thread, nullptr);
        if (rc == EBUSY) return WAIT_TIMEOUT;
    } else {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = pthread_timedjoin_np(thread->thread, nullptr, &deadline);
        if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
    }
    if (rc != 0) {
        SetLastError(static_cast<std::uint32_t>(rc));
        return WAIT_FAILED;
    }
    thread->joined = true;
    return WAIT_OBJECT_0;
}

bool CloseHandle(HANDLE thread) noexcept {
    if (!thread) {
        SetLastError(EINVAL);
        return false;
    }
    if (!thread->joined) pthread_detach(thread->thread);
    delete thread;
    return true;
}

std::uint32_t GetCurrentThreadId() noexcept {
    if (t_osThreadId == 0) t_osThreadId = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return t_osThreadId;
}

void SetCurrentThreadName(const char* name) noexcept {
    char cut[16];
    std::strncpy(cut, name ? name : "", sizeof cut - 1);
    cut[sizeof cut - 1] = '\0';
    pthread_setname_np(pthread_self(), cut);
}

void Sleep(std::uint32_t ms) noexcept {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void QuickExit(int status) noexcept {
    ::_exit(status);
}

}  // namespace morvex::platform
