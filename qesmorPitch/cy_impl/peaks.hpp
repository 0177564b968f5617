// Frame statistics and peak pickers over a score vector.
//
// The statistics (mean, minimum, sum, argmax) reduce a frame or a score
// vector to one number; the three pickers choose a peak of a periodicity
// vector for the direct estimators.
//
// Comparisons are strict everywhere, so the lowest index wins ties and a NaN
// is never taken as a minimum or maximum. A peak is the sample before the
// first non-rising step that follows a rising step: index 0 and the last
// index are never peaks, a plateau after a rise peaks at its first sample,
// and a peak value is never NaN or -inf. Pickers report "no peak" as index 0,
// which can never be a real peak.
#pragma once

#include "views.hpp"

namespace qp {

// Sum in index order from 0.0 divided by n; an empty vector gives NaN (0/0).
double mean_1d(DVec v);
// +inf for an empty or all-NaN vector.
double min_1d(DVec v);
double sum_1d(DVec v);
index_t argmax_1d(DVec v);

// First peak whose *following* sample exceeds the threshold; 0 when none.
index_t first_peak_above(DVec v, double threshold);
// Highest peak among those whose following sample is not exactly 0.0; 0 when none.
index_t peak_detect_maximum(DVec v);
// Highest peak value; NaN when the vector has no peak.
double calc_peak_max_value(DVec v);

}  // namespace qp
