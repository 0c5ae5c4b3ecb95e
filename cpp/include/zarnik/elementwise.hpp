// Fused evaluation of element-wise expressions over 2-D panels.
//
// An expression is a short register program: registers 0 .. n_inputs - 1 are
// the inputs (panels or scalars), the following ones are temporaries, and each
// instruction writes one temporary from up to three registers. The program
// runs over tiles of at most kBlock consecutive elements of one panel line (a
// row of a row-major panel, a column of a column-major one), so every
// temporary stays in the first-level cache and each input is read from memory
// once per tile instead of once per operation. Tiles are independent, so they
// are split over threads and the result never depends on the thread count.
//
// Every operation gives exactly the IEEE double result numpy's float64 ufunc
// gives for the same operands: + - * / sqrt, negation and absolute value,
// comparisons (1.0 / 0.0, false when an operand is NaN except !=), maximum /
// minimum (NaN if either operand is NaN; the second operand when they compare
// equal, as numpy's loops do for +-0), sign (NaN stays NaN, sign(-0) = 0),
// logical and / or / xor / not (an operand is true when it is not 0; NaN is
// true), and a select (NaN when the condition is NaN, else a where the
// condition is non-zero, else b). Boolean values are held as 0.0 / 1.0.
//
// Each operation is one tight loop over the tile, in SSE2 vectors, or in AVX2
// vectors on processors that have them (chosen at run time, the build stays
// baseline x86-64; ZARNIK_NO_AVX2=1 keeps SSE2). The vector instructions are
// the IEEE ones (sqrt correctly rounded, no multiply-add contracted), and the
// selections reproduce the scalar rules lane by lane, so every path gives the
// same values (which NaN an operation on two NaNs returns aside); the scalar
// loops finish the last elements of a line that fill no whole vector.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "zarnik/parallel.hpp"
#include "zarnik/simd.hpp"

// The vector paths compiled in are simd.hpp's.
#define ZARNIK_EW_SSE2 ZARNIK_SIMD_SSE2
#define ZARNIK_EW_AVX2 ZARNIK_SIMD_AVX2

