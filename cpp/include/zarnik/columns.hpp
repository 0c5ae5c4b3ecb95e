// Running a rolling kernel over strided data: one series, or every column of
// 2-D (dates x instruments) arrays in any layout.
//
// Inputs and output are described by base pointers and byte strides, so any
// layout works. A lone series runs on the calling thread. For columns, work
// is spread over threads (zarnik/parallel.hpp) in independent pieces:
//   * the running-sum kernels on float64 (sum, ma, var, std, zscore, skew,
//     kurt, wma, covariance, correlation) stream the rows of a chunk
//     of columns through one update of all its columns per row (see
//     run_rows); column-major operands are copied row-major 8 (or 4) columns
//     at a time first, and a column-major output is written from such a
//     row-major tile;
//   * every other kernel runs each column through exactly the code of a 1-D
//     call, in tiles of columns: a column that already is a contiguous
//     series is read in place (tiles of 8), others are copied into one
//     first (tiles of 32).
// Results never depend on the layout or the number of threads: every path
// performs the 1-D kernel's operations on each column.
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
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "zarnik/checked.hpp"
#include "zarnik/kernels.hpp"
#include "zarnik/parallel.hpp"
#include "zarnik/rolling.hpp"

#include "zarnik/simd.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Index of the first result at or after i that is not finite, or m. Float64
// results are tested four at a time with quiet comparisons (no hardware
// exception flag is raised by the NaNs tested).
template <class O>
std::size_t next_nonfinite(const O* out, std::size_t i, std::size_t m) {
#if defined(__SSE2__)
    if constexpr (std::is_same_v<O, double>) {
        const __m128d sign = _mm_set1_pd(-0.0), inf = _mm_set1_pd(HUGE_VAL);
        for (; i + 4 <= m; i += 4) {
            const __m128d a = _mm_loadu_pd(out + i), b = _mm_loadu_pd(out + i + 2);
            const __m128d bad = _mm_or_pd(_mm_or_pd(_mm_cmpunord_pd(a, a), _mm_cmpeq_pd(_mm_andnot_pd(sign, a), inf)),
                                          _mm_or_pd(_mm_cmpunord_pd(b, b), _mm_cmpeq_pd(_mm_andnot_pd(sign, b), inf)));
            if (_mm_movemask_pd(bad)) break;
        }
    }
#endif
    while (i < m && std::isfinite(out[i])) ++i;
    return i;
}

// Reading back from hi: one past the last position q in [lo, hi) where some
// series is not finite, or lo if there is none. Float64 inputs are tested
// four positions at a time, with quiet comparisons as in next_nonfinite.
inline std::size_t back_nonfinite(const double* const* xs, int k, std::size_t lo, std::size_t hi) {
#if defined(__SSE2__)
    const __m128d sign = _mm_set1_pd(-0.0), inf = _mm_set1_pd(HUGE_VAL);
    for (; hi >= lo + 4; hi -= 4) {
        __m128d bad = _mm_setzero_pd();
        for (int s = 0; s < k; ++s) {
            const __m128d a = _mm_loadu_pd(xs[s] + hi - 4), b = _mm_loadu_pd(xs[s] + hi - 2);
            bad = _mm_or_pd(bad, _mm_or_pd(_mm_cmpunord_pd(a, a), _mm_cmpeq_pd(_mm_andnot_pd(sign, a), inf)));
            bad = _mm_or_pd(bad, _mm_or_pd(_mm_cmpunord_pd(b, b), _mm_cmpeq_pd(_mm_andnot_pd(sign, b), inf)));
        }
        if (_mm_movemask_pd(bad)) break;
    }
#endif
    for (; hi > lo; --hi)
        for (int s = 0; s < k; ++s)
            if (!std::isfinite(xs[s][hi - 1])) return hi;
    return lo;
}

