// TLS origins for the proxy's end-to-end tests, on loopback, each connection
// on a thread of its own:
//   TestTlsOrigin reads one request head per connection, answers and closes;
//   it can hold its answers back (so that many outbound connections are open
//   together).
//   FramingOrigin reads each request whole (head, then the body by
//   Content-Length or chunked coding, as the proxy's own framing tells it),
//   records the head and the body's SHA-256, and writes the answer a
//   function gives (after a "100 Continue" when the head has "Expect:
//   100-continue"); it keeps connections open until the peer ends them.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/origin.h"

namespace morvex::test {

class TestTlsOrigin {
public:
    // Serves with the PEM certificate (chain) and unencrypted PEM key.
    TestTlsOrigin(const std::string& certPem, const std::string& keyPem);
    ~TestTlsOrigin();
    TestTlsOrigin(const TestTlsOrigin&) = delete;
    TestTlsOrigin& operator=(const TestTlsOrigin&) = delete;

    std::uint16_t port() const noexcept { return _server->port(); }

    // The body of every answer ("HTTP/1.1 200 OK", Content-Length,
    // Connection: close, then the body).
    void setBody(std::string body);
    std::string response();
    // While held, connections read their request and wait before answering.
    void hold(bool on);

    // Requests read so far (one per connection).
    std::size_t requestCount();
    // Waits until at least n requests have been read.
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout);

private:
    void serve(int fd);

    SSL_CTX* _ctx = nullptr;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::string _response;
    bool _hold = false;
    std::size_t _requests = 0;
    std::unique_ptr<LoopbackAcceptor> _server;
};

class FramingOrigin {
public:
    struct Received {
        std::string head;
        std::size_t bodySize = 0;
        std::string bodySha256;
    };
    // The answer to a request (its head); empty: "HTTP/1.1 200 OK" with
    // the origin's name as a Content-Length body.
    using AnswerFor = std::function<std::string(const std::string& head)>;

    FramingOrigin(const std::string& certPem, const std::string& keyPem, std::string name, AnswerFor answer = {});
    ~FramingOrigin();
    FramingOrigin(const FramingOrigin&) = delete;
    FramingOrigin& operator=(const FramingOrigin&) = delete;

    std::uint16_t port() const noexcept { return _server->port(); }
    // The default answer: 200 with the name as its body.
    std::string defaultAnswer() const;
    std::vector<Received> received();
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout);

private:
    void serve(int fd);

    std::string _name;
    AnswerFor _answer;
    SSL_CTX* _ctx = nullptr;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Received> _received;
    std::unique_ptr<LoopbackAcceptor> _server;
};

}  // namespace morvex::test
