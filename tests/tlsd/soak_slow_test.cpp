// Soak: 20,000 mixed requests from several concurrent clients against the
// real binary (small and 10 MB answers, destinations that keep connections
// alive and ones that close, refused requests, clients that abort in the
// middle of an answer). Every valid answer must arrive whole, the process
// must live, and its descriptors, threads and memory must come back near
// their baseline. The figures go to stdout, into the CTest log.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fault_test_client.h"
#include "proxy_e2e_fixture.h"

namespace morvex {
namespace {

using test::FaultClient;
using test::NginxOrigin;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kRequests = 20000;
constexpr int kClients = 6;
// Requests are spread over this time, so that whatever the proxy keeps per
// connection or per minute (timers, idle time-outs, log limits, allocator
// caches) has time to show.
constexpr std::chrono::seconds kDuration{300};

struct Figures {
    std::atomic<std::size_t> issued{0};
    std::atomic<std::size_t> answered{0};
    std::atomic<std::size_t> refused{0};
    std::atomic<std::size_t> aborted{0};
    std::atomic<std::size_t> large{0};
    std::atomic<std::size_t> bytes{0};
    std::atomic<std::size_t> failures{0};
    std::mutex lock;
    std::vector<std::string> firstFailures;

    void fail(const std::string& what) {
        ++failures;
        std::lock_guard<std::mutex> guard(lock);
        if (firstFailures.size() < 10) firstFailures.push_back(what);
    }
};

class SoakE2E : public ProxyE2E {
protected:
    void SetUp() override {
        ProxyE2E::SetUp();
        // INFO: a line per request, not a dozen.
        home.file("etc/log-tlsproxy-local.cfg",
                  "rootCategory=INFO, A1\n"
                  "appender.A1.fileName=${MORVEX_HOME}/var/log/morvex/proxy.log\n"
                  "appender.A1.layout.ConversionPattern=%p %t %c %m%n\n");
    }
};

TEST_F(SoakE2E, TwentyThousandMixedRequestsLeaveTheProxyAsItWas) {
    struct File {
        std::string name;
        std::size_t size;
        std::string sha;
    };
    std::vector<File> files = {{"small.bin", 2048, ""}, {"mid.bin", 256 << 10, ""}, {"large.bin", 10 << 20, ""}};
    NginxOrigin::Options nginxOptions;
    for (File& f : files) {
        nginxOptions.files.push_back({f.name, f.size});
        f.sha = NginxOrigin::sha256Hex(NginxOrigin::fileContent(f.name, f.size));
    }
    NginxOrigin keptAlive(nginxOptions);    // keeps its connections alive
    origin->setBody(randomBytes(4096, 7));  // answers and closes
    const std::string closingAnswer = origin->response();
    startProxy();
    const pid_t pid = proxy->pid();

    // Warm up: each kind of destination once.
    {
        FaultClient client(port);
        ASSERT_TRUE(client.send(request("Morvexd", keptAlive.port(), kToken, "/small.bin")));
        ASSERT_FALSE(client.readAnswer(20s).empty());
        ASSERT_TRUE(client.send(request("Morvexd", origin->port())));
        ASSERT_EQ(client.readAnswer(20s), closingAnswer);
    }
    std::this_thread::sleep_for(1s);
    const std::size_t baseFds = descriptorCount(pid), baseThreads = threadCount(pid), baseRss = rssKiB(pid);

    Figures figures;
    auto started = Clock::now();
    auto clientLoop = [&](int id) {
        std::mt19937 random(1000 + static_cast<unsigned>(id));
        std::unique_ptr<FaultClient> client;
        std::size_t onThisConnection = 0;
        for (std::size_t n; (n = figures.issued.fetch_add(1)) < kRequests;) {
            std::this_thread::sleep_until(started + std::chrono::milliseconds(kDuration) * n / kRequests);
            if (!client || onThisConnection >= 40 + random() % 40) {
                client = std::make_unique<FaultClient>(port);
                onThisConnection = 0;
                if (!client->connected()) {
                    figures.fail("connect failed at request " + std::to_string(n));
                    client.reset();
                    continue;
                }
            }
            ++onThisConnection;
            unsigned roll = random() % 1000;
            if (roll < 40) {
                // Refused (wrong token) on a connection of its own: a refusal
                // sends nothing back, so nothing marks its end on a shared one.
                FaultClient refused(port);
                refused.send(request("Morvexd", keptAlive.port(), "not-the-token", "/small.bin"));
                if (!refused.read(1, 30ms).empty()) figures.fail("a refused request got bytes");
                ++figures.refused;
                continue;
            }
            if (roll < 70) {
                // Abort in the middle of a 10 MB or 256 KiB answer.
                const File& f = files[roll < 50 ? 2 : 1];
                client->send(request("Morvexd", keptAlive.port(), kToken, "/" + f.name));
                figures.bytes += client->read(20000 + random() % 60000, 30s).size();
                client->reset();
                client.reset();
                ++figures.aborted;
                continue;
            }
            std::string answer;
            bool ok;
            if (roll < 270) {
                client->send(request("Morvexd", origin->port()));
                answer = client->readAnswer(60s);
                ok = answer == closingAnswer;
            } else {
                const File& f = files[roll < 276 ? 2 : roll < 356 ? 1 : 0];
                if (f.size > 1 << 20) ++figures.large;
                client->send(request("Morvexd", keptAlive.port(), kToken, "/" + f.name));
                answer = client->readAnswer(120s);
                ok = NginxOrigin::sha256Hex(bodyOf(answer)) == f.sha;
            }
            figures.bytes += answer.size();
            if (ok) {
                ++figures.answered;
            } else {
                figures.fail("request " + std::to_string(n) + ": answer of " + std::to_string(answer.size()) +
                             " bytes differs: " + answer.substr(0, 80));
                client.reset();
            }
        }
    };
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) clients.emplace_back(clientLoop, i);
    std::size_t peakRss = 0, peakFds = 0;
    while (figures.issued < kRequests) {
        peakRss = std::max(peakRss, rssKiB(pid));
        peakFds = std::max(peakFds, descriptorCount(pid));
        std::this_thread::sleep_for(200ms);
    }
    for (std::thread& t : clients) t.join();
    auto seconds = std::chrono::duration<double>(Clock::now() - started).count();

