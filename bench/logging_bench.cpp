// Cost of logging: a call below the threshold (must format nothing), and INFO
// lines written to a file appender with the shipped layout, unbuffered and
// buffered. CPU time is the whole process's (the flusher thread's writes
// included), so "CPU" per iteration is the CPU cost of one line.
//
//   build/bench/logging_bench --benchmark_filter=InfoToFile
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "util/log_config.h"
#include "util/log_facility.h"
#include "util/logger.h"
#include "util/thread.h"

namespace {

using morvex::Logger;

Logger& benchLog() {
    static Logger s_log("LoggingBench");
    return s_log;
}

// A configuration in a scratch directory for the length of one benchmark.
class ScratchConfig {
public:
    explicit ScratchConfig(const std::string& categoryFlags) {
        char tmpl[] = "/tmp/morvex-logbench-XXXXXX";
        _dir = mkdtemp(tmpl);
        std::ofstream(_dir + "/log.cfg") << "rootCategory=INFO, A1\n"
                                         << "category.LoggingBench=INFO, A1" << categoryFlags << "\n"
                                         << "appender.A1.fileName=" << _dir << "/bench.log\n"
                                         << "appender.A1.layout.ConversionPattern=%d{%m-%d-%Y %H:%M:%S.%l %z} "
                                            "%-5p [%T %t] %c - %m%n\n";
        // As in the program: a main thread exists, so lines are batched by
        // the LogFlusher thread.
        morvex::EmptyMainThread::ensureForTest();
        morvex::LogConfigContext context;
        context.path = _dir + "/log.cfg";
        morvex::loadLogConfig(context);
    }
    ~ScratchConfig() {
        morvex::LogFacility::instance().unconfigure();
        std::filesystem::remove_all(_dir);
    }

private:
    std::string _dir;
};

void BM_BelowThreshold(benchmark::State& state) {
    Logger& log = benchLog();
    int i = 0;
    for (auto _ : state) {
        log.debug("never formatted %d %s", ++i, "text");
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BelowThreshold);

void BM_BelowThresholdStream(benchmark::State& state) {
    Logger& log = benchLog();
    int i = 0;
    for (auto _ : state) {
        log.debugStream() << "never formatted " << ++i;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BelowThresholdStream);

void infoToFile(benchmark::State& state, const char* categoryFlags) {
    ScratchConfig config(categoryFlags);
    Logger& log = benchLog();
    int i = 0;
    for (auto _ : state) log.info("request %d for host %s relayed %d bytes", ++i, "example.test", 1234);
    morvex::LogFacility::instance().flushAll();
    state.SetItemsProcessed(state.iterations());
}

void BM_InfoToFile(benchmark::State& state) {
    infoToFile(state, "");
}
BENCHMARK(BM_InfoToFile)->MeasureProcessCPUTime()->UseRealTime();

void BM_InfoToFileBuffered(benchmark::State& state) {
    infoToFile(state, ", buffered");
}
BENCHMARK(BM_InfoToFileBuffered)->MeasureProcessCPUTime()->UseRealTime();

// Four threads logging at once (the proxy's I/O threads), one file.
void BM_InfoToFileThreads(benchmark::State& state) {
    static ScratchConfig* config = nullptr;
    if (state.thread_index() == 0) config = new ScratchConfig("");
    Logger& log = benchLog();
    int i = 0;
    for (auto _ : state) log.info("request %d for host %s relayed %d bytes", ++i, "example.test", 1234);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        morvex::LogFacility::instance().flushAll();
        delete config;
        config = nullptr;
    }
}
BENCHMARK(BM_InfoToFileThreads)->Threads(4)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
