// Splitting independent work items (columns, dates) over threads.
#pragma once

#include <algorithm>
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
// independent, so results never depend on the number of threads. Ranges are
// handed out in contiguous blocks; runs inline when the work is small.
// The first exception thrown by a worker is rethrown on the calling thread.
// When a worker thread cannot be started (no memory for its stack, a thread
// limit), the ranges not yet handed out run on the calling thread instead.
template <class Body>
void parallel_for(std::size_t n, Body&& body, std::size_t min_items_per_thread = 1) {
    if (n == 0) return;
    std::size_t nt = num_threads();
    if (min_items_per_thread == 0) min_items_per_thread = 1;
    nt = std::min<std::size_t>(nt, (n + min_items_per_thread - 1) / min_items_per_thread);
    if (nt <= 1) {
        body(std::size_t{0}, n);
        return;
    }
    std::exception_ptr error;
    std::mutex error_mutex;
    auto run = [&](std::size_t b, std::size_t e) {
        try {
            body(b, e);
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    try {
        workers.reserve(nt - 1);
    } catch (const std::bad_alloc&) {
        body(std::size_t{0}, n);
        return;
    }
    const std::size_t chunk = n / nt, extra = n % nt;
    std::size_t begin = 0;
    bool spawning = true;
    for (std::size_t t = 0; t < nt; ++t) {
        std::size_t end = begin + chunk + (t < extra ? 1 : 0);
        if (spawning && t + 1 < nt) {
            try {
                workers.emplace_back(run, begin, end);
            } catch (...) {  // std::system_error: the thread could not be started
                spawning = false;
            }
        }
        if (!spawning || t + 1 == nt) run(begin, end);
        begin = end;
    }
    for (auto& w : workers) w.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace zarnik
