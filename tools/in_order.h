#pragma once
// Work on many items at once, with the results handed on in item order as
// soon as each one and all before it are done: the pool of verify and make.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace ondrel::tool {

// Runs work(i) for every i below count on up to `threads` threads; on the
// calling thread, emit(i, result) in the order of i, and idle(done) before
// each wait for a result (and every 100 ms while it waits), so that output
// can be flushed and progress drawn. When emit or idle throws, the work
// stops: the threads finish the items they hold and the exception goes on.
template <typename Result>
void RunInOrder(std::size_t count, unsigned threads, const std::function<Result(std::size_t)>& work,
                const std::function<void(std::size_t, Result&)>& emit, const std::function<void(std::size_t)>& idle) {
    std::vector<std::optional<Result>> results(count);
    std::mutex lock;
    std::condition_variable ready;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::size_t done = 0;
    auto worker = [&] {
        for (std::size_t i; !stop && (i = next.fetch_add(1)) < count;) {
            Result r = work(i);
            std::lock_guard<std::mutex> hold(lock);
            results[i].emplace(std::move(r));
            ++done;
            ready.notify_one();
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
        std::unique_lock<std::mutex> hold(lock);
        while (!results[i]) {
            const std::size_t seen = done;
            hold.unlock();
            idle(seen);
            hold.lock();
            if (!results[i]) ready.wait_for(hold, std::chrono::milliseconds(100));
        }
        Result r = std::move(*results[i]);
        results[i].reset();
        hold.unlock();
        emit(i, r);
    }
    idle(count);
}

}  // namespace ondrel::tool
