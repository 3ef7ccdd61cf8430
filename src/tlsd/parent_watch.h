// ParentWatch: the proxy lives only as long as the daemon that started it. A
// proxy left behind would keep the listening port, and the daemon's next
// start of a proxy on that port would fail.
#pragma once

namespace morvex {

class ParentWatch {
public:
    // Remembers the parent process; call first thing in main().
    static void recordParent() noexcept;
    // Has the kernel send SIGTERM (the orderly stop) when the parent ends.
    // Returns false when the parent has already gone (the signal would never
    // come): the caller must stop by itself. The signal is tied to the
    // parent's thread that started this process.
    static bool arm() noexcept;
};

}  // namespace morvex
