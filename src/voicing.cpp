#include "voicing.hpp"

#include "kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qp {

namespace {

// The check of one frame, contiguous, at the period whole + frac, on the
// frame smoothed by [1, 2, 1]: s[m] = x[m] + 2 x[m + 1] + x[m + 2]. Each a
// is s at j - frac / 2 and b is s at j + whole + frac / 2, both linearly
// interpolated. Interpolating both by the same half fraction smooths them
// alike (the two responses have the same magnitude), so a periodic frame
// matches itself at a fractional period as well as at a whole one; the
// smoothing's zero at sr / 2 removes the content the interpolation cannot
// follow. The smoothing is folded into four taps of x per side, and only
// every kStep-th j is taken. Four partial
// sums, added at the end: independent chains, one vector lane each (the
// build forbids the compiler to reassociate one sum).
// Samples between the ones compared: after the smoothing, neighbours add
// little (every sample or every third gives the same accuracy on speech).
constexpr index_t kStep = 3;

// Four doubles, one per partial sum below: one AVX register, or two SSE2 /
// NEON registers where the compiler splits it. Every operation on it is the
// scalar one lane by lane, so lane k holds exactly partial sum k.
typedef double Quad __attribute__((vector_size(32)));
typedef long long QuadBits __attribute__((vector_size(32)));
typedef long long QuadIndex __attribute__((vector_size(32)));

inline Quad load_quad(const double* p) {
  Quad value;
  std::memcpy(&value, p, sizeof(Quad));
  return value;
}

// The samples of the four partial sums at one step, from two loads and one
// in-lane shuffle: (p[0], p[2 kStep], p[kStep], p[3 kStep]), so lane 1
// holds partial sum 2 and lane 2 partial sum 1 (see kLaneOfSum).
inline Quad every_third(const double* p) {
  static_assert(kStep == 3, "the lanes below are picked for a step of 3");
  return __builtin_shuffle(load_quad(p), load_quad(p + 6), QuadIndex{0, 4, 3, 7});
}

constexpr int kLaneOfSum[4] = {0, 2, 1, 3};

// fabs lane by lane: the sign bit cleared, as fabs does (also on NaN).
inline Quad abs_quad(Quad v) {
  QuadBits bits;
  std::memcpy(&bits, &v, sizeof(bits));
  bits &= QuadBits{} + 0x7fffffffffffffffLL;
  std::memcpy(&v, &bits, sizeof(v));
  return v;
}

// No bit may differ from the scalar reading, but the four partial sums are
// independent lanes (see QP_WIDE_CLONES).

QP_WIDE_CLONES
double check_frame(const double* x, index_t width, index_t whole, double frac) {
  const double h = 0.5 * frac;
  const double w0 = h, w1 = 1.0 + h, w2 = 2.0 - h, w3 = 1.0 - h;
  const index_t n = width - 3 - whole;
  const double* later = x + whole;
  const Quad v0 = Quad{} + w0, v1 = Quad{} + w1, v2 = Quad{} + w2, v3 = Quad{} + w3;
  Quad diff = {0.0, 0.0, 0.0, 0.0}, total = {0.0, 0.0, 0.0, 0.0};
  index_t j = 1;
  // The lanes are frame positions j, j + 2 kStep, j + kStep, j + 3 kStep.
  for (; j + 4 * kStep <= n; j += 4 * kStep) {
    const Quad a = ((v0 * every_third(x + j - 1) + v1 * every_third(x + j)) + v2 * every_third(x + j + 1)) +
                   v3 * every_third(x + j + 2);
    const Quad b = ((v3 * every_third(later + j) + v2 * every_third(later + j + 1)) +
                    v1 * every_third(later + j + 2)) +
                   v0 * every_third(later + j + 3);
    diff += abs_quad(a - b);
    total += abs_quad(a) + abs_quad(b);
  }
  double dk[4], tk[4];
  for (int k = 0; k < 4; ++k) {
    dk[k] = diff[kLaneOfSum[k]];
    tk[k] = total[kLaneOfSum[k]];
  }
  double d0 = dk[0], t0 = tk[0];
  for (; j < n; j += kStep) {
    const double a = ((w0 * x[j - 1] + w1 * x[j]) + w2 * x[j + 1]) + w3 * x[j + 2];
    const double b = ((w3 * later[j] + w2 * later[j + 1]) + w1 * later[j + 2]) + w0 * later[j + 3];
    d0 += std::fabs(a - b);
    t0 += std::fabs(a) + std::fabs(b);
  }
  const double d = (d0 + dk[1]) + (dk[2] + dk[3]);
  const double t = (t0 + tk[1]) + (tk[2] + tk[3]);
  return t > 0.0 ? 1.0 - d / t : kNaN;
}

}  // namespace

