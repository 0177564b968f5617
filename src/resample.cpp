#include "resample.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "kernels.hpp"

namespace qp {

namespace {

// What the groups of outputs below read: the padded signal's real samples
// from padded index `pre` to `end`, the filter as `up` phases of
// `per_phase` taps, and the first output's index.
struct Polyphase {
  const double* real;
  const double* taps;
  index_t pre, end, per_phase, up, down, first;
};

// Outputs y + up * l (l < W) share a phase and sit down * l input samples
// apart: with the signal interleaved W ways at that distance, each tap is
// one vector load for W outputs, each lane its own sum in upfirdn's order.
// From output j on, groups of W * up consecutive outputs while their taps
// fall on the signal; returns the output where they stopped.
template <int W>
__attribute__((always_inline)) inline index_t lane_groups(const Polyphase& p, index_t j, Out<double> out) {
  typedef typename LaneType<W>::type V;
  const index_t up = p.up, down = p.down, per_phase = p.per_phase;
  const index_t group = W * up;
  // Plain doubles, W per tap: a container of the vector type would be
  // instantiated once for the whole module, possibly by a unit built for
  // another instruction set, whose calling convention for it differs.
  std::vector<double> lanes;
  // Vectors are loaded by memcpy and never passed by value (their calling
  // convention differs between instruction sets).
  V a0, a1, a2, a3;
  for (; j + group <= out.size; j += group) {
    const index_t y0 = p.first + j, i0 = y0 * down / up;
    const index_t lo = i0 - per_phase + 1, hi = (y0 + up - 1) * down / up;  // lane 0's span
    if (hi + (W - 1) * down >= p.end) break;
    const index_t span = hi - lo + 1;
    lanes.resize(static_cast<std::size_t>(W * span));
    for (index_t c = 0; c < span; ++c) {
      for (int l = 0; l < W; ++l) lanes[W * c + l] = p.real[lo - p.pre + c + l * down];
    }
    // Four outputs' sums at once (independent chains the processor overlaps).
    index_t m = 0;
    for (; m + 4 <= up; m += 4) {
      const double* v[4];
      const double* f[4];
      for (int q = 0; q < 4; ++q) {
        const index_t y = y0 + m + q, i = y * down / up, t = y * down % up;
        v[q] = lanes.data() + W * (i - per_phase + 1 - lo);
        f[q] = p.taps + t * per_phase;
      }
      V s0 = {}, s1 = s0, s2 = s0, s3 = s0;
      for (index_t k = 0; k < per_phase; ++k) {
        std::memcpy(&a0, v[0] + W * k, sizeof(V));
        std::memcpy(&a1, v[1] + W * k, sizeof(V));
        std::memcpy(&a2, v[2] + W * k, sizeof(V));
        std::memcpy(&a3, v[3] + W * k, sizeof(V));
        s0 = s0 + a0 * f[0][k];
        s1 = s1 + a1 * f[1][k];
        s2 = s2 + a2 * f[2][k];
        s3 = s3 + a3 * f[3][k];
      }
      for (int l = 0; l < W; ++l) {
        out[j + m + up * l] = s0[l];
        out[j + m + 1 + up * l] = s1[l];
        out[j + m + 2 + up * l] = s2[l];
        out[j + m + 3 + up * l] = s3[l];
      }
    }
    for (; m < up; ++m) {
      const index_t y = y0 + m, i = y * down / up, t = y * down % up;
      const double* v = lanes.data() + W * (i - per_phase + 1 - lo);
      const double* f = p.taps + t * per_phase;
      V s = {};
      for (index_t k = 0; k < per_phase; ++k) {
        std::memcpy(&a0, v + W * k, sizeof(V));
        s = s + a0 * f[k];
      }
      for (int l = 0; l < W; ++l) out[j + m + up * l] = s[l];
    }
  }
  return j;
}

// A whole ratio (up = 1): output y reads the input from y * down - per_phase
// + 1 - pre on, so tap k of W consecutive outputs lies `down` samples apart
// for each, always in the same residue class mod `down`. The inputs a chunk
// of outputs reads are split once into their `down` residue classes; each
// tap is then one contiguous vector load for W outputs, each lane still
// its own sum in upfirdn's order. From output j on, chunks whose every tap
// falls on the signal; returns the output where they stopped.
template <int W>
__attribute__((always_inline)) inline index_t whole_ratio_groups(const Polyphase& p, index_t j, Out<double> out) {
  typedef typename LaneType<W>::type V;
  constexpr index_t kChunk = 64 * W;  // outputs per split of the inputs
  const index_t down = p.down, taps = p.per_phase, n_real = p.end - p.pre;
  // Input index (into `real`) of output y's tap k: y * down + base + k.
  const index_t base = 1 - taps - p.pre;
  auto floor_div = [down](index_t a) { return a >= 0 ? a / down : -((-a + down - 1) / down); };
  const index_t q_lo = floor_div(base), q_hi = floor_div(base + taps - 1);
  const index_t span = kChunk + q_hi - q_lo;  // entries per residue class
  std::vector<double> classes(static_cast<std::size_t>(down * span));
  std::vector<index_t> at(static_cast<std::size_t>(taps));
  for (index_t k = 0; k < taps; ++k) {
    const index_t q = floor_div(base + k), r = base + k - q * down;
    at[k] = r * span + (q - q_lo);
  }
  V a0, a1, a2, a3;
  for (; j + kChunk <= out.size; j += kChunk) {
    const index_t y0 = p.first + j;
    const index_t lo = (y0 + q_lo) * down, hi = (y0 + kChunk - 1 + q_hi) * down + down;  // inputs read
    if (lo < 0 || hi > n_real) break;
    for (index_t m = 0; m < span; ++m) {
      for (index_t r = 0; r < down; ++r) classes[r * span + m] = p.real[lo + m * down + r];
    }
    for (index_t g = 0; g < kChunk; g += 4 * W) {
      V s0 = {}, s1 = s0, s2 = s0, s3 = s0;
      for (index_t k = 0; k < taps; ++k) {
        const double* v = classes.data() + at[k] + g;
        const double f = p.taps[k];
        std::memcpy(&a0, v, sizeof(V));
        std::memcpy(&a1, v + W, sizeof(V));
        std::memcpy(&a2, v + 2 * W, sizeof(V));
        std::memcpy(&a3, v + 3 * W, sizeof(V));
        s0 = s0 + a0 * f;
        s1 = s1 + a1 * f;
        s2 = s2 + a2 * f;
        s3 = s3 + a3 * f;
      }
      std::memcpy(&out[j + g], &s0, sizeof(V));
      std::memcpy(&out[j + g + W], &s1, sizeof(V));
      std::memcpy(&out[j + g + 2 * W], &s2, sizeof(V));
      std::memcpy(&out[j + g + 3 * W], &s3, sizeof(V));
    }
  }
  return j;
}

// Eight lanes where AVX-512 runs, four elsewhere (eight lanes split into
// halves compile into moves through memory); a whole ratio first.
#if QP_EIGHT_LANES_BUILT
QP_EIGHT_LANES index_t groups_eight(const Polyphase& p, index_t j, Out<double> out) {
  if (p.up == 1) j = whole_ratio_groups<8>(p, j, out);
  return lane_groups<8>(p, j, out);
}
#endif

QP_WIDE_CLONES index_t groups_four(const Polyphase& p, index_t j, Out<double> out) {
  if (p.up == 1) j = whole_ratio_groups<4>(p, j, out);
  return lane_groups<4>(p, j, out);
}

}  // namespace

// No bit may differ from upfirdn's sums, but each vector lane is one of
// them (see QP_WIDE_CLONES).
QP_WIDE_CLONES
void resample_poly(DVec x, index_t pre, index_t padded, DVec h, index_t up, index_t down, index_t first,
                   Out<double> out) {
  if (up < 1 || down < 1) raise_value_error("up and down must be >= 1");
  if (h.size == 0 || h.size % up != 0) raise_value_error("h must hold a whole number of phases of up taps");
  if (x.size == 0) raise_value_error("x is empty; the resampler needs at least one sample");
  if (pre < 0 || padded < pre + x.size) raise_value_error("padded must cover pre and the samples of x");
  if (first < 0) raise_value_error("first must be >= 0");
  const index_t per_phase = h.size / up;
  // The padded signal in one buffer and the filter contiguous, so the inner
  // loop is two plain streams; both are small next to the work.
  // The samples in place when contiguous; the continuation beyond the ends
  // is read through `at` where an output reaches it.
  const bool in_place = x.contiguous() && reinterpret_cast<std::uintptr_t>(x.base) % alignof(double) == 0;
  std::vector<double> copy(in_place ? 0 : static_cast<std::size_t>(x.size)), taps(static_cast<std::size_t>(h.size));
  for (index_t c = 0; !in_place && c < x.size; ++c) copy[c] = x[c];
  const double* const real = in_place ? reinterpret_cast<const double*>(x.base) : copy.data();
  const index_t end = pre + x.size;  // padded index after the last real sample
  auto at = [&](index_t c) { return real[std::clamp<index_t>(c - pre, 0, x.size - 1)]; };
  for (index_t k = 0; k < h.size; ++k) taps[k] = h[k];
  // One output: upfirdn's loop for it.
  auto single = [&](index_t y) {
    const index_t i = y * down / up, t = y * down % up;
    const double* f = taps.data() + t * per_phase;
    double s = 0.0;
    if (i < padded) {
      for (index_t c = std::max<index_t>(i - per_phase + 1, 0), k = c - (i - per_phase + 1); c <= i; ++c, ++k) {
        s = s + at(c) * f[k];
      }
    } else if (i < padded + per_phase - 1) {
      for (index_t c = i - per_phase + 1, k = 0; c <= i; ++c, ++k) {
        const double v = c >= 0 && c < padded ? at(c) : 0.0;
        s = s + v * f[k];
      }
    }
    return s;
  };
  // Outputs [j, stop) one or four at a time.
  const auto rest = [&](index_t j, index_t stop) {
    while (j < stop) {
      // Four outputs at a time whose taps all fall on the signal: four
      // independent sums, each in upfirdn's order.
      const double* row[4];
      const double* f[4];
      bool regular = j + 4 <= stop;
      for (int l = 0; l < 4 && regular; ++l) {
        const index_t y = first + j + l, i = y * down / up, t = y * down % up;
        regular = i - per_phase + 1 >= pre && i < end;
        // Formed only for an output whose taps all fall on the signal: far
        // past it the offset would overflow the pointer.
        if (!regular) break;
        row[l] = real + (i - per_phase + 1 - pre);
        f[l] = taps.data() + t * per_phase;
      }
      if (!regular) {
        out[j] = single(first + j);
        ++j;
        continue;
      }
      double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
      for (index_t k = 0; k < per_phase; ++k) {
        s0 = s0 + row[0][k] * f[0][k];
        s1 = s1 + row[1][k] * f[1][k];
        s2 = s2 + row[2][k] * f[2][k];
        s3 = s3 + row[3][k] * f[3][k];
      }
      out[j] = s0;
      out[j + 1] = s1;
      out[j + 2] = s2;
      out[j + 3] = s3;
      j += 4;
    }
  };
  // The groups below start where every tap falls on the signal.
  index_t j = 0;
  while (j < out.size && (first + j) * down / up - per_phase + 1 < pre) ++j;
  rest(0, j);
  const Polyphase plan{real, taps.data(), pre, end, per_phase, up, down, first};
#if QP_EIGHT_LANES_BUILT
  j = kernels::eight_lanes() ? groups_eight(plan, j, out) : groups_four(plan, j, out);
#else
  j = groups_four(plan, j, out);
#endif
  rest(j, out.size);
}

namespace {

// subtract_interpolated's outputs of `periods` whole periods, every
// neighbour in reach.
QP_WIDE_CLONES void interpolated_periods(const double* x, double gain, const double* low, const index_t* offset,
                                         const double* weight, index_t period, index_t step, index_t periods,
                                         double* out) {
  for (index_t p = 0; p < periods; ++p, x += period, out += period, low += step) {
    for (index_t k = 0; k < period; ++k) {
      const double a = low[offset[k]];
      out[k] = x[k] * gain - (a + (low[offset[k] + 1] - a) * weight[k]);
    }
  }
}

}  // namespace

void subtract_interpolated(DVec x, double gain, DVec low, index_t up, index_t down, index_t start, Out<double> out) {
  if (up < 1 || down < 1) raise_value_error("up and down must be >= 1");
  if (start < 0) raise_value_error("start=" + std::to_string(start) + " must be >= 0");
  const index_t n = x.size;
  if (n == 0) return;
  const index_t last = start + (n - 1) * up;
  const index_t need = last / down + (last % down != 0 ? 2 : 1);
  if (need > low.size) {
    raise_value_error("low has " + std::to_string(low.size) + " samples; the last output needs " +
                      std::to_string(need));
  }
  // The positions repeat every `period` outputs, `step` samples of low
  // further on: one table of offsets and weights serves every period.
  const index_t g = std::gcd(up, down);
  // A short period (3 outputs per sample of low for a whole ratio of 3) is
  // taken several times over, so that the inner loop is long enough to
  // vectorise; every output keeps its own offset and weight.
  const index_t reps = down / g < 64 ? -(-64 / (down / g)) : 1;
  const index_t period = down / g * reps, step = up / g * reps;
  // No more of the table than there are outputs: a ratio of large coprime
  // numbers has a period of millions.
  const index_t entries = std::min(period, n);
  std::vector<index_t> offset(static_cast<std::size_t>(entries));
  std::vector<double> weight(static_cast<std::size_t>(entries));
  const index_t base = start / down;
  for (index_t k = 0; k < entries; ++k) {
    const index_t at = start + k * up;
    offset[k] = at / down - base;
    weight[k] = static_cast<double>(at % down) / static_cast<double>(down);
  }
  // Whole periods whose every neighbour lies inside `low`, contiguous and
  // aligned, as plain loops the compiler vectorises (gathering `low`); the
  // rest one by one, where no neighbour is read at a whole position (it may
  // lie past the end). The two forms differ at most in the sign of a zero.
  index_t k0 = 0;
  const bool plain = x.contiguous() && low.contiguous() &&
                     reinterpret_cast<std::uintptr_t>(x.base) % alignof(double) == 0 &&
                     reinterpret_cast<std::uintptr_t>(low.base) % alignof(double) == 0;
  if (plain) {
    // Periods p < whole: their last output's right neighbour, at
    // base + p * step + offset[period - 1] + 1, lies before low's end.
    index_t whole = n / period;
    while (whole > 0 && base + (whole - 1) * step + offset[period - 1] + 1 >= low.size) --whole;
    interpolated_periods(reinterpret_cast<const double*>(x.base), gain,
                         reinterpret_cast<const double*>(low.base) + base, offset.data(), weight.data(), period,
                         step, whole, out.data);
    k0 = whole * period;
  }
  for (; k0 < n; k0 += period) {
    const index_t i0 = base + (k0 / period) * step, count = std::min(period, n - k0);
    for (index_t k = 0; k < count; ++k) {
      const index_t i = i0 + offset[k];
      const double a = low[i], w = weight[k];
      const double v = w == 0.0 ? a : a + (low[i + 1] - a) * w;
      out[k0 + k] = x[k0 + k] * gain - v;
    }
  }
}

}  // namespace qp
