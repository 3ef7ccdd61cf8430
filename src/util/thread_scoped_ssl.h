// Frees each thread's TLS-library error queue when the thread ends. A
// factory for details::ThreadScopedSSLFreeErrorQueue is registered with the
// thread layer at static initialisation.
#pragma once

#include "util/thread.h"

namespace morvex {

// Process-wide "TLS library initialised" flag, under its own lock. The TLS
// layer sets it once the library is up.
void setSslLibraryInitialized(bool initialized) noexcept;
bool sslLibraryInitialized() noexcept;

namespace details {

class ThreadScopedSSLFreeErrorQueue : public Thread::ThreadScopedObject {
public:
    // On a thread other than the main one, once the TLS library has been
    // initialised: releases the thread's error queue (OPENSSL_thread_stop).
    ~ThreadScopedSSLFreeErrorQueue() override;
};

// Defined next to the factory registration; the thread layer refers to it
// so that the registration is always linked in.
extern const int kThreadScopedSslAnchor;

}  // namespace details
}  // namespace morvex
