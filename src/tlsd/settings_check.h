// `morvex-tlsd --check`: loads everything a start loads, without listening,
// and says whether a start would come up.
//
// In order: the logging configuration (log-tlsproxy.cfg and its -local file,
// opened as a start opens it, so an unwritable log directory shows), every
// .conf layer through the server configuration, the start-up document (the
// same JSON a start reads from standard input: port, token, key pass phrase),
// the proxy certificate with that pass phrase, and the client TLS context of
// each request type that has client TLS settings.
//
// Each problem is printed on standard error as the start would log it
// ("LEVEL Channel - text"; WARN and above), then one verdict line goes to
// standard output:
//   "Settings check passed: ..." (exit 0) or
//   "Settings check failed: <n> problem(s): <steps>" (exit 1).
// Warnings alone do not fail the check; a logging configuration line the
// loader refuses does.
#pragma once

#include <cstdio>
#include <string>

namespace morvex {

// Main thread, after the process environment was initialised. Returns the
// exit code (0 or 1). Leaves logging on standard error.
int runSettingsCheck(const std::string& document, std::FILE* out, std::FILE* err);

}  // namespace morvex
