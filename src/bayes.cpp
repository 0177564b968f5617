#include "bayes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace qp {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double log_frequency(double fs, index_t state) {
  return std::log2(fs / static_cast<double>(state + 1));
}

}  // namespace

void transition_matrix(index_t n_periods, double fs, double sigma, double* out) {
  const index_t n = n_periods;
  std::vector<double> x(static_cast<std::size_t>(n));
  for (index_t r = 0; r < n; ++r) x[r] = log_frequency(fs, r);
  const double denominator = (sigma + sigma) * sigma;
  // d and -d square to the same value, so the kernel is exactly symmetric
  // and half of it is mirrored instead of recomputed.
  for (index_t i = 0; i < n; ++i) {
    for (index_t j = i; j < n; ++j) {
      const double d = x[i] - x[j];
      out[i * n + j] = out[j * n + i] = std::exp(-(d * d) / denominator);
    }
  }
  std::vector<double> sums(static_cast<std::size_t>(n), 0.0);
  for (index_t i = 0; i < n; ++i) {
    for (index_t j = 0; j < n; ++j) sums[j] += out[i * n + j];  // each column summed in row order
  }
  for (index_t i = 0; i < n; ++i) {
    for (index_t j = 0; j < n; ++j) out[i * n + j] /= sums[j];
  }
}

void transition_block(index_t n_periods, double fs, double sigma, index_t row_lo, index_t row_hi,
                      index_t col_lo, index_t col_hi, double* out, bool transposed) {
  const index_t rows = row_hi - row_lo;
  const index_t cols = col_hi - col_lo;
  if (cols <= 0 || rows <= 0) return;
  std::vector<double> x(static_cast<std::size_t>(n_periods));
  for (index_t r = 0; r < n_periods; ++r) x[r] = log_frequency(fs, r);
  const double denominator = (sigma + sigma) * sigma;
  std::vector<double> column(static_cast<std::size_t>(n_periods));
  for (index_t j = col_lo; j < col_hi; ++j) {
    // Every row enters the column sum, in order, even when only a block of
    // rows is kept.
    double sum = 0.0;
    for (index_t i = 0; i < n_periods; ++i) {
      const double d = x[i] - x[j];
      column[i] = std::exp(-(d * d) / denominator);
      sum += column[i];
    }
    for (index_t i = row_lo; i < row_hi; ++i) {
      const index_t at = transposed ? (j - col_lo) * rows + (i - row_lo) : (i - row_lo) * cols + (j - col_lo);
      out[at] = column[i] / sum;
    }
  }
}

void probability(DVec x, double* out) {
  const double total = sum_1d(x);
  for (index_t k = 0; k < x.size; ++k) out[k] = x[k] / total;
}

void matvec_transposed(const double* at, index_t n, const double* v, double* out, const kernels::Target& target) {
  const index_t vector_rows = target.states > 0 ? n - n % static_cast<index_t>(target.states) : 0;
  if (vector_rows > 0) target.matvec_rows(at, n, v, vector_rows, out);
  for (index_t i = vector_rows; i < n; ++i) {
    double sum = 0.0;
    for (index_t j = 0; j < n; ++j) sum += at[j * n + i] * v[j];
    out[i] = sum;
  }
}

void check_consecutive_lags(IVec lags) {
  if (lags.size == 0) raise_value_error("search_sample is empty; the tracking cores need at least one lag");
  check_lags(lags);
  for (index_t k = 1; k < lags.size; ++k) {
    // Compared as lags[k] - 1 (lags[k] >= 0 here): lags[k - 1] + 1 would
    // overflow for the largest index.
    if (lags[k] - 1 != lags[k - 1]) {
      raise_value_error("search_sample must hold consecutive increasing lags, but search_sample[" +
                        std::to_string(k - 1) + "] = " + std::to_string(lags[k - 1]) + " and search_sample[" +
                        std::to_string(k) + "] = " + std::to_string(lags[k]));
    }
  }
}

void pitch_bayes(FrameSource& source, index_t window_size, const BayesParams& params, Out<double> rows) {
  const IVec lags = source.lags();
  const index_t n = lags.size;
  const index_t frames = source.frames();
  if (frames == 0) return;

  // The block at rows and columns lags[0] .. lags[n-1], cut at the matrix's
  // end like a slice; candidates beyond it are never predicted (stay 0).
  const index_t n_periods = window_size / 2;
  const index_t lo = std::min(lags[0], n_periods);
  const index_t hi = block_end(lags[n - 1], n_periods);
  const index_t block_size = hi - lo;
  std::vector<double> block(static_cast<std::size_t>(block_size * block_size));
  // Stored transposed so that the prediction reads each row's terms across lanes.
  transition_block(n_periods, params.fs, params.sigma, lo, hi, lo, hi, block.data(), /*transposed=*/true);

  std::vector<double> score(n), flank(n), observation(n), belief(n, 0.0), prediction(n, 0.0);
  auto view = [n](const std::vector<double>& v) { return DVec{reinterpret_cast<const char*>(v.data()), n, sizeof(double)}; };

  for (index_t t = 0; t < frames; ++t) {
    const double level = source.analyse(t, score.data());
    prev_first_up_zero(view(score), flank.data());
    probability(view(flank), observation.data());
    if (sum_1d(view(belief)) < params.reinit_below) {
      belief = observation;
    } else {
      matvec_transposed(block.data(), block_size, belief.data(), prediction.data());
      for (index_t k = 0; k < n; ++k) belief[k] = std::pow(prediction[k], params.alpha) * observation[k];
    }
    probability(view(belief), belief.data());  // elementwise, so in place is safe
    const index_t best = argmax_1d(view(belief));

    double* row = rows.data + 3 * t;
    double lag = kNaN;
    double value = kNaN;
    double posterior = kNaN;
    if (best != 0) {
      const Refinement r = refine({score.data(), n}, best, params.refine);
      lag = static_cast<double>(lags[best]) + r.offset;
      value = r.value / level;
      posterior = belief[best];
    }
    if (std::isnan(lag)) {
      row[0] = row[1] = row[2] = kNaN;
    } else {
      row[0] = params.fs / lag;
      row[1] = value;
      row[2] = posterior;
    }
  }
}

}  // namespace qp
