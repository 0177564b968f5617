#include "viterbi.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tracking.hpp"

namespace qp {

namespace {

// The large work buffers of the Viterbi core outlive a call on the same
// thread. The layer calls the core once per block, with blocks of one size,
// and a fresh buffer of a few MiB is handed out by the allocator as pages
// the system must fault in and zero one by one on every call (a quarter of
// the call's time, more when both cores do it). Buffers above kKeepBytes are
// given back at the end of the call, so a single huge call does not pin its
// memory to the thread.
constexpr std::size_t kKeepBytes = std::size_t{16} << 20;

template <typename T>
class Kept {
 public:
  // `store` filled with n copies of `value`, as a fresh vector would be.
  Kept(std::vector<T>& store, std::size_t n, T value = T()) : store_(store) { store_.assign(n, value); }
  ~Kept() {
    if (store_.capacity() * sizeof(T) > kKeepBytes) std::vector<T>().swap(store_);
  }
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;
  T* data() { return store_.data(); }
  T& operator[](std::size_t i) { return store_[i]; }

 private:
  std::vector<T>& store_;
};

thread_local std::vector<index_t> t_back;
thread_local std::vector<double> t_scores, t_probabilities, t_log_likelihood;

// The log transition block depends only on the states, fs, sigma and the
// lags, which the layer's calls of one track share block after block; it
// costs K x (window / 2) exponentials and K x K logarithms (a tenth of a
// call on speech), so each thread keeps the last one it built.
struct LogBlock {
  index_t n_periods = -1;  // -1: nothing kept
  index_t lo = 0;
  index_t k = 0;
  std::uint64_t fs = 0, sigma = 0;  // the bits, so that any value (NaN too) matches only itself
  std::vector<double> values;
};
thread_local LogBlock t_log_block;

std::uint64_t bits_of(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// log(kEps + A) at rows and columns lo .. lo + k - 1 of the n_periods-state
// matrix, row-major; `local` holds it when it is too large to keep.
const double* log_transition(index_t n_periods, double fs, double sigma, index_t lo, index_t k,
                             std::vector<double>& local) {
  LogBlock& kept = t_log_block;
  if (kept.n_periods == n_periods && kept.lo == lo && kept.k == k && kept.fs == bits_of(fs) &&
      kept.sigma == bits_of(sigma)) {
    return kept.values.data();
  }
  const bool keep = static_cast<std::size_t>(k * k) * sizeof(double) <= kKeepBytes;
  std::vector<double>& out = keep ? kept.values : local;
  kept.n_periods = -1;
  out.resize(static_cast<std::size_t>(k * k));
  transition_block(n_periods, fs, sigma, lo, lo + k, lo, lo + k, out.data());
  log_floor(contiguous(out.data(), k * k), out.data());
  if (keep) {
    kept.n_periods = n_periods;
    kept.lo = lo;
    kept.k = k;
    kept.fs = bits_of(fs);
    kept.sigma = bits_of(sigma);
  }
  return out.data();
}

}  // namespace

void check_decoder_shapes(DMat log_likelihood, DMat log_a) {
  const index_t n = log_likelihood.cols;
  if (log_likelihood.rows == 0) return;
  if (n == 0) {
    raise_value_error("log_likelihood of shape " + shape_text(log_likelihood.rows, n) +
                      " has no state to decode");
  }
  if (log_a.rows < n || log_a.cols < n) {
    raise_value_error("log_A of shape " + shape_text(log_a.rows, log_a.cols) + " is smaller than " +
                      shape_text(n, n) + ", the states of log_likelihood of shape " +
                      shape_text(log_likelihood.rows, n));
  }
}

void viterbi(DMat log_likelihood, DMat log_a, double beta, index_t* path, const kernels::Target& target) {
  const index_t frames = log_likelihood.rows;
  const index_t n = log_likelihood.cols;
  if (frames == 0) return;
  std::vector<double> previous(static_cast<std::size_t>(n));
  std::vector<double> current(static_cast<std::size_t>(n));
  std::vector<double> best(static_cast<std::size_t>(n));
  Kept<index_t> back(t_back, static_cast<std::size_t>(frames * n), 0);  // row 0 unused

  kernels::DecoderSteps decoder(n, log_a, target);
  for (index_t j = 0; j < n; ++j) previous[j] = log_likelihood(0, j);  // the first frame is not weighted
  for (index_t t = 1; t < frames; ++t) {
    decoder.step(previous.data(), best.data(), back.data() + t * n);
    for (index_t j = 0; j < n; ++j) current[j] = beta * log_likelihood(t, j) + best[j];
    std::swap(previous, current);
  }
  double top = previous[0];
  index_t arg = 0;
  for (index_t i = 1; i < n; ++i) {
    if (previous[i] > top) {
      top = previous[i];
      arg = i;
    }
  }
  path[frames - 1] = arg;
  for (index_t t = frames - 2; t >= 0; --t) path[t] = back[(t + 1) * n + path[t + 1]];
}

void pitch_viterbi(FrameSource& source, const ViterbiParams& params, Out<double> rows) {
  const IVec lags = source.lags();
  const index_t k = lags.size;
  const index_t frames = source.frames();
  if (frames == 0) {
    if (!source.two_polarity()) raise_value_error(ViterbiParams::kNoFrames);
    return;
  }

  // The decoder reads only the top-left K x K of the block.
  std::vector<double> local;
  const double* log_a = log_transition(source.window_size() / 2, params.fs, params.sigma, lags[0], k, local);

  const std::size_t cells = static_cast<std::size_t>(frames * k);
  Kept<double> scores(t_scores, cells), probabilities(t_probabilities, cells);
  Kept<double> log_likelihood(t_log_likelihood, cells);
  std::vector<double> levels(frames);
  std::vector<double> flank(static_cast<std::size_t>(k));
  for (index_t t = 0; t < frames; ++t) {
    double* score = scores.data() + t * k;
    double* p = probabilities.data() + t * k;
    levels[t] = source.analyse(t, score);
    observe(contiguous(score, k), flank.data(), p);
    log_floor(contiguous(p, k), log_likelihood.data() + t * k);
  }

  std::vector<index_t> path(static_cast<std::size_t>(frames));
  viterbi(contiguous(log_likelihood.data(), frames, k), contiguous(log_a, k, k), params.beta, path.data());

  for (index_t t = 0; t < frames; ++t) {
    const index_t state = path[t];
    double* row = rows.data + 3 * t;
    if (state == 0) {
      write_row(row, params.fs, kNaN, {kNaN, kNaN});
      continue;
    }
    const Refinement r = refine({scores.data() + t * k, k}, state, params.refine);
    const double lag = static_cast<double>(lags[state]) + r.offset;
    // The strength is a division of host floats, which refuses a zero divisor.
    if (levels[t] == 0.0) throw Error(Error::Kind::ZeroDivisionError, "float division by zero");
    write_row(row, params.fs, lag, {r.value / levels[t], probabilities[t * k + state]});
  }
}

}  // namespace qp
