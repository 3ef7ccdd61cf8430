#include "tlsd/parent_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace morvex {

namespace {

std::atomic<pid_t> s_parent{0};
int s_pidfd = -1;              // written once in recordParent, before any thread
bool s_goneAtStart = false;    // likewise
std::atomic<bool> s_armed{false};

int openPidfd(pid_t pid) noexcept {
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // always close-on-exec
    if (fd < 0 || fd > 2) return fd;
    // A standard stream was closed: keep its number free, so that reading
    // the start-up document fails as it would have.
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// A pidfd turns readable when its process has ended.
bool pidfdReadable(int timeoutMs) noexcept {
    pollfd p{s_pidfd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

bool parentGone(pid_t parent) noexcept {
    if (::getppid() != parent) return true;  // re-parented: it ended
    return s_pidfd >= 0 && pidfdReadable(0);
}

void watch(pid_t parent) noexcept {
    ::pthread_setname_np(::pthread_self(), "ParentWatch");
    for (;;) {
        if (s_pidfd >= 0) {
            // Blocks for the parent's life; costs nothing meanwhile.
            if (pidfdReadable(-1)) break;
            if (errno != EINTR && errno != EAGAIN) {
                // The pidfd cannot be polled: fall back to the parent id.
                ::close(s_pidfd);
                s_pidfd = -1;
            }
            continue;
        }
        if (::getppid() != parent) break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    ::kill(::getpid(), SIGTERM);
}

}  // namespace

void ParentWatch::recordParent() noexcept {
    const pid_t parent = ::getppid();
    // Adopted by process 1 although not in its session: the process that
    // started us ended before main ran. A daemon that is process 1 itself
    // shares its session with its children, so it does not count as gone.
    s_goneAtStart = parent == 1 && ::getsid(0) != ::getsid(1);
    s_pidfd = s_goneAtStart ? -1 : openPidfd(parent);
    s_parent.store(parent, std::memory_order_relaxed);
}

bool ParentWatch::arm() noexcept {
    const pid_t parent = s_parent.load(std::memory_order_relaxed);
    if (parent == 0) return true;  // not recorded (tests that run the proxy in-process)
    if (s_goneAtStart || parentGone(parent)) return false;
    if (s_armed.exchange(true)) return true;
    try {
        std::thread(watch, parent).detach();
    } catch (...) {
        return true;  // no thread for the watch: the proxy runs on unwatched
    }
    return true;
}

}  // namespace morvex
