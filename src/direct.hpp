// Direct pitch estimation: every frame on its own, no tracking.
//
// Per frame: the score vector (qesmor values over the candidate lags, summed
// over both polarities for a two-polarity source), optionally a moving
// average over `smooth` neighbouring lags, one peak chosen by the detection
// rule, the refinement of that peak, and the row [fs / lag, value / level].
//
// The moving average keeps its rounding: each term is divided by `smooth`
// before it is added, terms in increasing order from 0.0. A window starting
// at smoothed index j is reported at lag search_sample[j] + (smooth - 1) / 2
// (integer division), the centre of the averaged lags when they are
// consecutive. A frame without a peak, or with a NaN lag, is [NaN, NaN].
//
// Errors are raised lazily, exactly when the first frame reaches them: a
// smoothing width below 1 and an unknown detection rule at the first frame,
// an unknown interpolator at the first frame that has a peak. A call without
// frames diagnoses neither.
#pragma once

#include "peaks.hpp"
#include "periodicity.hpp"

namespace qp {

enum class DetectMode { Score, Static, Maximum, Peak, Unknown };

struct DirectParams {
  double fs = 0.0;
  int smooth = 1;  // qesmor_smooth
  DetectMode detect = DetectMode::Unknown;
  double threshold = 0.0;  // pitch_detect_thre
  RefineMode refine;

  // The single-signal core names the parabola by its accepted keyword.
  static const char* unknown_interpolator(bool two_polarity) {
    return two_polarity ? kUnknownInterpolator : "interpolator_mode is parabolic,centroid,gaussian or no";
  }
};

// Size checks of the direct cores, before any frame: the smoothed score
// vector must not have a negative length.
void check_smoothing(index_t lag_count, int smooth);

// Writes one [frequency, strength] row per frame of `source` into `rows`
// (frames x 2, row-major).
void pitch_direct(FrameSource& source, const DirectParams& params, Out<double> rows);

}  // namespace qp
