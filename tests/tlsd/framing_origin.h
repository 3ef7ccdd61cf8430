// A TLS origin for the request-framing tests: it reads each request whole
// (head, then the body by Content-Length or chunked coding, as the proxy's
// own framing tells it), records the head and the body's SHA-256, and
// writes the answer a function gives (after a "100 Continue" when the head
// has "Expect: 100-continue"). Connections are kept open after the
// answer (a kept-alive destination) until the peer ends them.
#pragma once

#include <openssl/ssl.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace morvex::test {

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

    std::uint16_t port() const noexcept { return _port; }
    // The default answer: 200 with the name as its body.
    std::string defaultAnswer() const;
    std::vector<Received> received();
    bool waitForRequests(std::size_t n, std::chrono::milliseconds timeout);

private:
    void acceptLoop();
    void serve(int fd);

    std::string _name;
    AnswerFor _answer;
    SSL_CTX* _ctx = nullptr;
    int _listenFd = -1;
    int _stopPipe[2] = {-1, -1};
    std::uint16_t _port = 0;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Received> _received;
    std::vector<std::thread> _workers;
    std::thread _acceptor;
};

}  // namespace morvex::test
