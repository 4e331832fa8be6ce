#pragma once
// Work on many items at once, with the results handed on in item order as
// soon as each one and all before it are done: the pool of verify and make.
// Items come from a source on the calling thread, a bounded window of them
// at a time, so that the memory a run takes does not grow with its items.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

// Items a stream holds at once by default: a few thousand lines of a
// manifest (a few megabytes), which two workers take several milliseconds
// to go through even when every file is absent, while the calling thread
// refills them every millisecond or when woken. On a million absent files,
// 4,096 left the workers waiting for items 27 times, 16,384 4 times.
inline constexpr std::size_t kStreamWindow = 8192;

// The window of the command's streams: kStreamWindow, or for tests and
// benchmarks the number the environment variable ONDREL_WINDOW gives, so
// that the edges of a small window can be seen at the command.
inline constexpr const char* kWindowVariable = "ONDREL_WINDOW";
inline std::size_t ToolWindow() {
    const char* text = std::getenv(kWindowVariable);
    if (!text) return kStreamWindow;
    char* end = nullptr;
    const unsigned long long window = std::strtoull(text, &end, 10);
    return *text && !*end && window > 0 && window <= (1u << 24) ? static_cast<std::size_t>(window) : kStreamWindow;
}

// The items of a pool and their results, in a ring of `window` slots: the
// calling thread makes items from the source up to `window` ahead of the
// oldest whose result it has not handed on, workers take them and publish
// their results, and the calling thread hands the results on in item order
// as soon as each one and all before it are done. A slot is made again only
// once its result went out. The calling thread looks every millisecond
// rather than being woken for each result: results of small files come in
// a batch, at the cost of no system call each; a worker that leaves a
// quarter of the window to take, or finds nothing, wakes it to refill.
template <typename Item, typename Result>
class InOrder {
public:
    InOrder(std::size_t window, const std::function<bool(Item&)>& next)
        : window_(std::max<std::size_t>(1, window)), slots_(std::make_unique<Slot[]>(window_)), next_(next) {}

    // The next item for a worker, by its number. When none is made yet:
    // with mayWait, waits for one; without, NotNow at once (a worker holding
    // items must not wait: the window may be full of items waiting for
    // those). Ended when the items ended or the work stopped. On the calling
    // thread working alone, makes the items itself; NotNow there when the
    // window is full of items the worker holds.
    Claim Take(std::size_t& index, bool mayWait) {
        for (;;) {
            if (stop_) return Claim::Ended;
            std::size_t i = taken_.load();
            if (i < produced_.load()) {
                if (taken_.compare_exchange_weak(i, i + 1)) {
                    index = i;
                    // A quarter of the window left to take: the calling
                    // thread refills now, before the workers run dry.
                    if (produced_.load() - i - 1 == window_ / 4 && !alone_) hungry_.notify_one();
                    return Claim::Got;
                }
                continue;
            }
            if (ended_) {
                if (taken_.load() < produced_.load()) continue;  // made before the end was seen
                return Claim::Ended;
            }
            if (alone_) {
                const std::size_t before = produced_.load();
                Refill();
                if (produced_.load() != before || ended_) continue;
                return Claim::NotNow;
            }
            hungry_.notify_one();  // the calling thread refills now rather than at its next look
            if (!mayWait) return Claim::NotNow;
            std::unique_lock<std::mutex> lock(wakeLock_);
            ++waiting_;
            more_.wait(lock, [this] { return stop_ || ended_ || taken_.load() < produced_.load(); });
            --waiting_;
        }
    }
    // The item of a number taken; it stays until its result went out.
    const Item& Get(std::size_t index) const noexcept { return slots_[index % window_].item; }
    void Publish(std::size_t index, Result result) {
        Slot& slot = slots_[index % window_];
        slot.result.emplace(std::move(result));
        slot.ready.store(true, std::memory_order_release);
        ++done_;
        if (alone_) EmitInline();
    }

