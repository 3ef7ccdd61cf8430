// OutboundConnectionThread: runs the proxy's single outbound loop, on which
// every outbound connection is made and driven.
#pragma once

#include "net/tcp_outbound.h"
#include "util/thread.h"

namespace morvex {

class OutboundConnectionThread : public Thread {
public:
    static constexpr const char* kName = "OutboundConnectionThread";

    // The loop belongs to the caller and must outlive the thread.
    explicit OutboundConnectionThread(TcpOutboundLoop& loop);
    ~OutboundConnectionThread() override;

    void main() override;

private:
    TcpOutboundLoop& _loop;
};

}  // namespace morvex