// The conditions shown by the m results `out` of k series xs (see the top of
// this file). Only the windows whose result is not finite are examined, and
// of the inputs only those of such a window not read before, back from its
// newest value until a NaN turns up; after_nan / after_inf are one past the
// latest NaN / infinity read (0: none). Every window from the current one up
// to that NaN holds it and is skipped. An input left unread by a stopped read
// lies before the NaN, so every later window holding it holds the NaN too: a
// window is free of NaN exactly when after_nan <= its start, and was then
// read in full. The common case, every result finite, costs one pass over out.
template <class O>
unsigned conditions(const double* const* xs, int k, std::size_t L, std::size_t n, const O* out) {
    const std::size_t m = L - n + 1;
    std::size_t scanned = 0, after_nan = 0, after_inf = 0;  // inputs [0, scanned) read or irrelevant
    unsigned flags = 0;
    std::size_t i = next_nonfinite(out, 0, m);
    while (i < m) {
        const std::size_t end = i + n;
        if (scanned < end) {
            const std::size_t lo = std::max(scanned, i);
            for (std::size_t hi = end; (hi = back_nonfinite(xs, k, lo, hi)) > lo; --hi) {
                bool nan = false;
                for (int s = 0; s < k; ++s) nan = nan || std::isnan(xs[s][hi - 1]);
                if (nan) {
                    after_nan = hi;
                    break;
                }
                after_inf = std::max(after_inf, hi);
            }
            scanned = end;
        }
        if (after_nan > i) {  // NaN inputs propagating: on to the first window after the NaN
            i = next_nonfinite(out, after_nan, m);
            continue;
        }
        if (std::isnan(double(out[i]))) {
            flags |= invalid;
        } else if (after_inf <= i) {
            flags |= overflow;
        }
        if (flags == (invalid | overflow)) break;
        i = next_nonfinite(out, i + 1, m);
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

// ---------------------------------------------------------------------------
// Row streaming: the running-sum kernels (sum, ma, the central moments var,
// std, zscore, skew and kurt, the position-weighted wma, covariance,
// correlation) on float64 operands
// whose columns are adjacent (C order). The block engine of zarnik/rolling.hpp
// runs for a chunk of W columns at once, each row of the chunk read as one
// contiguous run and every step applied to all W columns (the loops over
// columns vectorise). Per column it is the same sequence of operations as the
// 1-D kernel (the same blocks, anchors, scans and finishing formulas, without
// contraction into fused multiply-adds), so the results are the 1-D kernel's
// bit for bit. A column whose values need the 1-D kernel's slow paths (an
// ill-conditioned window, values large enough to overflow, a constant window
// of correlation, zscore, skew or kurt) is marked and recomputed by the 1-D
// kernel; every other column shows no floating-point condition (its only
// non-finite results come from NaN inputs).
// ---------------------------------------------------------------------------
enum class RowStat { sum, ma, var, std_, zscore, skew, kurt, wma, covariance, correlation };

// kurt of windows of 1 to 3 values is a fixed value, no running sums. slope
// (the same sums as wma) is not streamed: on trending series many of its
// windows cancel and take the 1-D kernel's recomputation, which the streams
// can only take for whole columns (2-D calls were 1.5-2.3x slower so).
inline bool row_stat(Kernel k, RowStat& out, std::size_t n) {
    switch (k) {
        case Kernel::sum: out = RowStat::sum; return true;
        case Kernel::ma: out = RowStat::ma; return true;
        case Kernel::var: out = RowStat::var; return true;
        case Kernel::std_: out = RowStat::std_; return true;
        case Kernel::zscore: out = RowStat::zscore; return true;
        case Kernel::skew: out = RowStat::skew; return true;
        case Kernel::kurt: out = RowStat::kurt; return n > 3;
        case Kernel::wma: out = RowStat::wma; return true;
        case Kernel::covariance: out = RowStat::covariance; return true;
        case Kernel::correlation: out = RowStat::correlation; return true;
        default: return false;
    }
}

// block_anchor of zarnik/rolling.hpp on a strided column (stride in elements).
inline double anchor_strided(const double* x, std::ptrdiff_t rs, std::size_t L, std::size_t n, std::size_t B,
                             std::size_t E) {
    auto at = [&](std::size_t k) { return x[std::ptrdiff_t(k) * rs]; };
    if (std::isfinite(at(E))) return at(E);
    for (std::size_t k = E; k-- > B;)
        if (std::isfinite(at(k))) return at(k);
    const std::size_t end = std::min(L, E + n);
    for (std::size_t k = E + 1; k < end; ++k)
        if (std::isfinite(at(k))) return at(k);
    return 0.0;
}

// S series, M running sums (of the deviations' powers; for a pair u, v, uu,
// vv, uv; for wma d and (k - E) d, see rolling::position_sums), the
// magnitude from which a column takes the 1-D kernel (its powers could
// overflow), and the condition limit of the central moments (see
// rolling::moment_stat).
template <RowStat R>
struct RowTraits {
    static constexpr bool positional = R == RowStat::wma;
    static constexpr int S = (R == RowStat::covariance || R == RowStat::correlation) ? 2 : 1;
    static constexpr int M = S == 2                                  ? 5
                             : R == RowStat::kurt                    ? 4
                             : R == RowStat::skew                    ? 3
                             : R == RowStat::sum || R == RowStat::ma ? 1
                                                                     : 2;
    static constexpr double safe = S == 2                ? rolling::kSafe2
                                   : M == 1 || positional ? rolling::kSafe1
                                   : M == 2 ? rolling::kSafe2
                                   : M == 3 ? rolling::kSafe3
                                            : rolling::kSafe4;
    static constexpr double limit = R == RowStat::kurt ? 30.0 : R == RowStat::skew ? 100.0 : 1000.0;
};

// Rows of a row-major operand fetched ahead of the passes (see Ahead): a row
// of a wide panel lies on its own memory page, where the processor does not
// fetch ahead by itself. From 4 to 64 rows gain alike (single-thread CPU time
// of the pair kernels on 2,500 x 3,000 panels about 1.5x less).
constexpr std::size_t kRowsAhead = 16;

// Cache lines fetched one to three per row step while a chunk is streamed: the
// next chunk's column-major input columns, so that its copy reads them from
// the cache instead of waiting for memory, and the chunk's own column-major
// output columns, so that their copy out finds them in the cache. Only a
// hint: no value changes.
struct Ahead {
    const char* col[32];
    int cols = 0, c = 0;
    std::size_t lines = 0, line = 0;  // per column
    void add(const double* p, std::size_t count) {
        col[cols++] = reinterpret_cast<const char*>(p);
        lines = std::max(lines, count * sizeof(double) / 64 + 1);
    }
    void one() {
        if (line >= lines) return;
#if defined(__GNUC__)
        __builtin_prefetch(col[c] + line * 64, 0, 3);
#endif
        if (++c == cols) {
            c = 0;
            ++line;
        }
    }
    int per = 1;  // lines per step
    // Cache lines per row of the operands read in place (row-major), fetched
    // kRowsAhead rows before the passes read them (0: none).
    int row_lines = 0;
    void step() {
        one();
        if (per > 1) one();
        if (per > 2) one();
    }
};

// The instruction sets a chunk may take: SSE2, AVX2, AVX-512 (from AVX2 on,
// each one only where the processor has it and the environment allows it).
enum class Ops { sse2, avx2, avx512 };

inline Ops ops_enabled() {
    if (!zarnik::simd::avx2_enabled()) return Ops::sse2;
    return zarnik::simd::avx512_enabled() ? Ops::avx512 : Ops::avx2;
}

#if ZARNIK_SIMD_SSE2
// Two columns per SSE2 operation.
namespace sse2 {
using namespace zarnik::simd::sse2;
#include "zarnik/columns_stream.inc"
}  // namespace sse2

#if ZARNIK_SIMD_AVX2
// Four columns per AVX2 operation, for processors that have them (chosen at
// run time; the build stays baseline x86-64). Only AVX2 is enabled here, not
// FMA, so no multiply-add is contracted and the lanes round as the scalar
// kernel does.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
using namespace zarnik::simd::avx2;
#include "zarnik/columns_stream.inc"
}  // namespace avx2
#pragma GCC pop_options

// Eight columns per AVX-512 operation, for chunks of 8 or more columns on
// processors that have it (chosen at run time, as AVX2).
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
namespace avx512 {
using namespace zarnik::simd::avx512;
#include "zarnik/columns_stream.inc"
}  // namespace avx512
#pragma GCC pop_options
#endif

template <RowStat R, int W, bool NT, bool FETCH, bool CHECKED>
void stream_chunk(Ops ops, const double* const* xs, const std::ptrdiff_t* rs, std::size_t L, std::size_t n,
                  std::ptrdiff_t B_from, std::ptrdiff_t B_to, double* out, std::ptrdiff_t ors, double* suf,
                  bool* bad, const Ahead& ahead) {
#if ZARNIK_SIMD_AVX2
    if constexpr (W % 8 == 0)
        if (ops == Ops::avx512)
            return avx512::stream_chunk<R, W, NT, FETCH, CHECKED>(xs, rs, L, n, B_from, B_to, out, ors, suf, bad, ahead);
    if (ops != Ops::sse2) return avx2::stream_chunk<R, W, NT, FETCH, CHECKED>(xs, rs, L, n, B_from, B_to, out, ors, suf, bad, ahead);
#endif
    sse2::stream_chunk<R, W, NT, FETCH, CHECKED>(xs, rs, L, n, B_from, B_to, out, ors, suf, bad, ahead);
}
#else
// The blocks starting at B_from, B_from + n, ... before B_to of one chunk of
// W columns: xs[s] points at the chunk's first column of series s (row stride
// rs[s] elements), out at its first output (row stride ors). suf holds
// n * M * W doubles. bad[c] is set (never cleared) for columns to recompute.
template <RowStat R, int W, bool NT, bool FETCH, bool CHECKED>
void stream_chunk(Ops, const double* const* xs, const std::ptrdiff_t* rs, std::size_t L, std::size_t n,
                  std::ptrdiff_t B_from, std::ptrdiff_t B_to, double* out, std::ptrdiff_t ors, double* suf,
                  bool* bad, const Ahead&) {
    using Tr = RowTraits<R>;
    constexpr int S = Tr::S, M = Tr::M;
    const std::size_t m = L - n + 1;
    const double nn = double(n), inv = 1.0 / nn, limit = Tr::limit, safe = Tr::safe;
    const double adj = n > 2 ? std::sqrt(nn * (nn - 1.0)) / (nn - 2.0) : 1.0;
    const double kurt_a = 1.0 / ((nn - 2.0) * (nn - 3.0)), kurt_b = nn * nn - 1.0, kurt_c = 3.0 * (nn - 1.0) * (nn - 1.0);
    const double wma_scale = 2.0 / (nn * (nn + 1.0));  // as rolling::wma
    int flag[W];
    for (int c = 0; c < W; ++c) flag[c] = 0;
    // the M terms of deviations d (S x W) into t (M x W); rel: the row's position
    // relative to the block's last row E
    auto terms = [](const double (*d)[W], double (*t)[W], double rel) {
        for (int c = 0; c < W; ++c) {
            if constexpr (Tr::positional) {
                t[0][c] = d[0][c];
                t[1][c] = rel * d[0][c];
            } else if constexpr (S == 1) {
                t[0][c] = d[0][c];
                if constexpr (M >= 2) t[1][c] = d[0][c] * d[0][c];
                if constexpr (M >= 3) t[2][c] = t[1][c] * d[0][c];
                if constexpr (M >= 4) t[3][c] = t[1][c] * t[1][c];
            } else {
                const double u = d[0][c], v = d[1][c];
                t[0][c] = u;
                t[1][c] = v;
                t[2][c] = u * u;
                t[3][c] = v * v;
                t[4][c] = u * v;
            }
        }
    };
    auto load = [&](std::size_t k, const double (*cs)[W], double (*d)[W]) {
        for (int q = 0; q < S; ++q) {
            const double* row = xs[q] + std::ptrdiff_t(k) * rs[q];
            for (int c = 0; c < W; ++c) {
                const double v = row[c];
                flag[c] |= std::fabs(v) >= safe;
                d[q][c] = v - cs[q][c];
            }
        }
    };
    // ob: the window's offset in its block; dl: the deviations of the window's
    // newest row from the anchors (zscore)
    auto finish = [&](std::size_t i, std::size_t ob, const double (*cs)[W], const double (*sm)[W], const double* dl) {
        double* o = out + std::ptrdiff_t(i) * ors;
        const double back = double(std::int64_t(n - 1 - ob));
        for (int c = 0; c < W; ++c) {
            if constexpr (R == RowStat::wma) {
                const double a = sm[0][c], p = back * a + sm[1][c];
                o[c] = cs[0][c] + (p + a) * wma_scale;
            } else if constexpr (R == RowStat::sum) {
                o[c] = cs[0][c] * nn + sm[0][c];
            } else if constexpr (R == RowStat::ma) {
                o[c] = cs[0][c] + sm[0][c] * inv;
            } else if constexpr (S == 1) {
                const double m1 = sm[0][c] * inv, r2 = sm[1][c] * inv;
                const double mu2 = r2 - m1 * m1;
                double v;
                if constexpr (R == RowStat::var) {
                    v = mu2;
                } else if constexpr (R == RowStat::std_) {
                    v = std::sqrt(mu2 > 0.0 ? mu2 : 0.0);
                } else if constexpr (R == RowStat::zscore) {
                    v = (dl[c] - m1) / std::sqrt(mu2 > 0.0 ? mu2 : 0.0);
                } else if constexpr (R == RowStat::skew) {
                    const double r3 = sm[2][c] * inv;
                    const double mu3 = r3 - 3.0 * m1 * r2 + 2.0 * m1 * m1 * m1;
                    v = mu3 / (mu2 * std::sqrt(mu2 > 0.0 ? mu2 : 0.0)) * adj;
                } else {
                    const double r3 = sm[2][c] * inv, r4 = sm[3][c] * inv;
                    const double m1sq = m1 * m1;
                    const double mu4 = r4 - 4.0 * m1 * r3 + 6.0 * m1sq * r2 - 3.0 * m1sq * m1sq;
                    v = kurt_a * (kurt_b * (mu4 / (mu2 * mu2)) - kurt_c);
                }
                // r2 - r2 is 0 for finite r2, NaN otherwise
                const bool fine = r2 - r2 == 0.0, good = mu2 * limit >= r2 && fine;
                if constexpr (R == RowStat::var || R == RowStat::std_) {
                    // not good: every value equals the anchor gives 0, a NaN in the
                    // window NaN; else the window is ill-conditioned (column recomputed)
                    flag[c] |= !good && fine && r2 != 0.0;
                    o[c] = good ? v : r2 == 0.0 ? 0.0 : rolling::kNaN;
                } else {
                    // not good: a NaN in the window gives NaN, an ill-conditioned window
                    // is recomputed; a result not finite from finite values (a constant
                    // window: 0 / 0) is the 1-D kernel's, with its condition: the
                    // column is recomputed
                    o[c] = good ? v : rolling::kNaN;
                    flag[c] |= fine && !(o[c] - o[c] == 0.0);
                }
            } else {
                const double ma = sm[0][c] * inv, mb = sm[1][c] * inv, raa = sm[2][c] * inv,
                             rbb = sm[3][c] * inv;
                const double all = raa + rbb + sm[4][c];
                const bool fine = all - all == 0.0;
                const double va = raa - ma * ma, vb = rbb - mb * mb;
                const bool a_const = raa == 0.0, b_const = rbb == 0.0;
                const bool ill = (!a_const && !(va * limit >= raa)) || (!b_const && !(vb * limit >= rbb));
                const double cov = sm[4][c] * inv - ma * mb;
                double v;
                if constexpr (R == RowStat::covariance) {
                    v = a_const || b_const ? 0.0 : cov;
                    flag[c] |= fine && ill;
                } else {
                    v = cov / (std::sqrt(va > 0.0 ? va : 0.0) * std::sqrt(vb > 0.0 ? vb : 0.0));
                    // a constant window gives NaN with an invalid-operation condition
                    flag[c] |= fine && (ill || a_const || b_const);
                }
                o[c] = fine ? v : rolling::kNaN;
            }
        }
    };
    for (std::ptrdiff_t B = B_from; B < B_to && B < std::ptrdiff_t(m); B += std::ptrdiff_t(n)) {
        const std::size_t E = std::size_t(B + std::ptrdiff_t(n) - 1);
        const std::size_t first = B < 0 ? 0 : std::size_t(B);
        const std::size_t o_first = std::size_t(std::ptrdiff_t(first) - B);
        const std::size_t o_last = std::size_t(std::ptrdiff_t(std::min(E, m - 1)) - B);
        double cs[S][W], d[S][W], t[M][W], h[M][W], sm[M][W], newest[W];  // newest: row E's deviations
        for (int q = 0; q < S; ++q)
            for (int c = 0; c < W; ++c) cs[q][c] = anchor_strided(xs[q] + c, rs[q], L, n, first, E);
        for (int p = 0; p < M; ++p)
            for (int c = 0; c < W; ++c) h[p][c] = 0.0;
        for (std::size_t o = 0; o + o_first < n; ++o) {  // suffix sums, back from E to `first`
            load(E - o, cs, d);
            terms(d, t, double(-std::ptrdiff_t(o)));
            if (o == 0)
                for (int c = 0; c < W; ++c) newest[c] = d[0][c];
            double* r = suf + (n - 1 - o) * std::size_t(M * W);
            for (int p = 0; p < M; ++p)
                for (int c = 0; c < W; ++c) {
                    h[p][c] += t[p][c];
                    r[p * W + c] = h[p][c];
                }
        }
        for (int p = 0; p < M; ++p)
            for (int c = 0; c < W; ++c) h[p][c] = 0.0;
        if (o_first == 0) {
            const double* r = suf;
            for (int p = 0; p < M; ++p)
                for (int c = 0; c < W; ++c) sm[p][c] = r[p * W + c];
            finish(std::size_t(B), 0, cs, sm, newest);
        }
        for (std::size_t o = 1; o <= o_last; ++o) {  // prefix sums forward from E + 1
            load(E + o, cs, d);
            terms(d, t, double(o));
            const double* r = suf + o * std::size_t(M * W);
            for (int p = 0; p < M; ++p)
                for (int c = 0; c < W; ++c) {
                    h[p][c] += t[p][c];
                    sm[p][c] = r[p * W + c] + h[p][c];
                }
            if (o >= o_first) finish(std::size_t(B + std::ptrdiff_t(o)), o, cs, sm, d[0]);
        }
    }
    for (int c = 0; c < W; ++c) bad[c] = bad[c] || flag[c] != 0;
}

#endif

// Output size in bytes from which the row streams store around the caches
// (see run_rows): well beyond what the caches hold.
constexpr std::size_t kStreamAround = std::size_t{16} << 20;

// Bytes of copied tiles and suffix sums per thread above which run_rows takes
// chunks of 4 columns instead of 8 (a core's own cache holds 512 KB or more).
constexpr std::size_t kTileBytes = std::size_t{384} << 10;
// The same with AVX-512 (see run_rows).
constexpr std::size_t kTileBytes512 = std::size_t{768} << 10;

// Whether run_rows takes the job: a running-sum kernel on float64 operands
// and a float64 output, each with adjacent columns or adjacent dates.
inline bool rows_apply(const Job& job) {
    RowStat r;
    if (job.type != ElemType::f64 || !row_stat(job.kern, r, job.n) || job.N < 8 || job.out_size != 8) return false;
    if ((job.out_col != 8 && job.out_row != 8) || reinterpret_cast<std::uintptr_t>(job.out) % 8 != 0 ||
        job.out_row % 8 != 0 || job.out_col % 8 != 0)
        return false;
    for (int s = 0; s < (job.in[1] ? 2 : 1); ++s)
        if ((job.in_col[s] != 8 && job.in_row[s] != 8) || reinterpret_cast<std::uintptr_t>(job.in[s]) % 8 != 0 ||
            job.in_row[s] % 8 != 0 || job.in_col[s] % 8 != 0)
            return false;
    return true;
}

// Copies between W columns (4 or 8) of a column-major panel (column stride
// cs elements, rows [0, L)) and a row-major L x W buffer, in whole vectors: 2 x 2
// blocks with SSE2, 4 x 4 with AVX2 (128-bit halves and unpacks). Each of the W
// columns is one sequential stream. The values are moved, not computed.
#if ZARNIK_SIMD_AVX2
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
// Rows r .. r + 3 of four columns (c[j] at row r of column j) into four
// row vectors: two 128-bit halves per register (columns j and j + 2), then
// unpacked. No lane-crossing shuffle, which costs several operations on
// processors that split 256-bit vectors in halves.
// MAG: `big` keeps the largest magnitude per lane (max skips NaN).
template <bool MAG>
inline void load4x4(const double* const* c, double* to, std::ptrdiff_t to_step, __m256d& big) {
    const __m256d a = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(c[0])), _mm_loadu_pd(c[2]), 1);
    const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(c[1])), _mm_loadu_pd(c[3]), 1);
    const __m256d e = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(c[0] + 2)), _mm_loadu_pd(c[2] + 2), 1);
    const __m256d f = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(c[1] + 2)), _mm_loadu_pd(c[3] + 2), 1);
    const __m256d r0 = _mm256_unpacklo_pd(a, b), r1 = _mm256_unpackhi_pd(a, b), r2 = _mm256_unpacklo_pd(e, f),
                  r3 = _mm256_unpackhi_pd(e, f);
    if constexpr (MAG) {
        const __m256d sign = _mm256_set1_pd(-0.0);
        big = _mm256_max_pd(_mm256_andnot_pd(sign, r0), big);
        big = _mm256_max_pd(_mm256_andnot_pd(sign, r1), big);
        big = _mm256_max_pd(_mm256_andnot_pd(sign, r2), big);
        big = _mm256_max_pd(_mm256_andnot_pd(sign, r3), big);
    }
    _mm256_storeu_pd(to, r0);
    _mm256_storeu_pd(to + to_step, r1);
    _mm256_storeu_pd(to + 2 * to_step, r2);
    _mm256_storeu_pd(to + 3 * to_step, r3);
}

