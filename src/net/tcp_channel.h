// TcpChannel: one accepted, non-blocking connection on a TcpChannelLoop, with
// a 65536-byte receive ring, a queued output buffer, optional TLS (server
// side), one I/O timer and an orderly close.
//
// Subclasses override the callbacks (connectionEstablished, dataAvailable,
// asyncWriteComplete, onError) and may change the time-outs through the
// virtual getters. Everything runs on the owning loop's thread; other threads
// reach a channel only by posting actors to its loop.
//
// Life: TLS handshake (TLS channels) -> open -> closing (plain drain or TLS
// shutdown) -> finished, then deleted by its acceptor (deleteChannel).
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/pollable_descriptor.h"
#include "net/polled_fd.h"
#include "net/socket_error.h"
#include "net/socket_ops.h"
#include "net/tcp_async_data_buffer.h"
#include "net/timeout.h"
#include "tls/ssl_context.h"
#include "tls/ssl_session.h"
#include "util/base_exception.h"

namespace morvex {

class InThreadActor;
class TcpChannel;
class TcpChannelAcceptor;
class TcpChannelLoop;

// The channel's I/O timer. The first expiry gives the loop one more round
// (1 ms) to process pending I/O; any progress re-arms it and clears the count.
class AsyncIoTimeout : public OneShotTimeout {
public:
    explicit AsyncIoTimeout(TcpChannel& channel) noexcept : _channel(channel) {}
    void callback() override;
    std::uint32_t count() const noexcept { return _count; }

private:
    friend class TcpChannel;
    TcpChannel& _channel;
    std::uint32_t _count = 0;
};

class TcpChannel : public PolledFd {
public:
    // A SocketError with its text, for set-up paths that must throw.
    class Error : public BaseException {
    public:
        explicit Error(const SocketError& error) : BaseException(error.text()), _error(error) {}
        const SocketError& error() const noexcept { return _error; }

    private:
        SocketError _error;
    };

    enum class Phase : std::uint8_t { Created, Handshake, Open, Closing, Finished };

    // sslContext/useSsl: the server TLS context and whether this channel
    // speaks TLS (a TLS channel needs a valid context).
    TcpChannel(const SharedSslServerContext& sslContext, bool useSsl);
    // Unlinks from the loop's list, posts the destruction notice to the
    // listening loop, stops the timer, frees the TLS session.
    ~TcpChannel() override;

    // --- operations for subclasses and their actors (loop thread) ---

    // Appends bytes to the output buffer and runs the I/O step once without
    // waiting for an event. Bytes queued before the channel is attached go
    // out once it is registered.
    void queueOutput(const char* data, std::size_t len);
    void queueOutput(BlockChain& chain);
    // Starts the orderly close; false when it cannot start (still in the TLS
    // handshake, already closing or finished).
    bool startClose();
    // Replaces the read time-out of an open channel from now on (0: none).
    void changeReadTimeout(std::uint32_t ms);

    TcpAsyncDataBuffer& data() noexcept { return _data; }
    TcpChannelLoop* channelLoop() const noexcept { return _tcloop; }
    TcpChannelAcceptor* owner() const noexcept { return _owner; }
    const PollableDescriptorRef& socketHandle() const noexcept { return _socket; }
    bool useSsl() const noexcept { return _useSsl; }
    const SslSession& sslSession() const noexcept { return _ssl; }
    Phase phase() const noexcept { return _phase; }
    std::uint32_t currentReadTimeout() const noexcept { return _readTimeoutMs; }
    std::uint32_t currentWriteTimeout() const noexcept { return _writeTimeoutMs; }
    const AsyncIoTimeout& ioTimeout() const noexcept { return _ioTimeout; }

    // --- virtual operations ---

    // State dump: "In TcpChannel %p, _tcloop=%p", the write cursor, flags,
    // time-outs, the timer's count and the receive ring after "rbuf: ".
    void crashLogDescribe(CrashLogOutput& out) const noexcept override;
    // The loop removed the channel after handleEvents asked for it: finish.
    void removed(PollableDescriptorRef ipd) override;
    // Runs the I/O step.
    bool handleEvents(const PollableDescriptorRef& ipd) override;

