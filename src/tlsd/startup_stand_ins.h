// Smallest stand-in for the start-up component that is not in the tree yet
// (the proxy instance). It keeps the behaviour the entry relies on; replace
// it by the real TLSProxyInstance when that lands.
#pragma once

#include <memory>
#include <string>

namespace morvex {

// The proxy instance's start, up to judging the start-up document: logs
// "Failed to start TLS proxy server due to bad config." and returns false for
// a bad document; for a good one logs that the document was accepted and
// returns true at once.
bool standInTLSProxyInstanceStart(const std::string& document);

}  // namespace morvex
