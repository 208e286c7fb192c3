// Fork-join over independent items: a static partition, so that what each item computes
// cannot depend on the number of threads or on timing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace plix::model {

// Workers that parallel_for uses for `count` items on up to `threads` threads (0 counts as
// 1): never more than the items, at least one.
inline unsigned worker_count(std::size_t count, unsigned threads) {
    const std::size_t wanted = std::max(1u, threads);
    return static_cast<unsigned>(std::clamp<std::size_t>(count, 1, wanted));
}

// Calls body(worker, index) once for every index in [0, count). With W = worker_count(count,
// threads), worker w in [0, W) takes the indices w, w + W, w + 2W, ... in increasing order
// (interleaved, so that the costly items near the focus of a scan are shared out); worker 0
// is the calling thread, the others are threads started for this call and joined before it
// returns, so one worker never starts a thread. The body runs concurrently for different
// workers: it may write only what belongs to its worker or its index. An exception thrown by
// the body is rethrown here once every worker has finished (the lowest worker's first). If
// a thread cannot be started, the calling thread does that worker's share itself.
template <class Body>
void parallel_for(std::size_t count, unsigned threads, Body&& body) {
    const unsigned workers = worker_count(count, threads);
    const auto share = [&](unsigned w) {
        for (std::size_t i = w; i < count; i += workers) body(w, i);
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