    // Runs worker() on up to `threads` threads (never more than the items,
    // when their count is known: the caller knows it, or the source ended
    // within the first window); on the calling thread, makes items, calls
    // emit(item, result) in item order and idle(done) while it waits for
    // one (at least every millisecond), so that output can be flushed and
    // progress drawn. When the system starts fewer threads, note(text) says
    // so once, and the work goes on with those; with none, the calling
    // thread runs worker() itself, makes items when it runs out and emits
    // each result as it is published. When the source, emit or idle throws,
    // the work stops: the workers finish the items they hold, and the
    // exception goes on. When a worker throws (std::bad_alloc), the work
    // stops as well; the results before the first item left without one
    // are emitted, and the worker's exception goes on from the calling
    // thread.
    void Run(unsigned threads, std::optional<std::size_t> known, const std::function<void()>& worker,
             const std::function<void(Item&, Result&)>& emit, const std::function<void(std::size_t)>& idle,
             const std::function<void(const std::string&)>& note = {}) {
        emit_ = &emit;
        idle_ = &idle;
        std::vector<std::thread> pool;
        struct Joiner {
            InOrder& self;
            std::vector<std::thread>& pool;
            void Join() {
                self.stop_ = true;
                self.Wake();
                for (std::thread& t : pool)
                    if (t.joinable()) t.join();
            }
            ~Joiner() { Join(); }
        } joiner{*this, pool};
        Refill();  // a short list is known whole before the threads start
        if (ended_) known = produced_.load();
        count_ = known;
        wanted_ = known ? std::min<std::size_t>(std::max(1u, threads), *known) : std::max(1u, threads);
        pool.reserve(wanted_);
        std::optional<std::string> refused;
        while (pool.size() < wanted_ && !refused) {
            try {
                pool.push_back(StartPoolThread([this, &worker] { Guarded(worker); }));
            } catch (const std::system_error& e) {
                refused = e.code().message();
            }
        }
        if (refused && note) note(FewerThreadsNote(pool.size(), wanted_, *refused));
        if (pool.empty()) {
            if (wanted_ > 0) {
                alone_ = true;
                idled_ = std::chrono::steady_clock::now();
                worker();
                EmitReady();
            }
            idle(done_);
            return;
        }
        for (;;) {
            const std::size_t emitted = emitted_, produced = produced_.load();
            EmitReady();
            if (failed_) {
                joiner.Join();  // what the other workers hold is done, or failed too
                EmitReady();
                std::rethrow_exception(failure_);
            }
            if (ended_ && emitted_ == produced_.load()) break;
            Refill();
            if (emitted_ != emitted || produced_.load() != produced) continue;
            idle(done_);
            std::unique_lock<std::mutex> lock(wakeLock_);
            hungry_.wait_for(lock, std::chrono::milliseconds(1));
        }
        joiner.Join();
        if (failure_) std::rethrow_exception(failure_);  // after the last item was done
        idle(done_);
    }

    // Once Run started: the number of items when it is known, and the
    // threads it wanted for them.
    std::optional<std::size_t> Count() const noexcept { return count_; }
    std::size_t Wanted() const noexcept { return wanted_; }

private:
    struct Slot {
        Item item;
        std::optional<Result> result;
        std::atomic<bool> ready{false};  // set once result is written
    };

    // On the calling thread: items from the source until the window is full
    // or they end.
    void Refill() {
        const std::size_t before = produced_.load();
        for (std::size_t p = before; !ended_ && p - emitted_ < window_;) {
            if (!next_(slots_[p % window_].item)) {
                ended_ = true;
                break;
            }
            produced_.store(++p);
        }
        if ((produced_.load() != before || ended_) && waiting_.load() > 0) Wake();
    }
    void Wake() {
        std::lock_guard<std::mutex> lock(wakeLock_);
        more_.notify_all();
    }

    // Emits the results that are ready from the next one on, in order.
    void EmitReady() {
        while (emitted_ < produced_.load()) {
            Slot& slot = slots_[emitted_ % window_];
            if (!slot.ready.load(std::memory_order_acquire)) return;
            (*emit_)(slot.item, *slot.result);
            slot.result.reset();
            slot.ready.store(false, std::memory_order_relaxed);
            ++emitted_;
        }
    }
    // On the calling thread working alone: as the waiting loop does, at
    // most once a millisecond idle, without a wait.
    void EmitInline() {
        EmitReady();
        const auto now = std::chrono::steady_clock::now();
        if (now - idled_ < std::chrono::milliseconds(1)) return;
        idled_ = now;
        (*idle_)(done_);
    }

