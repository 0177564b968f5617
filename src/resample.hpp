// Polyphase resampling for the layer's search at a lower rate
// (qesmorPitch/_highrate.py), bit for bit as SciPy's upfirdn computes the
// output samples resample_poly keeps, without the samples it throws away.
//
// The input is a signal `x` continued at both ends by its end samples
// (`pre` copies of x[0] before it, up to `padded` samples in all), upsampled
// by `up`, filtered by `h` and taken every `down`-th sample. `h` is the
// filter as upfirdn holds it: padded to a multiple of `up` taps and stored
// phase by phase, each phase reversed (h_per_phase = h.size / up taps).
// Output sample Y sits at input index i = Y * down // up with phase
// t = Y * down % up; it is the sum, from 0.0 in index order, of
// p[c] * h[t * h_per_phase + k] for c = i - h_per_phase + 1 + k up to i,
// where c < 0 is skipped while i < padded (upfirdn's constant mode with a
// zero value) and p[c] is 0 beyond either end once i >= padded (its final
// loop). Out[j] is sample Y = first + j; zero beyond the output's end.
//
// subtract_interpolated: the way back, for a part of the signal that lies
// far below the lower rate's band (what its high-pass removed): out[k] =
// x[k] * gain - v, v being `low` at position (start + k * up) / down, linearly
// interpolated between its neighbours i and i + 1 (i the quotient, r the
// remainder: low[i] + (low[i + 1] - low[i]) * (r / down), low[i] itself
// when r = 0). Each output depends on its own position only, not on where
// a block of them starts.
#pragma once

#include "views.hpp"

namespace qp {

void resample_poly(DVec x, index_t pre, index_t padded, DVec h, index_t up, index_t down, index_t first,
                   Out<double> out);

void subtract_interpolated(DVec x, double gain, DVec low, index_t up, index_t down, index_t start, Out<double> out);

}  // namespace qp