// Four row vectors `from_step` apart into rows r .. r + 3 of four columns
// (c[j] at row r of column j): unpacked, then stored in 128-bit halves.
inline void store4x4(const double* from, std::ptrdiff_t from_step, double* const* c) {
    const __m256d r0 = _mm256_loadu_pd(from), r1 = _mm256_loadu_pd(from + from_step),
                  r2 = _mm256_loadu_pd(from + 2 * from_step), r3 = _mm256_loadu_pd(from + 3 * from_step);
    const __m256d u0 = _mm256_unpacklo_pd(r0, r1), u1 = _mm256_unpackhi_pd(r0, r1);
    const __m256d u2 = _mm256_unpacklo_pd(r2, r3), u3 = _mm256_unpackhi_pd(r2, r3);
    _mm_storeu_pd(c[0], _mm256_castpd256_pd128(u0));
    _mm_storeu_pd(c[0] + 2, _mm256_castpd256_pd128(u2));
    _mm_storeu_pd(c[1], _mm256_castpd256_pd128(u1));
    _mm_storeu_pd(c[1] + 2, _mm256_castpd256_pd128(u3));
    _mm_storeu_pd(c[2], _mm256_extractf128_pd(u0, 1));
    _mm_storeu_pd(c[2] + 2, _mm256_extractf128_pd(u2, 1));
    _mm_storeu_pd(c[3], _mm256_extractf128_pd(u1, 1));
    _mm_storeu_pd(c[3] + 2, _mm256_extractf128_pd(u3, 1));
}

