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

// Samples per block: the blocks' overlap (window - hop samples summed twice)
// stays a few per cent, and a block's buffers stay in the second-level cache.
constexpr index_t kBlockSamples = 1 << 15;
constexpr index_t kBlockScores = 1 << 20;  // 8 MiB

// The lags from k the running-sum kernel can take at once: a whole chunk or
// the last few, consecutive, and every vector lane overlapping its frame
// (lanes are rounded up to whole vectors, at most chunk). 0: none.
index_t running_run(IVec lags, index_t k, index_t chunk, index_t window) {
  const index_t run = std::min(chunk, lags.size - k);
  return window - lags[k] >= chunk && kernels::consecutive(lags, k, run) ? run : 0;
}

}  // namespace

bool running_sums_exact(const double* x, index_t n) {
  std::uint64_t largest = 0;  // bits of the largest magnitude
  int lowest = 1 << 20;       // exponent of the lowest set bit over all samples
  for (index_t i = 0; i < n; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, x + i, sizeof bits);
    bits &= kMagnitude;
    if (bits == 0) continue;
    const int field = static_cast<int>(bits >> 52);
    if (field >= kMaxExponentField) return false;  // also every NaN and infinity
    const std::uint64_t significand = field ? (bits & kMantissa) | (kMantissa + 1) : bits;
    lowest = std::min(lowest, std::max(field, 1) - kExponentBias + __builtin_ctzll(significand));
    largest = std::max(largest, bits);
  }
  if (largest == 0) return true;
  // largest / q, an integer since q divides every sample.
  const int field = static_cast<int>(largest >> 52);
  const std::uint64_t significand = field ? (largest & kMantissa) | (kMantissa + 1) : largest;
  const int shift = std::max(field, 1) - kExponentBias - lowest;
  if (shift >= 53) return false;  // the ratio alone is at least 2^53
  const std::uint64_t ratio = shift >= 0 ? significand << shift : significand >> -shift;
  return static_cast<unsigned __int128>(ratio) * static_cast<unsigned __int128>(n) <
         (static_cast<unsigned __int128>(1) << 53);
}

ExactFrames::ExactFrames(DVec data, IVec lags, index_t window_size, index_t hop_size, index_t frames,
                         const kernels::Target& target)
    : data_(data), lags_(lags), window_(window_size), hop_(hop_size), frames_(frames) {
  const index_t chunk = target.chunk;
  if (!kernels::shortcuts() || !target.running_chunk || chunk == 0 || hop_ < chunk || frames_ == 0 || window_ <= 0 ||
      lags_.size == 0) {
    return;
  }
  // The block's scores (frames x lags) stay within kBlockScores.
  const index_t block_frames = std::max<index_t>(1, std::min(kBlockSamples / hop_, kBlockScores / lags_.size));
  // Work per frame: frame by frame, window - lag updates for each lag; with
  // running sums, about hop updates (plus the end runs, and the block's
  // overlap with the next spread over its frames) for each lag of a chunk
  // the kernel takes, and the rest frame by frame.
  const double per_frame = static_cast<double>(hop_ + chunk) +
                           static_cast<double>(std::max<index_t>(window_ - hop_, 0)) / static_cast<double>(block_frames);
  double direct = 0.0, running = 0.0;
  for (index_t k = 0; k < lags_.size;) {
    if (const index_t run = running_run(lags_, k, chunk, window_)) {
      for (index_t c = 0; c < run; ++c) direct += static_cast<double>(window_ - lags_[k + c]);
      running += static_cast<double>(run) * per_frame;
      k += run;
    } else {
      const double overlap = static_cast<double>(std::max<index_t>(window_ - lags_[k], 0));
      direct += overlap;
      running += overlap;
      ++k;
    }
  }
  if (running * 1.25 >= direct) return;
  target_ = &target;
  block_frames_ = block_frames;
}

bool ExactFrames::analyse(index_t t, double* score, double& mean) {
  if (block_frames_ == 0) return false;
  const index_t block = t / block_frames_;
  if (block != block_) {
    block_ = block;
    block_exact_ = fill(block, *target_);
  }
  if (!block_exact_) return false;
  const index_t row = t - block * block_frames_;
  std::copy_n(rows_.data() + row * lags_.size, lags_.size, score);
  mean = means_[row];
  return true;
}

bool ExactFrames::fill(index_t block, const kernels::Target& target) {
  const index_t t0 = block * block_frames_;
  const index_t frames = std::min(frames_, t0 + block_frames_) - t0;
  const index_t lo = t0 * hop_;
  const index_t span = (frames - 1) * hop_ + window_;
  // A frame cut short at the end of the signal (the second polarity's may
  // be) is left to the frame-by-frame path.
  if (lo + span > data_.size) return false;
  const index_t chunk = target.chunk;
  // The kernel reads up to chunk - 1 samples past the block, whose values do
  // not matter: the caller's own samples where the array goes on, zeros in
  // a copy otherwise (and for strided or misaligned data).
  const double* x = nullptr;
  const bool aligned = reinterpret_cast<std::uintptr_t>(data_.base) % alignof(double) == 0;
  if (data_.contiguous() && aligned && lo + span + chunk <= data_.size) {
    x = reinterpret_cast<const double*>(data_.base) + lo;
  } else {
    segment_.assign(static_cast<std::size_t>(span + chunk), 0.0);
    const DVec samples = data_.slice(lo, lo + span);
    for (index_t i = 0; i < span; ++i) segment_[i] = samples[i];
    x = segment_.data();
  }
  if (!running_sums_exact(x, span)) return false;

  const index_t count = lags_.size;
  rows_.resize(static_cast<std::size_t>(frames * count));
  means_.resize(static_cast<std::size_t>(frames));
  sums_.resize(static_cast<std::size_t>(frames * chunk));
  overlap_.resize(static_cast<std::size_t>(chunk));

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

  // Lags in runs for the kernel; any other lag is summed frame by frame.
  index_t k = 0;
  while (k < count) {
    if (const index_t run = running_run(lags_, k, chunk, window_)) {
      const index_t lag0 = lags_[k];
      target.running_chunk(x, frames, hop_, window_, lag0, run, sums_.data(), chunk);
      // The counts as doubles first, so that the divisions vectorise.
      for (index_t c = 0; c < run; ++c) overlap_[c] = static_cast<double>(window_ - (lag0 + c));
      for (index_t t = 0; t < frames; ++t) {
        double* row = rows_.data() + t * count + k;
        const double* sums = sums_.data() + t * chunk;
        for (index_t c = 0; c < run; ++c) row[c] = sums[c] / overlap_[c];
      }
      k += run;
      continue;
    }
    index_t end = k + 1;
    while (end < count && !running_run(lags_, end, chunk, window_)) ++end;
    const IVec rest = lags_.slice(k, end);
    for (index_t t = 0; t < frames; ++t) {
      kernels::qesmor_sums(x + t * hop_, window_, rest, rows_.data() + t * count + k, target);
    }
    k = end;
  }
  return true;
}

}  // namespace qp
