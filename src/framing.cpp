#include "framing.hpp"

#include <algorithm>
#include <string>

namespace qp {

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

index_t frame_count(index_t length, index_t window_size, index_t hop_size) {
  if (length <= window_size) return 0;
  return (length - window_size + hop_size - 1) / hop_size;
}

Framing::Framing(DVec data, index_t window_size, index_t hop_size)
    : first_(data), window_(window_size), hop_(hop_size), two_polarity_(false) {}

Framing::Framing(DVec posi, DVec nega, index_t window_size, index_t hop_size)
    : first_(posi), second_(nega), window_(window_size), hop_(hop_size), two_polarity_(true) {}

Framing Framing::halves(DVec data, index_t window_size, index_t hop_size) {
  Framing framing(data, data, window_size, hop_size);
  framing.halves_ = true;
  return framing;
}

DVec Framing::frame(index_t t) const {
  const index_t end = window_ + t * hop_;
  return first_.slice(end - window_, end);
}

DVec Framing::second_frame(index_t t) const {
  // Slice rules: both bounds are clipped to the negative signal's length.
  const index_t end = window_ + t * hop_;
  const index_t hi = std::min(end, second_.size);
  const index_t lo = std::min(end - window_, hi);
  return second_.slice(lo, hi);
}

double sum_1d(DVec v) {
  double s = 0.0;
  for (index_t i = 0; i < v.size; ++i) s += v[i];
  return s;
}

double mean_1d(DVec v) {
  return sum_1d(v) / static_cast<double>(v.size);
}

}  // namespace qp
