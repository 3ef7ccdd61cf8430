// The proxy's summary line: written each period only while something was
// counted, and once more when the proxy stops. In-process, with the period
// shortened through summaryIntervalMs(); the shipped period is 60 s.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "net/in_thread_actor.h"
#include "platform/winsock_startup.h"
#include "tlsd/forward_proxy.h"
#include "tlsd/proxy_stats.h"
#include "util/thread.h"

namespace morvex {
namespace {

using namespace std::chrono_literals;

class QuickSummaryProxy : public ForwardProxy {
public:
    std::uint64_t summaryIntervalMs() const override { return 30; }
};

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

TEST(ProxySummary, EachPeriodWhileCountsChangeAndOnceAtStop) {
    EmptyMainThread::ensureForTest();
    platform::WSADATA wsa;
    platform::WSAStartup(platform::MAKEWORD(2, 2), &wsa);
    ::testing::internal::CaptureStderr();  // the log's fallback before configuration

    QuickSummaryProxy proxy;
    ProxyStats& stats = ProxyStats::instance();
    const std::uint64_t busyBefore = stats.snapshot().refusals[static_cast<std::size_t>(RefusalReason::Busy)];
    stats.refused(RefusalReason::Busy);
    auto thread = std::make_unique<ThreadFunction>([&] { proxy.run(); }, "TestListening");
    EventLoop::WaitForEventLoopStarted(proxy.listeningLoop(), *thread);
    // Ten periods with one change before the first: one line.
    std::this_thread::sleep_for(300ms);
    stats.refused(RefusalReason::Busy);
    std::this_thread::sleep_for(300ms);

    InThreadFunction<void> stop([&] { proxy.shutdown(); });
    proxy.listeningLoop().runInThread(&stop, true);
    thread->join();
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(occurrences(log, "- summary connections_accepted="), 2u) << log;
    ASSERT_EQ(occurrences(log, "- final summary connections_accepted="), 1u) << log;
    EXPECT_THAT(log, ::testing::HasSubstr("busy:" + std::to_string(busyBefore + 2) + " "));
}

}  // namespace
}  // namespace morvex
