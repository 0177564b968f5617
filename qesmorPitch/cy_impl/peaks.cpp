#include "peaks.hpp"

#include <limits>

namespace qp {

namespace {

// Walks v once and calls visit(p, v[p + 1]) for each peak p in increasing
// order. A step that is NaN does not count as rising. Returns the peak at
// which visit first returned true, or -1.
template <class Visit>
index_t walk_peaks(DVec v, Visit&& visit) {
  if (v.size < 2) return -1;
  bool rising = false;
  double prev = v[0];
  for (index_t i = 1; i < v.size; ++i) {
    const double cur = v[i];
    const double d = cur - prev;
    if (rising && !(d > 0.0) && visit(i - 1, cur)) return i - 1;
    rising = d > 0.0;
    prev = cur;
  }
  return -1;
}

}  // namespace

double mean_1d(DVec v) {
  return sum_1d(v) / static_cast<double>(v.size);
}

double min_1d(DVec v) {
  double m = std::numeric_limits<double>::infinity();
  for (index_t i = 0; i < v.size; ++i) {
    const double x = v[i];
    if (m > x) m = x;
  }
  return m;
}

double sum_1d(DVec v) {
  double s = 0.0;
  for (index_t i = 0; i < v.size; ++i) s += v[i];
  return s;
}

index_t argmax_1d(DVec v) {
  if (v.size <= 1) return 0;
  double best = v[0];
  index_t arg = 0;
  for (index_t i = 1; i < v.size; ++i) {
    const double x = v[i];
    if (x > best) {
      best = x;
      arg = i;
    }
  }
  return arg;
}

index_t first_peak_above(DVec v, double threshold) {
  const index_t p = walk_peaks(v, [threshold](index_t, double next) { return next > threshold; });
  return p < 0 ? 0 : p;
}

index_t peak_detect_maximum(DVec v) {
  double best = -std::numeric_limits<double>::infinity();
  index_t arg = 0;
  walk_peaks(v, [&](index_t p, double next) {
    // A peak followed by an exact zero is the edge of a silent stretch, not a period.
    if (next != 0.0) {
      const double value = v[p];
      if (value > best) {
        best = value;
        arg = p;
      }
    }
    return false;
  });
  return arg;
}

double calc_peak_max_value(DVec v) {
  double best = -std::numeric_limits<double>::infinity();
  bool found = false;
  walk_peaks(v, [&](index_t p, double) {
    found = true;
    const double value = v[p];
    if (value > best) best = value;
    return false;
  });
  return found ? best : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace qp
