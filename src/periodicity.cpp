#include "periodicity.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "peaks.hpp"

namespace qp {

namespace {

// The straightforward loop: one lag at a time, the library's fmin. It is the
// portable fallback and the baseline the vector targets are measured and
// checked against.
double one_lag_plain(const double* x, index_t n, index_t lag) {
  const index_t overlap = n - lag;
  if (overlap <= 0) return 0.0;
  double sum = 0.0;
  for (index_t j = 0; j < overlap; ++j) sum += std::fmin(x[j], x[j + lag]);
  return sum / static_cast<double>(overlap);
}

double one_lag(const double* x, index_t n, index_t lag) {
  const index_t overlap = n - lag;
  if (overlap <= 0) return 0.0;
  double sum = 0.0;
  for (index_t j = 0; j < overlap; ++j) sum += min_num(x[j], x[j + lag]);
  return sum / static_cast<double>(overlap);
}

// lags[k + c] == lags[k] + c for c < count, written as a difference so that
// lags near the largest index cannot overflow (every lag is >= 0 here).
bool consecutive(IVec lags, index_t k, index_t count) {
  const index_t first = lags[k];
  for (index_t c = 1; c < count; ++c) {
    if (lags[k + c] - c != first) return false;
  }
  return true;
}

}  // namespace

void qesmor_contiguous(const double* x, index_t n, IVec lags, double* score, const kernels::Target& target) {
  const index_t count = lags.size;
  const index_t chunk = target.chunk;
  if (chunk == 0) {
    for (index_t k = 0; k < count; ++k) score[k] = one_lag_plain(x, n, lags[k]);
    return;
  }
  bool has_nan = false;
  for (index_t j = 0; j < n; ++j) has_nan |= x[j] != x[j];

  double sums[kernels::kMaxChunk];
  index_t k = 0;
  while (k < count) {
    // Runs of `chunk` consecutive lags that all overlap the frame go to the
    // vector kernel; anything else is summed one lag at a time.
    const index_t lag0 = lags[k];
    // Every lag of the run overlaps the frame: n - lag0 >= chunk. Both are
    // >= 0, so unlike n - lag0 - (chunk - 1) the difference cannot overflow
    // for a lag near the largest index.
    const bool overlaps = lag0 >= 0 && n - lag0 >= chunk;
    if (k + chunk > count || !overlaps || !consecutive(lags, k, chunk)) {
      score[k] = one_lag(x, n, lag0);
      ++k;
      continue;
    }
    target.qesmor_chunk(x, n, lag0, has_nan, sums);
    for (index_t c = 0; c < chunk; ++c) score[k + c] = sums[c] / static_cast<double>(n - (lag0 + c));
    k += chunk;
  }
}

void qesmor_frame(DVec frame, IVec lags, double* score, std::vector<double>& gather,
                  const kernels::Target& target) {
  const bool aligned = reinterpret_cast<std::uintptr_t>(frame.base) % alignof(double) == 0;
  if (frame.contiguous() && aligned) {
    qesmor_contiguous(reinterpret_cast<const double*>(frame.base), frame.size, lags, score, target);
    return;
  }
  // A strided (or misaligned) frame is gathered once so that every lag reads
  // unit-stride memory.
  if (gather.size() < static_cast<std::size_t>(frame.size)) gather.resize(static_cast<std::size_t>(frame.size));
  for (index_t j = 0; j < frame.size; ++j) gather[j] = frame[j];
  qesmor_contiguous(gather.data(), frame.size, lags, score, target);
}

void check_window(index_t window_size) {
  if (window_size < 0) raise_value_error("negative dimensions are not allowed");
}

void check_hop(index_t hop_size) {
  if (hop_size == 0) raise_value_error("range() arg 3 must not be zero");
  if (hop_size < 0) {
    raise_value_error("hop_size must be >= 1 (frames advance forwards), got " +
                      std::to_string(hop_size));
  }
}

void check_lags(IVec lags) {
  // A negative lag would compare the frame with samples past its end.
  for (index_t k = 0; k < lags.size; ++k) {
    const index_t lag = lags[k];
    if (lag < 0) {
      raise_value_error("search_sample[" + std::to_string(k) + "] = " + std::to_string(lag) +
                        " is negative; lags must be >= 0");
    }
  }
}

index_t frame_count(index_t length, index_t window_size, index_t hop_size) {
  if (length <= window_size) return 0;
  return (length - window_size + hop_size - 1) / hop_size;
}

FrameSource::FrameSource(DVec data, IVec lags, index_t window_size, index_t hop_size)
    : first_(data), lags_(lags), window_(window_size), hop_(hop_size) {}

FrameSource::FrameSource(DVec posi, DVec nega, IVec lags, index_t window_size, index_t hop_size)
    : first_(posi),
      second_(nega),
      lags_(lags),
      window_(window_size),
      hop_(hop_size),
      two_polarity_(true),
      scratch_(lags.size) {}

double FrameSource::analyse(index_t t, double* score) {
  const index_t end = window_ + t * hop_;
  const DVec frame = first_.slice(end - window_, end);
  qesmor_frame(frame, lags_, score, gather_);
  double level = mean_1d(frame);
  if (two_polarity_) {
    // Slice rules: both bounds are clipped to the negative signal's length.
    const index_t hi = std::min(end, second_.size);
    const index_t lo = std::min(end - window_, hi);
    const DVec other = second_.slice(lo, hi);
    qesmor_frame(other, lags_, scratch_.data(), gather_);
    for (index_t k = 0; k < lags_.size; ++k) score[k] = score[k] + scratch_[k];
    level = level + mean_1d(other);
  }
  return level;
}

void qesmor_map(FrameSource& source, Out<double> map, Out<double> levels) {
  const index_t lag_count = source.lag_count();
  for (index_t t = 0; t < levels.size; ++t) levels[t] = source.analyse(t, map.data + t * lag_count);
}

}  // namespace qp
