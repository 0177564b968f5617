#include "periodicity.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace qp {

void check_lags(IVec lags) {
  for (index_t k = 0; k < lags.size; ++k) {
    const index_t lag = lags[k];
    if (lag < 0) {
      raise_value_error("search_sample[" + std::to_string(k) + "] = " + std::to_string(lag) +
                        " is negative; lags must be >= 0");
    }
  }
}

void qesmor_frame(DVec frame, IVec lags, double* score, std::vector<double>& gather,
                  const kernels::Target& target) {
  const bool aligned = reinterpret_cast<std::uintptr_t>(frame.base) % alignof(double) == 0;
  if (frame.contiguous() && aligned) {
    kernels::qesmor_sums(reinterpret_cast<const double*>(frame.base), frame.size, lags, score, target);
    return;
  }
  // A strided (or misaligned) frame is gathered once so that every lag reads
  // unit-stride memory.
  if (gather.size() < static_cast<std::size_t>(frame.size)) gather.resize(static_cast<std::size_t>(frame.size));
  for (index_t j = 0; j < frame.size; ++j) gather[j] = frame[j];
  kernels::qesmor_sums(gather.data(), frame.size, lags, score, target);
}

FrameSource::FrameSource(const Framing& framing, IVec lags)
    : framing_(framing),
      lags_(lags),
      scratch_(framing.two_polarity() ? lags.size : 0),
      exact_first_(framing.first(), lags, framing.window_size(), framing.hop_size(), framing.frames()),
      exact_second_(framing.second(), lags, framing.window_size(), framing.hop_size(),
                    framing.two_polarity() ? framing.frames() : 0) {}

double FrameSource::analyse(index_t t, double* score) {
  double level;
  if (!exact_first_.analyse(t, score, level)) {
    const DVec frame = framing_.frame(t);
    qesmor_frame(frame, lags_, score, gather_);
    level = mean_1d(frame);
  }
  if (framing_.two_polarity()) {
    double other_level;
    if (!exact_second_.analyse(t, scratch_.data(), other_level)) {
      const DVec other = framing_.second_frame(t);
      qesmor_frame(other, lags_, scratch_.data(), gather_);
      other_level = mean_1d(other);
    }
    for (index_t k = 0; k < lags_.size; ++k) score[k] = score[k] + scratch_[k];
    level = level + other_level;
  }
  return level;
}

namespace {

// Four doubles: one AVX register, or two SSE2 / NEON registers where the
// compiler splits it.
typedef double Pair __attribute__((vector_size(32)));

inline Pair load_pair(const double* p) {
  Pair value;
  std::memcpy(&value, p, sizeof(Pair));
  return value;
}

// Lanes: which of the four Pairs (and which lane of it) a sample adds to
// depends only on its position j within a block of kBlock.
constexpr index_t kBlock = 16;

// The partial sums of one lag: the positive and the negative half-waves'.
struct LagSums {
  Pair pos[4] = {}, neg[4] = {};
};

// Adds the block at j of the frame's half-waves `pos` and `neg` against
// themselves `lag` samples later. The minimum of two positive half-wave
// samples is that of the positive parts of two samples, and likewise for
// the negative ones, so each term is one minimum of two stored half-wave
// samples (b < a ? b : a: the same bits as the positive part of the smaller
// sample, or the negative part of the larger, for every finite sample).
inline void add_block(const double* pos, const double* neg, index_t lag, index_t j, LagSums& s) {
  for (int i = 0; i < 4; ++i) {
    const index_t at = j + 4 * i;
    const Pair pa = load_pair(pos + at), pb = load_pair(pos + at + lag);
    const Pair na = load_pair(neg + at), nb = load_pair(neg + at + lag);
    s.pos[i] += pb < pa ? pb : pa;
    s.neg[i] += nb < na ? nb : na;
  }
}

// The value of one lag with n = window - lag > 0 overlapping samples, its
// blocks from j on still to add to `s`: the remaining whole blocks, then the
// samples after the last one by one.
inline double finish_lag(const double* pos, const double* neg, index_t lag, index_t n, index_t j, LagSums& s,
                         double up, double down) {
  for (; j + kBlock <= n; j += kBlock) add_block(pos, neg, lag, j, s);
  const Pair p = (s.pos[0] + s.pos[1]) + (s.pos[2] + s.pos[3]), q = (s.neg[0] + s.neg[1]) + (s.neg[2] + s.neg[3]);
  double positive = (p[0] + p[1]) + (p[2] + p[3]), negative = (q[0] + q[1]) + (q[2] + q[3]);
  for (; j < n; ++j) {
    positive += pos[j + lag] < pos[j] ? pos[j + lag] : pos[j];
    negative += neg[j + lag] < neg[j] ? neg[j + lag] : neg[j];
  }
  return (up * positive + down * negative) / static_cast<double>(n);
}

// Consecutive lags of a frame measured together, so that each block of the
// frame's half-waves is loaded once for all of them.
constexpr index_t kJointLags = 4;

}  // namespace