namespace zarnik::elementwise {

enum class Op : int {
    Add = 0, Sub, Mul, Div, Neg, Abs, Sqrt,
    Lt, Le, Gt, Ge, Eq, Ne,
    Max, Min, Sign,
    And, Or, Xor, Not,
    Where,
    Count_
};

// Number of register operands an operation reads.
inline int arity(Op op) {
    switch (op) {
        case Op::Neg: case Op::Abs: case Op::Sqrt: case Op::Sign: case Op::Not: return 1;
        case Op::Where: return 3;
        default: return 2;
    }
}

struct Instr {
    Op op;
    int dst, a, b, c;  // register numbers; unused operands are ignored
};

// One input register: a scalar, or a panel of doubles or of booleans (one byte
// each, 0 or 1) whose lines are contiguous, `stride` elements apart.
struct Input {
    enum Kind { Scalar, Double, Bool } kind = Scalar;
    double value = 0.0;
    const void* data = nullptr;
    std::ptrdiff_t stride = 0;
};

// Where the result goes: a panel of doubles or booleans, lines `stride` apart.
struct Output {
    bool boolean = false;
    void* data = nullptr;
    std::ptrdiff_t stride = 0;
};

// Elements per tile: 2 KiB per temporary.
constexpr std::size_t kBlock = 256;

// Checks a program: operation codes, register numbers, every temporary written
// before it is read, instructions write temporaries only. Throws
// std::invalid_argument naming the first problem.
inline void validate(const std::vector<Instr>& code, std::size_t n_inputs, std::size_t n_regs) {
    if (code.empty()) throw std::invalid_argument("empty program");
    if (n_regs < n_inputs || n_regs - n_inputs > 4096) throw std::invalid_argument("bad register count");
    std::vector<char> written(n_regs, 0);
    for (std::size_t r = 0; r < n_inputs; ++r) written[r] = 1;
    for (std::size_t k = 0; k < code.size(); ++k) {
        const Instr& in = code[k];
        const int op = static_cast<int>(in.op);
        if (op < 0 || op >= static_cast<int>(Op::Count_)) {
            throw std::invalid_argument("instruction " + std::to_string(k) + ": unknown operation");
        }
        const int srcs[3] = {in.a, in.b, in.c};
        for (int s = 0; s < arity(in.op); ++s) {
            if (srcs[s] < 0 || static_cast<std::size_t>(srcs[s]) >= n_regs || !written[srcs[s]]) {
                throw std::invalid_argument("instruction " + std::to_string(k) + ": reads an unset register");
            }
        }
        if (in.dst < static_cast<int>(n_inputs) || static_cast<std::size_t>(in.dst) >= n_regs) {
            throw std::invalid_argument("instruction " + std::to_string(k) + ": must write a temporary");
        }
        written[in.dst] = 1;
    }
}

namespace detail {

inline double truth(double x) { return x != 0.0 ? 1.0 : 0.0; }

// d[k] = op(a[k], b[k], c[k]) for k < n. d may be a, b or c (same index only).
inline void apply(Op op, double* d, const double* a, const double* b, const double* c, std::size_t n) {
    switch (op) {
        case Op::Add: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] + b[k]; break;
        case Op::Sub: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] - b[k]; break;
        case Op::Mul: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] * b[k]; break;
        case Op::Div: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] / b[k]; break;
        case Op::Neg: for (std::size_t k = 0; k < n; ++k) d[k] = -a[k]; break;
        case Op::Abs: for (std::size_t k = 0; k < n; ++k) d[k] = std::fabs(a[k]); break;
        case Op::Sqrt: for (std::size_t k = 0; k < n; ++k) d[k] = std::sqrt(a[k]); break;
        case Op::Lt: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] < b[k] ? 1.0 : 0.0; break;
        case Op::Le: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] <= b[k] ? 1.0 : 0.0; break;
        case Op::Gt: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] > b[k] ? 1.0 : 0.0; break;
        case Op::Ge: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] >= b[k] ? 1.0 : 0.0; break;
        case Op::Eq: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] == b[k] ? 1.0 : 0.0; break;
        case Op::Ne: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] != b[k] ? 1.0 : 0.0; break;
        case Op::Max:
            for (std::size_t k = 0; k < n; ++k) {
                const double x = a[k], y = b[k];
                d[k] = x != x ? x : (y != y ? y : (x > y ? x : y));
            }
            break;
        case Op::Min:
            for (std::size_t k = 0; k < n; ++k) {
                const double x = a[k], y = b[k];
                d[k] = x != x ? x : (y != y ? y : (x < y ? x : y));
            }
            break;
        case Op::Sign:
            for (std::size_t k = 0; k < n; ++k) {
                const double x = a[k];
                d[k] = x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : (x == 0.0 ? 0.0 : x));
            }
            break;
        case Op::And: for (std::size_t k = 0; k < n; ++k) d[k] = (a[k] != 0.0 && b[k] != 0.0) ? 1.0 : 0.0; break;
        case Op::Or: for (std::size_t k = 0; k < n; ++k) d[k] = (a[k] != 0.0 || b[k] != 0.0) ? 1.0 : 0.0; break;
        case Op::Xor: for (std::size_t k = 0; k < n; ++k) d[k] = truth(a[k]) != truth(b[k]) ? 1.0 : 0.0; break;
        case Op::Not: for (std::size_t k = 0; k < n; ++k) d[k] = a[k] == 0.0 ? 1.0 : 0.0; break;
        case Op::Where:
            for (std::size_t k = 0; k < n; ++k) {
                const double s = a[k];
                d[k] = s != s ? s : (s != 0.0 ? b[k] : c[k]);
            }
            break;
        default: break;
    }
}

}  // namespace detail

#if ZARNIK_EW_SSE2
namespace sse2 {
using namespace zarnik::simd::sse2;
#include "zarnik/elementwise_block.inc"
}  // namespace sse2
#endif

#if ZARNIK_EW_AVX2
// Only AVX2 is enabled here, not FMA: no multiply-add is contracted.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
using namespace zarnik::simd::avx2;
#include "zarnik/elementwise_block.inc"
}  // namespace avx2
#pragma GCC pop_options
#endif

using ApplyFn = void (*)(Op, double*, const double*, const double*, const double*, std::size_t);

