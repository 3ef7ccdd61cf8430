#include "tlsd/signal_handler_registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

namespace {

Logger s_log("TLSProxy");

constexpr char kSignalByte = 'S';
constexpr char kStopByte = 'Q';

// The hand-off pipe, made once and never closed, so a late signal can never
// write to a closed descriptor.
int s_pipe[2] = {-1, -1};

void makePipe() {
    static const bool made = [] {
        if (::pipe2(s_pipe, O_CLOEXEC) != 0) return false;
        ::fcntl(s_pipe[1], F_SETFL, ::fcntl(s_pipe[1], F_GETFL) | O_NONBLOCK);
        return true;
    }();
    if (!made) throw ThreadException("pipe2", static_cast<std::uint32_t>(errno));
}

extern "C" void onShutdownSignal(int) {
    int saved = errno;
    // A full pipe already holds a pending request: losing this byte is fine.
    [[maybe_unused]] ssize_t n = ::write(s_pipe[1], &kSignalByte, 1);
    errno = saved;
}

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

MSignalHandlerRegistry& MSignalHandlerRegistry::instance() {
    static auto* registry = new MSignalHandlerRegistry();
    return *registry;
}

void MSignalHandlerRegistry::registerHandler(MSignalHandler* handler, std::int32_t priority, bool* signalled) {
    platform::CriticalSectionGuard guard(_lock);
    // upper_bound keeps registration order among equal priorities.
    _handlers.emplace_hint(_handlers.upper_bound(priority), priority, handler);
    if (signalled) *signalled = _signalled;
}

void MSignalHandlerRegistry::dispatch() {
    platform::CriticalSectionGuard guard(_lock);
    for (auto& [priority, handler] : _handlers) {
        if (!handler->handleShutdownSignal()) return;
    }
    _signalled = true;
}

bool MSignalHandlerRegistry::signalled() {
    platform::CriticalSectionGuard guard(_lock);
    return _signalled;
}

void MSignalHandlerRegistry::requestShutdown() {
    ::kill(0, SIGINT);
}

ShutdownSignalDispatcher::ShutdownSignalDispatcher(MSignalHandlerRegistry& registry) : _registry(registry) {
    makePipe();
    _thread = std::make_unique<ThreadFunction>([this] { run(); }, "ShutdownSignalDispatcher");
    _thread->start();
    setHandler(&onShutdownSignal);
}

ShutdownSignalDispatcher::~ShutdownSignalDispatcher() {
    setHandler(SIG_DFL);
    // The write end is non-blocking; retry while a burst of signals fills it.
    while (::write(s_pipe[1], &kStopByte, 1) != 1) {
        if (errno != EAGAIN && errno != EINTR) break;
        ::usleep(1000);
    }
    _thread->join();
}

void ShutdownSignalDispatcher::run() {
    for (;;) {
        char byte = 0;
        ssize_t n = ::read(s_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1 || byte == kStopByte) return;
        s_log.debug("Shutdown signal received, dispatching the signal handlers");
        _registry.dispatch();
    }
}

}  // namespace morvex
