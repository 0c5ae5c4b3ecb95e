// The vector operations the panel loops are written against, once per
// instruction set.
//
// A loop body is written once against the names below and included in a
// namespace that pulls in one of these tables (`using namespace
// zarnik::simd::sse2;`): vd holds K doubles, and every operation acts lane by
// lane as the scalar IEEE operation does (sqrt correctly rounded, comparisons
// give all-ones / all-zero lane masks, vmax / vmin return their second
// operand when either is NaN, vblend takes a where the mask is set, else b).
// vstream stores around the caches (for outputs far larger than they are),
// to an address aligned to the vector's size; vfence must follow such stores
// before the data is handed to another thread.
//
// SSE2 is baseline x86-64. The AVX2 table is compiled with only AVX2 enabled,
// not FMA, so no multiply-add is contracted in code that includes it; it is
// taken at run time when the processor has AVX2 (avx2_enabled). Defining
// ZARNIK_NO_AVX2 leaves it out. The AVX-512 table (eight doubles) serves the
// loops that have a version for it, taken at run time likewise
// (avx512_enabled).
#pragma once

#include <cstdlib>

#if defined(__SSE2__) && (defined(__x86_64__) || defined(_M_X64))
#include <emmintrin.h>
#define ZARNIK_SIMD_SSE2 1
#else
#define ZARNIK_SIMD_SSE2 0
#endif
#if ZARNIK_SIMD_SSE2 && defined(__GNUC__) && !defined(__clang__) && !defined(ZARNIK_NO_AVX2)
#include <immintrin.h>
#define ZARNIK_SIMD_AVX2 1
#else
#define ZARNIK_SIMD_AVX2 0
#endif

