// One guard against running out of C stack, shared by every extension module
// whose C++ code can be re-entered through Python (node properties calling
// user overrides that call node properties again, and so on).
//
// Python's recursion limit bounds such re-entry only as long as nobody
// raises it far beyond what the thread's stack holds, so every re-entrant
// entry point also stops, with RecursionError, when less than a safety
// margin of this thread's stack is left.
#pragma once

#include <pthread.h>
#include <Python.h>

#include <algorithm>
#include <cstddef>

namespace zarnik_py {

// The lowest address the current thread may use before the guard trips, or
// nullptr when the stack bounds cannot be read.
inline const char* stack_floor() {
    // The margin leaves room for the Python calls made between two checks and
    // for raising the error; small thread stacks keep three quarters usable.
    constexpr std::size_t kMargin = 512 * 1024;
    thread_local const char* floor = nullptr;
    thread_local bool known = false;
    if (!known) {
        known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
                floor = static_cast<const char*>(addr) + std::min(kMargin, size / 4);
            }
            pthread_attr_destroy(&attr);
        }
    }
    return floor;
}

// True when the calling frame is below the floor.
inline bool stack_low() {
    // The frame address is on the thread's real stack even when a sanitizer
    // moves locals elsewhere.
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    const char* floor = stack_floor();
    return floor && here < floor;
}

}  // namespace zarnik_py