void periodicity_check(DVec x, IVec starts, IVec widths, DMat periods, Out<double> out) {
  // A strided or misaligned signal is gathered frame by frame; an aligned
  // contiguous one is read in place.
  const bool in_place = x.contiguous() && reinterpret_cast<std::uintptr_t>(x.base) % alignof(double) == 0;
  index_t longest = 0;
  for (index_t i = 0; i < widths.size; ++i) longest = std::max(longest, widths[i]);
  std::vector<double> gather(in_place ? 0 : static_cast<std::size_t>(longest));
  const index_t frames = periods.cols;
  for (index_t i = 0; i < frames; ++i) {
    const index_t width = widths[widths.size == 1 ? 0 : i];
    const double* frame = nullptr;
    for (index_t k = 0; k < periods.rows; ++k) {
      const double p = periods(k, i);
      out[k * frames + i] = kNaN;
      if (!(p >= 1.0 && p <= static_cast<double>(width - 4))) continue;
      if (!frame) {
        const index_t start = starts[i];
        if (in_place) {
          frame = reinterpret_cast<const double*>(x.base) + start;
        } else {
          for (index_t j = 0; j < width; ++j) gather[j] = x[start + j];
          frame = gather.data();
        }
      }
      const index_t whole = static_cast<index_t>(std::floor(p));
      out[k * frames + i] = check_frame(frame, width, whole, p - static_cast<double>(whole));
    }
  }
}

