#include "viterbi.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "reused.hpp"
#include "tracking.hpp"

namespace qp {

namespace {

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

// out[j] = beta * row[j] + best[j] for the contiguous doubles at row (any
// alignment), in vectors where the CPU has them: the product, then the sum,
// as one value at a time (the build contracts nothing into fused
// multiply-adds).
QP_WIDE_CLONES
void weigh(const char* row, double beta, const double* best, index_t n, double* __restrict out) {
  for (index_t j = 0; j < n; ++j) {
    double v;
    std::memcpy(&v, row + j * static_cast<index_t>(sizeof(double)), sizeof v);
    out[j] = beta * v + best[j];
  }
}

// The recursion one frame at a time, so that the core can decode each frame
// as soon as its log-likelihoods exist (a row in the first-level cache, not
// a frames x states matrix read back from memory).
class Recursion {
 public:
  Recursion(index_t frames, index_t n, DMat log_a, double beta, const kernels::Target& target)
      : n_(n),
        beta_(beta),
        previous_(static_cast<std::size_t>(n)),
        best_(static_cast<std::size_t>(n)),
        back_(static_cast<std::size_t>(frames * n)),  // row 0 unused
        decoder_(n, log_a, target) {}

  // Frame t's log-likelihoods, t = 0, 1, ... in order, one per state.
  void add(index_t t, DVec row) {
    if (t == 0) {
      for (index_t j = 0; j < n_; ++j) previous_[j] = row[j];  // the first frame is not weighted
      return;
    }
    decoder_.step(previous_.data(), best_.data(), back_.data() + t * n_);
    // In place: state j's new value needs only its own best and likelihood.
    if (row.contiguous()) {
      weigh(row.base, beta_, best_.data(), n_, previous_.data());
    } else {
      for (index_t j = 0; j < n_; ++j) previous_[j] = beta_ * row[j] + best_[j];
    }
  }

  // The path after the last of `frames` frames.
  void backtrack(index_t frames, index_t* path) {
    double top = previous_[0];
    index_t arg = 0;
    for (index_t i = 1; i < n_; ++i) {
      if (previous_[i] > top) {
        top = previous_[i];
        arg = i;
      }
    }
    path[frames - 1] = arg;
    for (index_t t = frames - 2; t >= 0; --t) path[t] = back_[(t + 1) * n_ + path[t + 1]];
  }

 private:
  index_t n_;
  double beta_;
  std::vector<double> previous_;
  std::vector<double> best_;
  Reused<index_t> back_;
  kernels::DecoderSteps decoder_;
};

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
  if (frames == 0) return;
  Recursion recursion(frames, log_likelihood.cols, log_a, beta, target);
  for (index_t t = 0; t < frames; ++t) recursion.add(t, log_likelihood.row(t));
  recursion.backtrack(frames, path);
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

  // Each frame is decoded as soon as it is analysed; its scores and
  // observation stay for the refinement.
  const std::size_t cells = static_cast<std::size_t>(frames * k);
  Reused<double> scores(cells), probabilities(cells);
  std::vector<double> levels(frames);
  std::vector<double> flank(static_cast<std::size_t>(k));
  std::vector<double> log_likelihood(static_cast<std::size_t>(k));
  Recursion recursion(frames, k, contiguous(log_a, k, k), params.beta, kernels::active());
  for (index_t t = 0; t < frames; ++t) {
    double* score = scores.data() + t * k;
    double* p = probabilities.data() + t * k;
    levels[t] = source.analyse(t, score);
    observe(contiguous(score, k), flank.data(), p);
    log_floor(contiguous(p, k), log_likelihood.data());
    recursion.add(t, contiguous(log_likelihood.data(), k));
  }

  std::vector<index_t> path(static_cast<std::size_t>(frames));
  recursion.backtrack(frames, path.data());

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
