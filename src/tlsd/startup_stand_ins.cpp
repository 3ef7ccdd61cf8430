#include "tlsd/startup_stand_ins.h"

#include <cstdio>
#include <cstdlib>

#include "tlsd/tlsproxy_config.h"
#include "util/logger.h"
#include "util/process_environment.h"

namespace morvex {

namespace {
Logger s_log("TLSProxy");
}

std::shared_ptr<void> standInCreateMainThread() {
    return nullptr;
}

void standInInitCrashReporter() {}

void standInStartLogging(const char* /*configFileName*/, bool /*quiet*/) {
    ProcessEnvironment& env = ProcessEnvironment::instance();
    env.initialize();
    if (env.homeDirectory().empty()) {
        std::fputs("MORVEX_HOME must be set.  Stopping.\n", stderr);
        std::fflush(stderr);
        std::exit(-1);
    }
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
