#include "periodicity.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "voicing.hpp"

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

namespace {

ExactFrames::Part part_of(const Framing& framing, int polarity) {
  if (!framing.halves()) return ExactFrames::Part::kSamples;
  return polarity > 0 ? ExactFrames::Part::kPositive : ExactFrames::Part::kNegative;
}

}  // namespace

FrameSource::FrameSource(const Framing& framing, IVec lags)
    : framing_(framing),
      lags_(lags),
      scratch_(framing.two_polarity() ? lags.size : 0),
      half_(framing.halves() ? static_cast<std::size_t>(framing.window_size()) : 0),
      exact_first_(framing.first(), lags, framing.window_size(), framing.hop_size(), framing.frames(),
                   kernels::active(), part_of(framing, 1), framing.halves() ? &grid_ : nullptr),
      exact_second_(framing.second(), lags, framing.window_size(), framing.hop_size(),
                    framing.two_polarity() ? framing.frames() : 0, kernels::active(), part_of(framing, -1),
                    framing.halves() ? &grid_ : nullptr) {}

template <int kPart>
double FrameSource::frame_scores(DVec frame, double* score) {
  if (framing_.halves()) {
    for (index_t j = 0; j < frame.size; ++j) half_[j] = kernels::half_wave_sample<kPart>(frame[j]);
    frame = contiguous(half_.data(), frame.size);
  }
  qesmor_frame(frame, lags_, score, gather_);
  return mean_1d(frame);
}

double FrameSource::analyse(index_t t, double* score) {
  // The running sums' rows are read in place: copied out and added, they
  // cost a pass over every score twice more.
  double level;
  const double* first = exact_first_.row(t, level);
  if (!first) {
    level = frame_scores<1>(framing_.frame(t), score);
    first = score;
  }
  if (framing_.two_polarity()) {
    double other_level;
    const double* second = exact_second_.row(t, other_level);
    if (!second) {
      other_level = frame_scores<-1>(framing_.second_frame(t), scratch_.data());
      second = scratch_.data();
    }
    for (index_t k = 0; k < lags_.size; ++k) score[k] = first[k] + second[k];
    level = level + other_level;
  } else if (first != score) {
    std::copy_n(first, lags_.size, score);
  }
  return level;
}

namespace {

constexpr index_t kBlock = kernels::kHalfWaveBlock;

// Samples of x split into half-waves at a time (when a frame is shorter): a
// few overlapping frames, well inside the second-level cache.
constexpr index_t kStretch = 1 << 14;

// The value of one half-wave at one lag with n = window - lag > 0
// overlapping samples, from the partial sums of its whole blocks: they add
// as four vectors of four lanes ((0 + 1) + (2 + 3) of the vectors, lane by
// lane, then so of the lanes), then the samples after the last block, one
// by one. Every target hands over the same partial sums, so this order
// alone fixes the bits.
inline double finish_lag(const double* h, index_t lag, index_t n, const double* partial) {
  double lane[4];
  for (int l = 0; l < 4; ++l) lane[l] = (partial[l] + partial[4 + l]) + (partial[8 + l] + partial[12 + l]);
  double sum = (lane[0] + lane[1]) + (lane[2] + lane[3]);
  for (index_t j = n - n % kBlock; j < n; ++j) sum += h[j + lag] < h[j] ? h[j + lag] : h[j];
  return sum;
}

}  // namespace

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
  const kernels::Target& target = kernels::active();
  // The half-waves of a stretch of x, split once for all the frames inside
  // it: consecutive frames overlap, and splitting each frame on its own
  // would split most samples several times.
  const index_t span = std::min(x.size, std::max(longest, kStretch));
  std::vector<double> pos_stretch(static_cast<std::size_t>(span)), neg_stretch(static_cast<std::size_t>(span));
  index_t lo = 0, hi = 0;  // the stretch held: x[lo, hi)
  double pos_partial[kernels::kMaxHalfWaveLags * kBlock], neg_partial[kernels::kMaxHalfWaveLags * kBlock];
  for (index_t t = 0; t < starts.size; ++t) {
    const index_t start = starts[t], window = window_of(t);
    if (start < lo || start + window > hi) {
      // A new stretch from this frame on, as far as the frames after it
      // reach while each overlaps (or adjoins) the stretch and it fits.
      lo = start;
      hi = start + window;
      for (index_t u = t + 1; u < starts.size; ++u) {
        const index_t end = starts[u] + window_of(u);
        if (starts[u] < lo || starts[u] > hi || end - lo > span) break;
        hi = std::max(hi, end);
      }
      half_waves(x.slice(lo, hi), {pos_stretch.data(), hi - lo}, {neg_stretch.data(), hi - lo});
    }
    const double* pos = pos_stretch.data() + (start - lo);
    const double* neg = neg_stretch.data() + (start - lo);
    const auto lag = [&](index_t k) { return lags[t * per_frame + k]; };
    double* out = score + t * per_frame;
    index_t k = 0;
    while (k < per_frame) {
      if (lag(k) >= window) {
        out[k++] = 0.0;  // no overlap
        continue;
      }
      // A run of consecutive lags that all overlap the frame, measured
      // together so that each block of the half-waves is loaded once.
      index_t run = 1;
      while (run < kernels::kMaxHalfWaveLags && k + run < per_frame && lag(k + run) - run == lag(k) &&
             lag(k + run) < window) {
        ++run;
      }
      target.half_wave_blocks(pos, window, lag(k), run, pos_partial);
      target.half_wave_blocks(neg, window, lag(k), run, neg_partial);
      for (index_t c = 0; c < run; ++c) {
        const index_t n = window - lag(k + c);
        const double positive = finish_lag(pos, lag(k + c), n, pos_partial + c * kBlock);
        const double negative = finish_lag(neg, lag(k + c), n, neg_partial + c * kBlock);
        out[k + c] = (up * positive + down * negative) / static_cast<double>(n);
      }
      k += run;
    }
  }
}

void qesmor_map(FrameSource& source, Out<double> map, Out<double> levels) {
  const index_t lag_count = source.lag_count();
  for (index_t t = 0; t < levels.size; ++t) levels[t] = source.analyse(t, map.data + t * lag_count);
}

}  // namespace qp