template <int W, bool MAG>
inline std::size_t columns_to_rows(const double* x, std::ptrdiff_t cs, std::size_t L, double* dst, double* mag) {
    __m256d big[W / 4];
    for (int g = 0; g < W / 4; ++g) big[g] = _mm256_setzero_pd();
    std::size_t r = 0;
    for (; r + 4 <= L; r += 4)
        for (int g = 0; g < W; g += 4) {
            const double* c[4];
            for (int j = 0; j < 4; ++j) c[j] = x + std::ptrdiff_t(g + j) * cs + std::ptrdiff_t(r);
            load4x4<MAG>(c, dst + r * W + std::size_t(g), W, big[g / 4]);
        }
    for (int g = 0; g < W / 4; ++g) _mm256_storeu_pd(mag + 4 * g, big[g]);
    return r;
}

template <int W>
inline std::size_t rows_to_columns(const double* src, std::size_t m, double* x, std::ptrdiff_t cs) {
    std::size_t r = 0;
    for (; r + 4 <= m; r += 4)
        for (int g = 0; g < W; g += 4) {
            double* c[4];
            for (int j = 0; j < 4; ++j) c[j] = x + std::ptrdiff_t(g + j) * cs + std::ptrdiff_t(r);
            store4x4(src + r * W + std::size_t(g), W, c);
        }
    return r;
}
}  // namespace avx2
#pragma GCC pop_options
#endif