    // A worker on a thread of the pool: what it throws stops the work and
    // waits for the calling thread.
    void Guarded(const std::function<void()>& worker) noexcept {
        try {
            worker();
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(failureLock_);
                if (!failure_) failure_ = std::current_exception();
            }
            stop_ = true;
            failed_ = true;
            Wake();
        }
    }

    const std::size_t window_;
    std::unique_ptr<Slot[]> slots_;
    const std::function<bool(Item&)>& next_;
    std::atomic<std::size_t> produced_{0};  // items made; written by the calling thread only
    std::atomic<std::size_t> taken_{0}, done_{0};
    std::atomic<bool> ended_{false};  // the source has no more; set after the last item is made
    std::atomic<bool> stop_{false};
    std::size_t emitted_ = 0;  // on the calling thread: the results handed on
    std::optional<std::size_t> count_;
    std::size_t wanted_ = 0;
    bool alone_ = false;  // the calling thread is the only worker
    const std::function<void(Item&, Result&)>* emit_ = nullptr;
    const std::function<void(std::size_t)>* idle_ = nullptr;
    std::chrono::steady_clock::time_point idled_;
    std::mutex wakeLock_;
    std::condition_variable more_;    // workers waiting for items
    std::condition_variable hungry_;  // the calling thread, between its looks
    std::atomic<std::size_t> waiting_{0};
    std::mutex failureLock_;
    std::exception_ptr failure_;  // the first a worker threw
    std::atomic<bool> failed_{false};  // set once failure_ is
};

namespace detail {

template <typename Item, typename Result>
void StreamInOrder(unsigned threads, std::size_t window, std::optional<std::size_t> known,
                   const std::function<bool(Item&)>& next, const std::function<Result(const Item&)>& work,
                   const std::function<void(Item&, Result&)>& emit, const std::function<void(std::size_t)>& idle,
                   const std::function<void(const std::string&)>& note) {
    InOrder<Item, Result> pool(window, next);
    pool.Run(
        threads, known,
        [&] {
            std::size_t i;
            // NotNow comes only to the calling thread alone with the window
            // full, which a worker that publishes each item before the next
            // never leaves it.
            for (Claim got; (got = pool.Take(i, true)) != Claim::Ended;)
                if (got == Claim::Got) pool.Publish(i, work(pool.Get(i)));
        },
        emit, idle, note);
}

// A thread keeps at most count / threads files in flight (rounded up)
// when the count is known, so that a few large files are shared among the
// threads: two half-full lane groups on two cores take half the time of
// one full group on one. In a stream of unknown length, as many as its
// batch holds.
template <typename Item, typename Result>
void StreamFilesInOrder(unsigned threads, std::size_t window, std::optional<std::size_t> known,
                        const std::function<bool(Item&)>& next, const std::function<ReadPlan(const Item&)>& plan,
                        const std::function<Result(const Item&, const FileRead*)>& work,
                        const std::function<void(Item&, Result&)>& emit, const std::function<void(std::size_t)>& idle,
                        const std::function<void(const std::string&)>& note) {
    using Pool = InOrder<Item, Result>;
    Pool pool(window, next);
    const Md5LaneSetup setup = ToolLaneSetup();
    class Items : public BatchItems {
    public:
        Items(Pool& pool, const std::function<ReadPlan(const Item&)>& plan,
              const std::function<Result(const Item&, const FileRead*)>& work)
            : pool_(pool), plan_(plan), work_(work) {}
        bool Next(std::size_t& index) override { return pool_.Take(index, true) == Claim::Got; }
        Claim TryNext(std::size_t& index, bool mayWait) override { return pool_.Take(index, mayWait); }
        ReadPlan Plan(std::size_t index) override { return plan_(pool_.Get(index)); }
        void Done(std::size_t index, const FileRead* read) override { pool_.Publish(index, work_(pool_.Get(index), read)); }

    private:
        Pool& pool_;
        const std::function<ReadPlan(const Item&)>& plan_;
        const std::function<Result(const Item&, const FileRead*)>& work_;
    };
    pool.Run(
        threads, known,
        [&] {
            const std::size_t workers = std::max<std::size_t>(1, pool.Wanted());
            const std::size_t most = pool.Count() ? (*pool.Count() + workers - 1) / workers
                                                  : std::numeric_limits<std::size_t>::max();
            Items items(pool, plan, work);
            FileBatch batch(setup, most);
            batch.Run(items);
        },
        emit, idle, note);
}

}  // namespace detail