// Whether the AVX2 loops run (simd::avx2_enabled: the processor has AVX2 and
// ZARNIK_NO_AVX2 is unset or empty).
inline bool use_avx2() { return simd::avx2_enabled(); }

// The widest loops this processor runs.
inline ApplyFn pick_apply() {
#if ZARNIK_EW_AVX2
    if (use_avx2()) return &avx2::apply;
#endif
#if ZARNIK_EW_SSE2
    return &sse2::apply;
#else
    return &detail::apply;
#endif
}

// Runs `code` (checked by validate) over `lines` lines of `length` elements.
// The result is register code.back().dst. The output may be one of the double
// inputs (same data and stride): a tile's inputs are read before its result is
// written. `apply` is the loops to run, pick_apply()'s when null.
inline void run(const std::vector<Instr>& code, const std::vector<Input>& inputs, std::size_t n_regs,
                std::size_t lines, std::size_t length, const Output& out, ApplyFn apply = nullptr) {
    validate(code, inputs.size(), n_regs);
    if (lines == 0 || length == 0) return;
    const std::size_t n_in = inputs.size(), n_tmp = n_regs - n_in;
    const std::size_t per_line = (length + kBlock - 1) / kBlock, tiles = lines * per_line;
    const int result = code.back().dst;
    if (apply == nullptr) apply = pick_apply();
    // scratch per range: temporaries, then a constant block per scalar input and a
    // converted block per boolean input
    auto body = [&](std::size_t t0, std::size_t t1) {
        std::vector<double> scratch((n_tmp + n_in) * kBlock);
        std::vector<const double*> reg(n_regs, nullptr);
        std::vector<double*> tmp(n_tmp);
        for (std::size_t r = 0; r < n_tmp; ++r) tmp[r] = scratch.data() + r * kBlock;
        double* own = scratch.data() + n_tmp * kBlock;  // per-input blocks
        for (std::size_t r = 0; r < n_in; ++r) {
            if (inputs[r].kind == Input::Scalar) {
                std::fill(own + r * kBlock, own + (r + 1) * kBlock, inputs[r].value);
                reg[r] = own + r * kBlock;
            }
        }
        for (std::size_t t = t0; t < t1; ++t) {
            const std::size_t line = t / per_line, j0 = (t % per_line) * kBlock;
            const std::size_t n = std::min(kBlock, length - j0);
            for (std::size_t r = 0; r < n_in; ++r) {
                const Input& in = inputs[r];
                const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(line) * in.stride + static_cast<std::ptrdiff_t>(j0);
                if (in.kind == Input::Double) {
                    reg[r] = static_cast<const double*>(in.data) + at;
                } else if (in.kind == Input::Bool) {
                    const std::uint8_t* src = static_cast<const std::uint8_t*>(in.data) + at;
                    double* dst = own + r * kBlock;
                    for (std::size_t k = 0; k < n; ++k) dst[k] = src[k] != 0 ? 1.0 : 0.0;
                    reg[r] = dst;
                }
            }
            const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(line) * out.stride + static_cast<std::ptrdiff_t>(j0);
            for (std::size_t k = 0; k < code.size(); ++k) {
                const Instr& in = code[k];
                double* d = tmp[static_cast<std::size_t>(in.dst) - n_in];
                // the last instruction writes a double result straight into the output
                if (k + 1 == code.size() && !out.boolean) d = static_cast<double*>(out.data) + at;
                const int ar = arity(in.op);
                apply(in.op, d, reg[in.a], ar > 1 ? reg[in.b] : nullptr, ar > 2 ? reg[in.c] : nullptr, n);
                reg[in.dst] = d;
            }
            if (out.boolean) {
                const double* v = reg[result];
                std::uint8_t* o = static_cast<std::uint8_t*>(out.data) + at;
                for (std::size_t k = 0; k < n; ++k) o[k] = v[k] != 0.0 ? 1 : 0;
            }
        }
    };
    // about 64k elements per thread at least: fewer are not worth a thread
    parallel_for(tiles, body, std::max<std::size_t>(1, (std::size_t{1} << 16) / std::min(length, kBlock)));
}

}  // namespace zarnik::elementwise