    // Closing takes a moment after the last client went.
    std::size_t endFds = 0, endThreads = 0;
    for (auto deadline = Clock::now() + 15s; Clock::now() < deadline; std::this_thread::sleep_for(100ms)) {
        endFds = descriptorCount(pid);
        endThreads = threadCount(pid);
        if (endFds <= baseFds && endThreads <= baseThreads) break;
    }
    std::size_t endRss = rssKiB(pid);
    std::printf(
        "soak: %zu requests (%zu answered whole, %zu of them 10 MB; %zu refused; %zu aborted; %zu failed), "
        "%.1f MB received, %.1f s, %d clients\n",
        kRequests, figures.answered.load(), figures.large.load(), figures.refused.load(), figures.aborted.load(),
        figures.failures.load(), static_cast<double>(figures.bytes) / 1e6, seconds, kClients);
    std::printf("soak: descriptors %zu -> %zu (peak %zu), threads %zu -> %zu, RSS %zu KiB -> %zu KiB (peak %zu KiB)\n",
                baseFds, endFds, peakFds, baseThreads, endThreads, baseRss, endRss, peakRss);
    std::fflush(stdout);

    for (const std::string& f : figures.firstFailures) ADD_FAILURE() << f;
    EXPECT_EQ(figures.failures, 0u);
    EXPECT_EQ(figures.answered + figures.refused + figures.aborted, kRequests);
    EXPECT_TRUE(proxy->running());
    EXPECT_LE(endFds, baseFds);
    EXPECT_LE(endThreads, baseThreads);
    if (kRssBoundsApply) {
        EXPECT_LE(endRss, baseRss + 8 * 1024);
    }
    EXPECT_THAT(log(), Not(HasSubstr("Exception happened when sending response back")));
}

}  // namespace
}  // namespace morvex
