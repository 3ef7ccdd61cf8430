// The process-wide table of client TLS contexts, one per request type. A
// type's context is built on its first request from the type's client
// options and kept for the life of the process; a type whose options are
// absent or whose build failed stays without a context and is never retried.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "tls/client_request_type.h"
#include "tls/ssl_context.h"
#include "tls/ssl_context_options.h"

namespace morvex {

class SslClientContextTable {
public:
    using OptionsSource = std::function<std::optional<SslClientContextOptions>(ClientRequestType)>;

    // The process-wide table over ServerConfig's client options.
    static SslClientContextTable& instance();

    // A table over another source of options (tests).
    explicit SslClientContextTable(OptionsSource source) : _source(std::move(source)) {}
    SslClientContextTable(const SslClientContextTable&) = delete;
    SslClientContextTable& operator=(const SslClientContextTable&) = delete;

    // The type's context, or null. Contexts live as long as the table.
    const SslContext* contextFor(ClientRequestType type);

private:
    OptionsSource _source;
    std::mutex _lock;
    std::map<ClientRequestType, std::unique_ptr<SslContext>> _contexts;  // null: no context, never retried
};

}  // namespace morvex
