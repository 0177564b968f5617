// Bayesian tracking: the forward-filtered pitch cores.
//
// Per frame: observation o (see tracking.hpp) of the frame's score vector;
// the belief b re-initialises to o while its sum is below the restart
// threshold (only at the first frame in practice, where b is all zeros),
// otherwise b[k] = pow((B . b)[k], alpha) * o[k] with B the transition block
// at rows and columns of the lags; b is renormalised; its first argmax is the
// candidate. Candidate 0 is the unvoiced state: its rows are NaN. A zero-sum
// posterior makes the belief NaN for good (unless alpha is 0): NaN never
// compares below the threshold.
#pragma once

#include "peaks.hpp"
#include "periodicity.hpp"
#include "tracking.hpp"

namespace qp {

struct BayesParams {
  double fs = 0.0;
  double alpha = 1.0;
  double sigma = 0.0;
  RefineMode refine;

  // Belief sums below this restart the filter: 0.5 for one signal, 0.1 for
  // two polarities. Both restart only at the first frame.
  static double restart_below(bool two_polarity) { return two_polarity ? 0.1 : 0.5; }
  // The forward filter needs consecutive increasing lags.
  static void check_lags(IVec lags, index_t) { check_consecutive_lags(lags); }
};

// Writes one [frequency, strength, posterior] row per frame into `rows`.
void pitch_bayes(FrameSource& source, const BayesParams& params, Out<double> rows);

// Rows [lo, hi) of the transition matrix the filter predicts through for
// `lags` (consecutive) in a `window_size` frame, cut at the matrix's end.
struct BlockRange {
  index_t lo;
  index_t hi;
};
BlockRange bayes_block_range(IVec lags, index_t window_size);

// The filter over the frames of `source`, resumed from `belief` (one value
// per lag; all zeros before a signal's first frame) and left holding the
// belief after the last frame, so a signal filtered block by block, each
// block resuming from the last, gives the rows of a single pass. `transposed`
// is the transition block of bayes_block_range, column-major, `block_size`
// on a side; `params.sigma` is not read.
void bayes_filter(FrameSource& source, const BayesParams& params, const double* transposed,
                  index_t block_size, double* belief, Out<double> rows);

}  // namespace qp
