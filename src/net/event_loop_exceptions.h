// Exceptions of the event loop. Each logs its own text at WARN when made;
// the text ends with the current Winsock error code.
#pragma once

#include <string>

#include "util/base_exception.h"

namespace morvex {

// "<thread>: about to throw an EventLoopException: <message>: winsock error <code>"
// (logged on channel "EventLoop").
class EventLoopException : public BaseException {
public:
    explicit EventLoopException(const char* message);
};

// "<thread>: about to throw a SelfPipeException: <message>: winsock error <code>"
// (logged on channel "SelfPipe").
class SelfPipeException : public BaseException {
public:
    explicit SelfPipeException(const char* message);
};

}  // namespace morvex
