#include "exact_sums.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>


namespace qp {

namespace {

constexpr std::uint64_t kMantissa = (std::uint64_t{1} << 52) - 1;
constexpr std::uint64_t kMagnitude = ~(std::uint64_t{1} << 63);
constexpr int kExponentBias = 1075;  // value = significand * 2^(field - 1075), field >= 1
constexpr int kMaxExponentField = 1023 + 512;  // |sample| < 2^512

// Samples each vector lane runs through per block: its stretch of frames
// overlaps the next lane's by window - hop samples summed twice, a few per
// cent, and the block's rows (lanes x stretch) stay in the second-level
// cache.
constexpr index_t kLaneSamples = 1 << 13;
constexpr index_t kBlockScores = 1 << 20;  // 8 MiB
constexpr index_t kLanes = kernels::kMaxLanes;  // blocks are whole numbers of every target's lane count

}  // namespace

Grid grid_of(const double* x, index_t n) {
  Grid g;
  std::uint64_t largest = 0;  // bits of the largest magnitude
  int lowest = 1 << 20;       // exponent of the lowest set bit over all samples
  bool negative = false;      // some sample below zero
  for (index_t i = 0; i < n; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, x + i, sizeof bits);
    const bool sign = (bits >> 63) != 0;
    bits &= kMagnitude;
    if (bits == 0) continue;
    negative |= sign;
    const int field = static_cast<int>(bits >> 52);
    if (field >= kMaxExponentField) return g;  // also every NaN and infinity
    const std::uint64_t significand = field ? (bits & kMantissa) | (kMantissa + 1) : bits;
    lowest = std::min(lowest, std::max(field, 1) - kExponentBias + __builtin_ctzll(significand));
    largest = std::max(largest, bits);
  }
  g.on_grid = true;
  g.unsigned_samples = !negative;
  if (largest == 0) return g;  // all zeros: q = 1 will do
  // largest / q, an integer since q divides every sample.
  const int field = static_cast<int>(largest >> 52);
  const std::uint64_t significand = field ? (largest & kMantissa) | (kMantissa + 1) : largest;
  const int shift = std::max(field, 1) - kExponentBias - lowest;
  g.exponent = lowest;
  if (shift >= 53) {
    g.on_grid = false;  // the ratio alone is at least 2^53
    return g;
  }
  g.ratio = shift >= 0 ? significand << shift : significand >> -shift;
  return g;
}

bool Grid::exact(index_t n) const {
  using wide = unsigned __int128;
  return on_grid && static_cast<wide>(ratio) * static_cast<wide>(n) < (wide{1} << 53);
}

bool Grid::small(index_t window) const {
  using wide = unsigned __int128;
  return on_grid && exponent >= -1000 && exponent <= 1000 &&
         static_cast<wide>(ratio) * static_cast<wide>(window) < (wide{1} << 31);
}

bool running_sums_exact(const double* x, index_t n, bool* unsigned_samples) {
  const Grid g = grid_of(x, n);
  if (unsigned_samples) *unsigned_samples = g.unsigned_samples;
  return g.exact(n);
}

ExactFrames::ExactFrames(DVec data, IVec lags, index_t window_size, index_t hop_size, index_t frames,
                         const kernels::Target& target)
    : data_(data), lags_(lags), window_(window_size), hop_(hop_size), frames_(frames) {
  if (!kernels::shortcuts() || !target.running_lanes || frames_ == 0 || window_ <= 0 || hop_ <= 0 ||
      lags_.size == 0) {
    return;
  }
  // Frames per lane, so that a lane's stretch is about kLaneSamples; the
  // block's scores (frames x lags) stay within kBlockScores.
  const index_t slots = std::max<index_t>(1, std::min(kLaneSamples / hop_, kBlockScores / (kLanes * lags_.size)));
  const index_t block_frames = kLanes * slots;
  // Work per frame and lag: frame by frame, window - lag updates; with
  // running sums, about hop updates, plus each lane's overlap with the next
  // spread over its frames, the end run of a group of lags and the division.
  const index_t group = std::min<index_t>(kernels::kMaxLaneLags, hop_);
  const double per_frame = static_cast<double>(hop_) + static_cast<double>(group) +
                           static_cast<double>(std::max<index_t>(window_ - hop_, 0)) / static_cast<double>(slots);
  double direct = 0.0, running = 0.0;
  for (index_t k = 0; k < lags_.size; ++k) {
    if (window_ - lags_[k] < 1) continue;  // 0.0 on both paths
    direct += static_cast<double>(window_ - lags_[k]);
    running += per_frame;
  }
  if (running * 1.25 >= direct) return;
  target_ = &target;
  block_frames_ = block_frames;
  lag_values_.resize(static_cast<std::size_t>(lags_.size));
  for (index_t k = 0; k < lags_.size; ++k) lag_values_[k] = lags_[k];
}

