// The "INI" rule's search, as the rule runs it: text fed in pieces of the
// reader's chunk size. An ordinary file; hostile files of many headers
// repeating one name, or of many distinct names each holding the fragment;
// and long fragments, whose set-up is linear in their length.
#include <benchmark/benchmark.h>

#include <string>

#include "checks/ini_rule.h"
#include "platform/reader.h"

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

// count sections of distinct names, each holding the fragment.
std::string DistinctMatches(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "[s" + std::to_string(i) + "]\nk=needle\n";
    return text;
}

bool Search(const std::string& text, std::string_view needle) {
    ondrel::IniValueSearch search(needle);
    const std::size_t chunk = ondrel::platform::FileReader::kChunk;
    for (std::size_t at = 0; at < text.size(); at += chunk) search.Feed(std::string_view(text).substr(at, chunk));
    search.Finish();
    return search.Match().has_value();
}

void Run(benchmark::State& state, const std::string& text, const std::string& needle = "needle") {
    for (auto _ : state) benchmark::DoNotOptimize(Search(text, needle));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_OrdinaryFile(benchmark::State& state) { Run(state, Ordinary(static_cast<std::size_t>(state.range(0)))); }
void BM_RepeatedHeaders(benchmark::State& state) {
    Run(state, RepeatedHeaders(static_cast<std::size_t>(state.range(0))));
}
void BM_DistinctSectionsEachMatching(benchmark::State& state) {
    Run(state, DistinctMatches(static_cast<std::size_t>(state.range(0))));
}
// A fragment of state.range(0) letters searched in a short file: the set-up
// of the search dominates.
void BM_LongFragment(benchmark::State& state) {
    Run(state, "[S]\nk=" + std::string(1000, 'a') + "\n", std::string(static_cast<std::size_t>(state.range(0)), 'a'));
}

}  // namespace

BENCHMARK(BM_OrdinaryFile)->Arg(10)->Arg(10000);
BENCHMARK(BM_RepeatedHeaders)->Arg(1000)->Arg(100000);
BENCHMARK(BM_DistinctSectionsEachMatching)->Arg(1000)->Arg(100000);
BENCHMARK(BM_LongFragment)->Arg(160000)->Arg(20 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
