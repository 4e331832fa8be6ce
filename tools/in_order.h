#pragma once
// Work on many items at once, with the results handed on in item order as
// soon as each one and all before it are done: the pool of verify and make.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "platform/prefault.h"
#include "tools/file_batch.h"

namespace ondrel::tool {

// The items of a pool and their results, handed on in item order on the
// calling thread as soon as each one and all before it are done. Workers
// claim items and publish their results; the calling thread looks every
// millisecond rather than being woken for each result: results of small
// files come in a batch, at the cost of no system call each.
template <typename Result>
class InOrder {
public:
    explicit InOrder(std::size_t count) : count_(count), ready_(count) {
        platform::ReservePresent(results_, count);
        results_.resize(count);
    }

    // The next item for a worker; false when none is left or the work stopped.
    bool Claim(std::size_t& item) noexcept { return !stop_ && (item = next_.fetch_add(1)) < count_; }
    void Publish(std::size_t item, Result result) {
        results_[item].emplace(std::move(result));
        ready_[item] = true;
        ++done_;
    }

    // Runs worker() on up to `threads` threads (never more than the items);
    // on the calling thread, emit(i, result) in the order of i, and
    // idle(done) while it waits for one (at least every millisecond), so
    // that output can be flushed and progress drawn. When emit or idle
    // throws, the work stops: the workers finish the items they hold, and
    // the exception goes on.
    void Run(unsigned threads, const std::function<void()>& worker,
             const std::function<void(std::size_t, Result&)>& emit, const std::function<void(std::size_t)>& idle) {
        std::vector<std::thread> pool;
        struct Joiner {
            std::vector<std::thread>& pool;
            std::atomic<bool>& stop;
            ~Joiner() {
                stop = true;
                for (std::thread& t : pool) t.join();
            }
        } joiner{pool, stop_};
        const std::size_t wanted = std::min<std::size_t>(std::max(1u, threads), count_);
        for (std::size_t t = 0; t < wanted; ++t) pool.emplace_back(worker);
        for (std::size_t i = 0; i < count_; ++i) {
            while (!ready_[i]) {
                idle(done_);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            emit(i, *results_[i]);
            results_[i].reset();
        }
        idle(count_);
    }

private:
    const std::size_t count_;
    platform::BulkVector<std::optional<Result>> results_;
    std::vector<std::atomic<bool>> ready_;  // set once results_[i] is written
    std::atomic<std::size_t> next_{0}, done_{0};
    std::atomic<bool> stop_{false};
};

// Runs work(i) for every i below count on up to `threads` threads, and
// hands the results on in order (see InOrder::Run).
template <typename Result>
void RunInOrder(std::size_t count, unsigned threads, const std::function<Result(std::size_t)>& work,
                const std::function<void(std::size_t, Result&)>& emit, const std::function<void(std::size_t)>& idle) {
    InOrder<Result> pool(count);
    pool.Run(
        threads,
        [&] {
            for (std::size_t i; pool.Claim(i);) pool.Publish(i, work(i));
        },
        emit, idle);
}

// As RunInOrder, for work on files: each thread reads the files of the
// items it claims in a FileBatch (each file once, many at a time), as
// plan(i) says, and work(i, read) makes item i's result from what was read
// (null: nothing was, and the rules read the file themselves). A thread
// keeps at most count / threads files in flight (rounded up), so that a few
// large files are shared among the threads: two half-full lane groups on
// two cores take half the time of one full group on one.
template <typename Result>
void RunFilesInOrder(std::size_t count, unsigned threads, const std::function<ReadPlan(std::size_t)>& plan,
                     const std::function<Result(std::size_t, const FileRead*)>& work,
                     const std::function<void(std::size_t, Result&)>& emit,
                     const std::function<void(std::size_t)>& idle) {
    InOrder<Result> pool(count);
    const Md5LaneSetup setup = ToolLaneSetup();
    const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(std::max(1u, threads), count));
    const std::size_t most = (count + workers - 1) / workers;
    class Items : public BatchItems {
    public:
        Items(InOrder<Result>& pool, const std::function<ReadPlan(std::size_t)>& plan,
              const std::function<Result(std::size_t, const FileRead*)>& work)
            : pool_(pool), plan_(plan), work_(work) {}
        bool Next(std::size_t& item) override { return pool_.Claim(item); }
        ReadPlan Plan(std::size_t item) override { return plan_(item); }
        void Done(std::size_t item, const FileRead* read) override { pool_.Publish(item, work_(item, read)); }

    private:
        InOrder<Result>& pool_;
        const std::function<ReadPlan(std::size_t)>& plan_;
        const std::function<Result(std::size_t, const FileRead*)>& work_;
    };
    pool.Run(
        threads,
        [&] {
            Items items(pool, plan, work);
            FileBatch batch(setup, most);
            batch.Run(items);
        },
        emit, idle);
}

}  // namespace ondrel::tool
