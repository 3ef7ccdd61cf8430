// The Winsock event emulation on loopback sockets: Windows' rules for when
// each network event is recorded, and waits that sleep instead of spinning.
#include "platform/winsock.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>
#include <memory>
#include <thread>
#include <vector>

namespace morvex::platform {
namespace {

constexpr std::uint32_t kShort = 50;   // ms: long enough for loopback to deliver
constexpr std::uint32_t kLong = 2000;  // ms: only reached when something is broken

SOCKET listenLoopback(std::uint16_t* port) {
    SOCKET s = platform::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, platform::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    EXPECT_EQ(0, platform::listen(s, 16));
    socklen_t len = sizeof addr;
    EXPECT_EQ(0, platform::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len));
    *port = ntohs(addr.sin_port);
    return s;
}

int connectLoopback(SOCKET s, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return platform::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

std::uint32_t waitOne(WSAEVENT ev, std::uint32_t ms) {
    return WSAWaitForMultipleEvents(1, &ev, false, ms, false);
}

WSANETWORKEVENTS enumEvents(SOCKET s, WSAEVENT ev) {
    WSANETWORKEVENTS ne;
    EXPECT_EQ(0, WSAEnumNetworkEvents(s, ev, &ne));
    return ne;
}

SOCKET acceptBlocking(SOCKET listener) {
    for (int i = 0; i < 200; ++i) {
        SOCKET s = platform::accept(listener, nullptr, nullptr);
        if (s != INVALID_SOCKET) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return INVALID_SOCKET;
}

// A connected pair over loopback: `client` made here, `server` accepted.
struct Pair {
    SOCKET listener = INVALID_SOCKET, client = INVALID_SOCKET, server = INVALID_SOCKET;
    std::uint16_t port = 0;
    Pair() {
        listener = listenLoopback(&port);
        client = platform::socket(AF_INET, SOCK_STREAM, 0);
        int rc = connectLoopback(client, port);
        EXPECT_TRUE(rc == 0 || WSAGetLastError() == static_cast<int>(WSAEWOULDBLOCK));
        server = acceptBlocking(listener);
        EXPECT_NE(INVALID_SOCKET, server);
    }
    ~Pair() {
        for (SOCKET s : std::initializer_list<SOCKET>{listener, client, server})
            if (s != INVALID_SOCKET) platform::closesocket(s);
    }
};

struct Event {
    WSAEVENT ev = WSACreateEvent();
    ~Event() { WSACloseEvent(ev); }
    operator WSAEVENT() const { return ev; }
};

TEST(WinsockEvents, WaitReportsTheLowestSignalledIndexOrTimesOut) {
    Event a, b, c;
    WSAEVENT set[3] = {a, b, c};
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(3, set, false, 0, false));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(3, set, false, 20, false));
    ASSERT_TRUE(WSASetEvent(c));
    ASSERT_TRUE(WSASetEvent(b));
    EXPECT_EQ(WSA_WAIT_EVENT_0 + 1, WSAWaitForMultipleEvents(3, set, false, 0, false));
    // Manual reset: still signalled until reset.
    EXPECT_EQ(WSA_WAIT_EVENT_0 + 1, WSAWaitForMultipleEvents(3, set, false, 0, false));
    ASSERT_TRUE(WSAResetEvent(b));
    EXPECT_EQ(WSA_WAIT_EVENT_0 + 2, WSAWaitForMultipleEvents(3, set, false, 0, false));

    EXPECT_EQ(WSA_WAIT_FAILED, WSAWaitForMultipleEvents(0, set, false, 0, false));
    EXPECT_EQ(static_cast<int>(WSAEINVAL), WSAGetLastError());
}

TEST(WinsockEvents, SetEventFromAnotherThreadWakesAnInfiniteWait) {
    Event a, b;
    WSAEVENT set[2] = {a, b};
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WSASetEvent(b);
    });
    EXPECT_EQ(WSA_WAIT_EVENT_0 + 1, WSAWaitForMultipleEvents(2, set, false, WSA_INFINITE, false));
    setter.join();
}

