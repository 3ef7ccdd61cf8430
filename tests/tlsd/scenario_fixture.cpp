#include "scenario_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

namespace morvex {

namespace {

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::stoull(v) : fallback;
}

std::string selfPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "test_tlsd_e2e";
}

}  // namespace

void Scenario::SetUp() {
    ProxyE2E::SetUp();
    // DEBUG lines of thousands of seeds would only slow the log reads.
    home.file("etc/log-tlsproxy-local.cfg",
              "rootCategory=INFO, A1\n"
              "appender.A1.fileName=${MORVEX_HOME}/var/log/morvex/proxy.log\n"
              "appender.A1.layout.ConversionPattern=%p %t %c %m%n\n");
    TestCert leaf = test::issueLoopbackServerCert(*ca, "localhost");
    for (int i = 0; i < 4; ++i) {
        destinations.push_back(std::make_unique<scenario::ScenarioDestination>(leaf.certPem(), leaf.keyPem(), book));
    }
    canaryDestination = std::make_unique<scenario::ScenarioDestination>(leaf.certPem(), leaf.keyPem(), book);
    startProxy();
}

void Scenario::restartProxy() {
    if (proxy && proxy->running()) {
        proxy->sendSignal(SIGTERM);
        proxy->wait(20s);
    }
    std::size_t mark = log().size();
    port = freePort();
    proxy = std::make_unique<ChildProcess>(proxyOptions(port));
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (log().find(kStarted, mark) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(log().find(kStarted, mark), std::string::npos) << "the proxy did not start again";
}

void Scenario::runSeeds(std::uint64_t first, std::size_t count, const std::string& filter) {
    std::vector<std::uint64_t> seeds;
    if (const char* one = std::getenv("MORVEX_SCENARIO_SEED"); one && *one) {
        seeds.push_back(std::stoull(one));
    } else {
        first = envNumber("MORVEX_SCENARIO_FIRST", first);
        count = envNumber("MORVEX_SCENARIO_SEEDS", count);
        for (std::uint64_t s = first; s < first + count; ++s) seeds.push_back(s);
    }
    scenario::Modes modes = scenario::Modes::fromEnvironment();
    std::vector<std::uint16_t> ports;
    for (const auto& d : destinations) ports.push_back(d->port());

    auto started = std::chrono::steady_clock::now();
    std::size_t ran = 0, failed = 0, cuts = 0, early = 0, continues = 0;
    std::chrono::milliseconds canaryWorst{0};
    for (std::uint64_t seed : seeds) {
        if (!proxy->running()) {
            ASSERT_NO_FATAL_FAILURE(restartProxy());
        }
        scenario::Target target;
        target.proxyPort = port;
        target.proxyPid = proxy->pid();
        target.book = &book;
        target.destinationPorts = ports;
        target.canaryPort = canaryDestination->port();
        target.logPath = logPath;
        target.proxyStderr = [this] { return proxy->stderrSoFar(); };
        target.proxyRunning = [this] { return proxy->running(); };
        scenario::Scenario s = scenario::generate(seed, modes, ports);
        scenario::Outcome outcome = scenario::run(s, target);
        ++ran;
        cuts += outcome.cutAnswers;
        early += outcome.earlyAnswers;
        continues += outcome.awaitedContinues;
        canaryWorst = std::max(canaryWorst, outcome.canaryWorst);
        if (outcome.failures.empty()) continue;
        ++failed;
        std::string lines;
        for (const std::string& f : outcome.failures) lines += "  " + f + "\n";
        std::string off = modes.describe();
        ADD_FAILURE() << "seed " << seed << " broke " << outcome.failures.size() << " invariant(s):\n"
                      << lines << "scenario:\n"
                      << scenario::summary(s) << "replay: MORVEX_SCENARIO_SEED=" << seed << " "
                      << (off.empty() ? "" : off + " ") << selfPath() << " --gtest_filter=" << filter;
        ASSERT_NO_FATAL_FAILURE(restartProxy());
        if (failed >= envNumber("MORVEX_SCENARIO_MAX_FAILURES", 5)) {
            ADD_FAILURE() << "stopped after " << failed << " failing seeds";
            break;
        }
    }
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::cout << "[ scenario ] " << ran << " seeds, " << failed << " failed, " << cuts
              << " answers cut by their destinations, " << early << " begun before their request was whole ("
              << continues << " bodies held for 100 Continue), canary worst " << canaryWorst.count() << " ms, "
              << took.count() << " ms" << (modes.describe().empty() ? "" : ", " + modes.describe()) << "\n";
}

}  // namespace morvex
