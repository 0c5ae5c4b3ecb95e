// Running a rolling kernel over strided data: one series, or every column of
// 2-D (dates x instruments) arrays in C or Fortran order.
//
// Inputs and output are described by base pointers and byte strides, so any
// layout works. A lone series runs on the calling thread; columns are handled
// in tiles of 32 spread over threads (zarnik/parallel.hpp): a tile is copied
// into contiguous series, each series runs through exactly the code of a 1-D
// call, and the results are copied back. Results never depend on the layout
// or the number of threads.
//
// Every run also reports the floating-point conditions its results show, in
// the categories of numpy's error state: a window whose value is NaN although
// it holds no NaN is an invalid operation (0 / 0, inf - inf); a window whose
// value is infinite although it holds no infinity is an overflow. NaN inputs
// propagating are no condition.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/kernels.hpp"
#include "zarnik/parallel.hpp"
#include "zarnik/rolling.hpp"

namespace zarnik::columns {

using rolling::Kernel;

enum class ElemType { b, i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

// Floating-point conditions, as bits (numpy's categories).
enum Condition : unsigned { divide = 1u, overflow = 2u, invalid = 4u };

struct Job {
    Kernel kern;
    ElemType type;
    const char* in[2];                   // second series for the pair kernels, else nullptr
    std::ptrdiff_t in_row[2], in_col[2];  // byte strides along dates / instruments
    std::size_t L, n, N;                 // dates, window, columns (N = 1: one series)
    char* out;
    std::ptrdiff_t out_row, out_col;
    std::size_t out_size = 8;  // bytes per output element
    std::int64_t last = -1;    // position of the last date on a fixed scale (block grid, see rolling::first_block)
};

namespace detail {

template <class F>
void visit(ElemType t, F&& f) {
    switch (t) {
        case ElemType::b: return f(static_cast<std::uint8_t*>(nullptr));
        case ElemType::i8: return f(static_cast<std::int8_t*>(nullptr));
        case ElemType::i16: return f(static_cast<std::int16_t*>(nullptr));
        case ElemType::i32: return f(static_cast<std::int32_t*>(nullptr));
        case ElemType::i64: return f(static_cast<std::int64_t*>(nullptr));
        case ElemType::u8: return f(static_cast<std::uint8_t*>(nullptr));
        case ElemType::u16: return f(static_cast<std::uint16_t*>(nullptr));
        case ElemType::u32: return f(static_cast<std::uint32_t*>(nullptr));
        case ElemType::u64: return f(static_cast<std::uint64_t*>(nullptr));
        case ElemType::f32: return f(static_cast<float*>(nullptr));
        case ElemType::f64: return f(static_cast<double*>(nullptr));
    }
}

template <class T, class D>
void gather(const char* p, std::ptrdiff_t stride, std::size_t L, D* dst) {
    for (std::size_t i = 0; i < L; ++i) {
        T v;
        std::memcpy(&v, p + std::ptrdiff_t(i) * stride, sizeof(T));
        dst[i] = static_cast<D>(v);
    }
}

template <class O>
void scatter(const O* src, std::size_t m, char* p, std::ptrdiff_t stride) {
    for (std::size_t i = 0; i < m; ++i) std::memcpy(p + std::ptrdiff_t(i) * stride, &src[i], sizeof(O));
}

template <class T>
bool contiguous(const char* p, std::ptrdiff_t stride) {
    return stride == std::ptrdiff_t(sizeof(T)) && reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0;
}

// A typed view of one series: the input itself when contiguous, else a copy.
template <class T>
struct Typed {
    std::vector<T> copy;
    const T* ptr;
    Typed(const char* p, std::ptrdiff_t stride, std::size_t L) {
        if (contiguous<T>(p, stride)) {
            ptr = reinterpret_cast<const T*>(p);
        } else {
            copy.resize(L);
            gather<T>(p, stride, L, copy.data());
            ptr = copy.data();
        }
    }
    const T* data() const { return ptr; }
};

// One series as contiguous float64: the input itself when it already is,
// else a converted copy in `buf`.
template <class T>
const double* as_doubles(const char* p, std::ptrdiff_t stride, std::size_t L, std::vector<double>& buf) {
    if (std::is_same_v<T, double> && contiguous<double>(p, stride)) return reinterpret_cast<const double*>(p);
    buf.resize(L);
    gather<T>(p, stride, L, buf.data());
    return buf.data();
}

// Where a kernel writes its m results: straight into the output when its
// elements are contiguous and aligned, else into `buf` (scattered afterwards).
template <class O>
O* out_buffer(char* out, std::ptrdiff_t stride, std::size_t m, std::vector<O>& buf) {
    if (contiguous<O>(out, stride)) return reinterpret_cast<O*>(out);
    buf.resize(m);
    return buf.data();
}

template <class T>
std::uint64_t to_wrap(T v) {
    if constexpr (std::is_signed_v<T>) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    } else {
        return static_cast<std::uint64_t>(v);
    }
}

// The conditions shown by the m results `out` of k series xs (see the top of
// this file). The common case, every result finite, costs one pass over out.
template <class O>
unsigned conditions(const double* const* xs, int k, std::size_t L, std::size_t n, const O* out) {
    const std::size_t m = L - n + 1;
    bool any = false;
    for (std::size_t i = 0; i < m && !any; ++i) any = !std::isfinite(out[i]);
    if (!any) return 0;
    // running counts of NaN and infinite values in the current window
    std::size_t nans = 0, infs = 0;
    auto add = [&](std::size_t j, int sign) {
        for (int s = 0; s < k; ++s) {
            double v = xs[s][j];
            if (std::isnan(v)) nans += std::size_t(sign);
            else if (std::isinf(v)) infs += std::size_t(sign);
        }
    };
    for (std::size_t j = 0; j + 1 < n; ++j) add(j, 1);
    unsigned flags = 0;
    for (std::size_t i = 0; i < m; ++i) {
        add(i + n - 1, 1);
        const double v = double(out[i]);
        if (std::isnan(v) && nans == 0) flags |= invalid;
        if (std::isinf(v) && nans == 0 && infs == 0) flags |= overflow;
        add(i, -1);
    }
    return flags;
}

template <class T>
unsigned run_series(const Job& job, std::size_t col) {
    namespace zr = zarnik::rolling;
    const std::size_t L = job.L, n = job.n, m = L - n + 1;
    const char* a = job.in[0] + std::ptrdiff_t(col) * job.in_col[0];
    char* out = job.out + std::ptrdiff_t(col) * job.out_col;
    switch (job.kern) {
        case Kernel::count: {
            Typed<T> x(a, job.in_row[0], L);
            std::vector<std::int64_t> rbuf;
            std::int64_t* r = out_buffer(out, job.out_row, m, rbuf);
            zr::count(x.data(), L, n, r);
            if (!rbuf.empty()) scatter(r, m, out, job.out_row);
            return 0;
        }
        case Kernel::ts_rank:
        case Kernel::ts_argmax:
        case Kernel::ts_argmin: {
            Typed<T> x(a, job.in_row[0], L);
            std::vector<double> rbuf;
            double* r = out_buffer(out, job.out_row, m, rbuf);
            if (job.kern == Kernel::ts_rank) zr::ts_rank(x.data(), L, n, r);
            if (job.kern == Kernel::ts_argmax) zr::ts_argmax(x.data(), L, n, r);
            if (job.kern == Kernel::ts_argmin) zr::ts_argmin(x.data(), L, n, r);
            if (!rbuf.empty()) scatter(r, m, out, job.out_row);
            return 0;
        }
        case Kernel::ts_min:
        case Kernel::ts_max: {
            Typed<T> x(a, job.in_row[0], L);
            std::vector<T> rbuf;
            T* r = out_buffer(out, job.out_row, m, rbuf);
            if (job.kern == Kernel::ts_min) {
                zr::ts_min(x.data(), L, n, r, job.last);
            } else {
                zr::ts_max(x.data(), L, n, r, job.last);
            }
            if (!rbuf.empty()) scatter(r, m, out, job.out_row);
            return 0;
        }
        case Kernel::sum:
        case Kernel::product:
            if constexpr (!std::is_floating_point_v<T>) {
                // integers wrap around as numpy's do, without a condition
                std::vector<std::uint64_t> x(L), r(m);
                for (std::size_t i = 0; i < L; ++i) {
                    T v;
                    std::memcpy(&v, a + std::ptrdiff_t(i) * job.in_row[0], sizeof(T));
                    x[i] = to_wrap(v);
                }
                if (job.kern == Kernel::sum) {
                    zr::sum_wrap(x.data(), L, n, r.data());
                } else {
                    zr::product_wrap(x.data(), L, n, r.data());
                }
                scatter(r.data(), m, out, job.out_row);
                return 0;
            } else {
                // computed in float64; float32 input gets its float32 result
                std::vector<double> xbuf, rbuf;
                const double* x = as_doubles<T>(a, job.in_row[0], L, xbuf);
                double* r = std::is_same_v<T, double> ? out_buffer(out, job.out_row, m, rbuf)
                                                      : (rbuf.resize(m), rbuf.data());
                if (job.kern == Kernel::sum) {
                    zr::sum(x, L, n, r, job.last);
                } else {
                    zr::product(x, L, n, r, job.last);
                }
                if constexpr (std::is_same_v<T, float>) {
                    std::vector<float> rf(rbuf.begin(), rbuf.end());
                    scatter(rf.data(), m, out, job.out_row);
                    return conditions(&x, 1, L, n, rf.data());
                } else {
                    if (!rbuf.empty()) scatter(r, m, out, job.out_row);
                    return conditions(&x, 1, L, n, r);
                }
            }
        default: break;
    }
    // float statistics: contiguous float64 input and output are used in place
    std::vector<double> xbuf, ybuf, rbuf;
    const double* xs[2] = {as_doubles<T>(a, job.in_row[0], L, xbuf), nullptr};
    const double* x = xs[0];
    double* r = out_buffer(out, job.out_row, m, rbuf);
    int k = 1;
    switch (job.kern) {
        case Kernel::zscore: zr::zscore(x, L, n, r, job.last); break;
        case Kernel::skew: zr::skew(x, L, n, r, job.last); break;
        case Kernel::kurt: zr::kurt(x, L, n, r, job.last); break;
        case Kernel::avedev: zr::avedev(x, L, n, r, job.last); break;
        case Kernel::ma: zr::ma(x, L, n, r, job.last); break;
        case Kernel::ema: zr::ema(x, L, n, r, job.last); break;
        case Kernel::wma: zr::wma(x, L, n, r, job.last); break;
        case Kernel::std_: zr::std_(x, L, n, r, job.last); break;
        case Kernel::var: zr::var(x, L, n, r, job.last); break;
        case Kernel::slope: zr::slope(x, L, n, r, job.last); break;
        case Kernel::covariance:
        case Kernel::correlation:
        case Kernel::regression: {
            const char* b = job.in[1] + std::ptrdiff_t(col) * job.in_col[1];
            const double* y = xs[1] = as_doubles<T>(b, job.in_row[1], L, ybuf);
            k = 2;
            if (job.kern == Kernel::covariance) zr::covariance(x, y, L, n, r, job.last);
            if (job.kern == Kernel::correlation) zr::correlation(x, y, L, n, r, job.last);
            if (job.kern == Kernel::regression) zr::regression(x, y, L, n, r, job.last);
            break;
        }
        default: throw std::logic_error("unhandled kernel");
    }
    const unsigned flags = conditions(xs, k, L, n, r);
    if (!rbuf.empty()) scatter(r, m, out, job.out_row);
    return flags;
}

// Copies rows [0, rows) of `width` columns starting at `base` into `width`
// contiguous series (column c at dst + c * rows), reading whole cache lines of
// a row-major source at a time.
template <std::size_t Size>
void gather_tile(const char* base, std::ptrdiff_t row, std::ptrdiff_t col, std::size_t rows, std::size_t width,
                 char* dst) {
    for (std::size_t r = 0; r < rows; ++r) {
        const char* src = base + std::ptrdiff_t(r) * row;
        for (std::size_t c = 0; c < width; ++c)
            std::memcpy(dst + (c * rows + r) * Size, src + std::ptrdiff_t(c) * col, Size);
    }
}

template <std::size_t Size>
void scatter_tile(const char* src, std::size_t rows, std::size_t width, char* base, std::ptrdiff_t row,
                  std::ptrdiff_t col) {
    for (std::size_t r = 0; r < rows; ++r) {
        char* dst = base + std::ptrdiff_t(r) * row;
        for (std::size_t c = 0; c < width; ++c)
            std::memcpy(dst + std::ptrdiff_t(c) * col, src + (c * rows + r) * Size, Size);
    }
}

template <class F>
void with_size(std::size_t size, F&& f) {
    switch (size) {
        case 1: return f(std::integral_constant<std::size_t, 1>{});
        case 2: return f(std::integral_constant<std::size_t, 2>{});
        case 4: return f(std::integral_constant<std::size_t, 4>{});
        default: return f(std::integral_constant<std::size_t, 8>{});
    }
}

template <class T>
unsigned run_tiles(const Job& job) {
    constexpr std::size_t tile = 32;
    const std::size_t L = job.L, m = L - job.n + 1, N = job.N;
    const std::size_t tiles = (N + tile - 1) / tile;
    const int series = job.in[1] ? 2 : 1;
    std::atomic<unsigned> flags{0};
    zarnik::parallel_for(
        tiles,
        [&](std::size_t tb, std::size_t te) {
            std::vector<T> ins[2];
            for (int s = 0; s < series; ++s) ins[s].resize(tile * L);
            std::vector<char> outs(zarnik::mul_size(tile, m, job.out_size, "output tile"));
            unsigned mine = 0;
            for (std::size_t t = tb; t < te; ++t) {
                const std::size_t c0 = t * tile, width = std::min(tile, N - c0);
                for (int s = 0; s < series; ++s)
                    gather_tile<sizeof(T)>(job.in[s] + std::ptrdiff_t(c0) * job.in_col[s], job.in_row[s],
                                           job.in_col[s], L, width, reinterpret_cast<char*>(ins[s].data()));
                for (std::size_t c = 0; c < width; ++c) {
                    Job one = job;
                    one.N = 1;
                    for (int s = 0; s < series; ++s) {
                        one.in[s] = reinterpret_cast<const char*>(ins[s].data() + c * L);
                        one.in_row[s] = sizeof(T);
                        one.in_col[s] = 0;
                    }
                    one.out = outs.data() + c * m * job.out_size;
                    one.out_row = std::ptrdiff_t(job.out_size);
                    one.out_col = 0;
                    mine |= run_series<T>(one, 0);
                }
                with_size(job.out_size, [&](auto size) {
                    scatter_tile<decltype(size)::value>(outs.data(), m, width,
                                                        job.out + std::ptrdiff_t(c0) * job.out_col, job.out_row,
                                                        job.out_col);
                });
            }
            flags.fetch_or(mine, std::memory_order_relaxed);
        },
        1);
    return flags.load();
}

}  // namespace detail

// Runs the job; returns the floating-point conditions (Condition bits) its
// results show. Pair kernels take float64 series only.
inline unsigned run(const Job& job) {
    unsigned flags = 0;
    detail::visit(job.type, [&](auto tag) {
        using T = std::remove_pointer_t<decltype(tag)>;
        flags = job.N == 1 ? detail::run_series<T>(job, 0) : detail::run_tiles<T>(job);
    });
    return flags;
}

}  // namespace zarnik::columns
