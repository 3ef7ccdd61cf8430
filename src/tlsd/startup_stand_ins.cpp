#include "tlsd/startup_stand_ins.h"

#include "tlsd/tlsproxy_config.h"
#include "util/logger.h"

namespace morvex {

namespace {
Logger s_log("TLSProxy");
}

bool standInTLSProxyInstanceStart(const std::string& document) {
    s_log.info("Starting TLSProxyInstance...");
    TLSProxyConfig config;
    config.read(document);
    if (!config.judge()) {
        s_log.error("Failed to start TLS proxy server due to bad config.");
        return false;
    }
    s_log.info("TLS proxy start-up configuration accepted: port=%u", config.port());
    return true;
}

}  // namespace morvex
