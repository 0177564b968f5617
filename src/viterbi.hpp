// Viterbi tracking: the log-domain decoder and the globally decoded pitch
// cores.
//
// Decoder: D[0, j] = L[0, j]; D[t, j] = beta * L[t, j] + max_i (D[t-1, i] +
// A[i, j]), the maximum scanned over i upward with a strict comparison (the
// smallest index wins ties; a NaN candidate never replaces the running best
// and a NaN running best is never replaced), then the same argmax over the
// last row and backtracking. Only two rows of D are kept; the back-pointers
// are T x N.
//
// Pitch cores: every frame's score vector X, its observation P (see
// tracking.hpp) and log-likelihood ln(kEps + P) are held in frames x lags
// buffers; the path is decoded under the log of the transition block at rows
// and columns lags[0] .. ; each frame on a state other than 0 is refined on
// its X and reported as [fs / lag, value / mean, P[state]]. A zero mean there
// is a division by zero, as in host floats.
#pragma once

#include "kernels.hpp"
#include "peaks.hpp"
#include "periodicity.hpp"
#include "tracking.hpp"

namespace qp {

// Refuses inputs the decoder cannot read safely: needs a log_A of at least
// N x N when there is at least one frame and needs N >= 1 then.
void check_decoder_shapes(DMat log_likelihood, DMat log_a);

// path[t] for t < log_likelihood.rows; see above.
void viterbi(DMat log_likelihood, DMat log_a, double beta, index_t* path,
             const kernels::Target& target = kernels::active());

struct ViterbiParams {
  double fs = 0.0;
  double beta = 1.0;
  double sigma = 0.0;
  RefineMode refine;

  // The single-signal core stacks no log-likelihood rows into a 1-D array,
  // which the decoder's 2-D conversion refuses with this text; the
  // two-polarity core answers with an empty track instead.
  static constexpr const char* kNoFrames = "Buffer has wrong number of dimensions (expected 2, got 1)";
  // The decoder needs a transition block at least K x K.
  static void check_lags(IVec lags, index_t window_size) { check_block_lags(lags, window_size); }
};

// Writes one [frequency, peak ratio, probability] row per frame into `rows`
// (frames x 3). Without frames a single signal raises ViterbiParams::kNoFrames.
void pitch_viterbi(FrameSource& source, const ViterbiParams& params, Out<double> rows);

}  // namespace qp
