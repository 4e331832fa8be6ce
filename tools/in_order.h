#pragma once
// Work on many items at once, with the results handed on in item order as
// soon as each one and all before it are done: the pool of verify and make.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace ondrel::tool {

// Runs work(i) for every i below count on up to `threads` threads; on the
// calling thread, emit(i, result) in the order of i, as soon as result i is
// there, and idle(done) while it waits for one (at least every millisecond),
// so that output can be flushed and progress drawn. The calling thread
// looks every millisecond rather than being woken for each result: results
// of small files come in a batch, at the cost of no system call each.
// When emit or idle throws, the work stops: the threads finish the items
// they hold, and the exception goes on.
template <typename Result>
void RunInOrder(std::size_t count, unsigned threads, const std::function<Result(std::size_t)>& work,
                const std::function<void(std::size_t, Result&)>& emit, const std::function<void(std::size_t)>& idle) {
    std::vector<std::optional<Result>> results(count);
    std::vector<std::atomic<bool>> ready(count);  // set once results[i] is written
    std::atomic<std::size_t> next{0}, done{0};
    std::atomic<bool> stop{false};
    auto worker = [&] {
        for (std::size_t i; !stop && (i = next.fetch_add(1)) < count;) {
            results[i].emplace(work(i));
            ready[i] = true;
            ++done;
        }
    };
    std::vector<std::thread> pool;
    struct Joiner {
        std::vector<std::thread>& pool;
        std::atomic<bool>& stop;
        ~Joiner() {
            stop = true;
            for (std::thread& t : pool) t.join();
        }
    } joiner{pool, stop};
    const std::size_t wanted = std::min<std::size_t>(std::max(1u, threads), count);
    for (std::size_t t = 0; t < wanted; ++t) pool.emplace_back(worker);
    for (std::size_t i = 0; i < count; ++i) {
        while (!ready[i]) {
            idle(done);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        emit(i, *results[i]);
        results[i].reset();
    }
    idle(count);
}

}  // namespace ondrel::tool