namespace {

struct Section {
  double b0, b1, b2, a1, a2, z1, z2;
};

// One step of the cascade on the sample v; returns the output.
inline double step(std::vector<Section>& sections, double v) {
  for (Section& s : sections) {
    const double y = s.b0 * v + s.z1;
    s.z1 = s.b1 * v - s.a1 * y + s.z2;
    s.z2 = s.b2 * v - s.a2 * y;
    v = y;
  }
  return v;
}

void start(std::vector<Section>& sections, const DMat& zi, double first) {
  for (std::size_t k = 0; k < sections.size(); ++k) {
    sections[k].z1 = zi(static_cast<index_t>(k), 0) * first;
    sections[k].z2 = zi(static_cast<index_t>(k), 1) * first;
  }
}

// The cascade of S sections with its coefficients and state in local
// variables, the same operations in the same order as step(): through a
// vector of sections written next to the signal, every state went through
// memory between samples (the compiler must assume the signal's stores may
// alias it), which lengthened the recursion's chain by the store and
// reload. Lengths up to kFixedSections take this path.
template <int S>
struct Fixed {
  double b0[S], b1[S], b2[S], a1[S], a2[S];
};

template <int S>
struct FixedState {
  double z1[S], z2[S];
};

template <int S>
inline double step_fixed(const Fixed<S>& c, FixedState<S>& s, double v) {
#pragma GCC unroll 8
  for (int k = 0; k < S; ++k) {
    const double y = c.b0[k] * v + s.z1[k];
    s.z1[k] = c.b1[k] * v - c.a1[k] * y + s.z2[k];
    s.z2[k] = c.b2[k] * v - c.a2[k] * y;
    v = y;
  }
  return v;
}

template <int S>
inline FixedState<S> start_fixed(const DMat& zi, double first) {
  FixedState<S> s;
  for (int k = 0; k < S; ++k) {
    s.z1[k] = zi(k, 0) * first;
    s.z2[k] = zi(k, 1) * first;
  }
  return s;
}

// How a pass of n samples is cut into chains run at once. The recursion is a
// chain of dependent multiply-adds, about a dozen cycles per sample and
// section, so the processor sits idle waiting on it; independent chains over
// parts of the signal fill that time, one vector lane each. Chain k >= 1
// starts `settle` samples before the part it writes (by then the response
// to its start has died out below the filter's rounding) and does not write
// those samples: they are chain k - 1's last ones, which it writes later, at
// step length - settle or after (length >= 2 * settle), so every chain reads
// the pass's input. Chain k covers [k * (length - settle), ... + length);
// the last may run past n, where it reads nothing and writes nothing.
struct Chains {
  index_t count, length, settle;
  index_t first(index_t k) const { return k * (length - settle); }
};

// At most this many chains, whatever the vector width: a signal's filtered
// bits are the same on every machine.
constexpr index_t kChains = 8;

Chains chains(index_t n, index_t settle) {
  // As many chains as fit: each at least 2 * settle long (so that it reads
  // its predecessor's samples before they are written, up to eight steps at
  // a time), the last one reaching past its warm-up.
  for (index_t count = settle > 0 ? std::min<index_t>(kChains, n / settle - 1) : 1; count >= 2; --count) {
    const Chains plan{count, (n + (count - 1) * settle + count - 1) / count, settle};
    if (plan.length >= 2 * settle && plan.length - settle >= kChains && n - plan.first(count - 1) > settle) {
      return plan;
    }
  }
  return {1, n, 0};
}

// The kChains chains' state, W lanes to a vector.
template <int W, int S>
struct LaneState {
  typename LaneType<W>::type z1[kChains / W][S], z2[kChains / W][S];
};

// step_fixed lane by lane on chain group g: the same scalar operations in
// the same order, on v in place (vectors are passed by reference: their
// calling convention differs between instruction sets).
template <int W, int S>
__attribute__((always_inline)) inline void step_lanes(const Fixed<S>& c, LaneState<W, S>& s, int g,
                                                      typename LaneType<W>::type& v) {
#pragma GCC unroll 8
  for (int k = 0; k < S; ++k) {
    const typename LaneType<W>::type y = c.b0[k] * v + s.z1[g][k];
    s.z1[g][k] = c.b1[k] * v - c.a1[k] * y + s.z2[g][k];
    s.z2[g][k] = c.b2[k] * v - c.a2[k] * y;
    v = y;
  }
}

// r[k][j] -> r[j][k] for a W x W block, in rounds of pairwise shuffles (the
// vector unit's own transposition; element by element, the moves between
// lanes and memory cost more than the filter).
template <int W>
__attribute__((always_inline)) inline void transpose(typename LaneType<W>::type* r);

template <>
__attribute__((always_inline)) inline void transpose<4>(LaneType<4>::type* r) {
  typedef LaneType<4>::index I;
  const I even = {0, 4, 2, 6}, odd = {1, 5, 3, 7}, lo = {0, 1, 4, 5}, hi = {2, 3, 6, 7};
  LaneType<4>::type t[4];
  for (int k = 0; k < 4; k += 2) {
    t[k] = __builtin_shuffle(r[k], r[k + 1], even);
    t[k + 1] = __builtin_shuffle(r[k], r[k + 1], odd);
  }
  for (int q = 0; q < 2; ++q) {
    r[q] = __builtin_shuffle(t[q], t[q + 2], lo);
    r[q + 2] = __builtin_shuffle(t[q], t[q + 2], hi);
  }
}

template <>
__attribute__((always_inline)) inline void transpose<8>(LaneType<8>::type* r) {
  typedef LaneType<8>::index I;
  const I even = {0, 8, 2, 10, 4, 12, 6, 14}, odd = {1, 9, 3, 11, 5, 13, 7, 15};
  const I pairs_lo = {0, 1, 8, 9, 4, 5, 12, 13}, pairs_hi = {2, 3, 10, 11, 6, 7, 14, 15};
  const I half_lo = {0, 1, 2, 3, 8, 9, 10, 11}, half_hi = {4, 5, 6, 7, 12, 13, 14, 15};
  LaneType<8>::type t[8], u[8];
  for (int k = 0; k < 8; k += 2) {
    t[k] = __builtin_shuffle(r[k], r[k + 1], even);
    t[k + 1] = __builtin_shuffle(r[k], r[k + 1], odd);
  }
  for (int k = 0; k < 8; k += 4) {
    for (int q = 0; q < 2; ++q) {
      u[k + q] = __builtin_shuffle(t[k + q], t[k + q + 2], pairs_lo);
      u[k + q + 2] = __builtin_shuffle(t[k + q], t[k + q + 2], pairs_hi);
    }
  }
  for (int q = 0; q < 4; ++q) {
    r[q] = __builtin_shuffle(u[q], u[q + 4], half_lo);
    r[q + 4] = __builtin_shuffle(u[q], u[q + 4], half_hi);
  }
}

// The chains of `plan` in lockstep over at(i) = data[dir * i], W lanes to a
// vector; lanes past plan.count run on zeros and are never written. W steps
// at a time, each chain's W samples are read as one vector and the blocks
// transposed, so that a vector holds one step of W chains; steps where some
// chain neither reads nor writes everything (its warm-up, the end of the
// last chain) go one by one.
template <int W, int S, int dir>
__attribute__((always_inline)) inline void cascade_lanes(const Fixed<S>& c, const DMat& zi, double* data,
                                                         index_t n, Chains plan) {
  typedef typename LaneType<W>::type V;
  constexpr int G = kChains / W;
  const index_t count = plan.count, settle = plan.settle, last = count - 1;
  double* at[kChains];
  for (index_t k = 0; k < count; ++k) at[k] = data + dir * plan.first(k);
  LaneState<W, S> state;
  for (int g = 0; g < G; ++g) {
    for (int q = 0; q < S; ++q) {
      V z1 = {}, z2 = {};
      for (index_t l = 0; l < W && g * W + l < count; ++l) {
        z1[l] = zi(q, 0) * at[g * W + l][0];
        z2[l] = zi(q, 1) * at[g * W + l][0];
      }
      state.z1[g][q] = z1;
      state.z2[g][q] = z2;
    }
  }
  // The last chain's samples end here.
  const index_t end = n - plan.first(last);
  // Position of the lowest address of steps t0 .. t0 + W - 1 from a chain's start.
  auto low = [](index_t t0) { return dir > 0 ? t0 : -(t0 + W - 1); };
  // W steps of every chain at a time, or one step where that is not whole
  // (a chain's warm-up ends or the last chain ends within them).
  auto one_block = [&](index_t& t) {
    const bool whole = t + W <= end && (t + W <= settle || t >= settle);
    if (!whole) {
      const index_t i = dir * t;
      for (int g = 0; g < G; ++g) {
        V u = {};
        for (index_t l = 0; l < W; ++l) {
          const index_t k = g * W + l;
          if (k < last || (k == last && t < end)) u[l] = at[k][i];
        }
        step_lanes(c, state, g, u);
        for (index_t l = 0; l < W; ++l) {
          const index_t k = g * W + l;
          if (k == 0 || (t >= settle && (k < last || (k == last && t < end)))) at[k][i] = u[l];
        }
      }
      ++t;
      return;
    }
    V r[G][W];
    for (int g = 0; g < G; ++g) {
      for (index_t l = 0; l < W; ++l) {
        const index_t k = g * W + l;
        if (k < count) {
          std::memcpy(&r[g][l], at[k] + low(t), sizeof(V));
        } else {
          r[g][l] = V{};
        }
      }
      transpose<W>(r[g]);
    }
    // Row j of a block is the step at address offset j: in a backward pass
    // the steps run from the highest address down.
    for (index_t j = 0; j < W; ++j) {
      for (int g = 0; g < G; ++g) step_lanes(c, state, g, r[g][dir > 0 ? j : W - 1 - j]);
    }
    const index_t writers = t >= settle ? count : 1;
    for (int g = 0; g < G; ++g) {
      transpose<W>(r[g]);
      for (index_t l = 0; l < W && g * W + l < writers; ++l) std::memcpy(at[g * W + l] + low(t), &r[g][l], sizeof(V));
    }
    t += W;
  };
  index_t t = 0;
  // Steps staged kStaged at a time: each chain's samples are transposed
  // into `stage` (a vector per step and chain group), the recursion runs
  // over it, and the result goes back the same way. With the transposed
  // blocks held in registers instead, the chains' state did not fit beside
  // them and went to the stack and back on every step, on the recursion's
  // critical path (three times its arithmetic's latency).
  constexpr index_t kStaged = 64;
  static_assert(kStaged % W == 0, "whole blocks of W steps");
  V stage[kStaged][G];
  while (t < plan.length) {
    if (!(t + kStaged <= end && (t + kStaged <= settle || t >= settle))) {
      one_block(t);
      continue;
    }
    for (int g = 0; g < G; ++g) {
      for (index_t b = 0; b < kStaged; b += W) {
        V r[W];
        for (index_t l = 0; l < W; ++l) {
          const index_t k = g * W + l;
          if (k < count) {
            std::memcpy(&r[l], at[k] + low(t + b), sizeof(V));
          } else {
            r[l] = V{};
          }
        }
        transpose<W>(r);
        for (index_t j = 0; j < W; ++j) stage[b + j][g] = r[dir > 0 ? j : W - 1 - j];
      }
    }
    for (index_t j = 0; j < kStaged; ++j) {
      for (int g = 0; g < G; ++g) step_lanes(c, state, g, stage[j][g]);
    }
    const index_t writers = t >= settle ? count : 1;
    for (int g = 0; g < G && g * W < writers; ++g) {
      for (index_t b = 0; b < kStaged; b += W) {
        V r[W];
        for (index_t j = 0; j < W; ++j) r[dir > 0 ? j : W - 1 - j] = stage[b + j][g];
        transpose<W>(r);
        for (index_t l = 0; l < W && g * W + l < writers; ++l) std::memcpy(at[g * W + l] + low(t + b), &r[l], sizeof(V));
      }
    }
    t += kStaged;
  }
}

// The chains in eight lanes where AVX-512 runs, in four elsewhere (eight
// lanes split into halves compile into moves through memory).
#if QP_EIGHT_LANES_BUILT
template <int S, int dir>
QP_EIGHT_LANES void cascade_eight(const Fixed<S>& c, const DMat& zi, double* data, index_t n, Chains plan) {
  cascade_lanes<8, S, dir>(c, zi, data, n, plan);
}
#endif

template <int S, int dir>
QP_WIDE_CLONES void cascade_four(const Fixed<S>& c, const DMat& zi, double* data, index_t n, Chains plan) {
  cascade_lanes<4, S, dir>(c, zi, data, n, plan);
}

template <int S, int dir>
void cascade_chains(const Fixed<S>& c, const DMat& zi, double* data, index_t n, Chains plan) {
#if QP_EIGHT_LANES_BUILT
  if (kernels::eight_lanes()) return cascade_eight<S, dir>(c, zi, data, n, plan);
#endif
  cascade_four<S, dir>(c, zi, data, n, plan);
}

// cascade() below for S sections; `dir` is +1 forward, -1 backward, and
// data points at the pass's first sample.
template <int S, int dir>
void cascade_fixed(const std::vector<Section>& design, const DMat& zi, double* data, index_t n, index_t settle) {
  Fixed<S> c;
  for (int k = 0; k < S; ++k) {
    c.b0[k] = design[k].b0;
    c.b1[k] = design[k].b1;
    c.b2[k] = design[k].b2;
    c.a1[k] = design[k].a1;
    c.a2[k] = design[k].a2;
  }
  const Chains plan = chains(n, settle);
  if (plan.count > 1) return cascade_chains<S, dir>(c, zi, data, n, plan);
  FixedState<S> one = start_fixed<S>(zi, data[0]);
  for (index_t t = 0; t < n; ++t) data[dir * t] = step_fixed(c, one, data[dir * t]);
}

constexpr std::size_t kFixedSections = 4;

template <int S>
void cascade_sections(const std::vector<Section>& design, const DMat& zi, double* data, index_t n, bool forward,
                      index_t settle) {
  if (forward) {
    cascade_fixed<S, 1>(design, zi, data, n, settle);
  } else {
    cascade_fixed<S, -1>(design, zi, data + (n - 1), n, settle);
  }
}

// One pass of the cascade over data[0..n) in place, forward or backward,
// from the steady state times the pass's first sample, as the chains of
// chains(n, settle).
void cascade(const std::vector<Section>& design, const DMat& zi, double* data, index_t n, bool forward,
             index_t settle) {
  switch (design.size()) {
    case 1: return cascade_sections<1>(design, zi, data, n, forward, settle);
    case 2: return cascade_sections<2>(design, zi, data, n, forward, settle);
    case 3: return cascade_sections<3>(design, zi, data, n, forward, settle);
    case kFixedSections: return cascade_sections<kFixedSections>(design, zi, data, n, forward, settle);
    default: break;
  }
  // Position t of the pass, in the pass's own direction.
  auto at = [&](index_t t) -> double& { return forward ? data[t] : data[n - 1 - t]; };
  const Chains plan = chains(n, settle);
  // One chain after the other, the last first: each reads the samples its
  // predecessor writes before that one has run, as in lockstep.
  for (index_t k = plan.count - 1; k >= 0; --k) {
    const index_t first = plan.first(k), stop = std::min(first + plan.length, n);
    const index_t keep = k == 0 ? first : first + plan.settle;
    std::vector<Section> chain = design;
    start(chain, zi, at(first));
    for (index_t t = first; t < stop; ++t) {
      const double y = step(chain, at(t));
      if (t >= keep) at(t) = y;
    }
  }
}

// v rounded to a multiple of 2**-grid_bits as the layer rounds an array:
// scaled up, rounded to the nearest integer (ties to even, as rint), scaled
// back, each step exact but the rounding. Below 2**52 in magnitude, adding
// and taking away 2**52 rounds to a whole number in the default rounding
// mode (the sum's unit in the last place is 1), and the sign is put back
// as rint keeps it (-0.3 rounds to -0); from 2**52 on every double is
// whole already. The choice between the two is made on the bits with a
// mask, so that the compiler makes the loop a vector one: written as a
// conditional it stays a scalar loop with a branch, at about a nanosecond
// a sample (a call of nearbyint per sample cost as much as the filter).
QP_WIDE_CLONES
void round_to_grid(double* v, index_t n, int grid_bits) {
  const double up = std::ldexp(1.0, grid_bits), down = std::ldexp(1.0, -grid_bits);
  const double whole = 4503599627370496.0;  // 2**52
  for (index_t i = 0; i < n; ++i) {
    const double u = v[i] * up, a = std::fabs(u);
    const double rounded = std::copysign((a + whole) - whole, u);
    std::uint64_t r, keep;
    std::memcpy(&r, &rounded, sizeof(r));
    std::memcpy(&keep, &u, sizeof(keep));
    const std::uint64_t take = -static_cast<std::uint64_t>(a < whole);
    r = (r & take) | (keep & ~take);
    double chosen;
    std::memcpy(&chosen, &r, sizeof(chosen));
    v[i] = chosen * down;
  }
}

}  // namespace

