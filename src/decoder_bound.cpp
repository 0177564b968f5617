#include "decoder_bound.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace qp {

namespace {

constexpr double kLimit = 0x1p1000;  // |value| below this: no sum of two overflows

bool tame(double v) { return std::fabs(v) < kLimit; }  // false for NaN too

// Pruning pays while it scans under this share of (block, group) pairs; past
// it the full scan's simpler loop is as fast, so a few steps use it.
constexpr double kWorthwhile = 0.7;
constexpr index_t kRestSteps = 32;

constexpr int kRows = kernels::kDecoderRows;
static_assert(kRows % 4 == 0, "a block is whole vectors of four");

// Each block's largest prev into tops[b] (the last block may be partial);
// false, with tops unfinished, when some prev is not tame. Vectors of four,
// in the widest copy the CPU runs: this and the seeds were a fifth of the
// pruned step one value at a time. A value is tame when its magnitude's
// bits, which order as the magnitudes do (NaN's above infinity's), are
// below those of 2^1000.
QP_WIDE_CLONES
bool block_tops(const double* prev, index_t n, double* tops) {
  typedef LaneType<4>::type V;
  typedef LaneType<4>::index I;
  const long long magnitude_mask = 0x7fffffffffffffffLL, limit_bits = 0x7e70000000000000LL;  // 2^1000
  const I magnitude = {magnitude_mask, magnitude_mask, magnitude_mask, magnitude_mask};
  const I limit = {limit_bits, limit_bits, limit_bits, limit_bits};
  I wild = {0, 0, 0, 0};
  index_t b = 0;
  for (; (b + 1) * kRows <= n; ++b) {
    const double* p = prev + b * kRows;
    V m;
    std::memcpy(&m, p, sizeof m);
    for (int k = 0; k < kRows; k += 4) {
      V v;
      I bits;
      std::memcpy(&v, p + k, sizeof v);
      std::memcpy(&bits, p + k, sizeof bits);
      wild |= (bits & magnitude) >= limit;
      m = v > m ? v : m;
    }
    double top = m[0];
    for (int l = 1; l < 4; ++l) top = m[l] > top ? m[l] : top;
    tops[b] = top;
  }
  if ((wild[0] | wild[1] | wild[2] | wild[3]) != 0) return false;
  if (b * kRows < n) {
    double top = -kLimit;
    for (index_t i = b * kRows; i < n; ++i) {
      if (!tame(prev[i])) return false;
      top = std::max(top, prev[i]);
    }
    tops[b] = top;
  }
  return true;
}

// The lowest i with the largest prev[i], as the full scan's strict
// comparison finds it: the first block whose top is the largest, then the
// first of its rows that holds it (comparisons round nothing).
index_t first_top(const double* prev, const double* tops, index_t blocks) {
  double largest = tops[0];
  for (index_t b = 1; b < blocks; ++b) largest = tops[b] > largest ? tops[b] : largest;
  index_t b = 0;
  while (!(tops[b] == largest)) ++b;
  index_t i = b * kRows;
  while (!(prev[i] == largest)) ++i;
  return i;
}

// Each seed is the computed value of a real candidate (the diagonal, the
// best previous state's, last step's winner's), so it is at most the
// column's maximum. The first two in vectors, the winners' one value at a
// time (below).
QP_WIDE_CLONES
void seeds(const double* prev, const double* a, index_t row_stride, index_t count, const double* diagonal,
           index_t top, double* __restrict seed) {
  const double top_value = prev[top];
  const double* best_row = a + top * row_stride;
  for (index_t j = 0; j < count; ++j) {
    const double d = prev[j] + diagonal[j], t = top_value + best_row[j];
    seed[j] = t > d ? t : d;
  }
}

// Each column's load from its own row: the compiler's vector form of this
// assembles every lane from scalar loads, slower than the plain loop.
__attribute__((noinline)) void winners_seeds(const double* prev, const double* a, index_t row_stride, index_t count,
                                             const index_t* last_arg, double* __restrict seed) {
  for (index_t j = 0; j < count; ++j) {
    const index_t i = last_arg[j];
    const double w = prev[i] + a[i * row_stride + j];
    seed[j] = w > seed[j] ? w : seed[j];
  }
}

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
  slots_ = kernels::decoder_block_slots(blocks);
  // Each group's bounds over the blocks side by side, which the kernel
  // reads a vector of blocks at a time.
  group_top_.assign(static_cast<std::size_t>(groups * slots_), -kLimit);
  for (index_t b = 0; b < blocks; ++b) {
    for (index_t g = 0; g < groups; ++g) {
      const index_t first = g + 1 < groups ? g * states : count - states;  // as the kernel groups them
      double& top = group_top_[g * slots_ + b];
      for (index_t j = first; j < first + states; ++j) top = std::max(top, col_top_[b * count + j]);
    }
  }
  diagonal_.resize(static_cast<std::size_t>(count));
  for (index_t j = 0; j < count; ++j) diagonal_[j] = a[j * row_stride + j];
  blocks_ = blocks;
  block_top_.assign(static_cast<std::size_t>(slots_), -kLimit);
  seed_.resize(static_cast<std::size_t>(count));
  align_rows();
  usable_ = true;
}

// Rows that start at any offset from a cache line make most of the scan's
// vector loads span two lines (a fifth of the step's time at 307 states):
// the matrix is then read from a copy whose rows start on lines, while it
// is small enough to keep a copy of.
void PrunedDecoder::align_rows() {
  constexpr index_t kLine = 64 / static_cast<index_t>(sizeof(double));
  const bool aligned = row_stride_ % kLine == 0 && reinterpret_cast<std::uintptr_t>(a_) % 64 == 0;
  const index_t stride = (count_ + kLine - 1) / kLine * kLine;
  const std::size_t cells = static_cast<std::size_t>(n_ * stride + kLine);
  if (aligned || cells * sizeof(double) > kKeepBytes) return;
  rows_.resize(cells);
  double* start = rows_.data();
  while (reinterpret_cast<std::uintptr_t>(start) % 64 != 0) ++start;
  for (index_t i = 0; i < n_; ++i) std::memcpy(start + i * stride, a_ + i * row_stride_, static_cast<std::size_t>(count_) * sizeof(double));
  a_ = start;
  row_stride_ = stride;
}

bool PrunedDecoder::step(const double* prev, const index_t* last_arg, double* best, index_t* arg) {
  if (!usable_) return false;
  if (rest_ > 0) {
    --rest_;
    return false;
  }
  if (!block_tops(prev, n_, block_top_.data())) return false;
  const index_t top = first_top(prev, block_top_.data(), blocks_);
  seeds(prev, a_, row_stride_, count_, diagonal_.data(), top, seed_.data());
  if (last_arg) winners_seeds(prev, a_, row_stride_, count_, last_arg, seed_.data());
  const index_t scanned = target_.viterbi_pruned(prev, n_, a_, row_stride_, count_, block_top_.data(),
                                                 col_top_.data(), group_top_.data(), seed_.data(), best, arg);
  const double pairs = static_cast<double>(blocks_) * static_cast<double>(group_top_.size() / slots_);
  if (static_cast<double>(scanned) > kWorthwhile * pairs) rest_ = kRestSteps;
  return true;
}

}  // namespace qp