    // Stops the timer, closes the socket and, unless a threaded handler owns
    // the channel, asks the owner to delete it. The channel must no longer
    // be registered with its loop.
    virtual void finish();

    virtual void connectionEstablished(TcpAsyncDataBuffer& data);
    // The ring holds new bytes; consume what is used (data.consume(n)).
    virtual void dataAvailable(TcpAsyncDataBuffer& data) = 0;
    // Every queued byte went out. The return value is not used here.
    virtual bool asyncWriteComplete();
    // n queued bytes have just been handed to the socket (or TLS session).
    virtual void outputWritten(std::size_t n);
    // Called once with the error that ends the channel; logs at INFO
    // "TcpChannel error: " and the text.
    virtual void onError(const SocketError& error);
    // Extra milliseconds to wait when an open channel times out (0: none).
    virtual std::uint32_t timeoutExtension();
    virtual std::uint32_t readTimeout() const { return 0; }
    virtual std::uint32_t writeTimeout() const { return 240000; }
    virtual std::uint32_t sslHandshakeTimeout() const { return 60000; }
    virtual std::uint32_t closeTimeout() const { return 20000; }
    virtual bool isAsync() const { return true; }
    // Marks the channel to be killed and logs "Error spawning a thread: %s".
    virtual void threadSpawnFailed(const char* reason);
    virtual bool closeGracefullyOnTimeout() const { return _useSsl; }

private:
    friend class TcpChannelAcceptor;
    friend class TcpChannelLoop;
    friend class AsyncIoTimeout;

    using IoOp = bool (TcpChannel::*)();  // true: the channel is to finish

    // Channel creation on the owning loop (after the factory): sets owner and
    // loop, starts TLS or calls connectionEstablished, registers the socket,
    // arms the timer and links the channel into the loop's list. Throws
    // std::bad_alloc when the TLS session cannot be created.
    void attach(TcpChannelAcceptor* owner, TcpChannelLoop* loop, const PollableDescriptorRef& socket);

    // One I/O step; true when the channel is to finish.
    bool ioStep();
    bool plainRead();
    bool plainWrite();
    bool tlsHandshake();
    bool tlsRead();
    bool tlsWrite();
    bool closeDrain();
    bool tlsShutdown();
    bool deliver();
    void writeDone();
    // Selects the events wanted now and re-arms the timer after progress.
    void updateEventsAndTimer(bool progress);
    void armTimer();
    void beginClose();
    // Records and reports the error (once).
    void fail(const SocketError& error, bool report = true);
    void onTimeout();
    void noteFinishFromOutsideStep();
    // After bytes were queued from outside a step: writes them now when the
    // channel is open.
    void writeQueuedOutput();

    TcpAsyncDataBuffer _data;
    void* _threadedHandler = nullptr;  // never set in this program
    std::uint32_t _readTimeoutMs = 0;
    std::uint32_t _writeTimeoutMs = 0;
    TcpChannelAcceptor* _owner = nullptr;
    TcpChannelLoop* _tcloop = nullptr;
    SharedSslServerContext _sslContext;
    bool _useSsl;
    SslSession _ssl;
    IoOp _readOp;
    IoOp _writeOp;
    TcpChannel* _listPrev = nullptr;
    TcpChannel* _listNext = nullptr;
    AsyncIoTimeout _ioTimeout;
    bool _writePending = false;
    InThreadActor* _destructionNotice;
    PollableDescriptorRef _socket;
    Phase _phase = Phase::Created;
    long _sslWant = 0;  // events a TLS call asked for
    SocketError _error;
    bool _errorReported = false;
    bool _shouldKill = false;
    bool _inStep = false;
    bool _finishRequested = false;
    bool _shutdownZeroSeen = false;
    bool _delivered = false;
};

}  // namespace morvex