// Every block is scanned for silence two or three times, and most blocks
// have no zero at all: outside a run, 32 samples at a time are tested at
// once (vector compares), and only a group holding a zero is looked at
// sample by sample.
QP_WIDE_CLONES
void zero_runs(DVec x, index_t min_run, std::vector<index_t>& runs) {
  const index_t n = x.size;
  constexpr index_t kGroup = 32;  // eight vectors of four
  const bool contiguous = x.contiguous();
  index_t i = 0;
  while (i < n) {
    if (contiguous) {
      const char* base = x.base;
      typedef LaneType<4>::type V;
      typedef LaneType<4>::index M;
      const V zero = {};
      for (; i + kGroup <= n; i += kGroup) {
        M zeros = {};
        for (index_t k = 0; k < kGroup; k += 4) {
          V v;
          std::memcpy(&v, base + (i + k) * static_cast<index_t>(sizeof(double)), sizeof(v));
          zeros |= v == zero;
        }
        if ((zeros[0] | zeros[1] | zeros[2] | zeros[3]) != 0) break;
      }
    }
    while (i < n && x[i] != 0.0) ++i;
    if (i == n) break;
    const index_t start = i;
    while (i < n && x[i] == 0.0) ++i;
    if (i - start >= min_run) {
      runs.push_back(start);
      runs.push_back(i);
    }
  }
}

