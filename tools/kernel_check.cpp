// Standalone check that every kernel target this CPU runs gives the scalar
// target's bits, without Python: used to verify targets on machines (or
// emulators) where the Python package is not built; tools/kernel_check.sh
// builds and runs it natively, or for aarch64 under an emulator.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "exact_sums.hpp"
#include "kernels.hpp"
#include "periodicity.hpp"
#include "viterbi.hpp"

namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
  }
  return true;
}

std::vector<double> random_values(std::mt19937_64& rng, std::size_t n, bool special) {
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> pick(0, 9);
  const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(), 0.0, -0.0};
  std::vector<double> x(n);
  for (auto& v : x) v = (special && pick(rng) == 0) ? specials[pick(rng) % 5] : normal(rng);
  return x;
}

qp::IVec view(const std::vector<qp::index_t>& v) {
  return {reinterpret_cast<const char*>(v.data()), static_cast<qp::index_t>(v.size()), sizeof(qp::index_t)};
}

}  // namespace

int main() {
  std::mt19937_64 rng(12345);
  int passed = 0;
  int failed = 0;
  const qp::kernels::Target& scalar = qp::kernels::target(0);
  for (int t = 1; t < qp::kernels::target_count(); ++t) {
    const qp::kernels::Target& target = qp::kernels::target(t);
    if (!target.supported()) continue;
    for (int trial = 0; trial < 2000; ++trial) {
      const bool special = trial % 2 == 0;
      const std::size_t n = rng() % 300;
      const auto frame = random_values(rng, n, special);
      std::vector<qp::index_t> lags(rng() % 140);
      const qp::index_t first = static_cast<qp::index_t>(rng() % 60);
      for (std::size_t k = 0; k < lags.size(); ++k) lags[k] = first + static_cast<qp::index_t>(k);
      std::vector<double> expected(lags.size()), got(lags.size());
      qp::kernels::qesmor_sums(frame.data(), static_cast<qp::index_t>(n), view(lags), expected.data(), scalar);
      qp::kernels::qesmor_sums(frame.data(), static_cast<qp::index_t>(n), view(lags), got.data(), target);
      (same_bits(expected, got) ? passed : failed) += 1;

      // The half-wave blocks of a run of up to four adjacent lags, each with
      // at least one sample of overlap.
      std::vector<double> half(frame.size());
      for (std::size_t j = 0; j < n; ++j) half[j] = frame[j] > 0.0 ? frame[j] : 0.0;
      if (n > 0) {
        const qp::index_t count = 1 + static_cast<qp::index_t>(rng() % qp::kernels::kMaxHalfWaveLags);
        const qp::index_t window = static_cast<qp::index_t>(n), top = std::max<qp::index_t>(window - count, 0);
        const qp::index_t lag0 = std::min(first, top);
        if (window - (lag0 + count - 1) >= 1) {
          std::vector<double> blocks_expected(count * qp::kernels::kHalfWaveBlock),
              blocks_got(count * qp::kernels::kHalfWaveBlock);
          scalar.half_wave_blocks(half.data(), window, lag0, count, blocks_expected.data());
          target.half_wave_blocks(half.data(), window, lag0, count, blocks_got.data());
          (same_bits(blocks_expected, blocks_got) ? passed : failed) += 1;
        }
      }

      const qp::index_t frames = static_cast<qp::index_t>(rng() % 12);
      const qp::index_t states = 1 + static_cast<qp::index_t>(rng() % 40);
      const auto ll = random_values(rng, static_cast<std::size_t>(frames * states), special);
      const auto la = random_values(rng, static_cast<std::size_t>(states * states), special);
      const qp::DMat l{reinterpret_cast<const char*>(ll.data()), frames, states,
                       static_cast<qp::index_t>(states * sizeof(double)), sizeof(double)};
      const qp::DMat a{reinterpret_cast<const char*>(la.data()), states, states,
                       static_cast<qp::index_t>(states * sizeof(double)), sizeof(double)};
      std::vector<qp::index_t> path_expected(frames), path_got(frames);
      qp::viterbi(l, a, 0.5, path_expected.data(), scalar);
      qp::viterbi(l, a, 0.5, path_got.data(), target);
      (path_expected == path_got ? passed : failed) += 1;

      const auto v = random_values(rng, static_cast<std::size_t>(states), special);
      std::vector<double> mv_expected(states), mv_got(states);
      qp::kernels::matvec_transposed(la.data(), states, v.data(), mv_expected.data(), scalar);
      qp::kernels::matvec_transposed(la.data(), states, v.data(), mv_got.data(), target);
      (same_bits(mv_expected, mv_got) ? passed : failed) += 1;
    }
    // Running sums over blocks on a grid, in 32-bit integers (small steps
    // counts) and in doubles (too many steps for 32 bits), frame by frame
    // against the scalar sums of each frame.
    int running = 0;
    for (int trial = 0; trial < 60; ++trial) {
      const double magnitude = trial % 2 == 0 ? 3000.0 : 0x1p30;
      const qp::index_t window = 64 + static_cast<qp::index_t>(rng() % 600);
      const qp::index_t hop = 1 + static_cast<qp::index_t>(rng() % 200);
      const qp::index_t n = window + hop * (20 + static_cast<qp::index_t>(rng() % 300));
      std::normal_distribution<double> normal;
      std::vector<double> x(static_cast<std::size_t>(n));
      for (auto& v : x) v = std::round(normal(rng) * magnitude / 4.0) * 0x1p-20;
      std::vector<qp::index_t> lags(1 + rng() % 200);
      const qp::index_t first = static_cast<qp::index_t>(rng() % 40);
      for (std::size_t k = 0; k < lags.size(); ++k) lags[k] = first + static_cast<qp::index_t>(k);
      const qp::index_t frames = (n - window) / hop;
      const qp::DVec data{reinterpret_cast<const char*>(x.data()), n, sizeof(double)};
      qp::ExactFrames exact(data, view(lags), window, hop, frames, target);
      std::vector<double> expected(lags.size()), got(lags.size());
      for (qp::index_t t = 0; t < frames; ++t) {
        double mean = 0.0;
        if (!exact.analyse(t, got.data(), mean)) continue;
        running += exact.path() == qp::ExactFrames::Path::kIntegers ? 1 : 0;
        qp::kernels::qesmor_sums(x.data() + t * hop, window, view(lags), expected.data(), scalar);
        (same_bits(expected, got) ? passed : failed) += 1;
      }
    }
    if (running == 0) ++failed;  // the integer path must have run
    std::printf("target %s checked\n", target.name);
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
