// JSON parser throughput: the start-up document, and a larger mixed document
// fed whole and in small pieces (the piecewise path must not be much slower).
#include <benchmark/benchmark.h>

#include <string>

#include "tlsd/tlsproxy_config.h"
#include "util/json_node.h"

namespace {

std::string mixedDocument() {
    std::string doc = "{\"items\": [";
    for (int i = 0; i < 1000; ++i) {
        doc += "{\"id\": " + std::to_string(i * 7919) + ", \"name\": \"item number " + std::to_string(i) +
               " with some text\", \"ratio\": -1.25e-3, \"ok\": true, \"tags\": [\"a\", \"b\\n\", null]},";
    }
    doc += "]}";
    return doc;
}

void BM_StartupDocument(benchmark::State& state) {
    const std::string doc = R"({"listen_port": 8090, "token": "0123456789abcdef", "private_key_password": "pw"})";
    for (auto _ : state) {
        morvex::TLSProxyConfig config;
        config.read(doc);
        benchmark::DoNotOptimize(config.judge());
    }
}
BENCHMARK(BM_StartupDocument);

void BM_ParseTree(benchmark::State& state) {
    const std::string doc = mixedDocument();
    for (auto _ : state) {
        morvex::JsonDocument tree = morvex::JsonDocumentFillingParser::parse(doc);
        benchmark::DoNotOptimize(tree.root());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_ParseTree);

void BM_ParseTreeInPieces(benchmark::State& state) {
    const std::string doc = mixedDocument();
    const std::size_t piece = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        morvex::JsonDocumentFillingParser parser;
        for (std::size_t i = 0; i < doc.size(); i += piece)
            parser.feed(doc.data() + i, std::min(piece, doc.size() - i));
        parser.finish();
        benchmark::DoNotOptimize(parser.takeDocument().root());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}
BENCHMARK(BM_ParseTreeInPieces)->Arg(1)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
