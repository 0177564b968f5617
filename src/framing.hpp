// Framing: where frames start and end, and the statistics of one frame.
//
// The signal is cut into frames of `window_size` samples whose ends run over
// range(window_size, length, hop_size). The range excludes the length
// itself, so the frame ending at the last sample is never produced and a
// signal of window_size samples or fewer has no frame at all.
//
// A two-polarity signal is given as its positive and negative half-waves,
// framed at the same positions (counted from the length of the positive
// one); the negative frame is cut at the end of its own array like a Python
// slice, so a shorter negative half-wave gives shorter or empty frames. Or
// it is given as the signal itself (Framing::halves), whose half-waves the
// reader of the frames derives as it reads them: both then have the
// signal's length.
#pragma once

#include "views.hpp"

namespace qp {

// Argument checks of every framed core, called in the order its errors fire.
void check_window(index_t window_size);
void check_hop(index_t hop_size);

index_t frame_count(index_t length, index_t window_size, index_t hop_size);

// One signal, or the two half-waves of one signal, cut into frames.
class Framing {
 public:
  Framing(DVec data, index_t window_size, index_t hop_size);
  Framing(DVec posi, DVec nega, index_t window_size, index_t hop_size);
  // Both half-waves of `data`, not built: frame() and second_frame() are
  // then frames of `data` itself, and halves() is true.
  static Framing halves(DVec data, index_t window_size, index_t hop_size);

  index_t frames() const { return frame_count(first_.size, window_, hop_); }
  index_t window_size() const { return window_; }
  index_t hop_size() const { return hop_; }
  bool two_polarity() const { return two_polarity_; }
  bool halves() const { return halves_; }

  // Frame t of the signal (the positive half-wave for two polarities).
  DVec frame(index_t t) const;
  // Frame t of the negative half-wave, cut like a slice; only for two polarities.
  DVec second_frame(index_t t) const;
  // The whole signal (the positive half-wave) and the negative half-wave.
  DVec first() const { return first_; }
  DVec second() const { return second_; }

 private:
  DVec first_;
  DVec second_;
  index_t window_;
  index_t hop_;
  bool two_polarity_;
  bool halves_ = false;
};

// Sum in index order from 0.0.
double sum_1d(DVec v);
// sum_1d(v) / n; an empty vector gives NaN (0/0).
double mean_1d(DVec v);

}  // namespace qp