const double* ExactFrames::row(index_t t, double& mean) {
  if (block_frames_ == 0) return nullptr;
  const index_t block = t / block_frames_;
  if (block != block_) {
    block_ = block;
    block_exact_ = fill(block, *target_);
  }
  if (!block_exact_) return nullptr;
  const index_t row = t - block * block_frames_;
  mean = means_[row];
  return rows_.data() + row * lags_.size;
}

bool ExactFrames::analyse(index_t t, double* score, double& mean) {
  const double* values = row(t, mean);
  if (values) std::copy_n(values, lags_.size, score);
  return values != nullptr;
}

bool ExactFrames::fill(index_t block, const kernels::Target& target) {
  const index_t t0 = block * block_frames_;
  const index_t frames = std::min(frames_, t0 + block_frames_) - t0;
  const index_t lo = t0 * hop_;
  const index_t span = (frames - 1) * hop_ + window_;
  // A frame cut short at the end of the signal (the second polarity's may
  // be) is left to the frame-by-frame path.
  if (lo + span > data_.size) return false;
  const double* x = nullptr;
  const bool aligned = reinterpret_cast<std::uintptr_t>(data_.base) % alignof(double) == 0;
  if (data_.contiguous() && aligned) {
    x = reinterpret_cast<const double*>(data_.base) + lo;
  } else {
    segment_.resize(static_cast<std::size_t>(span));
    const DVec samples = data_.slice(lo, lo + span);
    for (index_t i = 0; i < span; ++i) segment_[i] = samples[i];
    x = segment_.data();
  }
  const Grid grid = grid_of(x, span);
  if (!grid.exact(span)) return false;

  const index_t count = lags_.size;
  rows_.resize(static_cast<std::size_t>(frames * count));
  means_.resize(static_cast<std::size_t>(frames));

  // Running sums of the samples in four interleaved chains over the four
  // quarters (a single chain waits on each addition's latency); under the
  // certificate every order gives the same exact sums, so each quarter then
  // adds the total before it.
  running_.resize(static_cast<std::size_t>(span + 1));
  const index_t quarter = span / 4;
  double chains[4] = {0.0, 0.0, 0.0, 0.0};
  running_[0] = 0.0;
  for (index_t i = 0; i < quarter; ++i) {
    for (int q = 0; q < 4; ++q) {
      chains[q] += x[q * quarter + i];
      running_[q * quarter + i + 1] = chains[q];
    }
  }
  for (index_t i = 4 * quarter; i < span; ++i) {
    chains[3] += x[i];
    running_[i + 1] = chains[3];
  }
  for (int q = 1; q < 4; ++q) {
    const double before = running_[q * quarter];
    for (index_t i = q * quarter + 1; i <= (q == 3 ? span : (q + 1) * quarter); ++i) running_[i] += before;
  }
  for (index_t t = 0; t < frames; ++t) {
    const index_t s = t * hop_;
    means_[t] = (running_[s + window_] - running_[s]) / static_cast<double>(window_);
  }

  scratch_.resize(static_cast<std::size_t>(kernels::running_lanes_scratch(frames, hop_, window_)));
  if (target.running_lanes_int && grid.small(window_)) {
    target.running_lanes_int(x, span, frames, hop_, window_, lag_values_.data(), count, grid.exponent,
                             scratch_.data(), rows_.data(), count);
    path_ = Path::kIntegers;
  } else {
    target.running_lanes(x, span, frames, hop_, window_, lag_values_.data(), count, grid.unsigned_samples,
                         scratch_.data(), rows_.data(), count);
    path_ = Path::kDoubles;
  }
  return true;
}

}  // namespace qp
