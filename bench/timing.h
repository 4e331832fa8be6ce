#pragma once
// Timing for the benchmarks: the best of a few runs, and two contenders run
// in turns so that a slower or busier moment of the machine is shared
// between them. A timed function may take the run's index.
#include <algorithm>
#include <array>
#include <chrono>
#include <type_traits>
#include <utility>

namespace bench {

template <typename F>
void CallRun(F& f, int run) {
    if constexpr (std::is_invocable_v<F&, int>)
        f(run);
    else
        f();
}

// The best of runs timings, in seconds.
template <typename F>
double Best(int runs, F f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        CallRun(f, i);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

template <typename F, typename G>
std::pair<double, double> BestInTurns(int runs, F f, G g) {
    double bestF = 1e30, bestG = 1e30;
    for (int i = 0; i < runs; ++i) {
        bestF = std::min(bestF, Best(1, [&] { CallRun(f, i); }));
        bestG = std::min(bestG, Best(1, [&] { CallRun(g, i); }));
    }
    return {bestF, bestG};
}

// Three contenders in turns: f, g, h, f, g, h, ...; the best of each.
template <typename F, typename G, typename H>
std::array<double, 3> BestInTurns(int runs, F f, G g, H h) {
    std::array<double, 3> best{1e30, 1e30, 1e30};
    for (int i = 0; i < runs; ++i) {
        best[0] = std::min(best[0], Best(1, [&] { CallRun(f, i); }));
        best[1] = std::min(best[1], Best(1, [&] { CallRun(g, i); }));
        best[2] = std::min(best[2], Best(1, [&] { CallRun(h, i); }));
    }
    return best;
}

}  // namespace bench