#if ZARNIK_SIMD_SSE2
namespace sse2 {
// Two vectors of two read `from_step` apart, written transposed `to_step` apart.
inline void move2x2(const double* from, std::ptrdiff_t from_step, double* to, std::ptrdiff_t to_step) {
    const __m128d a = _mm_loadu_pd(from), b = _mm_loadu_pd(from + from_step);
    _mm_storeu_pd(to, _mm_unpacklo_pd(a, b));
    _mm_storeu_pd(to + to_step, _mm_unpackhi_pd(a, b));
}

template <int W, bool MAG>
inline std::size_t columns_to_rows(const double* x, std::ptrdiff_t cs, std::size_t L, double* dst, double* mag) {
    const __m128d sign = _mm_set1_pd(-0.0);
    __m128d big[W / 2];
    for (int g = 0; g < W / 2; ++g) big[g] = _mm_setzero_pd();
    std::size_t r = 0;
    for (; r + 2 <= L; r += 2)
        for (int g = 0; g < W; g += 2) {
            const double* from = x + std::ptrdiff_t(g) * cs + std::ptrdiff_t(r);
            const __m128d a = _mm_loadu_pd(from), b = _mm_loadu_pd(from + cs);
            const __m128d r0 = _mm_unpacklo_pd(a, b), r1 = _mm_unpackhi_pd(a, b);
            if constexpr (MAG) {
                big[g / 2] = _mm_max_pd(_mm_andnot_pd(sign, r0), big[g / 2]);
                big[g / 2] = _mm_max_pd(_mm_andnot_pd(sign, r1), big[g / 2]);
            }
            double* to = dst + r * W + std::size_t(g);
            _mm_storeu_pd(to, r0);
            _mm_storeu_pd(to + W, r1);
        }
    for (int g = 0; g < W / 2; ++g) _mm_storeu_pd(mag + 2 * g, big[g]);
    return r;
}

template <int W>
inline std::size_t rows_to_columns(const double* src, std::size_t m, double* x, std::ptrdiff_t cs) {
    std::size_t r = 0;
    for (; r + 2 <= m; r += 2)
        for (int g = 0; g < W; g += 2) move2x2(src + r * W + std::size_t(g), W, x + std::ptrdiff_t(g) * cs + std::ptrdiff_t(r), cs);
    return r;
}
}  // namespace sse2
#endif

// Columns [c0, c0 + W) of a column-major operand (x at column c0) into a
// row-major L x W buffer; MAG: bad[c] is set for a column holding a magnitude
// of `safe` or more (infinities included).
template <int W, bool MAG>
void transpose_in(bool wide_ops, const double* x, std::ptrdiff_t cs, std::size_t L, double* dst, double safe,
                  bool* bad) {
    std::size_t r = 0;
    double mag[W];
    for (int c = 0; c < W; ++c) mag[c] = 0.0;
#if ZARNIK_SIMD_AVX2
    if (wide_ops) r = avx2::columns_to_rows<W, MAG>(x, cs, L, dst, mag);
#endif
#if ZARNIK_SIMD_SSE2
    if (!wide_ops) r = sse2::columns_to_rows<W, MAG>(x, cs, L, dst, mag);
#endif
    for (; r < L; ++r)
        for (std::size_t c = 0; c < std::size_t(W); ++c) {
            const double v = x[std::ptrdiff_t(c) * cs + std::ptrdiff_t(r)];
            dst[r * W + c] = v;
            mag[c] = std::fabs(v) > mag[c] ? std::fabs(v) : mag[c];
        }
    if constexpr (MAG)
        for (int c = 0; c < W; ++c) bad[c] = bad[c] || mag[c] >= safe;
}

// A row-major m x W buffer into columns [c0, c0 + W) of a column-major
// output (x at column c0).
template <int W>
void transpose_out(bool wide_ops, const double* src, std::size_t m, double* x, std::ptrdiff_t cs) {
    std::size_t r = 0;
#if ZARNIK_SIMD_AVX2
    if (wide_ops) r = avx2::rows_to_columns<W>(src, m, x, cs);
#endif
#if ZARNIK_SIMD_SSE2
    if (!wide_ops) r = sse2::rows_to_columns<W>(src, m, x, cs);
#endif
    for (; r < m; ++r)
        for (std::size_t c = 0; c < std::size_t(W); ++c) x[std::ptrdiff_t(c) * cs + std::ptrdiff_t(r)] = src[r * W + c];
}

// The copies of run_tiles between a row-major operand or output (8-byte
// elements, columns side by side, `row` elements between rows) and a tile of
// `width` contiguous series of `len` values (column c at t + c * len), in
// blocks: 4 x 4 with AVX2, 2 x 2 with SSE2. The rows of a wide panel each lie
// on their own memory page, where the processor does not fetch ahead by
// itself: the rows kRowsAhead ahead are fetched. Bits are moved, not computed.

// Fetches row r of the panel (`bytes` bytes from x + r * row) into the cache;
// rows past `rows` are not touched.
inline void fetch_panel_row(const double* x, std::ptrdiff_t row, std::size_t r, std::size_t rows, std::size_t bytes,
                            bool write) {
#if defined(__GNUC__)
    if (r >= rows) return;
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(x + std::ptrdiff_t(r) * row);
    for (std::uintptr_t l = a & ~std::uintptr_t(63); l < a + bytes; l += 64) {
        if (write)
            __builtin_prefetch(reinterpret_cast<const void*>(l), 1, 3);
        else
            __builtin_prefetch(reinterpret_cast<const void*>(l), 0, 3);
    }
#endif
}

// Rows [r0, r1) of columns [c0, c1), one element at a time (copied as bytes:
// the elements may be 8-byte integers).
inline void panel_to_tile(const double* x, std::ptrdiff_t row, std::size_t r0, std::size_t r1, std::size_t c0,
                          std::size_t c1, double* t, std::size_t len) {
    for (std::size_t r = r0; r < r1; ++r)
        for (std::size_t c = c0; c < c1; ++c) std::memcpy(t + c * len + r, x + std::ptrdiff_t(r) * row + std::ptrdiff_t(c), 8);
}
inline void tile_to_panel(const double* t, std::size_t len, std::size_t r0, std::size_t r1, std::size_t c0,
                          std::size_t c1, double* x, std::ptrdiff_t row) {
    for (std::size_t r = r0; r < r1; ++r)
        for (std::size_t c = c0; c < c1; ++c) std::memcpy(x + std::ptrdiff_t(r) * row + std::ptrdiff_t(c), t + c * len + r, 8);
}

#if ZARNIK_SIMD_AVX2
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
inline void panel_to_tile(const double* x, std::ptrdiff_t row, std::size_t len, std::size_t width, double* t) {
    const std::size_t w4 = width / 4 * 4;
    std::size_t r = 0;
    for (; r + 4 <= len; r += 4) {
        for (std::size_t k = 0; k < 4; ++k) fetch_panel_row(x, row, r + kRowsAhead + k, len, width * 8, false);
        for (std::size_t g = 0; g < w4; g += 4) {
            double* c[4];
            for (std::size_t j = 0; j < 4; ++j) c[j] = t + (g + j) * len + r;
            store4x4(x + std::ptrdiff_t(r) * row + std::ptrdiff_t(g), row, c);
        }
        detail::panel_to_tile(x, row, r, r + 4, w4, width, t, len);
    }
    detail::panel_to_tile(x, row, r, len, 0, width, t, len);
}

inline void tile_to_panel(const double* t, std::size_t len, std::size_t width, double* x, std::ptrdiff_t row) {
    const std::size_t w4 = width / 4 * 4;
    __m256d unused = _mm256_setzero_pd();
    std::size_t r = 0;
    for (; r + 4 <= len; r += 4) {
        for (std::size_t k = 0; k < 4; ++k) fetch_panel_row(x, row, r + kRowsAhead + k, len, width * 8, true);
        for (std::size_t g = 0; g < w4; g += 4) {
            const double* c[4];
            for (std::size_t j = 0; j < 4; ++j) c[j] = t + (g + j) * len + r;
            load4x4<false>(c, x + std::ptrdiff_t(r) * row + std::ptrdiff_t(g), row, unused);
        }
        detail::tile_to_panel(t, len, r, r + 4, w4, width, x, row);
    }
    detail::tile_to_panel(t, len, r, len, 0, width, x, row);
}
}  // namespace avx2
#pragma GCC pop_options
#endif

