#include "util/thread_scoped_ssl.h"

#include <openssl/crypto.h>

namespace morvex {

namespace {

platform::CriticalSection& sslFlagLock() {
    static auto* cs = new platform::CriticalSection;
    return *cs;
}
bool g_sslInitialized = false;  // sslFlagLock

struct FactoryRegistration {
    FactoryRegistration() {
        Thread::registerThreadScopedObjectFactory(
            []() -> Thread::ThreadScopedObject* { return new details::ThreadScopedSSLFreeErrorQueue; });
    }
};
const FactoryRegistration g_registration;

}  // namespace

void setSslLibraryInitialized(bool initialized) noexcept {
    platform::CriticalSectionGuard guard(sslFlagLock());
    g_sslInitialized = initialized;
}

bool sslLibraryInitialized() noexcept {
    platform::CriticalSectionGuard guard(sslFlagLock());
    return g_sslInitialized;
}

namespace details {

const int kThreadScopedSslAnchor = 1;

ThreadScopedSSLFreeErrorQueue::~ThreadScopedSSLFreeErrorQueue() {
    if (!Thread::isMainThread() && sslLibraryInitialized()) OPENSSL_thread_stop();
}

}  // namespace details
}  // namespace morvex
