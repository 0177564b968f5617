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

// One sample's part of the scan: its magnitude's bits into `largest`, its
// sign into `negative`, the exponent of its lowest set bit into `lowest`;
// false for a sample no grid can hold.
inline bool scan_sample(double v, std::uint64_t& largest, int& lowest, bool& negative) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const bool sign = (bits >> 63) != 0;
  bits &= kMagnitude;
  if (bits == 0) return true;
  negative |= sign;
  const int field = static_cast<int>(bits >> 52);
  if (field >= kMaxExponentField) return false;  // also every NaN and infinity
  const std::uint64_t significand = field ? (bits & kMantissa) | (kMantissa + 1) : bits;
  lowest = std::min(lowest, std::max(field, 1) - kExponentBias + __builtin_ctzll(significand));
  largest = std::max(largest, bits);
  return true;
}

}  // namespace

// Four samples at a time in vector lanes, with the same results as
// scan_sample on each: the scan runs over every block the running sums
// take, and one sample at a time it cost as much as a tenth of the map.
// The lowest set bit needs no bit count: with the magnitude's bits m, the
// value of m & (m - 1) is the sample with that bit cleared (for a
// significand with bits below the leading one; else the sample is a power
// of two, its own lowest bit), in the same binade, so the difference of
// the two is exact and is that bit's value, the sample's grain. The
// smallest grain over all samples is the grid's q, whose exponent is read
// off its bits once at the end. Largest magnitudes compare as their bits.
QP_WIDE_CLONES
Grid grid_of(const double* x, index_t n) {
  Grid g;
  std::uint64_t largest = 0;  // bits of the largest magnitude
  int lowest = 1 << 20;       // exponent of the lowest set bit over all samples
  bool negative = false;      // some sample below zero
  index_t i = 0;
#if defined(__GNUC__)
  typedef LaneType<4>::type V;
  typedef LaneType<4>::index I;
  const I magnitude = {static_cast<long long>(kMagnitude), static_cast<long long>(kMagnitude),
                       static_cast<long long>(kMagnitude), static_cast<long long>(kMagnitude)};
  const I mantissa = {static_cast<long long>(kMantissa), static_cast<long long>(kMantissa),
                      static_cast<long long>(kMantissa), static_cast<long long>(kMantissa)};
  const long long limit = static_cast<long long>(kMaxExponentField) << 52;
  const double inf = std::numeric_limits<double>::infinity();
  // Two sets of accumulators, so that consecutive vectors do not wait on
  // each other's comparisons.
  I top[2] = {}, bad[2] = {}, below[2] = {};
  V grain[2] = {{inf, inf, inf, inf}, {inf, inf, inf, inf}};
  auto scan = [&](const double* at, int a) {
    I bits;
    std::memcpy(&bits, at, sizeof bits);
    const I m = bits & magnitude;
    bad[a] |= m >= limit;
    below[a] |= (bits < 0) & (m != 0);
    top[a] = m > top[a] ? m : top[a];
    const I cleared = m & (m - 1);
    V value, rest;
    std::memcpy(&value, &m, sizeof value);
    std::memcpy(&rest, &cleared, sizeof rest);
    V own = (m & mantissa) == 0 ? value : value - rest;
    own = m == 0 ? V{inf, inf, inf, inf} : own;
    grain[a] = own < grain[a] ? own : grain[a];
  };
  for (; i + 8 <= n; i += 8) {
    scan(x + i, 0);
    scan(x + i + 4, 1);
  }
  for (; i + 4 <= n; i += 4) scan(x + i, 0);
  bool any_bad = false;
  double least = inf;
  for (int a = 0; a < 2; ++a) {
    for (int l = 0; l < 4; ++l) {
      any_bad |= bad[a][l] != 0;
      negative |= below[a][l] != 0;
      largest = std::max(largest, static_cast<std::uint64_t>(top[a][l]));
      least = std::min(least, grain[a][l]);
    }
  }
  if (any_bad) return g;
  if (least != inf) {
    std::uint64_t q;
    std::memcpy(&q, &least, sizeof q);
    const int field = static_cast<int>(q >> 52);
    lowest = field ? field - 1023 : -1074 + __builtin_ctzll(q);
  }
#endif
  for (; i < n; ++i) {
    if (!scan_sample(x[i], largest, lowest, negative)) return g;
  }
  g.on_grid = true;
  g.unsigned_samples = !negative;
  if (largest == 0) return g;  // all zeros: q = 1 will do
  // largest / q, an integer since q divides every sample.
  const int field = static_cast<int>(largest >> 52);
  const std::uint64_t significand = field ? (largest & kMantissa) | (kMantissa + 1) : largest;
  const int shift = std::max(field, 1) - kExponentBias - lowest;
  g.exponent = lowest;
  // The ratio alone is at least 2^53 once the significand's bits and the
  // shift together pass 53; the shift is checked before it is made, as a
  // significand shifted past 64 bits wraps round to a small ratio (1.0 with
  // a sample of grain 2^-99 gave 0, and a sine's frames summed to zero).
  const int bits = 64 - __builtin_clzll(significand);
  if (shift >= 0 && bits + shift > 53) {
    g.on_grid = false;
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
                         const kernels::Target& target, Part part, BlockGrid* shared)
    : data_(data), lags_(lags), window_(window_size), hop_(hop_size), frames_(frames), part_(part),
      shared_(shared) {
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
  Grid grid;
  int part = 0;  // what the kernels derive from each sample of x
  if (part_ == Part::kSamples) {
    grid = grid_of(x, span);
  } else {
    if (shared_ && shared_->block == block) {
      grid = shared_->grid;
    } else {
      grid = grid_of(x, span);
      if (shared_) *shared_ = {block, grid};
    }
    if (grid.exact(span)) {
      // The signal's certificate covers the half-wave (exact_sums.hpp).
      part = static_cast<int>(part_);
      grid.unsigned_samples = true;
    } else {
      // The half-wave may pass where the signal does not: built for this
      // block alone and scanned on its own.
      segment_.resize(static_cast<std::size_t>(span));
      const DVec samples = data_.slice(lo, lo + span);
      if (part_ == Part::kPositive) {
        for (index_t i = 0; i < span; ++i) segment_[i] = kernels::half_wave_sample<1>(samples[i]);
      } else {
        for (index_t i = 0; i < span; ++i) segment_[i] = kernels::half_wave_sample<-1>(samples[i]);
      }
      x = segment_.data();
      grid = grid_of(x, span);
    }
  }
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
  const auto add = [&](auto sample) {
    for (index_t i = 0; i < quarter; ++i) {
      for (int q = 0; q < 4; ++q) {
        chains[q] += sample(x[q * quarter + i]);
        running_[q * quarter + i + 1] = chains[q];
      }
    }
    for (index_t i = 4 * quarter; i < span; ++i) {
      chains[3] += sample(x[i]);
      running_[i + 1] = chains[3];
    }
  };
  if (part > 0) {
    add([](double v) { return kernels::half_wave_sample<1>(v); });
  } else if (part < 0) {
    add([](double v) { return kernels::half_wave_sample<-1>(v); });
  } else {
    add([](double v) { return v; });
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
    target.running_lanes_int(x, span, frames, hop_, window_, lag_values_.data(), count, grid.exponent, part,
                             scratch_.data(), rows_.data(), count);
    path_ = Path::kIntegers;
  } else {
    target.running_lanes(x, span, frames, hop_, window_, lag_values_.data(), count, grid.unsigned_samples, part,
                         scratch_.data(), rows_.data(), count);
    path_ = Path::kDoubles;
  }
  return true;
}

}  // namespace qp