#if ZARNIK_SIMD_SSE2
namespace sse2 {
inline void panel_to_tile(const double* x, std::ptrdiff_t row, std::size_t len, std::size_t width, double* t) {
    const std::size_t w2 = width / 2 * 2;
    std::size_t r = 0;
    for (; r + 2 <= len; r += 2) {
        for (std::size_t k = 0; k < 2; ++k) fetch_panel_row(x, row, r + kRowsAhead + k, len, width * 8, false);
        for (std::size_t g = 0; g < w2; g += 2)
            move2x2(x + std::ptrdiff_t(r) * row + std::ptrdiff_t(g), row, t + g * len + r, std::ptrdiff_t(len));
        detail::panel_to_tile(x, row, r, r + 2, w2, width, t, len);
    }
    detail::panel_to_tile(x, row, r, len, 0, width, t, len);
}

inline void tile_to_panel(const double* t, std::size_t len, std::size_t width, double* x, std::ptrdiff_t row) {
    const std::size_t w2 = width / 2 * 2;
    std::size_t r = 0;
    for (; r + 2 <= len; r += 2) {
        for (std::size_t k = 0; k < 2; ++k) fetch_panel_row(x, row, r + kRowsAhead + k, len, width * 8, true);
        for (std::size_t g = 0; g < w2; g += 2)
            move2x2(t + g * len + r, std::ptrdiff_t(len), x + std::ptrdiff_t(r) * row + std::ptrdiff_t(g), row);
        detail::tile_to_panel(t, len, r, r + 2, w2, width, x, row);
    }
    detail::tile_to_panel(t, len, r, len, 0, width, x, row);
}
}  // namespace sse2
#endif

// Whether a tile copy of 8-byte elements at p (byte strides `row` between
// rows, `col` between columns) can take the blocks: columns side by side,
// rows a whole number of elements apart, aligned.
inline bool panel_blocked(const char* p, std::ptrdiff_t row, std::ptrdiff_t col, std::size_t size) {
    return ZARNIK_SIMD_SSE2 && size == 8 && col == 8 && row % 8 == 0 && reinterpret_cast<std::uintptr_t>(p) % 8 == 0;
}

// The blocked copies, with AVX2 blocks when `wide_ops` (the processor and the
// environment allow them), else SSE2.
inline void blocked_to_tile(bool wide_ops, const char* base, std::ptrdiff_t row, std::size_t len, std::size_t width,
                            char* dst) {
    const double* x = reinterpret_cast<const double*>(base);
    double* t = reinterpret_cast<double*>(dst);
#if ZARNIK_SIMD_AVX2
    if (wide_ops) return avx2::panel_to_tile(x, row / 8, len, width, t);
#endif
#if ZARNIK_SIMD_SSE2
    sse2::panel_to_tile(x, row / 8, len, width, t);
#else
    panel_to_tile(x, row / 8, 0, len, 0, width, t, len);
#endif
}

inline void blocked_to_panel(bool wide_ops, const char* src, std::size_t len, std::size_t width, char* base,
                             std::ptrdiff_t row) {
    const double* t = reinterpret_cast<const double*>(src);
    double* x = reinterpret_cast<double*>(base);
#if ZARNIK_SIMD_AVX2
    if (wide_ops) return avx2::tile_to_panel(t, len, width, x, row / 8);
#endif
#if ZARNIK_SIMD_SSE2
    sse2::tile_to_panel(t, len, width, x, row / 8);
#else
    tile_to_panel(t, len, 0, len, 0, width, x, row / 8);
#endif
}

// Copies rows [0, rows) of `width` columns starting at `base` into `width`
// contiguous series (column c at dst + c * rows).
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

// Whether every column of a 2-D operand is a contiguous, aligned series
// (column-major data, or any layout whose dates are adjacent).
inline bool columns_contiguous(const char* p, std::ptrdiff_t row, std::ptrdiff_t col, std::size_t size,
                               std::size_t align) {
    return row == std::ptrdiff_t(size) && reinterpret_cast<std::uintptr_t>(p) % align == 0 &&
           (col % std::ptrdiff_t(align)) == 0;
}

// Columns in tiles spread over threads. A column that already is a
// contiguous series (column-major input) is read in place; otherwise the
// tile's columns are copied into contiguous series first. Results go straight
// into a column-major output, else into a tile buffer copied out row by row.
template <class T>
unsigned run_tiles(const Job& job) {
    const std::size_t L = job.L, m = L - job.n + 1, N = job.N;
    const int series = job.in[1] ? 2 : 1;
    bool direct_in[2] = {false, false}, copies = false;
    for (int s = 0; s < series; ++s) {
        direct_in[s] = columns_contiguous(job.in[s], job.in_row[s], job.in_col[s], sizeof(T), alignof(T));
        copies = copies || !direct_in[s];
    }
    const bool direct_out = columns_contiguous(job.out, job.out_row, job.out_col, job.out_size, job.out_size);
    // row-major float64 (and other 8-byte) operands and outputs are copied in blocks
    bool blocked_in[2] = {false, false};
    for (int s = 0; s < series; ++s)
        blocked_in[s] = !direct_in[s] && panel_blocked(job.in[s], job.in_row[s], job.in_col[s], sizeof(T));
    const bool blocked_out = !direct_out && panel_blocked(job.out, job.out_row, job.out_col, job.out_size);
    const bool wide_ops = ops_enabled() != Ops::sse2;
    // operands that are copied take tiles of 32: a row-major panel is then read
    // 256 bytes per row (each row of a wide panel lies on its own memory page)
    const std::size_t tile = copies ? 32 : 8;
    const std::size_t tiles = (N + tile - 1) / tile;
    std::atomic<unsigned> flags{0};
    zarnik::parallel_for(
        tiles,
        [&](std::size_t tb, std::size_t te) {
            std::vector<T> ins[2];
            for (int s = 0; s < series; ++s)
                if (!direct_in[s]) ins[s].resize(zarnik::mul_size(tile, L, 1, "input tile"));
            std::vector<char> outs;
            if (!direct_out) outs.resize(zarnik::mul_size(tile, m, job.out_size, "output tile"));
            unsigned mine = 0;
            for (std::size_t t = tb; t < te; ++t) {
                const std::size_t c0 = t * tile, width = std::min(tile, N - c0);
                for (int s = 0; s < series; ++s) {
                    if (direct_in[s]) continue;
                    const char* from = job.in[s] + std::ptrdiff_t(c0) * job.in_col[s];
                    char* to = reinterpret_cast<char*>(ins[s].data());
                    if (blocked_in[s])
                        blocked_to_tile(wide_ops, from, job.in_row[s], L, width, to);
                    else
                        gather_tile<sizeof(T)>(from, job.in_row[s], job.in_col[s], L, width, to);
                }
                for (std::size_t c = 0; c < width; ++c) {
                    Job one = job;
                    one.N = 1;
                    for (int s = 0; s < series; ++s) {
                        one.in[s] = direct_in[s] ? job.in[s] + std::ptrdiff_t(c0 + c) * job.in_col[s]
                                                 : reinterpret_cast<const char*>(ins[s].data() + c * L);
                        one.in_row[s] = sizeof(T);
                        one.in_col[s] = 0;
                    }
                    one.out = direct_out ? job.out + std::ptrdiff_t(c0 + c) * job.out_col
                                         : outs.data() + c * m * job.out_size;
                    one.out_row = std::ptrdiff_t(job.out_size);
                    one.out_col = 0;
                    mine |= run_series<T>(one, 0);
                }
                if (blocked_out)
                    blocked_to_panel(wide_ops, outs.data(), m, width, job.out + std::ptrdiff_t(c0) * job.out_col,
                                     job.out_row);
                else if (!direct_out)
                    with_size(job.out_size, [&](auto size) {
                        scatter_tile<decltype(size)::value>(outs.data(), m, width,
                                                            job.out + std::ptrdiff_t(c0) * job.out_col,
                                                            job.out_row, job.out_col);
                    });
            }
            flags.fetch_or(mine, std::memory_order_relaxed);
        },
        1);
    return flags.load();
}

