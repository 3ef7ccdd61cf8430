#include "tls/client_request_type.h"

#include <ostream>

namespace morvex {

namespace {

// Indexed by value; entry 0 is the unknown type's empty name.
constexpr std::string_view kNames[] = {"",          "Deployment-Client", "Morvex-Base",
                                       "Telemetry", "External-Proxy",    "Morvexd"};

}  // namespace

std::string toString(ClientRequestType type) {
    auto v = static_cast<std::int32_t>(type);
    if (v >= 0 && v <= 5) return std::string(kNames[v]);
    return "INVALID_ClientRequestType_" + std::to_string(v);
}

std::optional<ClientRequestType> parseClientRequestType(std::string_view name) {
    for (std::int32_t v = 1; v <= 5; ++v) {
        if (kNames[v] == name) return static_cast<ClientRequestType>(v);
    }
    return std::nullopt;
}

bool clientRequestTypeMayUseTls(ClientRequestType type) noexcept {
    switch (type) {
        case ClientRequestType::DeploymentClient:
        case ClientRequestType::MorvexBase:
        case ClientRequestType::Telemetry:
        case ClientRequestType::Morvexd:
            return true;
        default:
            return false;
    }
}

std::ostream& operator<<(std::ostream& out, ClientRequestType type) {
    return out << toString(type);
}

}  // namespace morvex
