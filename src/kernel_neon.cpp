// aarch64 target: two lanes of Advanced SIMD, whose FMINNM is IEEE minNum.
#include <arm_neon.h>

#include "kernel_targets.hpp"

namespace qp::kernels {
namespace {

struct Lanes {
  using V = float64x2_t;
  using M = uint64x2_t;
  static constexpr int kWidth = 2;

  static V zero() { return vdupq_n_f64(0.0); }
  static V load(const double* p) { return vld1q_f64(p); }
  static void store(double* p, V v) { vst1q_f64(p, v); }
  static V splat(double v) { return vdupq_n_f64(v); }
  static V add(V a, V b) { return vaddq_f64(a, b); }
  static V mul(V a, V b) { return vmulq_f64(a, b); }
  static V sub(V a, V b) { return vsubq_f64(a, b); }
  static V div(V a, V b) { return vdivq_f64(a, b); }
  static V min_plain(V a, V b) { return vminnmq_f64(a, b); }
  static V min_bits(V a, V b) { return min_plain(a, b); }  // no faster way here
  static V min_num(V a, V b) { return vminnmq_f64(a, b); }
  // FMAXNM would prefer the number over a NaN; the plain select keeps `a > b ? a : b`.
  static V max_greater(V a, V b) { return vbslq_f64(vcgtq_f64(a, b), a, b); }
  static M greater(V a, V b) { return vcgtq_f64(a, b); }
  static bool all(M m) { return (vgetq_lane_u64(m, 0) & vgetq_lane_u64(m, 1)) != 0; }
  // Lane l's flag as bit l.
  static unsigned bits(M m) {
    return static_cast<unsigned>((vgetq_lane_u64(m, 0) & 1) | ((vgetq_lane_u64(m, 1) & 1) << 1));
  }
  static V select(M m, V t, V f) { return vbslq_f64(m, t, f); }
};

// 32-bit integer lanes for the running sums.
struct Ints {
  using V = int32x4_t;
  static constexpr int kWidth = 4;

  static V zero() { return vdupq_n_s32(0); }
  static V load(const std::int32_t* p) { return vld1q_s32(p); }
  static void store(std::int32_t* p, V v) { vst1q_s32(p, v); }
  static V add(V a, V b) { return vaddq_s32(a, b); }
  static V sub(V a, V b) { return vsubq_s32(a, b); }
  static V min(V a, V b) { return vminq_s32(a, b); }
  // Lanes::kWidth integers from p, as doubles.
  static Lanes::V to_doubles(const std::int32_t* p) { return vcvtq_f64_s64(vmovl_s32(vld1_s32(p))); }
};

#include "kernel_body.inc"

}  // namespace
}  // namespace qp::kernels

#define QP_TARGET neon
#include "kernel_target.inc"
