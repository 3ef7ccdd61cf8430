// ParentWatch: the proxy lives only as long as the daemon process that
// started it. A proxy left behind would keep the listening port, and the
// daemon's next start of a proxy on that port would fail.
//
// What is watched is the parent *process* (a pidfd taken first thing in
// main), not the thread that forked: a daemon thread that started the proxy
// and then ended stops nothing. When the parent ends, the watch sends this
// process SIGTERM, the orderly stop.
#pragma once

namespace morvex {

class ParentWatch {
public:
    // Remembers the parent process and takes hold of it; call first thing in
    // main(). A parent already gone by then shows as being adopted by
    // process 1 outside process 1's session; that is remembered for arm().
    static void recordParent() noexcept;
    // Starts the watch (once). Returns false when the parent has already gone
    // (before main, or since): the caller must stop by itself. True without
    // watching when no parent was recorded (the proxy run in-process).
    static bool arm() noexcept;
};

}  // namespace morvex
