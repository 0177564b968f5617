// The qesmor periodicity function of each frame.
//
// For a frame x of n samples and a lag L >= 0 the qesmor value is
//   (sum over j = 0 .. n-L-1, in that order, of fmin(x[j], x[j+L])) / (n - L)
// and exactly 0.0 when L >= n (no overlap). fmin is IEEE minNum: a NaN sample
// yields to its partner, and only a pair of two NaNs contributes NaN.
//
// For a two-polarity signal the scores of the two half-waves' frames add,
// and so do their means, whether the half-waves are given or derived from
// the signal as they are read (Framing::halves): the same values either way.
#pragma once

#include <vector>

#include "exact_sums.hpp"
#include "framing.hpp"
#include "kernels.hpp"
#include "views.hpp"

namespace qp {

// Refuses a negative lag, which would compare the frame with samples past its end.
void check_lags(IVec lags);

// score[k] = qesmor value of `frame` at lag lags[k]; every lag must be >= 0.
// A strided frame is first gathered into `gather`.
void qesmor_frame(DVec frame, IVec lags, double* score, std::vector<double>& gather,
                  const kernels::Target& target = kernels::active());

// A framed signal and the candidate lags: the score vector and level of
// each frame, what every pitch core consumes.
class FrameSource {
 public:
  FrameSource(const Framing& framing, IVec lags);

  index_t frames() const { return framing_.frames(); }
  index_t window_size() const { return framing_.window_size(); }
  bool two_polarity() const { return framing_.two_polarity(); }
  index_t lag_count() const { return lags_.size; }
  IVec lags() const { return lags_; }

  // Analyses frame t: writes its score vector (one value per lag) and
  // returns its level, the frame mean (for two polarities, the sum of the
  // two means).
  double analyse(index_t t, double* score);

 private:
  // The scores and the mean of `frame` (the frame-by-frame path), or for a
  // framing of halves of its half-wave kPart (1 or -1), built into `half_`.
  template <int kPart>
  double frame_scores(DVec frame, double* score);

  Framing framing_;
  IVec lags_;
  std::vector<double> scratch_;  // the second polarity's scores
  std::vector<double> gather_;   // a strided frame, made contiguous
  std::vector<double> half_;     // a half-wave's frame, for a framing of halves
  BlockGrid grid_;               // for a framing of halves: one scan per block for both
  ExactFrames exact_first_;      // the same frames through running sums
  ExactFrames exact_second_;
};

// score[t * K + k] = qesmor value of the frame of windows[t] samples (all
// frames windows[0] when it holds one value) starting at starts[t], at lag
// lags[t * K + k], where K = lags.size / starts.size,
// of x's positive half-wave (polarity 1), its negative one (-1) or their sum
// (0): each frame with lags of its own, for measuring a period found
// elsewhere (at another sampling rate) without the whole map. The sums are
// not in index order (each half-wave's whole blocks of 16 samples in 16
// sums by position, then the rest in order), so the last bits differ from
// qesmor_frame's; every kernel target gives the same ones. Raises
// ValueError for a frame outside x, a window below 1, a negative lag, or a
// window or lag count that is not one (or K) per frame.
void qesmor_frames_at(DVec x, IVec windows, IVec starts, IVec lags, int polarity, double* score);

// Fills the (frames x lags) map, row-major, and the frame levels.
void qesmor_map(FrameSource& source, Out<double> map, Out<double> levels);

}  // namespace qp
