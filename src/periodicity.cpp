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
  const bool direct = x.contiguous() && reinterpret_cast<std::uintptr_t>(x.base) % alignof(double) == 0;
  std::vector<double> frame(direct ? 0 : static_cast<std::size_t>(longest));
  for (index_t t = 0; t < starts.size; ++t) {
    const index_t window = window_of(t);
    const double* v = frame.data();
    if (direct) {
      v = reinterpret_cast<const double*>(x.base) + starts[t];
    } else {
      for (index_t j = 0; j < window; ++j) frame[j] = x[starts[t] + j];
    }
    for (index_t k = 0; k < per_frame; ++k) {
      const index_t lag = lags[t * per_frame + k];
      const index_t n = window - lag;
      if (n <= 0) {
        score[t * per_frame + k] = 0.0;
        continue;
      }
      // The minimum of two positive half-wave samples is the positive part
      // of the smaller sample, and that of two negative half-wave samples
      // the negative part of the larger, so no half-wave is ever stored.
      // Nothing compares these values bit for bit, so the sums run in
      // interleaved vector parts, not in index order as the cores' sums must.
      const double* w = v + lag;
      Pair pos[4] = {}, neg[4] = {};
      index_t j = 0;
      for (; j + 16 <= n; j += 16) {
        for (int i = 0; i < 4; ++i) {
          const Pair a = load_pair(v + j + 4 * i), b = load_pair(w + j + 4 * i);
          const Pair lo = b < a ? b : a, hi = b < a ? a : b;
          pos[i] += lo > 0.0 ? lo : Pair{};
          neg[i] += hi < 0.0 ? -hi : Pair{};
        }
      }
      const Pair p = (pos[0] + pos[1]) + (pos[2] + pos[3]), q = (neg[0] + neg[1]) + (neg[2] + neg[3]);
      double positive = (p[0] + p[1]) + (p[2] + p[3]), negative = (q[0] + q[1]) + (q[2] + q[3]);
      for (; j < n; ++j) {
        const double a = v[j], b = w[j];
        const double lo = b < a ? b : a, hi = b < a ? a : b;
        positive += lo > 0.0 ? lo : 0.0;
        negative += hi < 0.0 ? -hi : 0.0;
      }
      score[t * per_frame + k] = (up * positive + down * negative) / static_cast<double>(n);
    }
  }
}

void qesmor_map(FrameSource& source, Out<double> map, Out<double> levels) {
  const index_t lag_count = source.lag_count();
  for (index_t t = 0; t < levels.size; ++t) levels[t] = source.analyse(t, map.data + t * lag_count);
}

}  // namespace qp
