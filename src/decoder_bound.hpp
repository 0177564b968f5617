// The decoder step with provably losing transitions skipped.
//
// A step computes, for every later state j, best[j] = max_i (prev[i] + a[i][j])
// with the smallest i winning ties. Rows are grouped in blocks of
// kernels::kDecoderRows; for block b let P_b = max of prev over the block and
// A_bj = max of a[i][j] over its rows. Rounding is monotone, so every
// candidate of the block satisfies fl(prev[i] + a[i][j]) <= fl(P_b + A_bj).
// Let seed[j] be the computed value of any actual candidate of column j (the
// diagonal, the best previous state, and last step's winner for j): then
// max_j >= seed[j]. A block with fl(P_b + A_bj) < seed[j] therefore holds no
// candidate equal to the maximum, and skipping it cannot change the maximum
// or which index attains it first. The blocks kept are scanned upward with
// the full scan's strict comparison, so among them the lowest index of the
// maximum still wins, and best and the back-pointers keep every bit.
//
// The argument needs values that compare as numbers: every prev and every
// a[i][j] finite and below 2^1000 in magnitude (so no sum overflows). A step
// whose prev fails that, or a matrix that does, takes the full scan; NaN
// keeps its semantics there. Where the bound prunes little (flat
// likelihoods), steps go back to the full scan for a while, which costs less.
#pragma once

#include <vector>

#include "kernels.hpp"
#include "reused.hpp"
#include "views.hpp"

namespace qp {

class PrunedDecoder {
 public:
  // Columns [0, count) of the contiguous-row matrix a (row_stride elements
  // between rows), over n earlier states; count >= target.states.
  PrunedDecoder(const double* a, index_t n, index_t row_stride, index_t count, const kernels::Target& target);

  // One step into best[0 .. count) and arg[0 .. count); last_arg is the
  // previous step's arg (nullptr on the first step). Returns false, touching
  // nothing, when this step must take the full scan.
  bool step(const double* prev, const index_t* last_arg, double* best, index_t* arg);

 private:
  void align_rows();

  const double* a_;
  index_t n_;
  index_t row_stride_;
  index_t count_;
  const kernels::Target& target_;
  bool usable_ = false;
  index_t rest_ = 0;  // steps left on the full scan before pruning is tried again
  index_t blocks_ = 0;
  index_t slots_ = 0;              // kernels::decoder_block_slots(blocks_)
  std::vector<double> col_top_;    // blocks x count
  std::vector<double> group_top_;  // groups of target.states columns x slots
  std::vector<double> block_top_;  // slots, -2^1000 past the last block
  std::vector<double> seed_;       // count
  std::vector<double> diagonal_;   // a[j][j], j < count
  Reused<double> rows_;            // the rows a_ reads when the caller's were not aligned
};

}  // namespace qp
