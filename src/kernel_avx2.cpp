// x86-64 target with 256-bit vectors (compiled with -mavx2).
#include <immintrin.h>

#include "kernel_targets.hpp"

namespace qp::kernels {
namespace {

struct Lanes {
  using V = __m256d;
  using M = __m256d;
  static constexpr int kWidth = 4;

  static V zero() { return _mm256_setzero_pd(); }
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V splat(double v) { return _mm256_set1_pd(v); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V div(V a, V b) { return _mm256_div_pd(a, b); }
  static V min_plain(V a, V b) { return _mm256_min_pd(a, b); }
  // The integer compare and blend cost more here than the plain minimum.
  static V min_bits(V a, V b) { return min_plain(a, b); }
  static V select(M m, V t, V f) { return _mm256_blendv_pd(f, t, m); }
  // vminpd yields its second operand when either is NaN: right when a is
  // NaN, so only a NaN b needs a fix-up.
  static V min_num(V a, V b) { return select(_mm256_cmp_pd(b, b, _CMP_UNORD_Q), a, _mm256_min_pd(a, b)); }
  // (a > b) ? a : b, also for NaN: the second operand wins.
  static V max_greater(V a, V b) { return _mm256_max_pd(a, b); }
  static M greater(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  static bool all(M m) { return _mm256_movemask_pd(m) == 0xf; }
  // Lane l's flag as bit l.
  static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
};

// 32-bit integer lanes for the running sums.
struct Ints {
  using V = __m256i;
  static constexpr int kWidth = 8;

  static V zero() { return _mm256_setzero_si256(); }
  static V load(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store(std::int32_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V min(V a, V b) { return _mm256_min_epi32(a, b); }
  // Lanes::kWidth integers from p, as doubles.
  static Lanes::V to_doubles(const std::int32_t* p) {
    return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
};

#include "kernel_body.inc"

}  // namespace
}  // namespace qp::kernels

#define QP_TARGET avx2
#include "kernel_target.inc"
