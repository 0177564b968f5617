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

}  // namespace qp
