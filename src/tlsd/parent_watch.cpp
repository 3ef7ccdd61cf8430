#include "tlsd/parent_watch.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>

namespace morvex {

namespace {
std::atomic<pid_t> s_parent{0};
}

void ParentWatch::recordParent() noexcept {
    s_parent.store(::getppid(), std::memory_order_relaxed);
}

bool ParentWatch::arm() noexcept {
    pid_t parent = s_parent.load(std::memory_order_relaxed);
    if (parent == 0) return true;  // not recorded (tests that run the proxy in-process)
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have gone before the call: then we were re-parented.
    return ::getppid() == parent;
}

}  // namespace morvex
