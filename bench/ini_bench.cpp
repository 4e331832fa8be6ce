// Parsing and searching INI text from memory: an ordinary file, and hostile
// files of many headers repeating one name, where every header leads to a
// search of the last section of that name.
#include <benchmark/benchmark.h>

#include <string>

#include "checks/ini_rule.h"

namespace {

std::string Ordinary(std::size_t sections) {
    std::string text;
    for (std::size_t s = 0; s < sections; ++s) {
        text += "[Section " + std::to_string(s) + "]\r\n; a comment\r\n";
        for (int k = 0; k < 8; ++k) text += "Key" + std::to_string(k) + " = C:\\Program Files\\Some App\\file.dat\r\n";
    }
    return text;
}

// count headers of one name, the last of which holds a long section.
std::string RepeatedHeaders(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "[s]\n";
    for (std::size_t i = 0; i < count; ++i) text += "k=value without the fragment\n";
    return text;
}

void Run(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        ondrel::IniDocument doc = ondrel::ParseIniText(text);
        benchmark::DoNotOptimize(ondrel::FindIniValue(doc, "needle"));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_OrdinaryFile(benchmark::State& state) { Run(state, Ordinary(static_cast<std::size_t>(state.range(0)))); }
void BM_RepeatedHeaders(benchmark::State& state) {
    Run(state, RepeatedHeaders(static_cast<std::size_t>(state.range(0))));
}

}  // namespace

BENCHMARK(BM_OrdinaryFile)->Arg(10)->Arg(10000);
BENCHMARK(BM_RepeatedHeaders)->Arg(1000)->Arg(100000);
BENCHMARK_MAIN();
