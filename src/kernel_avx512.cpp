// x86-64 target with 512-bit vectors (compiled with -mavx512f).
#include <immintrin.h>

#include "kernel_targets.hpp"

namespace qp::kernels {
namespace {

struct Lanes {
  using V = __m512d;
  using M = __mmask8;
  static constexpr int kWidth = 8;

  static V zero() { return _mm512_setzero_pd(); }
  static V load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
  static V splat(double v) { return _mm512_set1_pd(v); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V div(V a, V b) { return _mm512_div_pd(a, b); }
  static V min_plain(V a, V b) { return _mm512_min_pd(a, b); }
  // The smaller of two doubles with the sign bit clear, compared as the
  // integers their bits are, which order alike (an integer instruction: it
  // leaves the floating-point adders to the sums).
  static V min_bits(V a, V b) { return _mm512_castsi512_pd(_mm512_min_epi64(_mm512_castpd_si512(a), _mm512_castpd_si512(b))); }
  static V select(M m, V t, V f) { return _mm512_mask_blend_pd(m, f, t); }
  static V min_num(V a, V b) { return select(_mm512_cmp_pd_mask(b, b, _CMP_UNORD_Q), a, _mm512_min_pd(a, b)); }
  // (a > b) ? a : b, also for NaN: the second operand wins.
  static V max_greater(V a, V b) { return _mm512_max_pd(a, b); }
  static M greater(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  static bool all(M m) { return m == 0xff; }
  // Lane l's flag as bit l.
  static unsigned bits(M m) { return m; }
};

// 32-bit integer lanes for the running sums.
struct Ints {
  using V = __m512i;
  static constexpr int kWidth = 16;

  static V zero() { return _mm512_setzero_si512(); }
  static V load(const std::int32_t* p) { return _mm512_loadu_si512(p); }
  static void store(std::int32_t* p, V v) { _mm512_storeu_si512(p, v); }
  static V add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V min(V a, V b) { return _mm512_min_epi32(a, b); }
  // Lanes::kWidth integers from p, as doubles.
  static Lanes::V to_doubles(const std::int32_t* p) {
    return _mm512_cvtepi32_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
};

#include "kernel_body.inc"

}  // namespace
}  // namespace qp::kernels

#define QP_TARGET avx512
#include "kernel_target.inc"