// The hum's search decimates whole blocks this way. Each group's sum is a
// short chain of dependent additions, but the groups are independent, so
// the processor overlaps them; NumPy's reductions over so short an axis
// took four to six times as long.
void group_means(DMat x, index_t factor, Out<double> out) {
  const index_t m = x.cols / factor;
  const double scale = 1.0 / static_cast<double>(factor);
  double* to = out.data;
  for (index_t r = 0; r < x.rows; ++r) {
    const DVec row = x.row(r);
    if (row.contiguous()) {
      const char* base = row.base;
      for (index_t i = 0; i < m; ++i) {
        double sum, v;
        std::memcpy(&sum, base + i * factor * static_cast<index_t>(sizeof(double)), sizeof(sum));
        for (index_t k = 1; k < factor; ++k) {
          std::memcpy(&v, base + (i * factor + k) * static_cast<index_t>(sizeof(double)), sizeof(v));
          sum += v;
        }
        *to++ = sum * scale;
      }
      continue;
    }
    for (index_t i = 0; i < m; ++i) {
      double sum = row[i * factor];
      for (index_t k = 1; k < factor; ++k) sum += row[i * factor + k];
      *to++ = sum * scale;
    }
  }
}

QP_WIDE_CLONES
void half_waves(DVec x, Out<double> positive, Out<double> negative) {
  if (x.contiguous()) {
    const char* base = x.base;
    for (index_t i = 0; i < x.size; ++i) {
      double v;
      std::memcpy(&v, base + i * static_cast<index_t>(sizeof(double)), sizeof(v));
      positive[i] = kernels::half_wave_sample<1>(v);
      negative[i] = kernels::half_wave_sample<-1>(v);
    }
    return;
  }
  for (index_t i = 0; i < x.size; ++i) {
    const double v = x[i];
    positive[i] = kernels::half_wave_sample<1>(v);
    negative[i] = kernels::half_wave_sample<-1>(v);
  }
}

