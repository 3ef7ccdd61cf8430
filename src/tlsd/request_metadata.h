// What the proxy takes from one request of the daemon.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "tls/client_request_type.h"

namespace morvex {

struct HostPort {
    std::string host;
    std::uint32_t port = 443;
};

struct RequestMetadata {
    HostPort hostPort;
    ClientRequestType type = ClientRequestType::Unknown;
    std::string token;
    std::string httpMethod;
};

// "request type=<name>, hostPort=<host>:<port>, httpMethod=<method>"; the
// token is never printed.
std::ostream& operator<<(std::ostream& out, const RequestMetadata& metadata);
std::string toString(const RequestMetadata& metadata);

}  // namespace morvex
