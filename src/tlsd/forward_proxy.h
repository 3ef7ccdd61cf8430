// ForwardProxy: the proxy of this program: one TLS listener on the
// configured port, all interfaces.
#pragma once

#include "tlsd/tls_proxy.h"

namespace morvex {

class ForwardProxy : public TLSProxy {
public:
    ForwardProxy() { _forwardProxy = true; }
    ListenerSpecification listenerSpecification() const override { return {std::string(), port(), true}; }
};

}  // namespace morvex