// No bit of these sums is promised (see QP_WIDE_CLONES).

QP_WIDE_CLONES
void qesmor_frames_at(DVec x, IVec windows, IVec starts, IVec lags, int polarity, double* score) {
  if (windows.size != 1 && windows.size != starts.size) {
    raise_value_error("windows has " + std::to_string(windows.size) + " values for " + std::to_string(starts.size) +
                      " frames; give one window for all frames or one per frame");
  }
  if (polarity < -1 || polarity > 1) {
    raise_value_error("polarity=" + std::to_string(polarity) + " must be 1 (positive), -1 (negative) or 0 (both)");
  }
  if (starts.size == 0 ? lags.size != 0 : lags.size % starts.size != 0) {
    raise_value_error("lags has " + std::to_string(lags.size) + " values for " + std::to_string(starts.size) +
                      " frames; it needs the same number of lags for every frame");
  }
  check_lags(lags);
  const auto window_of = [&](index_t t) { return windows[windows.size == 1 ? 0 : t]; };
  index_t longest = 0;
  for (index_t t = 0; t < windows.size; ++t) {
    if (windows[t] < 1) {
      raise_value_error("windows[" + std::to_string(t) + "] = " + std::to_string(windows[t]) + " must be >= 1");
    }
    longest = std::max(longest, windows[t]);
  }
  for (index_t t = 0; t < starts.size; ++t) {
    if (starts[t] < 0 || starts[t] > x.size - window_of(t)) {
      raise_value_error("starts[" + std::to_string(t) + "] = " + std::to_string(starts[t]) +
                        " puts the frame outside the signal of " + std::to_string(x.size) + " samples");
    }
  }
  const index_t per_frame = starts.size == 0 ? 0 : lags.size / starts.size;
  const double up = polarity >= 0 ? 1.0 : 0.0;    // weight of the positive half-wave
  const double down = polarity <= 0 ? 1.0 : 0.0;  // and of the negative one
  // Each frame's half-waves, written once and read by all its lags.
  std::vector<double> pos(static_cast<std::size_t>(longest)), neg(static_cast<std::size_t>(longest));
  for (index_t t = 0; t < starts.size; ++t) {
    const index_t window = window_of(t);
    for (index_t j = 0; j < window; ++j) {
      const double v = x[starts[t] + j];
      pos[j] = v > 0.0 ? v : 0.0;
      neg[j] = v < 0.0 ? -v : 0.0;
    }
    const auto lag = [&](index_t k) { return lags[t * per_frame + k]; };
    double* out = score + t * per_frame;
    index_t k = 0;
    for (; k + kJointLags <= per_frame; k += kJointLags) {
      if (!kernels::consecutive(lags, t * per_frame + k, kJointLags) || lag(k) + kJointLags - 1 > window - kBlock) break;
      // Every lag of the run has whole blocks up to the last lag's; the
      // lags' sums are the ones each would make alone, only interleaved.
      LagSums sums[kJointLags];
      const index_t common = window - (lag(k) + kJointLags - 1);
      index_t j = 0;
      for (; j + kBlock <= common; j += kBlock) {
        for (index_t c = 0; c < kJointLags; ++c) add_block(pos.data(), neg.data(), lag(k) + c, j, sums[c]);
      }
      for (index_t c = 0; c < kJointLags; ++c) {
        out[k + c] = finish_lag(pos.data(), neg.data(), lag(k) + c, window - lag(k) - c, j, sums[c], up, down);
      }
    }
    for (; k < per_frame; ++k) {
      const index_t n = window - lag(k);
      LagSums sums;
      out[k] = n > 0 ? finish_lag(pos.data(), neg.data(), lag(k), n, 0, sums, up, down) : 0.0;
    }
  }
}

void qesmor_map(FrameSource& source, Out<double> map, Out<double> levels) {
  const index_t lag_count = source.lag_count();
  for (index_t t = 0; t < levels.size; ++t) levels[t] = source.analyse(t, map.data + t * lag_count);
}

}  // namespace qp
