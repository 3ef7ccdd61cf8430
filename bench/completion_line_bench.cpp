// Cost of one completion line: counting it and writing it (plain or JSON)
// through a batched file appender with the shipped layout, against the same
// with the channel turned off (counting only). CPU time is the process's, so
// the flusher thread's writes are included.
//
//   build/bench/completion_line_bench
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tlsd/request_record.h"
#include "util/log_config.h"
#include "util/log_facility.h"

namespace {

class ScratchConfig {
public:
    explicit ScratchConfig(const std::string& extra) {
        char tmpl[] = "/tmp/morvex-completionbench-XXXXXX";
        _dir = mkdtemp(tmpl);
        std::ofstream(_dir + "/log.cfg") << "rootCategory=INFO, A1\n"
                                         << "appender.A1.fileName=" << _dir << "/bench.log\n"
                                         << "appender.A1.layout.ConversionPattern=%d{%m-%d-%Y %H:%M:%S.%l %z} "
                                            "%-5p [%T %t] %c - %m%n\n"
                                         << extra;
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

morvex::RequestRecord record() {
    morvex::RequestRecord r;
    r.type = morvex::ClientRequestType::Telemetry;
    r.method = "GET";
    r.host = "telemetry.example.com";
    r.port = 443;
    r.ipv4 = ::inet_addr("192.0.2.7");
    r.hasAddress = true;
    r.sni = "telemetry.example.com";
    r.tlsVersion = "TLSv1.3";
    r.cipher = "TLS_AES_256_GCM_SHA384";
    r.handshake = morvex::HandshakeKind::Resumed;
    r.status = 200;
    r.sent = 412;
    r.relayed = 5120;
    r.resolveMs = 0.4;
    r.connectMs = 20.1;
    r.firstByteMs = 30;
    r.totalMs = 51;
    return r;
}

void run(benchmark::State& state, const std::string& extra) {
    ScratchConfig config(extra);
    morvex::RequestRecord r = record();
    for (auto _ : state) {
        morvex::CompletionLog::write(r);
        benchmark::ClobberMemory();
    }
}

void BM_CompletionLinePlain(benchmark::State& state) {
    run(state, "");
}
void BM_CompletionLineJson(benchmark::State& state) {
    run(state, "appender.A1.serialization=JSON\n");
}
void BM_CompletionLineOff(benchmark::State& state) {
    run(state, "category.TLSProxyRequest=WARN\n");
}
BENCHMARK(BM_CompletionLinePlain)->MeasureProcessCPUTime();
BENCHMARK(BM_CompletionLineJson)->MeasureProcessCPUTime();
BENCHMARK(BM_CompletionLineOff)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
