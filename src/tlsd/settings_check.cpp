#include "tlsd/settings_check.h"

#include <memory>
#include <string_view>
#include <vector>

#include "tls/client_request_type.h"
#include "tls/proxy_certificate.h"
#include "tls/server_config.h"
#include "tls/ssl_client_context_table.h"
#include "tls/ssl_context.h"
#include "tls/ssl_library.h"
#include "tlsd/tlsproxy_config.h"
#include "util/base_exception.h"
#include "util/log_category.h"
#include "util/log_config.h"
#include "util/log_facility.h"
#include "util/logger.h"
#include "util/process_environment.h"

namespace morvex {

namespace {

Logger s_log("TLSProxy");

// The channels that report on the logging configuration itself while it
// loads; their lines would otherwise only reach the configured appenders.
constexpr const char* kLoggingChannels[] = {"LogConfig", "LogAppender"};

// Echoes the loader's warnings and errors to standard error and counts them.
// Runs under an appender's lock: writes with stdio only, never logs.
class LoadProblemEcho : public LogObserver {
public:
    explicit LoadProblemEcho(std::FILE* err) : _err(err) {}

    void observe(const LogEvent& event, std::string_view) override {
        if (event.level < LogLevel::Warn) return;
        ++_count;
        const char* level = logLevelName(event.level);
        std::string_view text = event.rawMessage.data() ? event.rawMessage : event.message;
        std::fprintf(_err, "%s %.*s - %.*s\n", level ? level : "?", static_cast<int>(event.channel.size()),
                     event.channel.data(), static_cast<int>(text.size()), text.data());
    }

    unsigned count() const noexcept { return _count; }

private:
    std::FILE* _err;
    unsigned _count = 0;
};

class Verdict {
public:
    void fail(const std::string& step) {
        ++_problems;
        if (!_steps.empty()) _steps += ", ";
        _steps += step;
    }
    bool passed() const noexcept { return _problems == 0; }

    void print(std::FILE* out, unsigned clientContexts) const {
        if (passed()) {
            std::fprintf(out,
                         "Settings check passed: logging configuration, TLS settings, start-up document, "
                         "proxy certificate and %u client TLS context%s load\n",
                         clientContexts, clientContexts == 1 ? "" : "s");
        } else {
            std::fprintf(out, "Settings check failed: %u problem%s: %s\n", _problems, _problems == 1 ? "" : "s",
                         _steps.c_str());
        }
        std::fflush(out);
    }

private:
    unsigned _problems = 0;
    std::string _steps;
};

// Loads the logging configuration as the start does, echoing its problems.
// Afterwards every channel writes WARN and above to standard error, so that
// the rest of the check shows its problems there and not in the log file.
void checkLogging(const ProcessEnvironment& env, std::FILE* err, Verdict& verdict) {
    LogFacility& facility = LogFacility::instance();
    LoadProblemEcho echo(err);
    std::vector<LogCategory*> watched;
    for (const char* name : kLoggingChannels) {
        LogCategory& category = facility.namedCategory(name);
        category.addObserver(&echo);
        watched.push_back(&category);
    }
    LogConfigContext context;
    context.path = env.settingsDirectory().joined("log-tlsproxy.cfg").str();
    context.substitutions.emplace_back("${MORVEX_HOME}", env.homeDirectory().str());
    bool opened = loadLogConfig(context);
    facility.flushAll();
    for (LogCategory* category : watched) category->removeObserver(&echo);
    if (!opened || echo.count() > 0) verdict.fail("logging configuration");

    facility.reset();
    facility.rootAppender().setLayout(std::make_shared<LogLayout>("%p %c - %m\n"));
    facility.setThreshold(facility.rootCategory(), LogLevel::Warn);
    facility.bindChannels();
}

}  // namespace

int runSettingsCheck(const std::string& document, std::FILE* out, std::FILE* err) {
    ProcessEnvironment& env = ProcessEnvironment::instance();
    Verdict verdict;
    if (env.homeDirectory().empty()) {
        std::fputs("MORVEX_HOME must be set.  Stopping.\n", err);
        verdict.fail("MORVEX_HOME");
        verdict.print(out, 0);
        return 1;
    }
    checkLogging(env, err, verdict);

    unsigned clientContexts = 0;
    try {
        ServerConfig& config = ServerConfig::instance();
        if (config.configStore().hasStanza("server", "sslConfig") && !config.sslConfigLoaded()) {
            verdict.fail("TLS settings");
        }
        SslLibrary::configure(config);

        TLSProxyConfig startup;
        startup.read(document);
        if (!startup.judge()) {
            s_log.error("Failed to start TLS proxy server due to bad config.");
            verdict.fail("start-up document");
        }

        std::optional<SslServerContextOptions> serverOptions = proxyServerOptions(config, startup.privateKeyPassword());
        SharedSslServerContext serverContext;
        if (!serverOptions) {
            s_log.error("Failed to load TLS configuration for TLS proxy server initialization");
            verdict.fail("proxy certificate");
        } else if (!initializeProxySslContext(std::move(*serverOptions), serverContext) || !serverContext.valid()) {
            verdict.fail("proxy certificate");
        }

        for (ClientRequestType type : {ClientRequestType::DeploymentClient, ClientRequestType::MorvexBase,
                                       ClientRequestType::Telemetry, ClientRequestType::Morvexd}) {
            if (SslClientContextTable::instance().contextFor(type) != nullptr) {
                ++clientContexts;
            } else {
                verdict.fail("client TLS context of " + toString(type));
            }
        }
    } catch (const BaseException& e) {
        s_log.error("Exception: %s", e.what());
        verdict.fail("exception");
    }
    LogFacility::instance().flushAll();
    std::fflush(err);
    verdict.print(out, clientContexts);
    return verdict.passed() ? 0 : 1;
}

}  // namespace morvex
