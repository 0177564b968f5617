// The qesmor periodicity function and the framing shared by every estimator.
//
// For a frame x of n samples and a lag L >= 0 the qesmor value is
//   (sum over j = 0 .. n-L-1, in that order, of fmin(x[j], x[j+L])) / (n - L)
// and exactly 0.0 when L >= n (no overlap). fmin is IEEE minNum: a NaN sample
// yields to its partner, and only a pair of two NaNs contributes NaN.
//
// Frames: the signal is cut into frames of `window_size` samples whose ends
// run over range(window_size, length, hop_size). The range excludes the
// length itself, so the frame ending at the last sample is never produced and
// a signal of window_size samples or fewer has no frame at all.
//
// Two-polarity sources frame `data_posi` and `data_nega` at the same
// positions (counted from the length of `data_posi`); the negative frame is
// cut at the end of its own array like a Python slice, so a shorter
// `data_nega` gives shorter or empty frames. Their scores and means add.
#pragma once

#include <vector>

#include "kernels.hpp"
#include "views.hpp"

namespace qp {

// IEEE 754 minNum, as C's fmin, written out so that it inlines into the
// kernel instead of costing a library call per sample.
inline double min_num(double a, double b) {
  if (a != a) return b;
  return (b < a) ? b : a;
}

// score[k] = qesmor value of the contiguous frame x[0 .. n) at lag lags[k];
// every lag must be >= 0.
void qesmor_contiguous(const double* x, index_t n, IVec lags, double* score,
                       const kernels::Target& target = kernels::active());
// The same for any frame; a strided one is first gathered into `gather`.
void qesmor_frame(DVec frame, IVec lags, double* score, std::vector<double>& gather,
                  const kernels::Target& target = kernels::active());

// Argument checks shared by every framed core; each core calls them in the
// order its errors must fire.
void check_window(index_t window_size);
void check_hop(index_t hop_size);
void check_lags(IVec lags);

index_t frame_count(index_t length, index_t window_size, index_t hop_size);

// One signal, or the two half-waves of one signal, cut into frames: the only
// place that knows where frames start and end.
class FrameSource {
 public:
  FrameSource(DVec data, IVec lags, index_t window_size, index_t hop_size);
  FrameSource(DVec posi, DVec nega, IVec lags, index_t window_size, index_t hop_size);

  index_t frames() const { return qp::frame_count(first_.size, window_, hop_); }
  index_t lag_count() const { return lags_.size; }
  IVec lags() const { return lags_; }

  // Analyses frame t: writes its score vector (one value per lag) and
  // returns its level, the frame mean (for two polarities, the sum of the
  // two means).
  double analyse(index_t t, double* score);

 private:
  DVec first_;
  DVec second_;
  IVec lags_;
  index_t window_;
  index_t hop_;
  bool two_polarity_ = false;
  std::vector<double> scratch_;  // the second polarity's scores
  std::vector<double> gather_;   // a strided frame, made contiguous
};

// Fills the (frames x lags) map, row-major, and the frame levels.
void qesmor_map(FrameSource& source, Out<double> map, Out<double> levels);

}  // namespace qp
