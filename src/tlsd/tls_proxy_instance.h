// TLSProxyInstance: the process's one proxy instance (created on first use,
// never destroyed). start() is the whole life of the proxy; a shutdown
// signal dispatched through MSignalHandlerRegistry ends it in order.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "net/in_thread_actor.h"
#include "tlsd/forward_proxy.h"
#include "tlsd/signal_handler_registry.h"

namespace morvex {

class TLSProxyInstance;

// Runs the proxy's shutdown sequence on the listening loop.
class TLSServerShutdownCallback : public InThreadActor {
public:
    explicit TLSServerShutdownCallback(TLSProxyInstance& instance) noexcept : _instance(instance) {}
    void callback() override;

private:
    TLSProxyInstance& _instance;
};

class TLSProxyInstance : public MSignalHandler {
public:
    static constexpr std::int32_t kSignalPriority = 8;

    static TLSProxyInstance& instance();

    TLSProxyInstance();
    ~TLSProxyInstance() override;

    // Brings the proxy up from the start-up document and serves until an
    // orderly shutdown (true); false when it did not start. Main thread.
    bool start(const std::string& document);

    // The first signal after the proxy has started posts the shutdown to the
    // listening loop and waits for it; every other signal changes nothing.
    // Always true.
    bool handleShutdownSignal() override;

    ForwardProxy& proxy() noexcept { return *_proxy; }

private:
    std::atomic<bool> _shutdownRequested{false};
    TLSServerShutdownCallback _shutdownCallback;
    std::unique_ptr<ForwardProxy> _proxy;
};

}  // namespace morvex
