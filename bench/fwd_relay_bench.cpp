// Cost of handing one piece of response bytes from the outbound thread to a
// channel's loop: copy into a fresh string, post a self-freeing actor, run it
// on the loop (the channel is gone here, so the loop drops the bytes). Pieces
// are at most 16 KiB, the outbound ring's size.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "net/in_thread_actor.h"
#include "net/tcp_channel_loop.h"
#include "tlsd/channel_response_relay.h"
#include "util/thread.h"

namespace {

void BM_RelayPieceToChannelLoop(benchmark::State& state) {
    morvex::EmptyMainThread::ensureForTest();
    morvex::TcpChannelLoop loop;
    morvex::ThreadFunction thread([&] { loop.run(); }, "BenchChannelLoop");
    morvex::EventLoop::WaitForEventLoopStarted(loop, thread);
    auto relay = std::make_shared<morvex::ChannelResponseRelay>(loop, nullptr, nullptr);
    std::string piece(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) relay->deliverResponse(piece);
    // Everything posted has run once this fence has.
    morvex::InThreadFunction<void> fence([] {});
    loop.runInThread(&fence, true);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
    loop.stop();
    thread.join();
}
BENCHMARK(BM_RelayPieceToChannelLoop)->Arg(1024)->Arg(16384)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
