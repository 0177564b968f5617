// Frame sums from running sums, where the data prove them exact.
//
// A frame's qesmor sum at lag L, S = sum_{j < M - L} fmin(x[s + j], x[s + j + L])
// (M the window, s the frame start), is R(s + M - L) - R(s) for the running
// sum R(n) = sum_{i < n} fmin(x[i], x[i + L]) over the signal, and a frame's
// sum of samples is P(s + M) - P(s) for P(n) = sum_{i < n} x[i]. Running sums
// cost about one update per sample and lag instead of one per frame, sample
// and lag: (M - L) / hop times less work.
//
// In floating point the two ways agree bit for bit when every partial sum of
// both is exact. The certificate for a segment of n samples is:
//   every sample finite and below 2^512 in magnitude, every sample an integer
//   multiple of one power of two q, and (max |sample| / q) * n < 2^53.
// Why that suffices: each term (a sample, or the smaller of two samples) is
// k * q with |k| <= A / q, A the largest magnitude. Any partial sum of at most
// n terms, in any order, is then m * q with |m| <= (A / q) * n < 2^53: an
// integer that fits the significand times a power of two at least the
// smallest subnormal (q is the weight of some sample's lowest bit), and at
// most A * n < 2^512 * 2^63, far from overflow. So it is representable. An
// addition of two representable values whose exact sum is representable
// returns that sum; by induction the frame-by-frame sum and every running sum
// (the kernel keeps one per vector lane, each over a stretch of the segment)
// hold exact real values, and the difference R(b) - R(a), the exact frame sum,
// is again such an m * q, so the subtraction is exact too. Neither path
// yields -0.0 for a zero sum: both start from +0.0, and in round-to-nearest a
// sum is -0.0 only when both addends are. The division by the count that
// follows is the same operation on the same operands in both paths. With two
// polarities the code adds each one's score (after its division) and each
// one's mean, the same additions of the same values on both paths, so each
// polarity needs only its own certificate.
//
// A half-wave read from its signal (ExactFrames::Part) is certified by the
// signal's own scan, once for both: each half-wave sample is +0.0 or a
// sample of the signal, negated or not, so the signal's q divides it and
// its magnitude is at most the signal's largest: the signal's grid and bound
// are a grid and bound of the half-wave, all the proof above asks. Under the
// certificate every sum is exact, so which grid proved it (and whether it
// then leads to the 32-bit or the double sums) changes no bit, and no
// half-wave sample has its sign bit set. A block the signal's scan refuses
// may still hold for a
// half-wave (a NaN is 0.0 in both, and one polarity may lie on a coarser
// grid or be smaller): that half-wave is built for the block and scanned.
//
// Anything else (a NaN or an infinity, a sample off the grid, magnitudes too
// large for the segment's length) sends the block to the frame-by-frame path.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels.hpp"
#include "reused.hpp"
#include "views.hpp"

namespace qp {

// What one scan of a segment tells: whether every sample is finite, below
// 2^512 in magnitude and an integer multiple of one power of two q =
// 2^exponent with the largest magnitude below 2^53 q (on_grid), that
// magnitude in units of q (ratio), and whether no sample is below zero.
struct Grid {
  bool on_grid = false;
  bool unsigned_samples = false;
  int exponent = 0;
  std::uint64_t ratio = 0;

  // The certificate above, summed over at most n terms.
  bool exact(index_t n) const;
  // Every frame sum of `window` terms, counted in units of q, lies below
  // 2^31 in magnitude (and q is far from the ends of the exponent range):
  // the running sums may be carried as 32-bit integers that wrap around,
  // since a frame's sum, the difference of two of them, is then exact modulo
  // 2^32 and small enough to be recovered; and its frame-by-frame sum in
  // doubles, whose every partial sum is such an integer times q, is exact.
  bool small(index_t window) const;
};

Grid grid_of(const double* x, index_t n);

// The certificate above for x[0 .. n), summed over at most n terms. When it
// holds, *unsigned_samples (if given) says whether no sample is below zero.
bool running_sums_exact(const double* x, index_t n, bool* unsigned_samples = nullptr);

// The certificate of one block of a signal, kept by whichever of its two
// half-waves reaches the block first for the other.
struct BlockGrid {
  index_t block = -1;
  Grid grid;
};

// One signal's frames (start t * hop, window samples, as long as they lie
// inside the signal), analysed block by block through running sums when the
// certificate holds and the running sums are the cheaper way.
class ExactFrames {
 public:
  // What the frames hold: the samples of `data`, or one of its half-waves
  // (kernels::half_wave_sample) taken from `data` as the sums read it.
  enum class Part { kSamples = 0, kPositive = 1, kNegative = -1 };

  // `shared`, for a half-wave, is the certificate cache of the signal's
  // blocks that the other half-wave's frames share; it outlives this.
  ExactFrames(DVec data, IVec lags, index_t window_size, index_t hop_size, index_t frames,
              const kernels::Target& target = kernels::active(), Part part = Part::kSamples,
              BlockGrid* shared = nullptr);

  // Writes frame t's scores (one per lag) and its mean and returns true, or
  // returns false when frame t must be computed frame by frame.
  bool analyse(index_t t, double* score, double& mean);
  // The same without the copy: frame t's scores, valid until the next call,
  // or nullptr.
  const double* row(index_t t, double& mean);

  // How the block of the last frame analysed was summed.
  enum class Path { kFrames, kDoubles, kIntegers };
  Path path() const { return block_exact_ ? path_ : Path::kFrames; }

 private:
  bool fill(index_t block, const kernels::Target& target);

  DVec data_;
  IVec lags_;
  index_t window_;
  index_t hop_;
  index_t frames_;
  index_t block_frames_ = 0;  // 0: the running-sum path does not pay here
  index_t block_ = -1;        // the block held in rows_ and means_
  bool block_exact_ = false;
  Path path_ = Path::kFrames;
  Part part_ = Part::kSamples;
  BlockGrid* shared_ = nullptr;
  const kernels::Target* target_ = nullptr;
  // Kept by the thread between calls (see reused.hpp).
  Reused<double> segment_;          // the block's samples when they must be copied or split
  Reused<double> running_;          // running sums of the samples
  Reused<double> scratch_;          // the running-sum kernel's rows and frame starts
  std::vector<index_t> lag_values_;  // the lags, contiguous
  Reused<double> rows_;             // frames x lags
  Reused<double> means_;
};

}  // namespace qp