// A column of the job through the 1-D kernel (its strided values copied).
inline unsigned one_column(const Job& job, std::size_t col) {
    Job one = job;
    one.N = 1;
    return run_series<double>(one, col);
}

template <RowStat R>
unsigned run_rows(const Job& job) {
    using Tr = RowTraits<R>;
    constexpr int M = Tr::M;
    const std::size_t L = job.L, n = job.n, N = job.N, m = L - n + 1;
    // column-major operands are copied row-major, a chunk of columns at a time
    // (8, or 4 below); a column-major output is written from a row-major tile
    bool rowwise[2] = {true, true};
    std::size_t copied = 0;  // rows of the tiles
    for (int s = 0; s < Tr::S; ++s) {
        rowwise[s] = job.in_col[s] == 8;
        if (!rowwise[s]) copied += L;
    }
    const bool by_columns = job.out_col != 8;
    if (by_columns) copied += m;
    const bool copies = copied > 0;
    // Every operand copied: the copies check the magnitudes, and on long windows
    // the passes of a block may end where every lane's sums are lost (on short
    // windows the checks for it cost more than they save).
    bool exits = M > 1 && n >= 64;
    for (int s = 0; s < Tr::S; ++s) exits = exits && !rowwise[s];
    // wide chunks when the operands are row-major and the suffix sums stay in cache
    // (the pair kernels' five sums take narrow chunks: fewer values held at once);
    // chunks of 4 when 8 columns of tiles and suffix sums would not stay in a
    // core's own cache (the pair kernels on column-major panels)
    // With AVX-512 a chunk of 8 columns is one vector, and chunks of 4 would
    // leave half of it idle: those processors' own caches hold 1 MB or more.
    // Not where the passes end early: a block's passes end when every lane's
    // sums are lost, which happens less often over 8 lanes than over 4 (the
    // pair kernels on long windows were slower so).
    Ops ops = ops_enabled();
    if (ops == Ops::avx512 && exits) ops = Ops::avx2;
    const std::size_t tile_bytes = ops == Ops::avx512 ? kTileBytes512 : kTileBytes;
    const bool wide = !copies && M < 5 && n * std::size_t(M) * 32 <= 16384;
    const bool narrow = copies && (copied + n * std::size_t(M)) * 64 > tile_bytes;
    // Row-major operands with a column-major output: the operands' rows are read
    // in place, W values from each row's own page per chunk, so wide chunks read
    // each row a quarter as often (C-order input, F-order output on 2,700 x 3,000:
    // 32 columns 1.5-2x faster than 8), as long as the output tile and the suffix
    // sums stay within about twice a core's cache share.
    bool rows_in = by_columns;
    for (int s = 0; s < Tr::S; ++s) rows_in = rows_in && rowwise[s];
    const std::size_t col_bytes = (m + n * std::size_t(M)) * sizeof(double);
    const std::size_t W_out = !rows_in ? 0 : col_bytes * 32 <= 2 * tile_bytes ? 32 : col_bytes * 16 <= 2 * tile_bytes ? 16 : 0;
    const std::size_t W = wide ? 32 : W_out ? W_out : narrow ? 4 : 8;
    // An output far larger than the caches is stored around them: no cache line is
    // read for ownership before it is written, and the output does not evict the
    // input. Each chunk then starts on a cache line (the first `lead` columns and
    // the last ones that fill no chunk go through the 1-D kernel), so that every
    // row of it is whole lines when the rows are a whole number of lines apart.
    // Every kernel gains from it on row-major operands (CPU time of one thread:
    // std and the pair kernels 1.7-1.8x faster than with cached stores); the
    // pair kernels on copied column-major operands do not, and keep cached stores.
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(job.out);
    const std::size_t lead_cols = (64 - at % 64) % 64 / 8;
    const bool nt = !by_columns && (Tr::S == 1 || !copies) && m * N >= kStreamAround / 8 &&
                    job.out_row % 64 == 0 && lead_cols + W <= N;
    const std::size_t lead = nt ? lead_cols : 0;
    const std::size_t chunks = (N - lead) / W, rest = lead + (N - lead) % W;
    const bool avx = ops != Ops::sse2;
    const std::ptrdiff_t B0 = rolling::first_block(m, n, job.last);
    std::atomic<unsigned> flags{0};
    zarnik::parallel_for(
        chunks + rest,
        [&](std::size_t b, std::size_t e) {
            std::vector<double> suf, tiles[2], out_tile;
            unsigned mine = 0;
            bool bad[32];
            for (std::size_t k = b; k < e; ++k) {
                if (k >= chunks) {  // the columns outside the chunks one at a time
                    const std::size_t j = k - chunks;
                    mine |= one_column(job, j < lead ? j : lead + chunks * W + (j - lead));
                    continue;
                }
                const std::size_t c0 = lead + k * W;
                for (std::size_t c = 0; c < W; ++c) bad[c] = false;
                if (suf.empty()) suf.resize(zarnik::mul_size(n, std::size_t(M) * W, 1, "suffix sums"));
                const double* xs[2];
                std::ptrdiff_t rs[2];
                for (int s = 0; s < Tr::S; ++s) {
                    const double* base = reinterpret_cast<const double*>(job.in[s]);
                    if (rowwise[s]) {
                        xs[s] = base + c0;
                        rs[s] = job.in_row[s] / 8;
                    } else {
                        const std::ptrdiff_t cs = job.in_col[s] / 8;
                        if (tiles[s].empty()) tiles[s].resize(zarnik::mul_size(L, W, 1, "input tile"));
                        double* tile = tiles[s].data();
                        const double* from = base + std::ptrdiff_t(c0) * cs;
                        if (narrow) {
                            if (exits) {
                                transpose_in<4, true>(avx, from, cs, L, tile, Tr::safe, bad);
                            } else {
                                transpose_in<4, false>(avx, from, cs, L, tile, Tr::safe, bad);
                            }
                        } else if (exits) {
                            transpose_in<8, true>(avx, from, cs, L, tile, Tr::safe, bad);
                        } else {
                            transpose_in<8, false>(avx, from, cs, L, tile, Tr::safe, bad);
                        }
                        xs[s] = tiles[s].data();
                        rs[s] = std::ptrdiff_t(W);
                    }
                }
                Ahead ahead;  // the next chunk's copied columns (if this range holds it), the output's columns
                for (int s = 0; s < Tr::S; ++s)
                    if (rowwise[s]) ahead.row_lines = int((W + 7) / 8);
                if (k + 1 < std::min(e, chunks))
                    for (int s = 0; s < Tr::S; ++s)
                        if (!rowwise[s]) {
                            const std::ptrdiff_t cs = job.in_col[s] / 8;
                            const double* base = reinterpret_cast<const double*>(job.in[s]) + std::ptrdiff_t(c0 + W) * cs;
                            for (std::size_t c = 0; c < W; ++c) ahead.add(base + std::ptrdiff_t(c) * cs, L);
                        }
                if (by_columns) {
                    const std::ptrdiff_t ocs = job.out_col / 8;
                    const double* base = reinterpret_cast<const double*>(job.out) + std::ptrdiff_t(c0) * ocs;
                    for (std::size_t c = 0; c < W; ++c) ahead.add(base + std::ptrdiff_t(c) * ocs, m);
                }
                // about 2 L row steps, fewer where the passes end early
                ahead.per = ahead.cols > 8 ? (exits ? 3 : 2) : 1;
                double* out = reinterpret_cast<double*>(job.out) + c0;
                std::ptrdiff_t ors = job.out_row / 8;
                const std::ptrdiff_t to = std::ptrdiff_t(m);
                if (by_columns) {
                    if (out_tile.empty()) out_tile.resize(zarnik::mul_size(m, W, 1, "output tile"));
                    out = out_tile.data();
                    ors = std::ptrdiff_t(W);
                }
                // the fetching of lines ahead is compiled only where there are copies
                // and the passes' early ends only on long windows of copied operands
                auto go = [&](auto w, auto fetch, auto checked) {
                    constexpr int Wc = decltype(w)::value;
                    constexpr bool F = decltype(fetch)::value, C = decltype(checked)::value;
                    if (nt) {
                        stream_chunk<R, Wc, true, F, C>(ops, xs, rs, L, n, B0, to, out, ors, suf.data(), bad, ahead);
                    } else {
                        stream_chunk<R, Wc, false, F, C>(ops, xs, rs, L, n, B0, to, out, ors, suf.data(), bad, ahead);
                    }
                };
                using yes = std::true_type;
                using no = std::false_type;
                using W4 = std::integral_constant<int, 4>;
                using W8 = std::integral_constant<int, 8>;
                if (wide) {
                    go(std::integral_constant<int, 32>{}, no{}, no{});
                } else if (W_out == 32) {
                    go(std::integral_constant<int, 32>{}, yes{}, no{});
                } else if (W_out == 16) {
                    go(std::integral_constant<int, 16>{}, yes{}, no{});
                } else if (narrow) {
                    if (exits) {
                        go(W4{}, yes{}, yes{});
                    } else {
                        go(W4{}, yes{}, no{});
                    }
                } else if (exits) {
                    go(W8{}, yes{}, yes{});
                } else if (copies) {
                    go(W8{}, yes{}, no{});
                } else {
                    go(W8{}, no{}, no{});
                }
                if (by_columns) {
                    const std::ptrdiff_t ocs = job.out_col / 8;
                    double* dst = reinterpret_cast<double*>(job.out) + std::ptrdiff_t(c0) * ocs;
                    if (W_out == 32) {
                        transpose_out<32>(avx, out_tile.data(), m, dst, ocs);
                    } else if (W_out == 16) {
                        transpose_out<16>(avx, out_tile.data(), m, dst, ocs);
                    } else if (narrow) {
                        transpose_out<4>(avx, out_tile.data(), m, dst, ocs);
                    } else {
                        transpose_out<8>(avx, out_tile.data(), m, dst, ocs);
                    }
                }
                for (std::size_t c = 0; c < W; ++c)
                    if (bad[c]) mine |= one_column(job, c0 + c);
            }
            flags.fetch_or(mine, std::memory_order_relaxed);
        },
        1);
    return flags.load();
}

