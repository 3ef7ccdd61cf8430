#include "tls/ssl_client_context_table.h"

#include <exception>

#include "tls/server_config.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("SslContext");

const char* buildFailureText(ClientRequestType type) {
    switch (type) {
        case ClientRequestType::DeploymentClient:
            return "Couldn't initialize SSL Context for HTTPClient in Deployment Client";
        case ClientRequestType::MorvexBase:
            return "Couldn't initialize SSL Context for HTTPClient in ApplicationUpdater";
        case ClientRequestType::Telemetry:
            return "Couldn't initialize SSL Context for Telemetry Client";
        default:
            return "Couldn't initialize SSL Context for default SSL settings";
    }
}

}  // namespace

SslClientContextTable& SslClientContextTable::instance() {
    static auto* table = new SslClientContextTable(
        [](ClientRequestType type) { return ServerConfig::instance().clientOptionsFor(type); });
    return *table;
}

const SslContext* SslClientContextTable::contextFor(ClientRequestType type) {
    std::lock_guard<std::mutex> guard(_lock);
    auto it = _contexts.find(type);
    if (it != _contexts.end()) return it->second.get();
    std::unique_ptr<SslContext> context;
    try {
        if (std::optional<SslClientContextOptions> options = _source(type)) {
            context = std::make_unique<SslContext>();
            if (!context->initClient(*options)) {
                s_log.error("%s", buildFailureText(type));
                context.reset();
            }
        }
    } catch (const std::exception& e) {
        // One type's failure must not keep the others from being built.
        s_log.error("%s: %s", buildFailureText(type), e.what());
        context.reset();
    }
    return _contexts.emplace(type, std::move(context)).first->second.get();
}

}  // namespace morvex
