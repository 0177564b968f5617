#include "peaks.hpp"

#include <algorithm>
#include <cmath>
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

double min_1d(DVec v) {
  double m = std::numeric_limits<double>::infinity();
  for (index_t i = 0; i < v.size; ++i) {
    const double x = v[i];
    if (m > x) m = x;
  }
  return m;
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

Refinement interp_parabolic(DVec v, index_t a) {
  if (a < 1 || a >= v.size - 1) return {0.0, 0.0};
  const double ym = v[a - 1];
  const double y0 = v[a];
  const double yp = v[a + 1];
  const double den = (ym - (y0 + y0)) + yp;
  if (kEps > std::fabs(den)) return {0.0, y0};
  const double offset = ((ym - yp) * 0.5) / den;
  return {offset, y0 - ((ym - yp) * 0.25) * offset};
}

Refinement interp_gaussian(DVec v, index_t a) {
  if (a < 1 || a >= v.size - 1) return {0.0, 0.0};
  // The floor keeps log() finite for zero and negative samples; NaN stays NaN.
  auto floored_log = [](double x) { return std::log(kEps > x ? kEps : x); };
  const double lm = floored_log(v[a - 1]);
  const double l0 = floored_log(v[a]);
  const double lp = floored_log(v[a + 1]);
  const double den = (lm - (l0 + l0)) + lp;
  if (1e-300 > std::fabs(den)) return {0.0, std::exp(l0)};
  const double offset = ((lm - lp) * 0.5) / den;
  return {offset, std::exp(l0 - ((lm - lp) * 0.25) * offset)};
}

Refinement interp_centroid(DVec v, index_t a) {
  const index_t lo = std::max<index_t>(a - 1, 0);
  const index_t hi = (a + 1 < v.size) ? a + 2 : v.size;
  double weight = 0.0;
  double moment = 0.0;
  for (index_t i = lo; i < hi; ++i) {
    const double x = v[i];
    if (x > 0.0) {
      weight += x;
      moment += static_cast<double>(i) * x;
    }
  }
  if (weight <= 0.0) return {0.0, 0.0};
  return {moment / weight - static_cast<double>(a), v[a]};
}

Refinement refine(Out<double> score, index_t peak, const RefineMode& mode, const char* unknown) {
  const DVec v = score.view();
  Refinement r{0.0, 0.0};
  switch (mode.interpolator) {
    case Interpolator::Parabolic:
      r = interp_parabolic(v, peak);
      break;
    case Interpolator::Gaussian:
    case Interpolator::Centroid:
      if (mode.threshold_diff) {
        const double m = min_1d(v);
        for (index_t i = 0; i < score.size; ++i) score[i] = score[i] - m;
      }
      r = mode.interpolator == Interpolator::Gaussian ? interp_gaussian(v, peak) : interp_centroid(v, peak);
      break;
    case Interpolator::None:
      r = {0.0, v[peak]};
      break;
    case Interpolator::Unknown:
      throw Error(Error::Kind::Exception, unknown);
  }
  // A NaN offset passes: it marks the frame unvoiced downstream.
  if (-0.5 > r.offset) r.offset = -0.5;
  if (r.offset > 0.5) r.offset = 0.5;
  return r;
}

}  // namespace qp
