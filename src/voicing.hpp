// The voicing decision's two per-frame loops, for the Python layer's model
// (qesmorPitch/_voicing.py): the bounded periodicity check and the posterior
// of a two-state voiced/unvoiced chain.
//
// periodicity_check: frame i is x[starts[i], starts[i] + widths[i]) (one
// width for every frame when widths holds one), smoothed
// by [1, 2, 1] (a zero at sr / 2: interpolation between samples cannot
// follow content near it, and would make fractional periods look less
// periodic than whole-sample multiples of them). At each fractional period
// p = periods[k, i] (samples) it compares the smoothed frame a at
// j - frac(p) / 2 with b at j + p - frac(p) / 2, both linearly interpolated
// (by the same half fraction, so both are smoothed alike), at every third
// j from 1 as far as b lies in the frame:
//
//     strength = 1 - sum |a - b| / sum (|a| + |b|)    in [0, 1]
//
// written to out[k * frames + i]; NaN for a NaN period, a period below 1 or
// above width - 4 samples, or a frame of zeros.
//
// voicing_posterior: score[t] is frame t's log-odds of "voiced"; the chain
// stays in its state at log-odds switch_cost against moving. The posterior
// of "voiced" from the frames up to t (smooth = 0) or from every frame
// (smooth = 1, forward and backward), in [0, 1]. The forward pass starts
// from `state`, the scaled beliefs of the frame before score[0]
// (none when !state.known: the first frame has no prior), and leaves in it
// those after the last frame, so a signal given in pieces, each from the
// state the previous piece left, gets the forward posteriors of one pass.
//
// highpass_zero_phase: the cascade of second-order sections `sos` (rows
// [b0, b1, b2, 1, a1, a2], transposed direct form II) run forward over x,
// then backward over the result; each pass starts from the state `zi`
// (rows [z1, z2], the steady state for a unit input) times its first
// sample, so a constant offset does not ring in at the edges. A pass of n
// samples runs as up to eight chains at once over consecutive parts (at most
// n / settle - 1), each but the first from settle samples before its part (by
// then the response to its start has died out).
#pragma once

#include "views.hpp"

#include <vector>

namespace qp {

void periodicity_check(DVec x, IVec starts, IVec widths, DMat periods, Out<double> out);

void highpass_zero_phase(DVec x, DMat sos, DMat zi, index_t settle, Out<double> out);

// The same, its output then rounded to multiples of 2**-grid_bits (none for
// grid_bits <= 0): x * 2**grid_bits rounded to the nearest integer, ties to
// even, times 2**-grid_bits, as numpy's rint between the two products.
void highpass_zero_phase(DVec x, DMat sos, DMat zi, index_t settle, int grid_bits, Out<double> out);

// The cascade `sos` run forward only over x from the state `state` (rows
// [z1, z2], one per section), for a stream; the state after the last sample
// goes to `after` ([z1, z2] of each section in turn).
void highpass_forward(DVec x, DMat sos, DMat state, Out<double> out, Out<double> after);

// [start, stop) of each run of at least min_run (>= 1) exact zeros in x
// (-0.0 counts as zero, NaN does not), in order, appended to `runs` as
// start, stop pairs.
void zero_runs(DVec x, index_t min_run, std::vector<index_t>& runs);

// Means of `factor` consecutive samples of each row of x: out holds
// rows x (cols / factor), row-major; the samples past the last whole group
// are left out. Each group summed left to right, then times 1 / factor.
void group_means(DMat x, index_t factor, Out<double> out);

// The two half-waves of x for the two-polarity cores: positive[i] = x[i]
// where x[i] > 0, else +0; negative[i] = -x[i] where x[i] < 0, else +0
// (numpy's maximum(x, 0) and maximum(-x, 0), negative zero included).
void half_waves(DVec x, Out<double> positive, Out<double> negative);

// The forward chain's state between frames: beliefs in voiced (v) and
// unvoiced (u), scaled so the larger is 1 (as the chain holds them between
// frames, so a signal resumed in pieces gets one pass's bits).
struct ChainState {
  double v = 1.0, u = 1.0;
  bool known = false;
};

void voicing_posterior(DVec score, double switch_cost, bool smooth, ChainState& state, Out<double> out);

}  // namespace qp
