// Splitting independent work items (columns, dates) over threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
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
// The calling thread always works: it runs the first chunk alone and starts
// worker threads only when, at the pace of that chunk, the rest would take it
// longer than starting a thread costs (work one core finishes in tens of
// microseconds stays on the calling thread). Ranges are then handed out
// dynamically from a shared counter, each a share of what is left (large
// first, small at the end). A worker that the scheduler starts late (the other core busy
// with another process) only takes what is left, and the call does not wait
// for a worker that never got to start: such a worker finds the call closed
// and exits on its own. So a call never takes much longer than the calling
// thread alone would.
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
    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    body(std::size_t{0}, chunk);
    if (chunk >= n) return;
    const double first = std::chrono::duration<double>(clock::now() - t0).count();
    constexpr double kThreadStartSeconds = 50e-6;  // starting, scheduling and ending one thread
    if (first * double(n - chunk) / double(chunk) < 2 * kThreadStartSeconds) {
        body(chunk, n);
        return;
    }

    // Shared with the workers, which may outlive the call: a worker touches `body`
    // only after registering while the call is open, and the call closes only
    // when every registered worker has left.
    struct State {
        std::atomic<std::size_t> next{0};
        std::mutex mutex;
        std::condition_variable left;
        std::size_t active = 0;
        bool closed = false;
        std::exception_ptr error;
    };
    auto state = std::make_shared<State>();
    state->next.store(chunk, std::memory_order_relaxed);
    std::remove_reference_t<Body>* run = &body;
    // guided: each range is a share of what is left, so the last ranges are small and a
    // thread descheduled in the middle of one holds up the others only briefly
    const std::size_t smallest = std::max<std::size_t>(1, chunk / 4), parts = 2 * nt;
    auto drain = [n, smallest, parts](State& st, std::remove_reference_t<Body>& f) noexcept {
        for (;;) {
            std::size_t b = st.next.load(std::memory_order_relaxed), e;
            do {
                if (b >= n) return;
                e = std::min(n, b + std::max(smallest, (n - b) / parts));
            } while (!st.next.compare_exchange_weak(b, e, std::memory_order_relaxed));
            try {
                f(b, e);
            } catch (...) {
                std::lock_guard<std::mutex> lock(st.mutex);
                if (!st.error) st.error = std::current_exception();
                st.next.store(n, std::memory_order_relaxed);
                return;
            }
        }
    };
    try {
        for (std::size_t t = 0; t + 1 < nt; ++t) {
            std::thread([state, run, drain]() noexcept {
                {
                    std::lock_guard<std::mutex> lock(state->mutex);
                    if (state->closed) return;
                    ++state->active;
                }
                drain(*state, *run);
                std::lock_guard<std::mutex> lock(state->mutex);
                if (--state->active == 0) state->left.notify_all();
            }).detach();
        }
    } catch (...) {  // std::bad_alloc, std::system_error: run with the threads that started
    }
    drain(*state, body);
    std::unique_lock<std::mutex> lock(state->mutex);
    state->closed = true;
    state->left.wait(lock, [&] { return state->active == 0; });
    if (state->error) std::rethrow_exception(state->error);
}

}  // namespace zarnik
