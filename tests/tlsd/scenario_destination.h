// The destinations of the scenario test: in-process TLS servers on loopback
// that read one request per connection by its own framing, record exactly
// the bytes that came, and play the part drawn for that request (found by
// its X-Scenario-Id header in a shared book of plans).
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scenario_generator.h"

namespace morvex::scenario {

// What the destinations saw, by request id. Thread-safe.
class PlanBook {
public:
    struct Entry {
        DestinationPlan plan;
        std::uint16_t port = 0;              // where the request should arrive
        std::vector<std::string> received;   // bytes per destination connection
        bool settled = false;                // answered (kept alive) or ended
        bool early = false;                  // answer bytes went before the whole request had come
    };

    void add(const std::string& id, const DestinationPlan& plan, std::uint16_t port);
    void clear();
    // Plays of the connection that read request `id` on `port` (`early`: it
    // answered before the whole request came); false (and an anomaly) when
    // the id is unknown or the port is not the request's.
    bool start(const std::string& id, std::uint16_t port, const std::string& bytes, DestinationPlan& plan,
               bool early = false);
    // The plan of request `id` if it should arrive on `port`, recording nothing.
    bool peek(const std::string& id, std::uint16_t port, DestinationPlan& plan);
    void extraBytes(const std::string& id, const std::string& bytes);
    void settle(const std::string& id);
    void anomaly(std::string text);

    // Whether the destination of each id has answered or ended.
    bool allSettled(const std::vector<std::string>& ids);
    Entry entry(const std::string& id);
    std::vector<std::string> anomalies();
    // Counts every change, for waiters that poll for quiet.
    std::uint64_t changes();

private:
    std::mutex _mutex;
    std::map<std::string, Entry> _entries;
    std::vector<std::string> _anomalies;
    std::uint64_t _changes = 0;
};

// Length of the request at the start of bytes (head, then a Content-Length
// or chunked body), or npos while it is incomplete.
std::size_t requestLength(const std::string& bytes);

struct AnswerWriter;

class ScenarioDestination {
public:
    ScenarioDestination(const std::string& certPem, const std::string& keyPem, PlanBook& book);
    ~ScenarioDestination();
    ScenarioDestination(const ScenarioDestination&) = delete;
    ScenarioDestination& operator=(const ScenarioDestination&) = delete;

    std::uint16_t port() const noexcept { return _port; }
    // Connections open right now.
    std::size_t openConnections();

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
        int fd = -1;
    };
    void acceptLoop();
    void serve(Worker& worker);
    void play(SSL* ssl, const std::string& id, AnswerWriter& writer, std::string& pending);

    PlanBook& _book;
    SSL_CTX* _ctx = nullptr;
    int _listenFd = -1;
    int _wakePipe[2] = {-1, -1};
    std::uint16_t _port = 0;
    std::atomic<bool> _stop{false};
    std::mutex _mutex;
    std::list<Worker> _workers;
    std::thread _acceptor;
};

}  // namespace morvex::scenario
