// TcpOutbound: one client connection driven by an event loop. It connects
// without blocking (early outcomes are reported from the loop through 0 ms
// timers), optionally runs a TLS client handshake, writes a caller's send
// list, reads into a 16384-byte ring and ends in an orderly or immediate way,
// under connect, read, write and TLS-shutdown time-outs.
//
// A connection is created on any thread, then connected and from then on
// touched only on its loop's thread; it finishes there (finish(), then
// finished(), which a subclass uses to delete it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/event_loop.h"
#include "net/in_thread_actor.h"
#include "net/pollable_descriptor.h"
#include "net/polled_fd.h"
#include "net/receive_ring.h"
#include "net/socket_error.h"
#include "net/socket_ops.h"
#include "net/tcp_async_data_buffer.h"
#include "net/timeout.h"
#include "tls/ssl_context.h"
#include "tls/ssl_session.h"

namespace morvex {

class TcpOutbound;

// The event loop of outbound connections; it lists the connections that are
// in an orderly TLS shutdown.
class TcpOutboundLoop : public EventLoop {
public:
    TcpOutboundLoop() = default;
    ~TcpOutboundLoop() override;

    void addTerminating(TcpOutbound* connection) noexcept;
    void removeTerminating(TcpOutbound* connection) noexcept;
    std::size_t terminatingCount() const noexcept { return _terminatingCount; }

private:
    TcpOutbound* _terminating = nullptr;
    std::size_t _terminatingCount = 0;
};

class TcpOutbound : public PolledFd {
public:
    using Ring = ReceiveRing<16384>;

    // "_tstate" values.
    enum State : int {
        kOpenPlain = 0,
        kOpenTls = 1,
        kConnecting = 2,
        kHandshake = 3,
        kTlsShutdown = 4,
        kCreated = 5,
        kTerminated = 6,
        kFailedOpen = 7,
        kFailedConnecting = 8,
    };

    // The I/O timer; the first expiry gives the loop one more millisecond.
    class IoTimeout : public OneShotTimeout {
    public:
        explicit IoTimeout(TcpOutbound& owner) noexcept : _owner(owner) {}
        void callback() override;

    private:
        TcpOutbound& _owner;
    };

    // A connect that completed or failed inside the call to connect is
    // reported from the loop through these 0 ms timers.
    class ConnectFinishedEarlyActor : public OneShotTimeout {
    public:
        explicit ConnectFinishedEarlyActor(TcpOutbound& owner) noexcept : _owner(owner) {}
        void callback() override;

    private:
        TcpOutbound& _owner;
    };
    class ConnectFailedEarlyActor : public OneShotTimeout {
    public:
        explicit ConnectFailedEarlyActor(TcpOutbound& owner) noexcept : _owner(owner) {}
        void callback() override;

    private:
        TcpOutbound& _owner;
    };

    // sslContext: the client TLS context, or null for plain TCP (not owned;
    // it must outlive the connection).
    TcpOutbound(TcpOutboundLoop& loop, std::string host, const SslContext* sslContext);
    ~TcpOutbound() override;

    // Runs the connect on the loop's thread and waits for it. False only when
    // the loop could not run it (not running); the outcome of the connect
    // arrives later through the callbacks.
    bool connect(const SocketAddress& address);
    // Posts the connect to the loop without waiting. False when the loop is
    // not running (nothing was posted). Once true, the connection belongs to
    // the loop's thread.
    bool connectNowait(const SocketAddress& address);
    // Points the write cursor at list, which must stay valid and unchanged
    // until asyncWriteComplete(). Loop thread, or before connect.
    void setAsyncWriteData(const SendList& list, std::size_t index = 0, std::size_t offset = 0);
    // Asks the loop to end the connection: orderly (TLS shutdown when TLS is
    // open) or immediate. Any thread; waits until the loop took the request.
    void terminateExternally(bool immediate);

    void setSni(std::string sni) { _sni = std::move(sni); }
    void setConnectTimeout(std::uint32_t ms) noexcept { _connectTimeoutMs = ms; }
    void setReadTimeout(std::uint32_t ms) noexcept { _readTimeoutMs = ms; }
    void setWriteTimeout(std::uint32_t ms) noexcept { _writeTimeoutMs = ms; }
    void setSslShutdownTimeout(std::uint32_t ms) noexcept { _sslShutdownTimeoutMs = ms; }
    // Loop thread: while paused nothing is read and dataAvailable is not
    // called. An end the destination reached while bytes still wait in the
    // ring is held until they are handed over after the pause.
    void setPaused(bool paused);
    bool paused() const noexcept { return _paused; }

