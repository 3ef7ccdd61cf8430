#include "net/event_loop_exceptions.h"

#include <cstdio>

#include "platform/last_error.h"
#include "util/logger.h"
#include "util/thread.h"

namespace morvex {

namespace {
Logger s_loopLog("EventLoop");
Logger s_pipeLog("SelfPipe");

std::string format(const char* article, const char* type, const char* message) {
    const int code = platform::WSAGetLastError();
    char buf[512];
    std::snprintf(buf, sizeof buf, "%s: about to throw %s %s: %s: winsock error %d", Thread::currentThreadName(),
                  article, type, message, code);
    return buf;
}
}  // namespace

EventLoopException::EventLoopException(const char* message)
    : BaseException(format("an", "EventLoopException", message)) {
    s_loopLog.warn("%s", _message.c_str());
}

SelfPipeException::SelfPipeException(const char* message) : BaseException(format("a", "SelfPipeException", message)) {
    s_pipeLog.warn("%s", _message.c_str());
}

}  // namespace morvex
