// Splitting independent work items (columns, dates) over threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace zarnik {

// Number of worker threads: ZARNIK_NUM_THREADS if set to a positive integer,
// otherwise the hardware concurrency (at least 1).
inline unsigned num_threads() {
    if (const char* env = std::getenv("ZARNIK_NUM_THREADS")) {
        char* end = nullptr;
        long v = std::strtol(env, &end, 10);
        if (end != env && v > 0) return static_cast<unsigned>(std::min<long>(v, 256));
    }
    unsigned hc = std::thread::hardware_concurrency();
    return hc == 0 ? 1u : hc;
}

// Calls body(begin, end) on disjoint ranges covering [0, n). Items must be
// independent, so results never depend on the number of threads or on which
// thread ran which range. Runs inline when there are fewer than two threads'
// worth of items (`min_items_per_thread` each).
//
// Ranges are handed out dynamically from a shared counter, in chunks of about
// an eighth of a thread's share, and the calling thread works through them
// alongside the workers. A worker that the scheduler starts late (the other
// core busy with another process) therefore only takes what is left: the call
// never takes much longer than the calling thread alone would, instead of
// waiting for a fixed half of the work to be done by a thread that is not
// running.
//
// The first exception thrown by a body is rethrown on the calling thread; no
// new range is started after it. When a worker thread cannot be started (no
// memory for its stack, a thread limit), the others, and the calling thread,
// take its share.
template <class Body>
void parallel_for(std::size_t n, Body&& body, std::size_t min_items_per_thread = 1) {
    if (n == 0) return;
    std::size_t nt = num_threads();
    if (min_items_per_thread == 0) min_items_per_thread = 1;
    nt = std::min<std::size_t>(nt, n / min_items_per_thread);
    if (nt <= 1) {
        body(std::size_t{0}, n);
        return;
    }
    const std::size_t chunk = std::max<std::size_t>({std::size_t{1}, min_items_per_thread / 4, n / (nt * 8)});
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&]() noexcept {
        for (;;) {
            const std::size_t b = next.fetch_add(chunk, std::memory_order_relaxed);
            if (b >= n) return;
            const std::size_t e = std::min(n, b + chunk);
            try {
                body(b, e);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                next.store(n, std::memory_order_relaxed);
                return;
            }
        }
    };
    std::vector<std::thread> workers;
    try {
        workers.reserve(nt - 1);
        for (std::size_t t = 0; t + 1 < nt; ++t) workers.emplace_back(work);
    } catch (...) {  // std::bad_alloc, std::system_error: run with the threads that started
    }
    work();
    for (auto& w : workers) w.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace zarnik
