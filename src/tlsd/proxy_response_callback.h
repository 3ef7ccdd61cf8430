// ProxyResponseCallback: where an outbound connection hands the bytes the
// destination sends back.
#pragma once

#include <string_view>

namespace morvex {

class ProxyResponseCallback {
public:
    virtual ~ProxyResponseCallback() = default;
    // Called on the outbound loop's thread with one run of response bytes;
    // the bytes are valid only during the call (copy what is kept).
    virtual void deliverResponse(std::string_view data) = 0;
};

}  // namespace morvex
