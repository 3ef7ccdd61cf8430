#include "tlsd/outbound_connection_thread.h"

namespace morvex {

OutboundConnectionThread::OutboundConnectionThread(TcpOutboundLoop& loop) : Thread("%s", kName), _loop(loop) {}

OutboundConnectionThread::~OutboundConnectionThread() {
    giveUp();
}

void OutboundConnectionThread::main() {
    _loop.run();
}

}  // namespace morvex
