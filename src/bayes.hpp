// Bayesian tracking: the pitch-transition model, the observation
// probability, and the forward-filtered pitch cores.
//
// Transition model: state r is the period r + 1 samples, at log-frequency
// x[r] = log2(fs / (r + 1)). Entry (i, j), the move from period j + 1 to
// period i + 1, is exp(-(d * d) / ((sigma + sigma) * sigma)) with
// d = x[i] - x[j], divided by the sequential sum of column j over all rows:
// the matrix is column-stochastic. A core uses only the block at rows and
// columns of its lags, so blocks are built directly, entry for entry equal to
// the full construction.
//
// Forward filter, per frame: observation o = probability(flank-suppressed
// qesmor vector); the belief b re-initialises to o while its sum is below a
// threshold (only at the first frame in practice), otherwise
// b[k] = pow((B . b)[k], alpha) * o[k]; b is renormalised; its first argmax
// is the candidate. Candidate 0 is the unvoiced state: its rows are NaN. A
// zero-sum posterior makes the belief NaN for good (unless alpha is 0):
// NaN never compares below the threshold.
#pragma once

#include "peaks.hpp"
#include "kernels.hpp"
#include "periodicity.hpp"

namespace qp {

// The whole normalised transition matrix, row-major.
void transition_matrix(index_t n_periods, double fs, double sigma, double* out);

// Rows [row_lo, row_hi) x columns [col_lo, col_hi) of the normalised
// transition matrix with `n_periods` states, written into `out` row-major,
// or column-major when `transposed`. Needs 0 <= lo <= hi <= n_periods on
// both axes.
void transition_block(index_t n_periods, double fs, double sigma, index_t row_lo, index_t row_hi,
                      index_t col_lo, index_t col_hi, double* out, bool transposed = false);

// out[k] = x[k] / sum(x), the sum in index order; no guard for a zero sum.
void probability(DVec x, double* out);

// out[i] = sum over j < n of a(i, j) * v[j], in order, for i < n, with the
// square matrix given transposed: at[j * n + i] = a(i, j).
void matvec_transposed(const double* at, index_t n, const double* v, double* out,
                       const kernels::Target& target = kernels::active());

// min(last_lag + 1, n_periods), the end of the transition block a lag set
// ending at `last_lag` (>= 0) selects, without overflowing for the largest
// index.
inline index_t block_end(index_t last_lag, index_t n_periods) {
  return last_lag < n_periods ? last_lag + 1 : n_periods;
}

// Checks that the lags are usable by the forward filter: not empty, >= 0,
// consecutive and increasing.
void check_consecutive_lags(IVec lags);

struct BayesParams {
  double fs = 0.0;
  double alpha = 1.0;
  double sigma = 0.0;
  double reinit_below = 0.5;  // belief sums below this restart the filter
  RefineMode refine;
};

// Writes one [frequency, strength, posterior] row per frame into `rows`.
void pitch_bayes(FrameSource& source, index_t window_size, const BayesParams& params, Out<double> rows);

}  // namespace qp