    TcpOutboundLoop& loop() const noexcept { return _toloopp; }
    const std::string& host() const noexcept { return _host; }
    const std::string& sni() const noexcept { return _sni; }
    int state() const noexcept { return _tstate; }
    const SocketError& pendingError() const noexcept { return _serr; }
    bool usesSsl() const noexcept { return _sslContext != nullptr; }
    const SslSession& sslSession() const noexcept { return _ssl; }
    Ring& rbuf() noexcept { return _rbuf; }
    const SendCursor& writeCursor() const noexcept { return _cursor; }
    std::uint32_t connectTimeout() const noexcept { return _connectTimeoutMs; }
    std::uint32_t readTimeout() const noexcept { return _readTimeoutMs; }
    std::uint32_t writeTimeout() const noexcept { return _writeTimeoutMs; }
    std::uint32_t sslShutdownTimeout() const noexcept { return _sslShutdownTimeoutMs; }
    std::uint32_t timeoutCount() const noexcept { return _timeoutCount; }

    // --- virtual operations ---

    void crashLogDescribe(CrashLogOutput& out) const noexcept override;
    // Dropped by the loop after the state step reported the end: finish.
    void removed(PollableDescriptorRef ipd) override;
    // Runs the state step; true (drop me) when it reports the end.
    bool handleEvents(const PollableDescriptorRef& ipd) override;

    // End of a connection: last TLS shutdown attempt after an orderly
    // termination, frees the session, closes the socket, then finished().
    virtual void finish();
    // On the loop's thread, just before the socket is created.
    virtual void connectStarting();
    virtual void connectionMade();
    // The ring holds bytes; consume what is used (ring.consume(n)).
    virtual void dataAvailable(Ring& ring) = 0;
    // Every byte of the send list went out (the cursor is back on the empty list).
    virtual void asyncWriteComplete() = 0;
    virtual bool serverCertificateAcceptable();
    // Prepares the session before a handshake step; default nothing more.
    virtual void setupSslSession(SslSession& session, const SslContext& context, const std::string& host);
    // Called once with the error that ends the connection; logs at INFO
    // "TcpOutbound error: " and the text.
    virtual void onError(const SocketError& error);
    // The connection has finished; the default does nothing.
    virtual void finished();
    // The peer went away with bytes still in the ring; dataAvailable follows.
    virtual void aboutToDrainAfterUnexpectedClose() = 0;

private:
    friend class TcpOutboundLoop;
    friend class TcpOutboundConnectActor;
    friend class TcpOutboundPostedConnect;

    // The connect posted by connectNowait, embedded so posting allocates nothing.
    class PostedConnect : public InThreadActor {
    public:
        explicit PostedConnect(TcpOutbound& owner) noexcept : _owner(owner) {}
        void callback() override;

    private:
        TcpOutbound& _owner;
    };

    friend class TcpOutboundTerminateExternallyActor;

    void doConnect(const SocketAddress& address);
    // Reports a connect that failed before the loop watched it, from the
    // loop a moment later.
    void failConnectEarly(std::uint32_t code);
    void connectFinishedEarly();
    void connectFailedEarly();
    // Connect done: plain -> open, TLS -> session and handshake. True: end.
    bool connectCompleted();
    bool stateStep();
    bool handshakeStep();
    bool openStep();
    bool shutdownStep();
    bool startTlsShutdown();
    // Reads once (plain) or until want-read (TLS) into the ring.
    std::size_t readSome(SocketError& error);
    std::size_t writeSome(SocketError& error);
    void closeWithDataPending(SocketError& error);
    // Keeps an ending connection whose ring still holds bytes that a pause
    // keeps back: no events, no timer, until setPaused(false).
    void holdError(const SocketError& error);
    void report(const SocketError& error);
    void chooseEventsAndTimer(bool progress);
    void armTimer(std::uint32_t ms);
    // After progress: the write time-out while request bytes remain, else the
    // read time-out while reading, else none.
    void rearmTimer();
    void onTimeout();
    // Ends the connection from outside handleEvents (timer, actor).
    void endNow();
    void blockingTlsShutdown();
    void terminateRequested(int how);

    IoTimeout _timer;
    std::uint32_t _timeoutCount = 0;
    TcpOutboundLoop& _toloopp;
    const SslContext* _sslContext;
    std::string _host;
    SslSession _ssl;
    std::string _sni;
    SocketAddress _peer;
    long _wantEvents = 0;
    long _setEvents = 0;
    std::uint32_t _connectTimeoutMs = 5000;
    std::uint32_t _readTimeoutMs = 5000;
    std::uint32_t _writeTimeoutMs = 5000;
    std::uint32_t _sslShutdownTimeoutMs = 2000;
    bool _paused = false;
    int _isTerminated = 0;
    EventLoop* _destLoop = nullptr;  // moves between loops are not used
    int _tstate = kCreated;
    SocketError _serr;
    bool _errorReported = false;
    bool _sslShutdownReturnedZero = false;
    bool _sslShutdownSent = false;
    bool _inStep = false;
    bool _finished = false;
    long _sslWant = 0;
    SendCursor _cursor;
    Ring _rbuf;
    ConnectFinishedEarlyActor _connectFinishedEarly;
    ConnectFailedEarlyActor _connectFailedEarly;
    PostedConnect _postedConnect;
    SocketError _heldError;
    PollableDescriptorRef _socket;
    TcpOutbound* _termPrev = nullptr;
    TcpOutbound* _termNext = nullptr;
    bool _onTerminatingList = false;
};

}  // namespace morvex
