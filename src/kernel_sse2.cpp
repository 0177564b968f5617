// Baseline x86-64 target: two lanes, SSE2 only.
#include <emmintrin.h>

#include "kernel_targets.hpp"

namespace qp::kernels {
namespace {

struct Lanes {
  using V = __m128d;
  using M = __m128d;
  static constexpr int kWidth = 2;

  static V zero() { return _mm_setzero_pd(); }
  static V load(const double* p) { return _mm_loadu_pd(p); }
  static void store(double* p, V v) { _mm_storeu_pd(p, v); }
  static V splat(double v) { return _mm_set1_pd(v); }
  static V add(V a, V b) { return _mm_add_pd(a, b); }
  static V mul(V a, V b) { return _mm_mul_pd(a, b); }
  static V sub(V a, V b) { return _mm_sub_pd(a, b); }
  static V div(V a, V b) { return _mm_div_pd(a, b); }
  static V min_plain(V a, V b) { return _mm_min_pd(a, b); }
  static V min_bits(V a, V b) { return min_plain(a, b); }  // no faster way here
  static V select(M m, V t, V f) { return _mm_or_pd(_mm_and_pd(m, t), _mm_andnot_pd(m, f)); }
  // minpd yields its second operand when either is NaN: right when a is NaN,
  // so only a NaN b needs a fix-up.
  static V min_num(V a, V b) { return select(_mm_cmpunord_pd(b, b), a, _mm_min_pd(a, b)); }
  // (a > b) ? a : b, also for NaN: the second operand wins.
  static V max_greater(V a, V b) { return _mm_max_pd(a, b); }
  static M greater(V a, V b) { return _mm_cmpgt_pd(a, b); }
  static bool all(M m) { return _mm_movemask_pd(m) == 0x3; }
  // Lane l's flag as bit l.
  static unsigned bits(M m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
};

// 32-bit integer lanes for the running sums (SSE2 has no 32-bit minimum).
struct Ints {
  using V = __m128i;
  static constexpr int kWidth = 4;

  static V zero() { return _mm_setzero_si128(); }
  static V load(const std::int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void store(std::int32_t* p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  static V add(V a, V b) { return _mm_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi32(a, b); }
  static V min(V a, V b) {
    const __m128i b_less = _mm_cmpgt_epi32(a, b);
    return _mm_or_si128(_mm_and_si128(b_less, b), _mm_andnot_si128(b_less, a));
  }
  // Lanes::kWidth integers from p, as doubles.
  static Lanes::V to_doubles(const std::int32_t* p) {
    return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  }
};

#include "kernel_body.inc"

}  // namespace
}  // namespace qp::kernels

#define QP_TARGET sse2
#include "kernel_target.inc"
