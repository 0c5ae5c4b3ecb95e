// zarnik._core.buffer_cache_begin / buffer_cache_end / buffer_cache_stats: a
// numpy memory handler that keeps large freed array buffers and hands them to
// the next arrays of about their size.
//
// An evaluation allocates one panel per node and frees it a few nodes later;
// at thousands of instruments each panel is tens of megabytes, which the C
// library maps fresh from the kernel and unmaps on free, so every node result
// pays page faults and the kernel's zeroing of every page on first touch. With
// the handler current (numpy's allocation policy is a context variable of the
// calling thread), freed buffers of at least kMinBlock bytes are kept, up to
// the limits given to begin(), and reused: memory already mapped, nothing to
// zero. Only the location of array data changes, never a value (np.empty's
// contents are unspecified either way; calloc'ed buffers are zeroed).
//
// Every buffer of this handler starts kHeader bytes before the pointer numpy
// sees, where its capacity is kept; arrays that outlive the cached span are
// freed normally whenever they go.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "common/pyclass.hpp"
#include "core/core.hpp"

namespace zarnik_py {

namespace {

// The layout of numpy's PyDataMem_Handler (version 1 of its memory-handler interface).
struct Allocator {
    void* ctx;
    void* (*malloc)(void* ctx, std::size_t size);
    void* (*calloc)(void* ctx, std::size_t nelem, std::size_t elsize);
    void* (*realloc)(void* ctx, void* ptr, std::size_t new_size);
    void (*free)(void* ctx, void* ptr, std::size_t size);
};
struct Handler {
    char name[127];
    std::uint8_t version;
    Allocator allocator;
};

// Bytes in front of every buffer: its capacity, and the alignment malloc gives kept.
constexpr std::size_t kHeader = 64;
// Smallest buffer kept for reuse: smaller ones are cheap to get from malloc.
constexpr std::size_t kMinBlock = std::size_t{1} << 20;
// numpy advises huge pages for buffers of at least this size; so does this handler.
constexpr std::size_t kHugePageMin = std::size_t{4} << 20;

struct Cache {
    std::mutex mutex;
    int depth = 0;                    // nested begin() calls still open
    std::size_t max_blocks = 0, max_bytes = 0;
    std::vector<char*> blocks;        // kept buffers (their headers), oldest first
    std::size_t bytes = 0;            // their capacities together
    std::uint64_t hits = 0, misses = 0;
};

Cache& cache() {
    static Cache* c = new Cache();  // never destroyed: arrays may be freed at interpreter exit
    return *c;
}

std::size_t& capacity_of(char* block) { return *reinterpret_cast<std::size_t*>(block); }

void advise_huge_pages(char* p, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size < kHugePageMin) return;
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p), offset = (4096u - a % 4096u) % 4096u;
    madvise(reinterpret_cast<void*>(a + offset), size - offset, MADV_HUGEPAGE);  // a hint: failures do not matter
#else
    (void)p, (void)size;
#endif
}

// A kept buffer of capacity in [size, size + size / 4], the smallest such; nullptr if none.
char* take(std::size_t size) {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.depth == 0 || size < kMinBlock) return nullptr;
    std::size_t best = c.blocks.size();
    for (std::size_t i = 0; i < c.blocks.size(); ++i) {
        const std::size_t cap = capacity_of(c.blocks[i]);
        if (cap >= size && cap - size <= size / 4 && (best == c.blocks.size() || cap < capacity_of(c.blocks[best])))
            best = i;
    }
    if (best == c.blocks.size()) {
        ++c.misses;
        return nullptr;
    }
    char* b = c.blocks[best];
    c.blocks.erase(c.blocks.begin() + static_cast<std::ptrdiff_t>(best));
    c.bytes -= capacity_of(b);
    ++c.hits;
    return b;
}

char* fresh(std::size_t size, bool zero) {
    if (size > SIZE_MAX - kHeader) return nullptr;
    char* b = static_cast<char*>(zero ? std::calloc(1, size + kHeader) : std::malloc(size + kHeader));
    if (b == nullptr) return nullptr;
    capacity_of(b) = size;
    advise_huge_pages(b + kHeader, size);
    return b;
}

void* h_malloc(void*, std::size_t size) {
    char* b = take(size);
    if (b == nullptr) b = fresh(size, false);
    return b == nullptr ? nullptr : b + kHeader;
}

void* h_calloc(void*, std::size_t nelem, std::size_t elsize) {
    if (elsize != 0 && nelem > SIZE_MAX / elsize) return nullptr;
    const std::size_t size = nelem * elsize;
    if (char* b = take(size)) {
        std::memset(b + kHeader, 0, size);
        return b + kHeader;
    }
    char* b = fresh(size, true);
    return b == nullptr ? nullptr : b + kHeader;
}