TEST(WinsockEvents, AcceptIsReportedOnceUntilTheNextAccept) {
    std::uint16_t port;
    SOCKET listener = listenLoopback(&port);
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(listener, ev, FD_ACCEPT));
    SOCKET c1 = platform::socket(AF_INET, SOCK_STREAM, 0);
    SOCKET c2 = platform::socket(AF_INET, SOCK_STREAM, 0);
    connectLoopback(c1, port);
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    EXPECT_EQ(FD_ACCEPT, enumEvents(listener, ev).lNetworkEvents);

    connectLoopback(c2, port);
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort)) << "FD_ACCEPT again before accept";

    SOCKET s1 = platform::accept(listener, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, s1);
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong)) << "a second pending connection re-records FD_ACCEPT";
    EXPECT_EQ(FD_ACCEPT, enumEvents(listener, ev).lNetworkEvents);
    SOCKET s2 = platform::accept(listener, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, s2);
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort));
    EXPECT_EQ(INVALID_SOCKET, platform::accept(listener, nullptr, nullptr));
    EXPECT_EQ(static_cast<int>(WSAEWOULDBLOCK), WSAGetLastError());
    for (SOCKET s : std::initializer_list<SOCKET>{c1, c2, s1, s2, listener}) platform::closesocket(s);
}

TEST(WinsockEvents, ReadIsReportedOnceUntilTheNextRecv) {
    Pair p;
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(p.server, ev, FD_READ | FD_CLOSE));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, 0));
    ASSERT_EQ(2, platform::send(p.client, "ab", 2, 0));
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    WSANETWORKEVENTS ne = enumEvents(p.server, ev);
    EXPECT_EQ(FD_READ, ne.lNetworkEvents);
    EXPECT_EQ(0, ne.iErrorCode[FD_READ_BIT]);

    ASSERT_EQ(1, platform::send(p.client, "c", 1, 0));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort)) << "FD_READ again before recv";

    char buf[8];
    ASSERT_EQ(1, platform::recv(p.server, buf, 1, 0));
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong)) << "data left after recv re-records FD_READ";
    EXPECT_EQ(FD_READ, enumEvents(p.server, ev).lNetworkEvents);
    ASSERT_EQ(2, platform::recv(p.server, buf, sizeof buf, 0));
    EXPECT_EQ(0, std::memcmp(buf, "bc", 2));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort));
    EXPECT_EQ(SOCKET_ERROR, platform::recv(p.server, buf, sizeof buf, 0));
    EXPECT_EQ(static_cast<int>(WSAEWOULDBLOCK), WSAGetLastError());
}

TEST(WinsockEvents, WriteOnConnectAndAgainOnlyAfterWouldBlock) {
    std::uint16_t port;
    SOCKET listener = listenLoopback(&port);
    SOCKET client = platform::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    platform::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(client, ev, FD_CONNECT | FD_WRITE | FD_CLOSE));
    int rc = connectLoopback(client, port);
    ASSERT_TRUE(rc == 0 || WSAGetLastError() == static_cast<int>(WSAEWOULDBLOCK));
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    WSANETWORKEVENTS ne = enumEvents(client, ev);
    EXPECT_EQ(FD_CONNECT | FD_WRITE, ne.lNetworkEvents);
    EXPECT_EQ(0, ne.iErrorCode[FD_CONNECT_BIT]);
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort)) << "FD_WRITE while merely writable";

    SOCKET server = acceptBlocking(listener);
    std::string chunk(65536, 'x');
    while (platform::send(client, chunk.data(), static_cast<int>(chunk.size()), 0) > 0) {
    }
    ASSERT_EQ(static_cast<int>(WSAEWOULDBLOCK), WSAGetLastError());
    std::atomic<bool> done{false};
    std::thread drain([&] {
        char buf[65536];
        while (!done) {
            if (platform::recv(server, buf, sizeof buf, 0) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    EXPECT_EQ(FD_WRITE, enumEvents(client, ev).lNetworkEvents);
    done = true;
    drain.join();
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort)) << "FD_WRITE is not repeated without a new would-block";
    for (SOCKET s : std::initializer_list<SOCKET>{client, server, listener}) platform::closesocket(s);
}

TEST(WinsockEvents, RefusedConnectIsReportedAsFdConnectWithItsCode) {
    std::uint16_t port;
    SOCKET probe = listenLoopback(&port);
    platform::closesocket(probe);  // nothing listens on the port now
    SOCKET client = platform::socket(AF_INET, SOCK_STREAM, 0);
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(client, ev, FD_CONNECT | FD_WRITE | FD_READ | FD_CLOSE));
    ASSERT_EQ(SOCKET_ERROR, connectLoopback(client, port));
    EXPECT_EQ(static_cast<int>(WSAEWOULDBLOCK), WSAGetLastError());
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    WSANETWORKEVENTS ne = enumEvents(client, ev);
    EXPECT_EQ(FD_CONNECT, ne.lNetworkEvents);
    EXPECT_EQ(static_cast<int>(WSAECONNREFUSED), ne.iErrorCode[FD_CONNECT_BIT]);
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort)) << "a failed socket is not reported again";
    platform::closesocket(client);
}

