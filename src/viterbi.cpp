#include "viterbi.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "bayes.hpp"

namespace qp {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string shape(index_t rows, index_t cols) {
  return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

DMat matrix_of(const std::vector<double>& data, index_t rows, index_t cols) {
  return {reinterpret_cast<const char*>(data.data()), rows, cols, static_cast<index_t>(cols * sizeof(double)),
          sizeof(double)};
}

}  // namespace

void log_floor(DVec x, double* out) {
  for (index_t i = 0; i < x.size; ++i) out[i] = std::log(kEps + x[i]);
}

void check_decoder_shapes(DMat log_likelihood, DMat log_a) {
  const index_t n = log_likelihood.cols;
  if (log_likelihood.rows == 0) return;
  if (n == 0) {
    raise_value_error("log_likelihood of shape " + shape(log_likelihood.rows, n) +
                      " has no state to decode");
  }
  if (log_a.rows < n || log_a.cols < n) {
    raise_value_error("log_A of shape " + shape(log_a.rows, log_a.cols) + " is smaller than " + shape(n, n) +
                      ", the states of log_likelihood of shape " + shape(log_likelihood.rows, n));
  }
}

void viterbi(DMat log_likelihood, DMat log_a, double beta, index_t* path, const kernels::Target& target) {
  const index_t frames = log_likelihood.rows;
  const index_t n = log_likelihood.cols;
  if (frames == 0) return;
  std::vector<double> previous(static_cast<std::size_t>(n));
  std::vector<double> current(static_cast<std::size_t>(n));
  std::vector<double> best(static_cast<std::size_t>(n));
  std::vector<index_t> back(static_cast<std::size_t>(frames * n), 0);  // row 0 unused

  // The vector targets need rows of contiguous, element-aligned columns.
  const bool rows_contiguous = log_a.col_stride == static_cast<index_t>(sizeof(double)) &&
                               log_a.row_stride % static_cast<index_t>(sizeof(double)) == 0;
  const index_t vector_states =
      (target.states > 0 && rows_contiguous) ? n - n % static_cast<index_t>(target.states) : 0;

  for (index_t j = 0; j < n; ++j) previous[j] = log_likelihood(0, j);  // the first frame is not weighted
  for (index_t t = 1; t < frames; ++t) {
    index_t* from = back.data() + t * n;
    if (vector_states > 0) {
      target.viterbi_columns(previous.data(), n, reinterpret_cast<const double*>(log_a.base),
                             log_a.row_stride / static_cast<index_t>(sizeof(double)), vector_states, best.data(), from);
    }
    for (index_t j = vector_states; j < n; ++j) {
      double top = previous[0] + log_a(0, j);
      index_t arg = 0;
      for (index_t i = 1; i < n; ++i) {
        const double v = previous[i] + log_a(i, j);
        if (v > top) {
          top = v;
          arg = i;
        }
      }
      best[j] = top;
      from[j] = arg;
    }
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

void check_viterbi_lags(IVec lags, index_t window_size) {
  if (lags.size == 0) raise_value_error("search_sample is empty; the tracking cores need at least one lag");
  check_lags(lags);
  const index_t n_periods = window_size / 2;
  const index_t first = lags[0];
  const index_t last = lags[lags.size - 1];
  const index_t stop = block_end(last, n_periods);
  const index_t block = std::max<index_t>(stop - std::min(first, stop), 0);
  if (block < lags.size) {
    raise_value_error("search_sample from " + std::to_string(first) + " to " + std::to_string(last) +
                      " selects a " + shape(block, block) + " transition block out of " +
                      std::to_string(n_periods) + " states (window_size // 2), smaller than the " +
                      shape(lags.size, lags.size) + " its " + std::to_string(lags.size) +
                      " lags need; lags must increase and stay below window_size // 2");
  }
}

void pitch_viterbi(FrameSource& source, index_t window_size, const ViterbiParams& params, Out<double> rows) {
  const IVec lags = source.lags();
  const index_t k = lags.size;
  const index_t frames = source.frames();
  if (frames == 0) return;

  // The decoder reads only the top-left K x K of the block.
  std::vector<double> log_a(static_cast<std::size_t>(k * k));
  transition_block(window_size / 2, params.fs, params.sigma, lags[0], lags[0] + k, lags[0], lags[0] + k,
                   log_a.data());
  log_floor(DVec{reinterpret_cast<const char*>(log_a.data()), k * k, sizeof(double)}, log_a.data());

  const std::size_t cells = static_cast<std::size_t>(frames * k);
  std::vector<double> scores(cells), probabilities(cells), log_likelihood(cells), levels(frames);
  std::vector<double> flank(static_cast<std::size_t>(k));
  for (index_t t = 0; t < frames; ++t) {
    double* score = scores.data() + t * k;
    double* p = probabilities.data() + t * k;
    levels[t] = source.analyse(t, score);
    prev_first_up_zero(DVec{reinterpret_cast<const char*>(score), k, sizeof(double)}, flank.data());
    probability(DVec{reinterpret_cast<const char*>(flank.data()), k, sizeof(double)}, p);
    log_floor(DVec{reinterpret_cast<const char*>(p), k, sizeof(double)}, log_likelihood.data() + t * k);
  }

  std::vector<index_t> path(static_cast<std::size_t>(frames));
  viterbi(matrix_of(log_likelihood, frames, k), matrix_of(log_a, k, k), params.beta, path.data());

  for (index_t t = 0; t < frames; ++t) {
    const index_t state = path[t];
    double* row = rows.data + 3 * t;
    if (state == 0) {
      row[0] = row[1] = row[2] = kNaN;
      continue;
    }
    const Refinement r = refine({scores.data() + t * k, k}, state, params.refine);
    const double lag = static_cast<double>(lags[state]) + r.offset;
    // The strength is a division of host floats, which refuses a zero divisor.
    if (levels[t] == 0.0) throw Error(Error::Kind::ZeroDivisionError, "float division by zero");
    const double ratio = r.value / levels[t];
    if (std::isnan(lag)) {
      row[0] = row[1] = row[2] = kNaN;
    } else {
      row[0] = params.fs / lag;
      row[1] = ratio;
      row[2] = probabilities[t * k + state];
    }
  }
}

}  // namespace qp