void highpass_zero_phase(DVec x, DMat sos, DMat zi, index_t settle, int grid_bits, Out<double> out) {
  highpass_zero_phase(x, sos, zi, settle, out);
  if (grid_bits > 0) round_to_grid(out.data, out.size, grid_bits);
}

namespace {

std::vector<Section> sections_of(DMat sos) {
  std::vector<Section> sections(static_cast<std::size_t>(sos.rows));
  for (index_t k = 0; k < sos.rows; ++k) {
    // a0 is 1 in the sections a filter design returns.
    sections[static_cast<std::size_t>(k)] = {sos(k, 0), sos(k, 1), sos(k, 2), sos(k, 4), sos(k, 5), 0.0, 0.0};
  }
  return sections;
}

}  // namespace

void highpass_forward(DVec x, DMat sos, DMat state, Out<double> out, Out<double> after) {
  std::vector<Section> sections = sections_of(sos);
  for (index_t k = 0; k < sos.rows; ++k) {
    sections[static_cast<std::size_t>(k)].z1 = state(k, 0);
    sections[static_cast<std::size_t>(k)].z2 = state(k, 1);
  }
  for (index_t i = 0; i < x.size; ++i) out[i] = step(sections, x[i]);
  for (index_t k = 0; k < sos.rows; ++k) {
    after[2 * k] = sections[static_cast<std::size_t>(k)].z1;
    after[2 * k + 1] = sections[static_cast<std::size_t>(k)].z2;
  }
}

