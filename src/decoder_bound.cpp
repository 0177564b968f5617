#include "decoder_bound.hpp"

#include <algorithm>
#include <cmath>

namespace qp {

namespace {

constexpr double kLimit = 0x1p1000;  // |value| below this: no sum of two overflows

bool tame(double v) { return std::fabs(v) < kLimit; }  // false for NaN too

// Pruning pays while it scans under this share of (block, group) pairs; past
// it the full scan's simpler loop is as fast, so a few steps use it.
constexpr double kWorthwhile = 0.7;
constexpr index_t kRestSteps = 32;

}  // namespace

PrunedDecoder::PrunedDecoder(const double* a, index_t n, index_t row_stride, index_t count,
                             const kernels::Target& target)
    : a_(a), n_(n), row_stride_(row_stride), count_(count), target_(target) {
  if (!kernels::shortcuts() || !target.viterbi_pruned || count < target.states || n < 2 * kernels::kDecoderRows) return;
  const index_t blocks = (n + kernels::kDecoderRows - 1) / kernels::kDecoderRows;
  col_top_.assign(static_cast<std::size_t>(blocks * count), -kLimit);
  for (index_t i = 0; i < n; ++i) {
    const double* row = a + i * row_stride;
    double* top = col_top_.data() + (i / kernels::kDecoderRows) * count;
    for (index_t j = 0; j < count; ++j) {
      if (!tame(row[j])) return;
      top[j] = std::max(top[j], row[j]);
    }
  }
  const index_t states = target.states;
  const index_t groups = (count + states - 1) / states;
  group_top_.assign(static_cast<std::size_t>(blocks * groups), -kLimit);
  for (index_t b = 0; b < blocks; ++b) {
    for (index_t g = 0; g < groups; ++g) {
      const index_t first = g + 1 < groups ? g * states : count - states;  // as the kernel groups them
      double& top = group_top_[b * groups + g];
      for (index_t j = first; j < first + states; ++j) top = std::max(top, col_top_[b * count + j]);
    }
  }
  diagonal_.resize(static_cast<std::size_t>(count));
  for (index_t j = 0; j < count; ++j) diagonal_[j] = a[j * row_stride + j];
  block_top_.resize(static_cast<std::size_t>(blocks));
  seed_.resize(static_cast<std::size_t>(count));
  usable_ = true;
}

bool PrunedDecoder::step(const double* prev, const index_t* last_arg, double* best, index_t* arg) {
  if (!usable_) return false;
  if (rest_ > 0) {
    --rest_;
    return false;
  }
  index_t top = 0;
  double top_value = prev[0];
  // Each block's largest in a register, not through its slot in memory.
  for (index_t b = 0, lo = 0; lo < n_; ++b, lo += kernels::kDecoderRows) {
    const index_t hi = std::min(lo + kernels::kDecoderRows, n_);
    double block = -kLimit;
    for (index_t i = lo; i < hi; ++i) {
      const double v = prev[i];
      if (!tame(v)) return false;
      block = std::max(block, v);
      if (v > top_value) {
        top_value = v;
        top = i;
      }
    }
    block_top_[b] = block;
  }
  // Each seed is the computed value of a real candidate, so it is at most
  // the column's maximum.
  const double* best_row = a_ + top * row_stride_;
  for (index_t j = 0; j < count_; ++j) {
    double seed = std::max(prev[j] + diagonal_[j], top_value + best_row[j]);
    if (last_arg) {
      const index_t i = last_arg[j];
      seed = std::max(seed, prev[i] + a_[i * row_stride_ + j]);
    }
    seed_[j] = seed;
  }
  const index_t scanned = target_.viterbi_pruned(prev, n_, a_, row_stride_, count_, block_top_.data(),
                                                 col_top_.data(), group_top_.data(), seed_.data(), best, arg);
  const double pairs = static_cast<double>(block_top_.size()) * static_cast<double>(group_top_.size() / block_top_.size());
  if (static_cast<double>(scanned) > kWorthwhile * pairs) rest_ = kRestSteps;
  return true;
}

}  // namespace qp
