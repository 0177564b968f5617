#include "kernel_choice.hpp"

#include <chrono>
#include <vector>

namespace qp::kernels {

namespace {

constexpr double kMargin = 0.9;  // a narrower target must take under 90 % of the time
constexpr int kRounds = 5;       // the fastest of a few rounds, each some tens of microseconds

template <class Work>
double fastest_round(Work work) {
  double best = 1e300;
  for (int r = 0; r < kRounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds < best) best = seconds;
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

double time_periodicity(const Target& t, const std::vector<double>& x) {
  constexpr index_t kWindow = 1024, kHop = 160, kFrames = 8, kRunning = 64, kLags = 64;
  double sums[kMaxChunk];
  std::vector<index_t> lags(kLags);
  for (index_t k = 0; k < kLags; ++k) lags[k] = 32 + k;
  std::vector<double> rows(static_cast<std::size_t>(kRunning * kLags));
  std::vector<double> scratch(static_cast<std::size_t>(running_lanes_scratch(kRunning, kHop, kWindow)));
  const index_t span = (kRunning - 1) * kHop + kWindow;
  return fastest_round([&] {
    for (index_t lag0 = 32; lag0 < 32 + kLags; lag0 += t.chunk) {
      for (index_t f = 0; f < kFrames; ++f) t.qesmor_chunk(x.data() + f * kHop, kWindow, lag0, Samples::kUnsigned, sums);
    }
    t.running_lanes(x.data(), span, kRunning, kHop, kWindow, lags.data(), kLags, true, scratch.data(), rows.data(),
                    kLags);
  });
}

double time_decoder(const Target& t, const std::vector<double>& x) {
  constexpr index_t kStates = 96;
  std::vector<double> best(kStates);
  std::vector<index_t> arg(kStates);
  return fastest_round([&] {
    for (int step = 0; step < 4; ++step) {
      t.viterbi_columns(x.data() + step, kStates, x.data() + kStates, kStates, kStates, best.data(), arg.data());
    }
  });
}

}  // namespace

Choice choose_per_kernel(const Target* targets, int count) {
  std::vector<const Target*> vector_targets;
  for (int i = 1; i < count; ++i) {
    if (targets[i].supported()) vector_targets.push_back(&targets[i]);
  }
  if (vector_targets.empty()) return {&targets[0], &targets[0]};
  const std::vector<double> x = test_signal(1 << 14);
  // From the widest down: a narrower target replaces the current choice
  // only when clearly faster.
  Choice choice{vector_targets.back(), vector_targets.back()};
  double periodicity = time_periodicity(*choice.periodicity, x);
  double decoder = time_decoder(*choice.decoder, x);
  for (int i = static_cast<int>(vector_targets.size()) - 2; i >= 0; --i) {
    const Target* t = vector_targets[i];
    const double p = time_periodicity(*t, x);
    if (p < kMargin * periodicity) {
      choice.periodicity = t;
      periodicity = p;
    }
    const double d = time_decoder(*t, x);
    if (d < kMargin * decoder) {
      choice.decoder = t;
      decoder = d;
    }
  }
  return choice;
}

}  // namespace qp::kernels