TEST(WinsockEvents, OrderlyCloseIsSeenEvenWithReadDisarmed) {
    Pair p;
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(p.server, ev, FD_READ | FD_CLOSE));
    ASSERT_EQ(3, platform::send(p.client, "abc", 3, 0));
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    EXPECT_EQ(FD_READ, enumEvents(p.server, ev).lNetworkEvents);
    // No recv: FD_READ stays disarmed, yet the close must be noticed.
    platform::closesocket(p.client);
    p.client = INVALID_SOCKET;
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    WSANETWORKEVENTS ne = enumEvents(p.server, ev);
    EXPECT_EQ(FD_CLOSE, ne.lNetworkEvents);
    EXPECT_EQ(0, ne.iErrorCode[FD_CLOSE_BIT]);
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort)) << "FD_CLOSE is reported once";
    char buf[8];
    EXPECT_EQ(3, platform::recv(p.server, buf, sizeof buf, 0));
    EXPECT_EQ(0, platform::recv(p.server, buf, sizeof buf, 0));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort)) << "nothing more after the end of the stream";
}

TEST(WinsockEvents, ResetIsReportedAsCloseWith10054AndRecvFails) {
    Pair p;
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(p.server, ev, FD_READ | FD_WRITE | FD_CLOSE));
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    EXPECT_EQ(FD_WRITE, enumEvents(p.server, ev).lNetworkEvents) << "FD_WRITE when selected on a connected socket";
    linger abortive{1, 0};
    ASSERT_EQ(0, platform::setsockopt(p.client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive));
    platform::closesocket(p.client);
    p.client = INVALID_SOCKET;
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    WSANETWORKEVENTS ne = enumEvents(p.server, ev);
    EXPECT_TRUE(ne.lNetworkEvents & FD_CLOSE);
    EXPECT_EQ(static_cast<int>(WSAECONNRESET), ne.iErrorCode[FD_CLOSE_BIT]);
    char buf[8];
    EXPECT_EQ(SOCKET_ERROR, platform::recv(p.server, buf, sizeof buf, 0));
    EXPECT_EQ(static_cast<int>(WSAECONNRESET), WSAGetLastError());
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort));
}

