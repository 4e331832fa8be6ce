// The directory search with wildcards over a folder of 10,000 names, none of
// which the patterns find, so every search reads and matches every name: an
// ordinary pattern, and hostile ones of 4,001 characters (a run of "*", "a*"
// repeated, "*?" repeated).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/find.h"

namespace {

// The folder, made once and removed at exit.
class Folder {
public:
    Folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ondrel-find-bench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern + "/";
        for (int i = 0; i < 10000; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "a-%05d-abcdefghijklmnopqrstuvwxyz-0123456789.txt", i);
            std::ofstream(path_ + name, std::ios::binary);
        }
    }
    ~Folder() { std::filesystem::remove_all(path_); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

const Folder& TheFolder() {
    static const Folder folder;
    return folder;
}

std::string Repeat(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += piece;
    return text;
}

void Search(benchmark::State& state, const std::string& lastComponent) {
    const std::string name = TheFolder().Path() + lastComponent;
    for (auto _ : state) {
        if (ondrel::platform::FindFirstEntry(name)) state.SkipWithError("the pattern found a name");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 10000);  // names matched
}

void BM_Ordinary(benchmark::State& state) { Search(state, "*.dat"); }
void BM_StarRun(benchmark::State& state) { Search(state, Repeat("*", 4000) + "b"); }
void BM_LetterStarPairs(benchmark::State& state) { Search(state, Repeat("a*", 2000) + "b"); }
void BM_StarQuestionMarkPairs(benchmark::State& state) { Search(state, Repeat("*?", 2000) + "X"); }

}  // namespace

BENCHMARK(BM_Ordinary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StarRun)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LetterStarPairs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StarQuestionMarkPairs)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
