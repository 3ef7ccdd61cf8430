// The daemon's side of a scenario: TLS connections to the proxy that write
// their requests as drawn and read the answers their way (at once, slowly,
// pausing, half-closed or reset), a canary connection that makes a small
// request every 200 ms, and the checks of every invariant afterwards.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "scenario_destination.h"
#include "scenario_generator.h"

namespace morvex::scenario {

// A non-blocking TLS client of the proxy that reads while it writes.
class DaemonLink {
public:
    explicit DaemonLink(std::uint16_t port);
    ~DaemonLink();
    DaemonLink(const DaemonLink&) = delete;
    DaemonLink& operator=(const DaemonLink&) = delete;

    bool connected() const noexcept { return _ssl != nullptr; }
    // Writes bytes (one TLS record per 16 KiB), meanwhile reading what comes
    // while fewer than readLimit bytes have been received. False on failure.
    bool write(std::string_view bytes, std::size_t readLimit, std::chrono::steady_clock::time_point deadline);
    // Reads at most max bytes, waiting up to timeout for the first.
    std::size_t read(std::size_t max, std::chrono::milliseconds timeout);
    void halfClose();
    void reset();
    void close();

    std::string received;
    bool ended = false;  // the proxy ended the connection (or it failed)

private:
    std::size_t readAvailable(std::size_t max);

    SSL_CTX* _ctx = nullptr;
    SSL* _ssl = nullptr;
    int _fd = -1;
};

// What a scenario runs against.
struct Target {
    std::uint16_t proxyPort = 0;
    pid_t proxyPid = 0;
    PlanBook* book = nullptr;
    std::vector<std::uint16_t> destinationPorts;
    std::uint16_t canaryPort = 0;
    std::string logPath;                       // the proxy's log file
    std::function<std::string()> proxyStderr;  // its standard error so far
    std::function<bool()> proxyRunning;
};

struct Outcome {
    std::vector<std::string> failures;  // one line per broken invariant
    std::chrono::milliseconds canaryWorst{0};
    std::size_t cutAnswers = 0;
    std::size_t earlyAnswers = 0;      // answer bytes sent before the whole request had come
    std::size_t awaitedContinues = 0;  // bodies held until their 100 Continue came
};

// Plays the scenario against the proxy and checks every invariant.
Outcome run(const Scenario& scenario, const Target& target);

}  // namespace morvex::scenario
