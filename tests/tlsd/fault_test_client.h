// A TLS client of the proxy, also one that can misbehave the way a local
// client may: send its request one TLS record per byte, half-close its side,
// or reset the connection in the middle of an answer. No certificate check.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvex::test {

class FaultClient {
public:
    // Connects to 127.0.0.1:port, from bindAddress when given, and completes
    // the handshake.
    explicit FaultClient(std::uint16_t port, const char* bindAddress = nullptr);
    ~FaultClient();
    FaultClient(const FaultClient&) = delete;
    FaultClient& operator=(const FaultClient&) = delete;

    bool connected() const noexcept { return _ssl != nullptr; }
    bool send(std::string_view bytes);
    // One TLS record per byte, gap between them.
    bool sendBytewise(std::string_view bytes, std::chrono::milliseconds gap);
    // Reads until n bytes arrived, the peer ended the connection or the time
    // ran out; pace > 0 reads at most `chunk` bytes per pace.
    std::string read(std::size_t n, std::chrono::milliseconds timeout, std::chrono::milliseconds pace = {},
                     std::size_t chunk = 16384);
    // Reads one answer framed by Content-Length (either case; head and body); what came
    // when the framing is missing or the connection ended early.
    std::string readAnswer(std::chrono::milliseconds timeout);
    // True when the peer ended the connection (close_notify, end of stream
    // or reset) during the last read.
    bool ended() const noexcept { return _ended; }
    // True when nothing arrives for the whole time and the connection stays open.
    bool silentFor(std::chrono::milliseconds timeout) { return read(1, timeout).empty() && !_ended; }
    // Whether the connection ends (rather than stays silent) within timeout.
    bool endsWithin(std::chrono::milliseconds timeout);
    // Ends the TCP stream in the sending direction, without close_notify.
    void halfClose();
    // Sends close_notify and goes on reading (a TLS 1.3 half-close).
    void closeNotify();
    // Drops the connection with a reset (RST).
    void reset();

private:
    SSL_CTX* _ctx = nullptr;
    SSL* _ssl = nullptr;
    int _fd = -1;
    bool _ended = false;
};

}  // namespace morvex::test
