// The kinds of the daemon's clients. The name of a kind is also the value of
// the request-type header; the kind selects the client TLS settings and the
// connection pool.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace morvex {

enum class ClientRequestType : std::int32_t {
    Unknown = 0,
    DeploymentClient = 1,
    MorvexBase = 2,
    Telemetry = 3,
    ExternalProxy = 4,
    Morvexd = 5,
};

// "Deployment-Client", ... "Morvexd"; "" for Unknown; any other value gives
// "INVALID_ClientRequestType_<n>".
std::string toString(ClientRequestType type);

// The type whose name equals `name` exactly (case-sensitive), 1 to 5 only.
std::optional<ClientRequestType> parseClientRequestType(std::string_view name);

// True for the kinds that may have client TLS settings (1, 2, 3, 5).
bool clientRequestTypeMayUseTls(ClientRequestType type) noexcept;

std::ostream& operator<<(std::ostream& out, ClientRequestType type);

}  // namespace morvex
