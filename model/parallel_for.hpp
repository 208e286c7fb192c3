// Fork-join over independent items: a static partition, so that what each item computes
// cannot depend on the number of threads or on timing.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "model/run_control.hpp"

namespace plix::model {

// More workers than this many per core only add switching: the cap on any request.
inline constexpr unsigned max_workers_per_core = 4;

// Workers that parallel_for uses for `count` items on up to `threads` threads (0 counts as
// 1): never more than the items nor max_workers_per_core per core, at least one.
inline unsigned worker_count(std::size_t count, unsigned threads) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t wanted = std::min(std::max(1u, threads), max_workers_per_core * cores);
    return static_cast<unsigned>(std::clamp<std::size_t>(count, 1, wanted));
}

// Calls body(worker, index) once for every index in [0, count). With W = worker_count(count,
// threads), worker w in [0, W) takes the indices w, w + W, w + 2W, ... in increasing order
// (interleaved, so that the costly items near the focus of a scan are shared out); worker 0
// is the calling thread, the others are threads started for this call and joined before it
// returns, so one worker never starts a thread. The body runs concurrently for different
// workers: it may write only what belongs to its worker or its index. An exception thrown by
// the body is rethrown here once every worker has finished (the lowest worker's first). If
// a thread cannot be started, the calling thread does that worker's share itself. Once a
// worker has thrown, the others take no new item. run.checkpoint() is called before every item
// (by every worker: the calling thread may poll, the others read the stop flag).
template <class Body>
void parallel_for(std::size_t count, const RunControl& run, Body&& body) {
    const unsigned workers = worker_count(count, run.threads);
    std::atomic<bool> failed{false};
    const auto share = [&](unsigned w) {
        for (std::size_t i = w; i < count && !failed.load(std::memory_order_relaxed);
             i += workers) {
            run.checkpoint();
            body(w, i);
        }
    };
    if (workers == 1) {
        share(0);
        return;
    }
    std::vector<std::exception_ptr> errors(workers);
    const auto guarded = [&](unsigned w) noexcept {
        try {
            share(w);
        } catch (...) {
            errors[w] = std::current_exception();
            failed.store(true, std::memory_order_relaxed);
        }
    };
    {
        std::vector<std::jthread> pool;
        pool.reserve(workers - 1);
        unsigned started = 1;
        for (; started < workers; ++started) {
            try {
                pool.emplace_back(guarded, started);
            } catch (const std::system_error&) {
                break;
            }
        }
        guarded(0);
        for (unsigned w = started; w < workers; ++w) guarded(w);
    }  // the pool joins here
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace plix::model

namespace plix::model {

// parallel_for without a cancellation.
template <class Body>
void parallel_for(std::size_t count, unsigned threads, Body&& body) {
    parallel_for(count, RunControl{threads, nullptr}, std::forward<Body>(body));
}

}  // namespace plix::model