void* h_realloc(void*, void* ptr, std::size_t new_size) {
    if (ptr == nullptr) return h_malloc(nullptr, new_size);
    if (new_size > SIZE_MAX - kHeader) return nullptr;
    char* b = static_cast<char*>(std::realloc(static_cast<char*>(ptr) - kHeader, new_size + kHeader));
    if (b == nullptr) return nullptr;
    capacity_of(b) = new_size;
    return b + kHeader;
}

void h_free(void*, void* ptr, std::size_t) {
    if (ptr == nullptr) return;
    char* b = static_cast<char*>(ptr) - kHeader;
    const std::size_t cap = capacity_of(b);
    Cache& c = cache();
    std::vector<char*> evicted;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.depth > 0 && cap >= kMinBlock && cap <= c.max_bytes && c.max_blocks > 0) {
            c.blocks.push_back(b);
            c.bytes += cap;
            while (c.blocks.size() > c.max_blocks || c.bytes > c.max_bytes) {  // the oldest go first
                evicted.push_back(c.blocks.front());
                c.bytes -= capacity_of(c.blocks.front());
                c.blocks.erase(c.blocks.begin());
            }
            b = nullptr;
        }
    }
    for (char* e : evicted) std::free(e);
    std::free(b);
}

Handler g_handler = {"zarnik_buffer_cache", 1, {nullptr, h_malloc, h_calloc, h_realloc, h_free}};

// numpy's PyDataMem_SetHandler, from its C-API table (slot 304 since numpy 1.22, fixed by its ABI).
using SetHandler = PyObject* (*)(PyObject*);

SetHandler set_handler() {
    static SetHandler fn = [] {
        py::object api = py::module_::import("numpy._core._multiarray_umath").attr("_ARRAY_API");
        void** table = static_cast<void**>(PyCapsule_GetPointer(api.ptr(), nullptr));
        if (table == nullptr) throw py::error_already_set();
        // slot 211: PyArray_GetNDArrayCFeatureVersion; memory handlers came with feature version 0xf (1.22)
        auto feature = reinterpret_cast<unsigned (*)()>(table[211]);
        if (feature() < 0xf) return SetHandler(nullptr);
        return reinterpret_cast<SetHandler>(table[304]);
    }();
    return fn;
}

py::object handler_capsule() {
    static PyObject* capsule = PyCapsule_New(&g_handler, "mem_handler", nullptr);  // kept for good
    if (capsule == nullptr) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(capsule);
}

// Makes the handler current in the calling thread's context and opens a span in which freed
// buffers are kept; returns the handler to give back to buffer_cache_end (None: nothing done).
py::object begin(long long max_blocks, long long max_bytes) {
    if (max_blocks < 0 || max_bytes < 0) raise(PyExc_ValueError, "max_blocks and max_bytes must be non-negative");
    SetHandler set = set_handler();
    if (set == nullptr) return py::none();
    py::object mine = handler_capsule();
    PyObject* previous = set(mine.ptr());
    if (previous == nullptr) throw py::error_already_set();
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.depth++ == 0) {
        c.max_blocks = static_cast<std::size_t>(max_blocks);
        c.max_bytes = static_cast<std::size_t>(max_bytes);
    }
    return py::reinterpret_steal<py::object>(previous);
}

// Puts back the handler begin() returned; when the outermost span closes, the kept buffers are freed.
void end(const py::object& previous) {
    if (previous.is_none()) return;
    if (!PyCapsule_CheckExact(previous.ptr())) raise(PyExc_TypeError, "expected the value buffer_cache_begin returned");
    PyObject* mine = set_handler()(previous.ptr());
    if (mine == nullptr) throw py::error_already_set();
    Py_DECREF(mine);
    Cache& c = cache();
    std::vector<char*> kept;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.depth > 0 && --c.depth == 0) {
            kept.swap(c.blocks);
            c.bytes = 0;
        }
    }
    for (char* b : kept) std::free(b);
}

py::tuple stats() {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    return py::make_tuple(c.hits, c.misses, c.blocks.size(), c.bytes);
}

}  // namespace

void register_core_buffers(py::module_& m) {
    def(m, "buffer_cache_begin", {"(max_blocks, max_bytes)",
            "Makes numpy allocate array data, in the calling thread's context, through a handler that keeps "
            "freed buffers of 1 MiB or more (up to max_blocks of them, max_bytes together, the oldest "
            "dropped first) and reuses them for arrays of about their size. Returns the previous handler, "
            "for buffer_cache_end; spans nest."},
        &begin, py::arg("max_blocks"), py::arg("max_bytes"));
    def(m, "buffer_cache_end", {"(previous)",
            "Restores the handler buffer_cache_begin returned; closing the outermost span frees the kept "
            "buffers."},
        &end, py::arg("previous"));
    def(m, "buffer_cache_stats", {"()",
            "(reused, allocated fresh, kept now, bytes kept now) of the buffers of 1 MiB or more asked for "
            "while a span was open."},
        &stats);
}

}  // namespace zarnik_py
