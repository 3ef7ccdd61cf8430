// Cost of reading a settings file: parsing a server.conf-sized text (stanzas,
// comments, continued values) and looking keys up in the parsed result.
#include <benchmark/benchmark.h>

#include <string>

#include "util/ini_file.h"

namespace {

// `stanzas` stanzas of 20 settings each, with a comment before every fifth
// setting and a continued value in every stanza.
std::string makeConf(int stanzas) {
    std::string text = "# generated\n";
    for (int s = 0; s < stanzas; ++s) {
        text += "[stanza" + std::to_string(s) + "]\n";
        for (int k = 0; k < 20; ++k) {
            if (k % 5 == 0) text += "; note about the next key\n";
            text += "key" + std::to_string(k) + " = value number " + std::to_string(k) + "\n";
        }
        text += "multi = first\\\nsecond\n\n";
    }
    return text;
}

void BM_IniFileParse(benchmark::State& state) {
    const std::string text = makeConf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        morvex::IniFile f = morvex::IniFile::parse("bench.conf", text);
        benchmark::DoNotOptimize(f.stanzas().size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_IniFileParse)->Arg(10)->Arg(100);

void BM_IniFileLookup(benchmark::State& state) {
    const morvex::IniFile f = morvex::IniFile::parse("bench.conf", makeConf(100));
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.value(" stanza57 ", "key13"));
    }
}
BENCHMARK(BM_IniFileLookup);

}  // namespace

BENCHMARK_MAIN();
