// The process-wide registry of shutdown-signal handlers, and the hand-off
// that connects SIGINT and SIGTERM to it.
//
// The operating-system handler only writes one byte to a pipe; a small
// thread ("ShutdownSignalDispatcher") reads it and dispatches the registry,
// so handlers run as ordinary code and may block.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "platform/sync.h"

namespace morvex {

class Thread;

class MSignalHandler {
public:
    virtual ~MSignalHandler() = default;
    // A shutdown signal arrived. true lets the registry go on to the next
    // handler. Runs with the registry's lock held: must not register or
    // dispatch.
    virtual bool handleShutdownSignal() = 0;
};

class MSignalHandlerRegistry {
public:
    static MSignalHandlerRegistry& instance();

    MSignalHandlerRegistry() = default;
    MSignalHandlerRegistry(const MSignalHandlerRegistry&) = delete;
    MSignalHandlerRegistry& operator=(const MSignalHandlerRegistry&) = delete;

    // Adds the handler after any of equal priority (not owned; it must stay
    // alive). signalled, if given, receives the signalled flag.
    void registerHandler(MSignalHandler* handler, std::int32_t priority, bool* signalled = nullptr);
    // Calls the handlers in ascending priority until one returns false; when
    // all returned true, sets the signalled flag.
    void dispatch();
    bool signalled();

    // Sends SIGINT to the process group, as a console interrupt would. The
    // proxy itself never calls it.
    static void requestShutdown();

private:
    platform::CriticalSection _lock;
    std::multimap<std::int32_t, MSignalHandler*> _handlers;
    bool _signalled = false;
};

// While it exists, SIGINT and SIGTERM dispatch a registry on its own thread.
// One at a time per process.
class ShutdownSignalDispatcher {
public:
    explicit ShutdownSignalDispatcher(MSignalHandlerRegistry& registry);
    // Stops and joins the thread; the signals get their default action back.
    ~ShutdownSignalDispatcher();
    ShutdownSignalDispatcher(const ShutdownSignalDispatcher&) = delete;
    ShutdownSignalDispatcher& operator=(const ShutdownSignalDispatcher&) = delete;

private:
    void run();

    MSignalHandlerRegistry& _registry;
    std::unique_ptr<Thread> _thread;
};

}  // namespace morvex
