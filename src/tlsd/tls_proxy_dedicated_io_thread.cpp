#include "tlsd/tls_proxy_dedicated_io_thread.h"

namespace morvex {

TLSProxyDedicatedIoThread::TLSProxyDedicatedIoThread(TcpChannelLoop& listeningLoop, unsigned long index)
    : Thread("%s-%lu", kBaseName, index), _loop(&listeningLoop) {}

TLSProxyDedicatedIoThread::~TLSProxyDedicatedIoThread() {
    giveUp();  // main() runs _loop
}

void TLSProxyDedicatedIoThread::main() {
    _loop.run();
}

}  // namespace morvex
