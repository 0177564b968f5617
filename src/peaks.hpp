// Peak picking and sub-sample refinement over a score vector.
//
// The statistics (minimum, argmax) reduce a score vector to one number; the
// three pickers choose a peak of a periodicity
// vector for the direct estimators; the refinement turns an integer peak
// index into a fractional offset (in lag-grid steps, clamped to +-0.5) and a
// re-estimated peak value.
//
// Comparisons are strict everywhere, so the lowest index wins ties and a NaN
// is never taken as a minimum or maximum. A peak is the sample before the
// first non-rising step that follows a rising step: index 0 and the last
// index are never peaks, a plateau after a rise peaks at its first sample,
// and a peak value is never NaN or -inf. Pickers report "no peak" as index 0,
// which can never be a real peak.
#pragma once

#include <initializer_list>

#include "views.hpp"

namespace qp {

// +inf for an empty or all-NaN vector.
double min_1d(DVec v);
index_t argmax_1d(DVec v);

// First peak whose *following* sample exceeds the threshold; 0 when none.
index_t first_peak_above(DVec v, double threshold);
// Highest peak among those whose following sample is not exactly 0.0; 0 when none.
index_t peak_detect_maximum(DVec v);
// Highest peak value; NaN when the vector has no peak.
double calc_peak_max_value(DVec v);

// ---------------------------------------------------------------- refinement

struct Refinement {
  double offset;  // in positions of the score vector
  double value;
};

// Three-point parabola through v[a-1], v[a], v[a+1]; (0, 0) at either end.
Refinement interp_parabolic(DVec v, index_t a);
// The same parabola through the logarithms (a Gaussian peak); samples below
// kEps are floored to it first.
Refinement interp_gaussian(DVec v, index_t a);
// Centre of mass of the positive samples among v[a-1 .. a+1]; the value is
// v[a] itself.
Refinement interp_centroid(DVec v, index_t a);

enum class Interpolator { Parabolic, Gaussian, Centroid, None, Unknown };

// How one call refines its peaks, resolved once from the caller's keywords.
struct RefineMode {
  Interpolator interpolator = Interpolator::Unknown;
  // Subtract the score vector's minimum before the Gaussian and centroid
  // fits, so that they weigh height above the floor of the vector.
  bool threshold_diff = false;
};

// What the cores answer to an unknown interpolator, unless they say otherwise.
constexpr const char* kUnknownInterpolator = "interpolator_mode is quadratic,centroid,gaussian or no";

// The interpolation step shared by every pitch core. May shift `score` in
// place (threshold_diff); throws Error::Kind::Exception with `unknown` for an
// unknown interpolator, so the error fires only when a frame actually has a
// peak.
Refinement refine(Out<double> score, index_t peak, const RefineMode& mode,
                  const char* unknown = kUnknownInterpolator);

// ------------------------------------------------------------- track rows

// One row of a pitch track: [fs / lag, values...], or NaN in every column
// when the lag is NaN (an unvoiced frame).
inline void write_row(double* row, double fs, double lag, std::initializer_list<double> values) {
  const bool voiced = lag == lag;
  row[0] = voiced ? fs / lag : kNaN;
  for (const double value : values) *++row = voiced ? value : kNaN;
}

}  // namespace qp