TEST(WinsockEvents, SendToAClosedPeerFailsWithoutSigpipe) {
    struct sigaction previous {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &previous);  // a SIGPIPE would kill the test program
    Pair p;
    platform::closesocket(p.server);
    p.server = INVALID_SOCKET;
    std::string chunk(4096, 'x');
    int rc = 0;
    for (int i = 0; i < 1000 && rc != SOCKET_ERROR; ++i) {
        rc = platform::send(p.client, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (rc != SOCKET_ERROR) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(SOCKET_ERROR, rc);
    int code = WSAGetLastError();
    EXPECT_TRUE(code == static_cast<int>(WSAECONNRESET) || code == static_cast<int>(WSAECONNABORTED)) << code;
    WSABUF buf{4, chunk.data()};
    std::uint32_t sent = 0;
    EXPECT_EQ(SOCKET_ERROR, WSASend(p.client, &buf, 1, &sent, 0, nullptr, nullptr));
    sigaction(SIGPIPE, &previous, nullptr);
}

double cpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST(WinsockEvents, AnIdleWaitSleepsInsteadOfSpinning) {
    // The worst case for a level-triggered poll: unread data whose FD_READ was
    // already reported, a writable socket whose FD_WRITE was reported, a
    // listener with a connection not yet accepted, and a closed peer.
    Pair p;
    Event readEv, listenEv, closedEv;
    ASSERT_EQ(0, WSAEventSelect(p.server, readEv, FD_READ | FD_WRITE | FD_CLOSE));
    ASSERT_EQ(0, WSAEventSelect(p.listener, listenEv, FD_ACCEPT));
    ASSERT_EQ(0, WSAEventSelect(p.client, closedEv, FD_READ | FD_WRITE | FD_CLOSE));
    ASSERT_EQ(1, platform::send(p.client, "x", 1, 0));
    SOCKET pending = platform::socket(AF_INET, SOCK_STREAM, 0);
    connectLoopback(pending, p.port);
    platform::shutdown(p.server, SD_SEND);
    WSAEVENT set[3] = {readEv, listenEv, closedEv};
    for (int i = 0; i < 6; ++i) {
        std::uint32_t r = WSAWaitForMultipleEvents(3, set, false, kShort, false);
        if (r == WSA_WAIT_TIMEOUT) break;
        ASSERT_LT(r, 3u);
        SOCKET sockets[3] = {p.server, p.listener, p.client};
        enumEvents(sockets[r], set[r]);
    }
    double before = cpuSeconds();
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(3, set, false, 300, false));
    EXPECT_LT(cpuSeconds() - before, 0.05) << "CPU time spent in a 300 ms idle wait";
    platform::closesocket(pending);
}

TEST(WinsockEvents, AClosedSocketsSelectionDoesNotFollowItsReusedDescriptor) {
    Pair p;
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(p.server, ev, FD_READ | FD_CLOSE));
    SOCKET old = p.server;
    ASSERT_EQ(0, platform::closesocket(p.server));
    // The next accepted socket normally gets the same descriptor back.
    SOCKET c2 = platform::socket(AF_INET, SOCK_STREAM, 0);
    connectLoopback(c2, p.port);
    p.server = acceptBlocking(p.listener);
    ASSERT_NE(INVALID_SOCKET, p.server);
    ASSERT_EQ(1, platform::send(c2, "x", 1, 0));
    EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, kShort)) << "the event followed descriptor " << old;
    EXPECT_EQ(0, enumEvents(p.server, nullptr).lNetworkEvents);
    platform::closesocket(c2);

    EXPECT_EQ(SOCKET_ERROR, WSAEventSelect(1 << 20, ev, FD_READ));
    EXPECT_EQ(static_cast<int>(WSAENOTSOCK), WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, platform::closesocket(1 << 20));
    EXPECT_EQ(static_cast<int>(WSAENOTSOCK), WSAGetLastError());
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

TEST(WinsockEvents, SelectedSocketsAndEventsCostNoDescriptorOfTheirOwn) {
    std::thread([] {
        // The waiting thread's own epoll and wake descriptor come first.
        Event warmUp;
        waitOne(warmUp, 1);
        std::vector<std::unique_ptr<Pair>> pairs;
        for (int i = 0; i < 8; ++i) pairs.push_back(std::make_unique<Pair>());
        const int before = openDescriptors();
        std::vector<std::unique_ptr<Event>> events;
        std::vector<WSAEVENT> handles;
        for (auto& p : pairs) {
            events.push_back(std::make_unique<Event>());
            handles.push_back(*events.back());
            ASSERT_EQ(0, WSAEventSelect(p->server, *events.back(), FD_READ | FD_CLOSE));
        }
        ASSERT_EQ(1, platform::send(pairs[5]->client, "x", 1, 0));
        EXPECT_EQ(WSA_WAIT_EVENT_0 + 5, WSAWaitForMultipleEvents(8, handles.data(), false, kLong, false));
        EXPECT_EQ(before, openDescriptors());
    }).join();
}

