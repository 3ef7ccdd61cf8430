// TLSProxyDedicatedIoThread: one of the proxy's six I/O threads. It owns a
// subordinate channel loop of the listening loop and runs it; accepted
// connections live on it for their whole life.
#pragma once

#include <cstddef>

#include "net/tcp_channel_loop.h"
#include "util/thread.h"

namespace morvex {

class TLSProxyDedicatedIoThread : public Thread {
public:
    static constexpr const char* kBaseName = "TlsProxyDedicatedIoThread";

    // Named "TlsProxyDedicatedIoThread-<index>"; its loop is a subordinate of
    // listeningLoop (the caller registers it there).
    TLSProxyDedicatedIoThread(TcpChannelLoop& listeningLoop, unsigned long index);
    ~TLSProxyDedicatedIoThread() override;

    TcpChannelLoop& loop() noexcept { return _loop; }
    void main() override;

private:
    TcpChannelLoop _loop;
};

}  // namespace morvex
