// CallbackAfterEventService: a one-shot timer that any thread can ask a loop
// to fire as soon as possible (EventLoop::addCallbackFromAnywhere). Repeated
// requests before it fires collapse into one firing.
#pragma once

#include "net/in_thread_actor.h"
#include "net/timeout.h"

namespace morvex {

class CallbackAfterEventService;

// The actor embedded in a CallbackAfterEventService: on the loop's thread it
// arms the timer with delay 0 and clears the pending mark.
class AddCallbackFromAnywhereActor : public InThreadActor {
public:
    explicit AddCallbackFromAnywhereActor(CallbackAfterEventService* owner) noexcept : _owner(owner) {}
    void callback() override;

private:
    CallbackAfterEventService* _owner;
};

class CallbackAfterEventService : public OneShotTimeout {
public:
    CallbackAfterEventService() noexcept : _addActor(this) {}

private:
    friend class EventLoop;
    friend class AddCallbackFromAnywhereActor;

    AddCallbackFromAnywhereActor _addActor;
    EventLoop* _pending = nullptr;  // the loop it is being added to; guarded by that loop's posted-queue lock
};

}  // namespace morvex