inline unsigned run_rows_any(const Job& job) {
    RowStat r = RowStat::sum;
    row_stat(job.kern, r, job.n);
    switch (r) {
        case RowStat::sum: return run_rows<RowStat::sum>(job);
        case RowStat::ma: return run_rows<RowStat::ma>(job);
        case RowStat::var: return run_rows<RowStat::var>(job);
        case RowStat::std_: return run_rows<RowStat::std_>(job);
        case RowStat::zscore: return run_rows<RowStat::zscore>(job);
        case RowStat::skew: return run_rows<RowStat::skew>(job);
        case RowStat::kurt: return run_rows<RowStat::kurt>(job);
        case RowStat::wma: return run_rows<RowStat::wma>(job);
        case RowStat::covariance: return run_rows<RowStat::covariance>(job);
        case RowStat::correlation: return run_rows<RowStat::correlation>(job);
    }
    return 0;
}

// Windows per stretch of a long series run as columns (see split_series),
// rounded up to whole blocks of n and at least 8 blocks; and the fewest
// stretches worth it (4 chunks of 8 columns; with fewer, 40,000 values, the
// threads gain little and sum loses).
constexpr std::size_t kStretch = 2048, kMinStretches = 32;

// A long series of a running-sum kernel on float64 runs as the columns of a
// column-major panel: consecutive stretches of S windows, each column holding
// one stretch's values (the n - 1 before its windows included; stretches
// overlap by that much), streamed 8 (or 4) columns at a time and spread over
// threads. S is a multiple of n, so every stretch keeps the series' block grid
// and every window gets the 1-D kernel's operations on its own values: the
// same bits. The windows after the last whole stretch go through the 1-D
// kernel. Returns false (nothing run) where the job does not qualify.
inline bool split_series(const Job& job, unsigned& flags) {
    RowStat r;
    if (job.N != 1 || job.type != ElemType::f64 || !row_stat(job.kern, r, job.n) || job.out_size != 8) return false;
    const std::size_t L = job.L, n = job.n, m = L - n + 1;
    const std::size_t S = std::max<std::size_t>((kStretch + n - 1) / n, 8) * n;
    const std::size_t N = m / S;
    if (N < kMinStretches) return false;
    Job cols = job;
    cols.N = N;
    cols.L = S + n - 1;
    for (int s = 0; s < 2; ++s)
        if (job.in[s]) cols.in_col[s] = std::ptrdiff_t(S) * job.in_row[s];
    cols.out_col = std::ptrdiff_t(S) * job.out_row;
    cols.last = job.last - std::int64_t(L - cols.L);  // the first stretch's last value on the fixed scale
    if (!rows_apply(cols)) return false;
    flags = run_rows_any(cols);
    const std::size_t done = N * S;  // windows run as columns
    if (done < m) {
        Job tail = job;
        tail.L = L - done;
        for (int s = 0; s < 2; ++s)
            if (job.in[s]) tail.in[s] = job.in[s] + std::ptrdiff_t(done) * job.in_row[s];
        tail.out = job.out + std::ptrdiff_t(done) * job.out_row;
        flags |= run_series<double>(tail, 0);
    }
    return true;
}

}  // namespace detail

// Runs the job; returns the floating-point conditions (Condition bits) its
// results show. Pair kernels take float64 series only.
inline unsigned run(const Job& job) {
    unsigned flags = 0;
    if (detail::split_series(job, flags)) return flags;
    detail::visit(job.type, [&](auto tag) {
        using T = std::remove_pointer_t<decltype(tag)>;
        if (job.N == 1) {
            flags = detail::run_series<T>(job, 0);
        } else if (detail::rows_apply(job)) {
            flags = detail::run_rows_any(job);
        } else {
            flags = detail::run_tiles<T>(job);
        }
    });
    return flags;
}

// The instruction set the row streams of run take in this process now:
// "avx512", "avx2", "sse2" or "scalar" (the environment is read on each call).
inline const char* stream_isa() {
#if ZARNIK_SIMD_SSE2
    switch (detail::ops_enabled()) {
        case detail::Ops::avx512: return "avx512";
        case detail::Ops::avx2: return "avx2";
        case detail::Ops::sse2: break;
    }
    return "sse2";
#else
    return "scalar";
#endif
}

}  // namespace zarnik::columns
