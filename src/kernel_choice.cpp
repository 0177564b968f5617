#include "kernel_choice.hpp"

#include <chrono>
#include <vector>

namespace qp::kernels {

namespace {

constexpr double kMargin = 0.9;  // a narrower target must take under 90 % of the time
constexpr int kRounds = 5;       // the fastest of a few rounds, each some tens of microseconds

// The rounds of every target alternate, so that a burst of other work on
// the machine, or the first use of wide vectors warming up, slows all the
// targets alike instead of one; each target keeps its fastest round.
template <class Work>
std::vector<double> fastest_rounds(const std::vector<const Target*>& targets, Work&& work) {
  std::vector<double> best(targets.size(), 1e300);
  for (const Target* t : targets) work(*t);  // untimed: warms the caches and the vector units
  for (int r = 0; r < kRounds; ++r) {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      work(*targets[i]);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds < best[i]) best[i] = seconds;
    }
  }
  return best;
}

// A reproducible half-wave with the spread of audio samples.
std::vector<double> test_signal(index_t n) {
  std::vector<double> x(static_cast<std::size_t>(n));
  unsigned state = 12345u;
  for (index_t i = 0; i < n; ++i) {
    state = state * 1103515245u + 12345u;
    const double v = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    x[i] = v > 0 ? v : 0.0;
  }
  return x;
}

// One round of the frame-by-frame periodicity kernel.
struct FrameRound {
  static constexpr index_t kWindow = 1024, kHop = 160, kFrames = 8, kLags = 64;
  const std::vector<double>& x;

  void operator()(const Target& t) {
    double sums[kMaxChunk];
    for (index_t lag0 = 32; lag0 < 32 + kLags; lag0 += t.chunk) {
      for (index_t f = 0; f < kFrames; ++f) t.qesmor_chunk(x.data() + f * kHop, kWindow, lag0, Samples::kUnsigned, sums);
    }
  }
};

// One round of the running sums, in doubles and in 32-bit integers. The
// buffers are made once, outside the timed rounds.
struct RunningRound {
  static constexpr index_t kWindow = 1024, kHop = 160, kRunning = 64, kLags = 64;
  const std::vector<double>& x;
  std::vector<index_t> lags = std::vector<index_t>(kLags);
  std::vector<double> rows = std::vector<double>(kRunning * kLags);
  std::vector<double> scratch = std::vector<double>(static_cast<std::size_t>(running_lanes_scratch(kRunning, kHop, kWindow)));

  explicit RunningRound(const std::vector<double>& samples) : x(samples) {
    for (index_t k = 0; k < kLags; ++k) lags[k] = 32 + k;
  }

  void operator()(const Target& t) {
    const index_t span = (kRunning - 1) * kHop + kWindow;
    t.running_lanes(x.data(), span, kRunning, kHop, kWindow, lags.data(), kLags, true, 0, scratch.data(), rows.data(),
                    kLags);
    // The 32-bit sums, which the layer's blocks take, on the samples in
    // units of 2^-14: at most 2^13 each, far inside the range (a unit that
    // does not divide them only truncates; the values are not used).
    if (t.running_lanes_int) {
      t.running_lanes_int(x.data(), span, kRunning, kHop, kWindow, lags.data(), kLags, -14, 0, scratch.data(),
                          rows.data(), kLags);
    }
  }
};

// One round of the decoder kernel: a few steps over 96 states.
struct DecoderRound {
  static constexpr index_t kStates = 96;
  const std::vector<double>& x;
  std::vector<double> best = std::vector<double>(kStates);
  std::vector<index_t> arg = std::vector<index_t>(kStates);

  void operator()(const Target& t) {
    for (int step = 0; step < 4; ++step) {
      t.viterbi_columns(x.data() + step, kStates, x.data() + kStates, kStates, kStates, best.data(), arg.data());
    }
  }
};

// From the widest target down, a narrower one replaces the choice only when
// clearly faster.
const Target* fastest(const std::vector<const Target*>& targets, const std::vector<double>& seconds) {
  std::size_t choice = targets.size() - 1;
  for (std::size_t i = choice; i-- > 0;) {
    if (seconds[i] < kMargin * seconds[choice]) choice = i;
  }
  return targets[choice];
}

}  // namespace

Choice choose_per_kernel(const Target* targets, int count) {
  std::vector<const Target*> vector_targets;
  for (int i = 1; i < count; ++i) {
    if (targets[i].supported()) vector_targets.push_back(&targets[i]);
  }
  if (vector_targets.empty()) return {&targets[0], &targets[0], &targets[0]};
  const std::vector<double> x = test_signal(1 << 14);
  const auto frames = fastest_rounds(vector_targets, FrameRound{x});
  const auto running = fastest_rounds(vector_targets, RunningRound(x));
  const auto decoder = fastest_rounds(vector_targets, DecoderRound{x});
  return {fastest(vector_targets, frames), fastest(vector_targets, running), fastest(vector_targets, decoder)};
}

}  // namespace qp::kernels
