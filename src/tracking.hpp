// The tracking model shared by the Bayesian and the Viterbi cores: the
// pitch-transition model, the observation probability of a frame and the
// checks on the lag block both cores select.
//
// Transition model: state r is the period r + 1 samples, at log-frequency
// x[r] = log2(fs / (r + 1)). Entry (i, j), the move from period j + 1 to
// period i + 1, is exp(-(d * d) / ((sigma + sigma) * sigma)) with
// d = x[i] - x[j], divided by the sequential sum of column j over all rows:
// the matrix is column-stochastic. A core uses only the block at rows and
// columns of its lags, so blocks are built directly, entry for entry equal to
// the full construction.
//
// Observation: the frame's score vector with its leading flank suppressed
// (every element before the start of the first rise set to 0.0), scaled to
// sum 1.
#pragma once

#include "views.hpp"

namespace qp {

// The whole normalised transition matrix, row-major.
void transition_matrix(index_t n_periods, double fs, double sigma, double* out);

// Rows [row_lo, row_hi) x columns [col_lo, col_hi) of the normalised
// transition matrix with `n_periods` states, written into `out` row-major,
// or column-major when `transposed`. Needs 0 <= lo <= hi <= n_periods on
// both axes.
void transition_block(index_t n_periods, double fs, double sigma, index_t row_lo, index_t row_hi,
                      index_t col_lo, index_t col_hi, double* out, bool transposed = false);

// min(last_lag + 1, n_periods), the end of the transition block a lag set
// ending at `last_lag` (>= 0) selects, without overflowing for the largest
// index.
inline index_t block_end(index_t last_lag, index_t n_periods) {
  return last_lag < n_periods ? last_lag + 1 : n_periods;
}

// out[k] = x[k] / sum(x), the sum in index order; no guard for a zero sum.
void probability(DVec x, double* out);

// out[i] = ln(kEps + x[i]): the floor is an addition, so 0 becomes
// ln(1e-300) and anything above ~1e-284 is unchanged.
void log_floor(DVec x, double* out);

// out = data with every element before the start of the first rise set to
// 0.0 (a NaN step is not a rise); a vector that never rises becomes uniform
// 1/n. `out` has data.size elements and may not alias `data`.
void prev_first_up_zero(DVec data, double* out);

// observation = probability(prev_first_up_zero(score)); `flank` is scratch
// of score.size elements.
void observe(DVec score, double* flank, double* observation);

// Lags the forward filter can use: not empty, >= 0, consecutive and increasing.
void check_consecutive_lags(IVec lags);

// Lags whose transition block A[s0 : s_last + 1, s0 : s_last + 1] of the
// (window_size // 2)-state model is at least K x K.
void check_block_lags(IVec lags, index_t window_size);

}  // namespace qp