void highpass_zero_phase(DVec x, DMat sos, DMat zi, index_t settle, Out<double> out) {
  const index_t n = x.size;
  if (n == 0) return;
  std::vector<Section> sections = sections_of(sos);
  for (index_t i = 0; i < n; ++i) out[i] = x[i];
  cascade(sections, zi, out.data, n, true, settle);
  cascade(sections, zi, out.data, n, false, settle);
}

namespace {

// The evidence of a frame's log-odds s: e^s / (1 + e^s) for "voiced" and
// 1 / (1 + e^s) for "unvoiced", from one exponential that cannot overflow.
inline void evidence(double s, double& voiced, double& unvoiced) {
  const double e = std::exp(-std::fabs(s));
  const double big = 1.0 / (1.0 + e), small = e / (1.0 + e);
  voiced = s >= 0.0 ? big : small;
  unvoiced = s >= 0.0 ? small : big;
}

}  // namespace

// In probabilities, each frame's pair scaled so the larger is 1: a
// frame's evidence is at least e^-|s| / 2 and a switch keeps e^-cost of the
// other belief, so neither underflows for any score a frame can have, and
// a frame costs one exponential where sums of logarithms cost six.
void voicing_posterior(DVec score, double switch_cost, bool smooth, ChainState& state, Out<double> out) {
  const index_t n = score.size;
  if (n == 0) return;
  const double stay = 1.0 / (1.0 + std::exp(-switch_cost));
  const double move = 1.0 - stay;
  // Forward beliefs and each frame's evidence, which the backward pass weighs again.
  std::vector<double> fv(static_cast<std::size_t>(n)), fu(static_cast<std::size_t>(n));
  std::vector<double> evs(smooth ? static_cast<std::size_t>(n) : 0), eus(evs.size());
  double v = state.v, u = state.u;
  for (index_t t = 0; t < n; ++t) {
    double ev, eu;
    evidence(score[t], ev, eu);
    if (smooth) {
      evs[t] = ev;
      eus[t] = eu;
    }
    double nv, nu;
    if (t == 0 && !state.known) {
      nv = ev;
      nu = eu;
    } else {
      nv = (v * stay + u * move) * ev;
      nu = (u * stay + v * move) * eu;
    }
    const double m = std::max(nv, nu);
    v = nv / m;
    u = nu / m;
    fv[t] = v;
    fu[t] = u;
  }
  state = {v, u, true};
  double bv = 1.0, bu = 1.0;
  for (index_t t = n - 1; t >= 0; --t) {
    const double pv = fv[t] * bv, pu = fu[t] * bu;
    out[t] = pv / (pv + pu);
    if (!smooth) continue;
    const double ev = evs[t] * bv, eu = eus[t] * bu;
    const double nv = stay * ev + move * eu, nu = stay * eu + move * ev;
    const double m = std::max(nv, nu);
    bv = nv / m;
    bu = nu / m;
  }
}

}  // namespace qp
