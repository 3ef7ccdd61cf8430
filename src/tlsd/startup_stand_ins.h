// Smallest stand-ins for start-up components that are not in the tree yet.
// Each keeps the behaviour the entry relies on; replace each one by the real
// component when it lands.
#pragma once

#include <memory>
#include <string>

namespace morvex {

// Main-thread object: none yet.
std::shared_ptr<void> standInCreateMainThread();

// Crash reporter: nothing is installed yet.
void standInInitCrashReporter();

// Logging start-up: initialises the process environment and ends the process
// with -1 ("MORVEX_HOME must be set.  Stopping." on standard error) when the
// home directory is empty. Logging itself keeps its default output.
void standInStartLogging(const char* configFileName, bool quiet);

// The proxy instance's start, up to judging the start-up document: logs
// "Failed to start TLS proxy server due to bad config." and returns false for
// a bad document; for a good one logs that the document was accepted and
// returns true at once.
bool standInTLSProxyInstanceStart(const std::string& document);

}  // namespace morvex
