#include "net/tcp_channel.h"

#include <new>

#include "net/event_loop.h"
#include "net/in_thread_actor.h"
#include "net/tcp_channel_acceptor.h"
#include "net/tcp_channel_loop.h"
#include "net/tls_io_outcome.h"
#include "util/logger.h"

namespace morvex {

namespace {

Logger s_log("TcpChannel");

constexpr long kReadEvents = platform::FD_READ | platform::FD_OOB | platform::FD_CLOSE;

// Posted to the listening loop when a channel goes, so the acceptor can lower
// its active count there. Frees itself after running.
class TcpChannelDestroyedNotice final : public InThreadActor {
public:
    explicit TcpChannelDestroyedNotice(TcpChannelAcceptor* acceptor) noexcept : _acceptor(acceptor) {}
    void callback() override;

private:
    TcpChannelAcceptor* _acceptor;
};

}  // namespace

// Defined here (not in the anonymous namespace) to reach the acceptor's
// private bookkeeping through the friend declaration of TcpChannel.
struct TcpChannelNoticeAccess {
    static void channelGone(TcpChannelAcceptor* acceptor) { acceptor->channelGone(); }
};

namespace {
void TcpChannelDestroyedNotice::callback() {
    TcpChannelNoticeAccess::channelGone(_acceptor);
    delete this;
}
}  // namespace

void AsyncIoTimeout::callback() {
    _channel.onTimeout();
}

TcpChannel::TcpChannel(const SharedSslServerContext& sslContext, bool useSsl)
    : _sslContext(sslContext),
      _useSsl(useSsl && sslContext.valid()),
      _readOp(&TcpChannel::plainRead),
      _writeOp(&TcpChannel::plainWrite),
      _ioTimeout(*this),
      _destructionNotice(nullptr) {}

TcpChannel::~TcpChannel() {
    if (_tcloop) {
        _tcloop->removeTimeout(&_ioTimeout);
        _tcloop->unlinkChannel(this);
        if (isRegistered()) _tcloop->removePolledFd(this);
    }
    if (!_ssl.empty()) _ssl.release();
    if (_destructionNotice) {
        // A stopped listening loop drops the notice; nobody counts then.
        if (!_owner->listeningLoop().postNowait(_destructionNotice)) delete _destructionNotice;
    }
}

void TcpChannel::attach(TcpChannelAcceptor* owner, TcpChannelLoop* loop, const PollableDescriptorRef& socket) {
    _owner = owner;
    _tcloop = loop;
    _socket = socket;
    _destructionNotice = new TcpChannelDestroyedNotice(owner);
    if (_useSsl) {
        _readTimeoutMs = _writeTimeoutMs = sslHandshakeTimeout();
        if (!_ssl.createServer(_sslContext.context(), socket.get())) throw std::bad_alloc();
        _phase = Phase::Handshake;
        _readOp = &TcpChannel::tlsHandshake;
        _writeOp = &TcpChannel::tlsWrite;
    } else {
        _readTimeoutMs = readTimeout();
        _writeTimeoutMs = writeTimeout();
        _phase = Phase::Open;
        connectionEstablished(_data);
    }
    s_log.debug("adding connection to factory created fd = %p", static_cast<void*>(this));
    s_log.info("Accepted connection");
    long mask = kReadEvents;
    if (_phase == Phase::Open && _data.cursor().hasData()) mask |= platform::FD_WRITE;
    loop->addPolledFd(this, socket.get(), mask);
    armTimer();
    loop->linkChannel(this);
}

void TcpChannel::queueOutput(const char* data, std::size_t len) {
    _data.queueOutput(data, len);
    writeQueuedOutput();
}

void TcpChannel::queueOutput(BlockChain& chain) {
    _data.queueOutput(chain);
    writeQueuedOutput();
}

void TcpChannel::writeQueuedOutput() {
    // Inside a step the step itself writes next; before registration (or
    // during the handshake) the bytes wait for the channel to open.
    if (_inStep || _phase != Phase::Open || !isRegistered() || _finishRequested) return;
    if (ioStep()) noteFinishFromOutsideStep();
}

void TcpChannel::changeReadTimeout(std::uint32_t ms) {
    if (_phase != Phase::Open || _readTimeoutMs == ms) return;
    _readTimeoutMs = ms;
    if (!_inStep && isRegistered()) armTimer();
}

bool TcpChannel::startClose() {
    if (_phase != Phase::Open) return false;
    beginClose();
    if (!_inStep && isRegistered()) _tcloop->scheduleService(this);
    return true;
}

void TcpChannel::beginClose() {
    _phase = Phase::Closing;
    if (_useSsl) {
        _readOp = &TcpChannel::tlsShutdown;
        _shutdownZeroSeen = false;
    } else {
        platform::shutdown(_socket->socket(), platform::SD_SEND);
        _readOp = &TcpChannel::closeDrain;
    }
    _readTimeoutMs = _writeTimeoutMs = closeTimeout();
    _data.clear();
    armTimer();
}

void TcpChannel::noteFinishFromOutsideStep() {
    // handleEvents answers "finished" at once; the loop then removes the
    // channel and calls removed(), which finishes it.
    _finishRequested = true;
    _tcloop->scheduleService(this);
}

bool TcpChannel::handleEvents(const PollableDescriptorRef&) {
    if (_finishRequested) return true;
    return ioStep();
}

void TcpChannel::removed(PollableDescriptorRef) {
    finish();
}

bool TcpChannel::ioStep() {
    _inStep = true;
    _delivered = false;
    _sslWant = 0;
    bool progress = false;
    std::uint64_t readBefore = _data.writeCounter();
    std::size_t outBefore = _data.cursor().bytesLeft();
    Phase before = _phase;

    bool end = (this->*_readOp)();
    if (!end && _phase == Phase::Open) end = (this->*_writeOp)();
    // A close started by a callback in this step is driven at once.
    if (!end && _phase == Phase::Closing && before != Phase::Closing) end = (this->*_readOp)();
    _inStep = false;
    if (end || _finishRequested) return true;

    if (_phase == Phase::Open || before == Phase::Handshake) {
        progress = _data.writeCounter() != readBefore || _data.cursor().bytesLeft() != outBefore || before != _phase;
    }
    updateEventsAndTimer(progress && _phase != Phase::Closing);
    return false;
}

bool TcpChannel::deliver() {
    _delivered = true;
    dataAvailable(_data);
    return false;
}

bool TcpChannel::plainRead() {
    if (_data.full()) return false;
    SocketError err;
    std::size_t n = readIntoRing(_socket->socket(), _data, err);
    if (n > 0) deliver();
    if (err) {
        fail(err);
        return true;
    }
    return false;
}

void TcpChannel::writeDone() {
    _data.outputDone();
    asyncWriteComplete();
    // Bytes the consumer left while waiting for the write get another chance.
    if (!_delivered && !_data.empty() && _phase == Phase::Open) deliver();
}

bool TcpChannel::plainWrite() {
    SendCursor& cursor = _data.cursor();
    if (cursor.isEmptyList()) return false;
    SocketError err;
    if (std::size_t n = writeFromCursor(*_socket, cursor, err)) outputWritten(n);
    if (err) {
        fail(err);
        return true;
    }
    if (!cursor.hasData()) writeDone();
    return false;
}

bool TcpChannel::tlsHandshake() {
    int r = _ssl.handshake();
    if (r > 0) {
        const SslContext& ctx = _sslContext.context();
        if (ctx.verifyPeer() && !_ssl.checkPeer(ctx.commonNameToCheck(), ctx.altNameToCheck())) {
            fail(SocketError(SocketError::kCertCheckFailed, 0));
            return true;
        }
        _phase = Phase::Open;
        _readOp = &TcpChannel::tlsRead;
        _readTimeoutMs = readTimeout();
        _writeTimeoutMs = writeTimeout();
        connectionEstablished(_data);
        if (_phase != Phase::Open) return false;
        return tlsRead();
    }
    SslSession::IoStatus st = _ssl.classify(r);
    if (SocketError failure = tlsFailure(st)) {
        fail(failure);
        return true;
    }
    _sslWant = tlsWantEvents(st);
    return false;
}

bool TcpChannel::tlsRead() {
    bool got = false;
    for (;;) {
        if (_data.full()) {
            // Decrypted bytes already inside the session announce no socket
            // event: have the loop call again on its next round.
            if (_ssl.pending() > 0) _tcloop->scheduleService(this);
            break;
        }
        int r = _ssl.read(_data.writePtr(), static_cast<int>(_data.contiguousFree()));
        if (r > 0) {
            _data.commitWrite(static_cast<std::size_t>(r));
            got = true;
            continue;
        }
        SslSession::IoStatus st = _ssl.classify(r);
        if (long want = tlsWantEvents(st)) {
            _sslWant = want;
            break;
        }
        if (got) deliver();
        if (st.kind == SslSession::IoStatus::PeerClosed) {
            // Answer the peer's close notice with ours.
            fail(SocketError::closedByPeer());
            if (_phase == Phase::Open) beginClose();
            return false;
        }
        fail(tlsFailure(st));
        return true;
    }
    if (got) deliver();
    return false;
}

bool TcpChannel::tlsWrite() {
    SendCursor& cursor = _data.cursor();
    if (cursor.isEmptyList()) return false;
    while (cursor.hasData()) {
        if (cursor.currentLen() == 0) {
            cursor.advance(0);
            continue;
        }
        int len = static_cast<int>(std::min(cursor.currentLen(), kMaxSendChunk));
        int r = _ssl.write(cursor.currentData(), len);
        if (r > 0) {
            cursor.advance(static_cast<std::size_t>(r));
            outputWritten(static_cast<std::size_t>(r));
            continue;
        }
        SslSession::IoStatus st = _ssl.classify(r);
        if (SocketError failure = tlsFailure(st)) {
            fail(failure);
            return true;
        }
        _sslWant |= tlsWantEvents(st);
        return false;
    }
    writeDone();
    return false;
}

bool TcpChannel::closeDrain() {
    // Read and discard until the peer's end of stream or an error; bounded
    // per step so one channel cannot hold the loop.
    for (int i = 0; i < 16; ++i) {
        SocketError err;
        std::size_t n = readIntoRing(_socket->socket(), _data, err);
        _data.clear();
        if (err) return true;
        if (n == 0) return false;
    }
    _tcloop->scheduleService(this);
    return false;
}

bool TcpChannel::tlsShutdown() {
    for (;;) {
        int r = _ssl.shutdown();
        if (r == 1) return true;
        if (r == 0) {
            if (_shutdownZeroSeen) return true;
            _shutdownZeroSeen = true;
            continue;
        }
        SslSession::IoStatus st = _ssl.classify(r);
        if (st.kind == SslSession::IoStatus::PeerClosed) return true;  // the peer's notice completes ours
        if (SocketError failure = tlsFailure(st)) {
            fail(failure);
            return true;
        }
        _sslWant = tlsWantEvents(st);
        return false;
    }
}

void TcpChannel::updateEventsAndTimer(bool progress) {
    long want = 0;
    switch (_phase) {
        case Phase::Open:
            // A close is read like data: with the ring full it would only be
            // reported again and again without anyone taking it.
            if (!_data.full()) want |= kReadEvents;
            if (_data.cursor().hasData()) want |= platform::FD_WRITE;
            want |= _sslWant;
            break;
        case Phase::Handshake:
        case Phase::Closing:
            want = _sslWant ? _sslWant : kReadEvents;
            break;
        default:
            return;
    }
    if (want != selectedEvents()) selectEvents(want);
    if (progress) armTimer();
}

void TcpChannel::armTimer() {
    bool writing = _phase == Phase::Handshake ? (_sslWant & platform::FD_WRITE) != 0 : _data.cursor().hasData();
    std::uint32_t ms = writing ? _writeTimeoutMs : _readTimeoutMs;
    _writePending = writing;
    _ioTimeout._count = 0;
    if (ms == 0) {
        _tcloop->removeTimeout(&_ioTimeout);
    } else {
        _tcloop->addTimeout(&_ioTimeout, ms);
    }
}

void TcpChannel::fail(const SocketError& error, bool report) {
    if (!_error) _error = error;
    if (report && !_errorReported) {
        _errorReported = true;
        onError(error);
    }
}

void TcpChannel::onTimeout() {
    std::uint32_t count = ++_ioTimeout._count;
    if (count == 1) {
        // One more round for I/O that is already pending.
        _tcloop->addTimeout(&_ioTimeout, 1);
        return;
    }
    if (_phase == Phase::Open) {
        if (std::uint32_t extra = timeoutExtension()) {
            _tcloop->addTimeout(&_ioTimeout, extra);
            return;
        }
        if (closeGracefullyOnTimeout()) {
            beginClose();
            _tcloop->scheduleService(this);
            return;
        }
    }
    fail(SocketError::timeout(_writePending ? SocketError::kWriteTimeout : SocketError::kReadTimeout),
         _phase != Phase::Closing);
    _tcloop->removePolledFd(this);
    finish();
}

void TcpChannel::finish() {
    _phase = Phase::Finished;
    if (_tcloop) {
        _tcloop->removeTimeout(&_ioTimeout);
        if (isRegistered()) _tcloop->removePolledFd(this);
    }
    if (_socket) _socket->closeSocket();
    if (!_threadedHandler && _owner) _owner->deleteChannel(this);
}

void TcpChannel::crashLogDescribe(CrashLogOutput& out) const noexcept {
    out.printf("In TcpChannel %p, _tcloop=%p", static_cast<const void*>(this), static_cast<const void*>(_tcloop));
    if (_data.cursor().hasData()) {
        _data.cursor().dump(out);
    } else {
        out.write(", no async write data");
    }
    out.write(", ");
    out.flag("_data._shouldKill", _shouldKill);
    out.printf(", r/w_timeouts=%u/%u", _readTimeoutMs, _writeTimeoutMs);
    out.printf(", timeout_count=%u", _ioTimeout.count());
    out.write(", rbuf: ");
    _data.dump(out);
}

void TcpChannel::connectionEstablished(TcpAsyncDataBuffer&) {}

bool TcpChannel::asyncWriteComplete() {
    return false;
}

void TcpChannel::outputWritten(std::size_t) {}

void TcpChannel::onError(const SocketError& error) {
    s_log.info("TcpChannel error: %s", error.text().c_str());
}

std::uint32_t TcpChannel::timeoutExtension() {
    return 0;
}

void TcpChannel::threadSpawnFailed(const char* reason) {
    _shouldKill = true;
    s_log.error("Error spawning a thread: %s", reason);
}

}  // namespace morvex