namespace zarnik::simd {

#if ZARNIK_SIMD_SSE2
// Two doubles per operation.
namespace sse2 {
using vd = __m128d;
constexpr int K = 2;
inline vd vset1(double a) { return _mm_set1_pd(a); }
inline vd vzero() { return _mm_setzero_pd(); }
inline vd vload(const double* p) { return _mm_loadu_pd(p); }
inline void vstore(double* p, vd a) { _mm_storeu_pd(p, a); }
inline void vstream(double* p, vd a) { _mm_stream_pd(p, a); }  // past the caches; p aligned to 16 bytes
inline vd vadd(vd a, vd b) { return _mm_add_pd(a, b); }
inline vd vsub(vd a, vd b) { return _mm_sub_pd(a, b); }
inline vd vmul(vd a, vd b) { return _mm_mul_pd(a, b); }
inline vd vdiv(vd a, vd b) { return _mm_div_pd(a, b); }
inline vd vsqrt(vd a) { return _mm_sqrt_pd(a); }
inline vd vmax(vd a, vd b) { return _mm_max_pd(a, b); }
inline vd vmin(vd a, vd b) { return _mm_min_pd(a, b); }
inline vd vand(vd a, vd b) { return _mm_and_pd(a, b); }
inline vd vandnot(vd a, vd b) { return _mm_andnot_pd(a, b); }  // ~a & b
inline vd vor(vd a, vd b) { return _mm_or_pd(a, b); }
inline vd vxor(vd a, vd b) { return _mm_xor_pd(a, b); }
inline vd vlt(vd a, vd b) { return _mm_cmplt_pd(a, b); }
inline vd vle(vd a, vd b) { return _mm_cmple_pd(a, b); }
inline vd vgt(vd a, vd b) { return _mm_cmpgt_pd(a, b); }
inline vd vge(vd a, vd b) { return _mm_cmpge_pd(a, b); }
inline vd vnge(vd a, vd b) { return _mm_cmpnge_pd(a, b); }  // not a >= b: true when unordered
inline vd veq(vd a, vd b) { return _mm_cmpeq_pd(a, b); }
inline vd vne(vd a, vd b) { return _mm_cmpneq_pd(a, b); }
inline vd vnan(vd a, vd b) { return _mm_cmpunord_pd(a, b); }
inline vd vblend(vd m, vd a, vd b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
inline int vbits(vd a) { return _mm_movemask_pd(a); }  // lane 0 lowest
inline void vfence() { _mm_sfence(); }  // orders the vstream stores before later stores
}  // namespace sse2
#endif

#if ZARNIK_SIMD_AVX2
// Four doubles per operation.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
using vd = __m256d;
constexpr int K = 4;
inline vd vset1(double a) { return _mm256_set1_pd(a); }
inline vd vzero() { return _mm256_setzero_pd(); }
inline vd vload(const double* p) { return _mm256_loadu_pd(p); }
inline void vstore(double* p, vd a) { _mm256_storeu_pd(p, a); }
inline void vstream(double* p, vd a) { _mm256_stream_pd(p, a); }  // p aligned to 32 bytes
inline vd vadd(vd a, vd b) { return _mm256_add_pd(a, b); }
inline vd vsub(vd a, vd b) { return _mm256_sub_pd(a, b); }
inline vd vmul(vd a, vd b) { return _mm256_mul_pd(a, b); }
inline vd vdiv(vd a, vd b) { return _mm256_div_pd(a, b); }
inline vd vsqrt(vd a) { return _mm256_sqrt_pd(a); }
inline vd vmax(vd a, vd b) { return _mm256_max_pd(a, b); }
inline vd vmin(vd a, vd b) { return _mm256_min_pd(a, b); }
inline vd vand(vd a, vd b) { return _mm256_and_pd(a, b); }
inline vd vandnot(vd a, vd b) { return _mm256_andnot_pd(a, b); }
inline vd vor(vd a, vd b) { return _mm256_or_pd(a, b); }
inline vd vxor(vd a, vd b) { return _mm256_xor_pd(a, b); }
inline vd vlt(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
inline vd vle(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
inline vd vgt(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
inline vd vge(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
inline vd vnge(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_NGE_UQ); }
inline vd veq(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
inline vd vne(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
inline vd vnan(vd a, vd b) { return _mm256_cmp_pd(a, b, _CMP_UNORD_Q); }
inline vd vblend(vd m, vd a, vd b) { return _mm256_blendv_pd(b, a, m); }
inline int vbits(vd a) { return _mm256_movemask_pd(a); }
inline void vfence() { _mm_sfence(); }
}  // namespace avx2
#pragma GCC pop_options

// Eight doubles per operation (AVX-512 F and DQ). Comparisons give lane masks
// held in vectors, as in the tables above, so that loop bodies written for
// them run unchanged; the project builds with -ffp-contract=off, so that no
// multiply-add is contracted here either (AVX-512 F has fused multiply-adds).
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
namespace avx512 {
using vd = __m512d;
constexpr int K = 8;
inline vd vmask(__mmask8 k) { return _mm512_castsi512_pd(_mm512_movm_epi64(k)); }
inline __mmask8 vkeys(vd m) { return _mm512_movepi64_mask(_mm512_castpd_si512(m)); }
inline vd vset1(double a) { return _mm512_set1_pd(a); }
inline vd vzero() { return _mm512_setzero_pd(); }
inline vd vload(const double* p) { return _mm512_loadu_pd(p); }
inline void vstore(double* p, vd a) { _mm512_storeu_pd(p, a); }
inline void vstream(double* p, vd a) { _mm512_stream_pd(p, a); }  // p aligned to 64 bytes
inline vd vadd(vd a, vd b) { return _mm512_add_pd(a, b); }
inline vd vsub(vd a, vd b) { return _mm512_sub_pd(a, b); }
inline vd vmul(vd a, vd b) { return _mm512_mul_pd(a, b); }
inline vd vdiv(vd a, vd b) { return _mm512_div_pd(a, b); }
// sqrt, max and min in their masked forms with every lane set: the same
// instructions, without GCC 12's uninitialised-value warning on the plain forms
inline vd vsqrt(vd a) { return _mm512_mask_sqrt_pd(a, 0xFF, a); }
inline vd vmax(vd a, vd b) { return _mm512_mask_max_pd(b, 0xFF, a, b); }
inline vd vmin(vd a, vd b) { return _mm512_mask_min_pd(b, 0xFF, a, b); }
inline vd vand(vd a, vd b) { return _mm512_and_pd(a, b); }
inline vd vandnot(vd a, vd b) { return _mm512_andnot_pd(a, b); }
inline vd vor(vd a, vd b) { return _mm512_or_pd(a, b); }
inline vd vxor(vd a, vd b) { return _mm512_xor_pd(a, b); }
inline vd vlt(vd a, vd b) { return vmask(_mm512_cmp_pd_mask(a, b, _CMP_LT_OQ)); }
inline vd vle(vd a, vd b) { return vmask(_mm512_cmp_pd_mask(a, b, _CMP_LE_OQ)); }
inline vd vgt(vd a, vd b) { return vmask(_mm512_cmp_pd_mask(a, b, _CMP_GT_OQ)); }
inline vd vge(vd a, vd b) { return vmask(_mm512_cmp_pd_mask(a, b, _CMP_GE_OQ)); }
inline vd vnge(vd a, vd b) { return vmask(_mm512_cmp_pd_mask(a, b, _CMP_NGE_UQ)); }
inline vd veq(vd a, vd b) { return vmask(_mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ)); }
inline vd vne(vd a, vd b) { return vmask(_mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ)); }
inline vd vnan(vd a, vd b) { return vmask(_mm512_cmp_pd_mask(a, b, _CMP_UNORD_Q)); }
inline vd vblend(vd m, vd a, vd b) { return _mm512_mask_blend_pd(vkeys(m), b, a); }
inline int vbits(vd a) { return int(vkeys(a)); }
inline void vfence() { _mm_sfence(); }
}  // namespace avx512
#pragma GCC pop_options
#endif

// The one run-time switch of every AVX2 path in the core, the table above and
// the kernels with their own target("avx2") functions alike: the processor has
// AVX2 and ZARNIK_NO_AVX2 is unset or empty in the environment (read on each
// call, so one process can compare the paths). The processor is asked once.
inline bool avx2_allowed() {
#if defined(__GNUC__) && defined(__x86_64__) && !defined(ZARNIK_NO_AVX2)
    static const bool have = __builtin_cpu_supports("avx2");
    if (!have) return false;
    const char* off = std::getenv("ZARNIK_NO_AVX2");
    return off == nullptr || *off == '\0';
#else
    return false;
#endif
}

// Whether the AVX2 table is taken: compiled in and allowed (avx2_allowed).
inline bool avx2_enabled() {
#if ZARNIK_SIMD_AVX2
    return avx2_allowed();
#else
    return false;
#endif
}

// Whether the AVX-512 table is taken where a loop has a version for it: the
// AVX2 table is (avx2_enabled), the processor has AVX-512 F and DQ, and
// ZARNIK_NO_AVX512 is unset or empty (read on each call, like ZARNIK_NO_AVX2).
inline bool avx512_enabled() {
#if ZARNIK_SIMD_AVX2
    static const bool have = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    if (!have || !avx2_allowed()) return false;
    const char* off = std::getenv("ZARNIK_NO_AVX512");
    return off == nullptr || *off == '\0';
#else
    return false;
#endif
}

}  // namespace zarnik::simd
