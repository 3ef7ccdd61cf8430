// The program's entry, in a form that tests can drive: the command line, the
// three standard streams and the start-up steps are all passed in.
//
// `--check` (the only argument) runs the settings check instead of the
// proxy: main-thread object, process environment, the start-up read, then
// the check, which loads logging itself and prints to the standard streams.
//
// Order: self-test check; main-thread object; process environment; crash
// reporter; logging (ends the process with -1 when MORVEX_HOME is empty);
// sockets; one read of at most 9999 bytes of standard input; the proxy
// instance's start, which blocks for the life of the proxy.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace morvex {

// One hook per start-up step; an empty hook is skipped.
struct EntrySteps {
    // Builds the main-thread object; the entry holds it until it returns.
    std::function<std::shared_ptr<void>()> createMainThread;
    std::function<void()> initEnvironment;
    std::function<void()> initCrashReporter;
    // May end the process with -1 (empty home directory).
    std::function<void()> startLogging;
    // Returns WSAStartup's result for version 2.2 (0 on success).
    std::function<int()> startSockets;
    // Runs the proxy on the start-up document; true after an orderly
    // shutdown, false when it did not start.
    std::function<bool(const std::string& document)> startProxy;
    // `--check`: loads what a start loads (logging included) and returns the
    // exit code; replaces startLogging, startSockets and startProxy.
    std::function<int(const std::string& document, std::FILE* out, std::FILE* err)> checkSettings;

    // The steps of the shipped program.
    static EntrySteps production();
};

struct EntryStreams {
    std::FILE* in;
    std::FILE* out;
    std::FILE* err;
};

// Size of the start-up read: the document is cut after this many bytes.
constexpr std::size_t kMaxStartupDocumentBytes = 9999;

// Runs the entry; returns the exit code (0, 1, 8; -1 leaves through exit()
// inside the logging step).
int runEntry(int argc, char** argv, const EntryStreams& streams, const EntrySteps& steps);

}  // namespace morvex
