#pragma once
// Work on many items at once, with the results handed on in item order as
// soon as each one and all before it are done: the pool of verify and make.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/prefault.h"
#include "tools/batch/file_batch.h"

namespace ondrel::tool {

// For tests: after `starts` more threads have started, every start of a
// pool's thread fails as the system fails one it cannot start (negative:
// none fails).
inline std::atomic<long> g_threadStartsLeft{-1};
inline void FailThreadStartsAfter(long starts) noexcept { g_threadStartsLeft = starts; }
inline void StopFailingThreadStarts() noexcept { g_threadStartsLeft = -1; }

// A thread of a pool; throws std::system_error when the system cannot start one.
template <typename Body>
std::thread StartPoolThread(Body&& body) {
    for (long left = g_threadStartsLeft; left >= 0; left = g_threadStartsLeft) {
        if (left == 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        if (g_threadStartsLeft.compare_exchange_weak(left, left - 1)) break;
    }
    return std::thread(std::forward<Body>(body));
}

// The note that the system started fewer threads than wanted.
inline std::string FewerThreadsNote(std::size_t started, std::size_t wanted, const std::string& why) {
    return "could start " + std::to_string(started) + " of " + std::to_string(wanted) + " threads (" + why +
           "): going on with " + (started == 0 ? std::string("the main thread alone") : std::to_string(started));
}

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
        if (emitter_) EmitInline();
    }

    // Runs worker() on up to `threads` threads (never more than the items);
    // on the calling thread, emit(i, result) in the order of i, and
    // idle(done) while it waits for one (at least every millisecond), so
    // that output can be flushed and progress drawn. When the system starts
    // fewer threads, note(text) says so once, and the work goes on with
    // those; with none, the calling thread runs worker() itself and emits
    // each result as it is published. When emit or idle throws, the work
    // stops: the workers finish the items they hold, and the exception goes
    // on. When a worker throws (std::bad_alloc), the work stops as well; the
    // results before the first item left without one are emitted, and the
    // worker's exception goes on from the calling thread.
    void Run(unsigned threads, const std::function<void()>& worker,
             const std::function<void(std::size_t, Result&)>& emit, const std::function<void(std::size_t)>& idle,
             const std::function<void(const std::string&)>& note = {}) {
        std::vector<std::thread> pool;
        struct Joiner {
            std::vector<std::thread>& pool;
            std::atomic<bool>& stop;
            void Join() {
                stop = true;
                for (std::thread& t : pool)
                    if (t.joinable()) t.join();
            }
            ~Joiner() { Join(); }
        } joiner{pool, stop_};
        const std::size_t wanted = std::min<std::size_t>(std::max(1u, threads), count_);
        pool.reserve(wanted);
        std::optional<std::string> refused;
        while (pool.size() < wanted && !refused) {
            try {
                pool.push_back(StartPoolThread([this, &worker] { Guarded(worker); }));
            } catch (const std::system_error& e) {
                refused = e.code().message();
            }
        }
        if (refused && note) note(FewerThreadsNote(pool.size(), wanted, *refused));
        if (pool.empty() && wanted > 0) {
            emitter_ = Emitter{&emit, &idle, std::chrono::steady_clock::now()};
            worker();
        }
        for (; emitted_ < count_; ++emitted_) {
            while (!ready_[emitted_]) {
                if (failed_) {
                    joiner.Join();  // what the other workers hold is done, or failed too
                    EmitReady(emit);
                    std::rethrow_exception(failure_);
                }
                idle(done_);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EmitOne(emit);
        }
        joiner.Join();
        if (failure_) std::rethrow_exception(failure_);  // after the last item was done
        idle(count_);
    }

private:
    // Where results go when the calling thread is the only worker.
    struct Emitter {
        const std::function<void(std::size_t, Result&)>* emit;
        const std::function<void(std::size_t)>* idle;
        std::chrono::steady_clock::time_point idled;
    };

    void EmitOne(const std::function<void(std::size_t, Result&)>& emit) {
        emit(emitted_, *results_[emitted_]);
        results_[emitted_].reset();
    }
    // Emits the results that are ready from the next one on, in order.
    void EmitReady(const std::function<void(std::size_t, Result&)>& emit) {
        for (; emitted_ < count_ && ready_[emitted_]; ++emitted_) EmitOne(emit);
    }
    // On the calling thread working alone: as the waiting loop does, at
    // most once a millisecond idle, without a wait.
    void EmitInline() {
        EmitReady(*emitter_->emit);
        const auto now = std::chrono::steady_clock::now();
        if (now - emitter_->idled < std::chrono::milliseconds(1)) return;
        emitter_->idled = now;
        (*emitter_->idle)(done_);
    }

    // A worker on a thread of the pool: what it throws stops the work and
    // waits for the calling thread.
    void Guarded(const std::function<void()>& worker) noexcept {
        try {
            worker();
        } catch (...) {
            std::lock_guard<std::mutex> lock(failureLock_);
            if (!failure_) failure_ = std::current_exception();
            stop_ = true;
            failed_ = true;
        }
    }

    const std::size_t count_;
    platform::BulkVector<std::optional<Result>> results_;
    std::vector<std::atomic<bool>> ready_;  // set once results_[i] is written
    std::atomic<std::size_t> next_{0}, done_{0};
    std::atomic<bool> stop_{false};
    std::size_t emitted_ = 0;  // on the calling thread: the results handed on
    std::optional<Emitter> emitter_;
    std::mutex failureLock_;
    std::exception_ptr failure_;  // the first a worker threw
    std::atomic<bool> failed_{false};  // set once failure_ is
};

// Runs work(i) for every i below count on up to `threads` threads, and
// hands the results on in order (see InOrder::Run).
template <typename Result>
void RunInOrder(std::size_t count, unsigned threads, const std::function<Result(std::size_t)>& work,
                const std::function<void(std::size_t, Result&)>& emit, const std::function<void(std::size_t)>& idle,
                const std::function<void(const std::string&)>& note = {}) {
    InOrder<Result> pool(count);
    pool.Run(
        threads,
        [&] {
            for (std::size_t i; pool.Claim(i);) pool.Publish(i, work(i));
        },
        emit, idle, note);
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
                     const std::function<void(std::size_t)>& idle,
                     const std::function<void(const std::string&)>& note = {}) {
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
        emit, idle, note);
}

}  // namespace ondrel::tool