TEST(WinsockEvents, AnEventFollowsTheThreadThatWaitsOnIt) {
    Pair p;
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(p.server, ev, FD_READ | FD_CLOSE));
    // First one thread waits on it, then another; the socket's readiness
    // reaches whichever waits now, and SetEvent wakes it too.
    std::thread([&] { EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, 20)); }).join();
    std::thread second([&] {
        ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
        EXPECT_EQ(FD_READ, enumEvents(p.server, ev).lNetworkEvents);
        char buf[8];
        EXPECT_EQ(1, platform::recv(p.server, buf, sizeof buf, 0));
        EXPECT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));  // woken by WSASetEvent below
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(1, platform::send(p.client, "x", 1, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WSASetEvent(ev);
    second.join();
}

TEST(WinsockEvents, AThreadThatOnlyPollsStillSeesNetworkEvents) {
    Pair p;
    std::thread([&] {
        Event ev;
        ASSERT_EQ(0, WSAEventSelect(p.server, ev, FD_READ | FD_CLOSE));
        EXPECT_EQ(WSA_WAIT_TIMEOUT, waitOne(ev, 0));
        ASSERT_EQ(1, platform::send(p.client, "x", 1, 0));
        std::uint32_t r = WSA_WAIT_TIMEOUT;
        for (int i = 0; i < 400 && r == WSA_WAIT_TIMEOUT; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            r = waitOne(ev, 0);
        }
        EXPECT_EQ(WSA_WAIT_EVENT_0, r);
        EXPECT_EQ(FD_READ, enumEvents(p.server, ev).lNetworkEvents);
        EXPECT_EQ(WSA_WAIT_TIMEOUT, FirstSignalledEvent(1, &ev.ev));
    }).join();
}

TEST(WinsockEvents, AFlagKeptSetDoesNotHideASocketBelowIt) {
    // A loop whose notification (or a waiter's report) stays signalled must
    // still learn of its sockets, and the lowest ready index wins.
    Pair p;
    Event sockEv, busy;
    ASSERT_EQ(0, WSAEventSelect(p.server, sockEv, FD_READ | FD_CLOSE));
    WSAEVENT set[2] = {sockEv, busy};
    EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(2, set, false, 20, false));
    ASSERT_TRUE(WSASetEvent(busy));
    ASSERT_EQ(1, platform::send(p.client, "x", 1, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(kShort));
    for (std::uint32_t timeout : {kShort, 0u}) {
        EXPECT_EQ(WSA_WAIT_EVENT_0, WSAWaitForMultipleEvents(2, set, false, timeout, false)) << timeout;
        EXPECT_EQ(FD_READ, enumEvents(p.server, sockEv).lNetworkEvents);
        char buf[4];
        EXPECT_EQ(1, platform::recv(p.server, buf, sizeof buf, 0));
        ASSERT_EQ(1, platform::send(p.client, "y", 1, 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(kShort));
    }
}

TEST(WinsockEvents, AConnectionResetBeforeItsSelectionIsReportedClosed) {
    // The client resets before the server even accepts: the accepted socket
    // has no peer any more, yet its close must be reported, not left unseen.
    SOCKET c = INVALID_SOCKET;
    Pair p;
    c = platform::socket(AF_INET, SOCK_STREAM, 0);
    connectLoopback(c, p.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    linger lg{1, 0};
    ASSERT_EQ(0, platform::setsockopt(c, SOL_SOCKET, SO_LINGER, &lg, sizeof lg));
    ASSERT_EQ(0, platform::closesocket(c));
    SOCKET s = acceptBlocking(p.listener);
    ASSERT_NE(INVALID_SOCKET, s);
    Event ev;
    ASSERT_EQ(0, WSAEventSelect(s, ev, FD_READ | FD_CLOSE));
    ASSERT_EQ(WSA_WAIT_EVENT_0, waitOne(ev, kLong));
    WSANETWORKEVENTS ne = enumEvents(s, ev);
    EXPECT_TRUE(ne.lNetworkEvents & FD_CLOSE);
    EXPECT_EQ(static_cast<int>(WSAECONNRESET), ne.iErrorCode[FD_CLOSE_BIT]);
    platform::closesocket(s);
}

}  // namespace
}  // namespace morvex::platform
