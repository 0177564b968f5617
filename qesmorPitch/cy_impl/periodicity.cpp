#include "periodicity.hpp"

#include <algorithm>
#include <string>

#include "peaks.hpp"

namespace qp {

namespace {

struct ContiguousFrame {
  const char* base;
  double operator[](index_t i) const {
    double value;
    std::memcpy(&value, base + i * static_cast<index_t>(sizeof(double)), sizeof(double));
    return value;
  }
};

// Lags are taken kBlock at a time: each keeps its own accumulator, summed in
// increasing j exactly like the one-lag loop, so the result is bit-identical
// while the independent sums overlap their addition latencies.
constexpr int kBlock = 4;

template <class Frame>
double one_lag(const Frame& x, index_t n, index_t lag) {
  const index_t overlap = n - lag;
  if (overlap <= 0) return 0.0;
  double sum = 0.0;
  for (index_t j = 0; j < overlap; ++j) sum += min_num(x[j], x[j + lag]);
  return sum / static_cast<double>(overlap);
}

template <class Frame>
void all_lags(const Frame& x, index_t n, IVec lags, double* score) {
  const index_t count = lags.size;
  index_t k = 0;
  for (; k + kBlock <= count; k += kBlock) {
    index_t lag[kBlock];
    index_t overlap[kBlock];
    index_t common = n;
    for (int b = 0; b < kBlock; ++b) {
      lag[b] = lags[k + b];
      overlap[b] = n - lag[b];
      common = std::min(common, overlap[b]);
    }
    common = std::max<index_t>(common, 0);
    double sum[kBlock] = {0.0, 0.0, 0.0, 0.0};
    for (index_t j = 0; j < common; ++j) {
      const double xj = x[j];
      for (int b = 0; b < kBlock; ++b) sum[b] += min_num(xj, x[j + lag[b]]);
    }
    for (int b = 0; b < kBlock; ++b) {
      if (overlap[b] <= 0) {
        score[k + b] = 0.0;
        continue;
      }
      for (index_t j = common; j < overlap[b]; ++j) sum[b] += min_num(x[j], x[j + lag[b]]);
      score[k + b] = sum[b] / static_cast<double>(overlap[b]);
    }
  }
  for (; k < count; ++k) score[k] = one_lag(x, n, lags[k]);
}

}  // namespace

void qesmor_frame(DVec frame, IVec lags, double* score) {
  if (frame.contiguous()) {
    all_lags(ContiguousFrame{frame.base}, frame.size, lags, score);
  } else {
    all_lags(frame, frame.size, lags, score);
  }
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
  qesmor_frame(frame, lags_, score);
  double level = mean_1d(frame);
  if (two_polarity_) {
    // Slice rules: both bounds are clipped to the negative signal's length.
    const index_t hi = std::min(end, second_.size);
    const index_t lo = std::min(end - window_, hi);
    const DVec other = second_.slice(lo, hi);
    qesmor_frame(other, lags_, scratch_.data());
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