// Items come from next(item) on the calling thread (false: no more), at
// most `window` ahead of the oldest item whose result has not been
// emitted; workers run work on them; emit(item, result) runs on the
// calling thread in item order; idle(done) while it waits (done: results
// so far). See InOrder::Run for fewer threads and for failures.
template <typename Item, typename Result>
void StreamInOrder(unsigned threads, std::size_t window, const std::function<bool(Item&)>& next,
                   const std::function<Result(const Item&)>& work, const std::function<void(Item&, Result&)>& emit,
                   const std::function<void(std::size_t)>& idle, const std::function<void(const std::string&)>& note = {}) {
    detail::StreamInOrder<Item, Result>(threads, window, std::nullopt, next, work, emit, idle, note);
}

// As StreamInOrder, for work on files: each thread reads the files of the
// items it takes in a FileBatch (each file once, many at a time), as
// plan(item) says, and work(item, read) makes the item's result from what
// was read (null: nothing was, and the rules read the file themselves).
template <typename Item, typename Result>
void StreamFilesInOrder(unsigned threads, std::size_t window, const std::function<bool(Item&)>& next,
                        const std::function<ReadPlan(const Item&)>& plan,
                        const std::function<Result(const Item&, const FileRead*)>& work,
                        const std::function<void(Item&, Result&)>& emit, const std::function<void(std::size_t)>& idle,
                        const std::function<void(const std::string&)>& note = {}) {
    detail::StreamFilesInOrder<Item, Result>(threads, window, std::nullopt, next, plan, work, emit, idle, note);
}

// The items 0 to count - 1, made as the window takes them.
class CountingSource {
public:
    explicit CountingSource(std::size_t count) : count_(count) {}
    bool operator()(std::size_t& item) {
        if (next_ == count_) return false;
        item = next_++;
        return true;
    }

private:
    std::size_t count_, next_ = 0;
};

// Runs work(i) for every i below count on up to `threads` threads, and
// hands the results on in order (see InOrder::Run).
template <typename Result>
void RunInOrder(std::size_t count, unsigned threads, const std::function<Result(std::size_t)>& work,
                const std::function<void(std::size_t, Result&)>& emit, const std::function<void(std::size_t)>& idle,
                const std::function<void(const std::string&)>& note = {}) {
    const std::function<bool(std::size_t&)> next = CountingSource(count);
    detail::StreamInOrder<std::size_t, Result>(
        threads, std::min(count, kStreamWindow), count, next, [&](const std::size_t& i) { return work(i); },
        [&](std::size_t& i, Result& r) { emit(i, r); }, idle, note);
}

// As RunInOrder, for work on files (see StreamFilesInOrder): a thread keeps
// at most count / threads files in flight (rounded up), so that a few large
// files are shared among the threads.
template <typename Result>
void RunFilesInOrder(std::size_t count, unsigned threads, const std::function<ReadPlan(std::size_t)>& plan,
                     const std::function<Result(std::size_t, const FileRead*)>& work,
                     const std::function<void(std::size_t, Result&)>& emit,
                     const std::function<void(std::size_t)>& idle,
                     const std::function<void(const std::string&)>& note = {}) {
    const std::function<bool(std::size_t&)> next = CountingSource(count);
    detail::StreamFilesInOrder<std::size_t, Result>(
        threads, std::min(count, kStreamWindow), count, next, [&](const std::size_t& i) { return plan(i); },
        [&](const std::size_t& i, const FileRead* read) { return work(i, read); },
        [&](std::size_t& i, Result& r) { emit(i, r); }, idle, note);
}

}  // namespace ondrel::tool
