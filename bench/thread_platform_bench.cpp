// Costs of the calls every loop iteration and every log line make: the tick
// count, the current thread's name, and the Winsock event wait.
#include <benchmark/benchmark.h>

#include "platform/tick_count.h"
#include "platform/winsock.h"
#include "util/thread.h"

namespace {

using namespace morvex;
using namespace morvex::platform;

void BM_GetTickCount64(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(GetTickCount64());
}
BENCHMARK(BM_GetTickCount64);

void BM_CurrentThreadName(benchmark::State& state) {
    EmptyMainThread::ensureForTest();
    for (auto _ : state) benchmark::DoNotOptimize(Thread::currentThreadName());
}
BENCHMARK(BM_CurrentThreadName);

// A wait whose first event is already signalled: no poll needed.
void BM_WaitSignalled(benchmark::State& state) {
    WSAEVENT ev = WSACreateEvent();
    WSASetEvent(ev);
    for (auto _ : state) benchmark::DoNotOptimize(WSAWaitForMultipleEvents(1, &ev, false, 0, false));
    WSACloseEvent(ev);
}
BENCHMARK(BM_WaitSignalled);

// A zero-time wait over n idle events each with a connected socket selected
// for read, write and close: one poll over 2n descriptors.
void BM_WaitIdleSockets(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<WSAEVENT> events;
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair);
        fds.push_back(pair[0]);
        fds.push_back(pair[1]);
        WSAEVENT ev = WSACreateEvent();
        WSAEventSelect(pair[0], ev, FD_READ | FD_WRITE | FD_CLOSE);
        WSANETWORKEVENTS ne;
        WSAEnumNetworkEvents(pair[0], ev, &ne);  // take the initial FD_WRITE
        events.push_back(ev);
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(
            WSAWaitForMultipleEvents(static_cast<std::uint32_t>(n), events.data(), false, 0, false));
    for (WSAEVENT ev : events) WSACloseEvent(ev);
    for (int fd : fds) closesocket(fd);
}
BENCHMARK(BM_WaitIdleSockets)->Arg(1)->Arg(16)->Arg(64);

// One byte there and back through a selected socket: send, wait, enumerate,
// recv (which re-enables FD_READ).
void BM_SelectedRoundTrip(benchmark::State& state) {
    int pair[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair);
    WSAEVENT ev = WSACreateEvent();
    WSAEventSelect(pair[1], ev, FD_READ | FD_CLOSE);
    char c = 'x';
    for (auto _ : state) {
        send(pair[0], &c, 1, 0);
        WSAWaitForMultipleEvents(1, &ev, false, WSA_INFINITE, false);
        WSANETWORKEVENTS ne;
        WSAEnumNetworkEvents(pair[1], ev, &ne);
        recv(pair[1], &c, 1, 0);
    }
    WSACloseEvent(ev);
    closesocket(pair[0]);
    closesocket(pair[1]);
}
BENCHMARK(BM_SelectedRoundTrip);

}  // namespace

BENCHMARK_MAIN();
