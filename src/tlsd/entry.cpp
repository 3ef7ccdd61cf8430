#include "tlsd/entry.h"

#include <cerrno>
#include <cstring>

#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "platform/winsock_startup.h"
#include "tlsd/settings_check.h"
#include "tlsd/tls_proxy_instance.h"
#include "util/crash_reporter.h"
#include "util/log_config.h"
#include "util/process_environment.h"
#include "util/thread.h"

namespace morvex {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoSockets = 8;

// Outcome of the one start-up read.
enum class ReadResult { Ok, Failed };

// One buffered read of at most kMaxStartupDocumentBytes; the text ends at
// the first zero byte. A read error after some bytes goes unnoticed: the
// bytes read are taken.
ReadResult readStartupDocument(std::FILE* in, std::string& text) {
    char buffer[kMaxStartupDocumentBytes + 1];
    std::memset(buffer, 0, sizeof buffer);
    errno = 0;
    std::size_t n = std::fread(buffer, 1, kMaxStartupDocumentBytes, in);
    if (n == 0 && !std::feof(in)) {
        platform::SetLastError(static_cast<std::uint32_t>(errno));
        return ReadResult::Failed;
    }
    text.assign(buffer, ::strnlen(buffer, n));
    return ReadResult::Ok;
}

}  // namespace

int runEntry(int argc, char** argv, const EntryStreams& streams, const EntrySteps& steps) {
    if (argc == 2 && std::strcmp(argv[1], "--test") == 0) {
        std::fprintf(streams.out, "Test passed");
        std::fflush(streams.out);
        return kExitOk;
    }

    const bool check = argc == 2 && std::strcmp(argv[1], "--check") == 0;

    std::shared_ptr<void> mainThread;
    if (steps.createMainThread) mainThread = steps.createMainThread();
    if (steps.initEnvironment) steps.initEnvironment();
    if (check) {
        std::string document;
        int code = kExitFailed;
        if (readStartupDocument(streams.in, document) == ReadResult::Failed) {
            std::string message = "Failed to read configuration to start up the TLS proxy: ";
            message += platform::ErrorText(platform::GetLastError());
            message += '\n';
            std::fputs(message.c_str(), streams.err);
            std::fflush(streams.err);
        } else if (steps.checkSettings) {
            code = steps.checkSettings(document, streams.out, streams.err);
        }
        mainThread.reset();
        return code;
    }
    if (steps.initCrashReporter) steps.initCrashReporter();
    if (steps.startLogging) steps.startLogging();

    if (steps.startSockets && steps.startSockets() != 0) {
        std::fputs("Couldn't intialize winsock!\n", streams.out);
        std::fflush(streams.out);
        mainThread.reset();
        return kExitNoSockets;
    }

    std::string document;
    if (readStartupDocument(streams.in, document) == ReadResult::Failed) {
        std::string message = "Failed to read configuration to start up the TLS proxy: ";
        message += platform::ErrorText(platform::GetLastError());
        std::fputs(message.c_str(), streams.err);
        std::fflush(streams.err);
        mainThread.reset();
        return kExitFailed;
    }

    bool ok = steps.startProxy ? steps.startProxy(document) : false;
    mainThread.reset();
    return ok ? kExitOk : kExitFailed;
}

EntrySteps EntrySteps::production() {
    EntrySteps steps;
    steps.createMainThread = [] { return std::shared_ptr<void>(std::make_shared<EmptyMainThread>()); };
    steps.initEnvironment = [] { ProcessEnvironment::instance().initialize(); };
    steps.initCrashReporter = [] {
        const ProcessEnvironment& env = ProcessEnvironment::instance();
        // Without a home directory the logging step stops the process next;
        // the crash directory would only be made relative to the root.
        if (env.homeDirectory().empty() || CrashReporter::isInitialized()) return;
        installCrashReporting(env.crashLogDirectory().str());
    };
    steps.startLogging = [] { morvex::startLogging("log-tlsproxy.cfg", true); };
    steps.startSockets = [] {
        platform::WSADATA data;
        return platform::WSAStartup(platform::MAKEWORD(2, 2), &data);
    };
    steps.startProxy = [](const std::string& document) { return TLSProxyInstance::instance().start(document); };
    steps.checkSettings = [](const std::string& document, std::FILE* out, std::FILE* err) {
        return runSettingsCheck(document, out, err);
    };
    return steps;
}

}  // namespace morvex
