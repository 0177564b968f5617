#include "tracking.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "framing.hpp"
#include "periodicity.hpp"

namespace qp {

namespace {

double log_frequency(double fs, index_t state) {
  return std::log2(fs / static_cast<double>(state + 1));
}

void check_lag_set(IVec lags) {
  if (lags.size == 0) raise_value_error("search_sample is empty; the tracking cores need at least one lag");
  check_lags(lags);
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

void log_floor(DVec x, double* out) {
  // Every zero (each probability before a score's first rise) has the same
  // logarithm, ln(kEps + 0) = ln(kEps), taken once.
  static const double at_zero = std::log(kEps);
  for (index_t i = 0; i < x.size; ++i) {
    const double v = x[i];
    out[i] = v == 0.0 ? at_zero : std::log(kEps + v);
  }
}

void prev_first_up_zero(DVec data, double* out) {
  const index_t n = data.size;
  for (index_t i = 0; i < n; ++i) out[i] = data[i];
  for (index_t i = 1; i < n; ++i) {
    if (data[i] - data[i - 1] > 0.0) {
      std::fill(out, out + (i - 1), 0.0);
      return;
    }
  }
  if (n > 0) std::fill(out, out + n, 1.0 / static_cast<double>(n));
}

void observe(DVec score, double* flank, double* observation) {
  prev_first_up_zero(score, flank);
  probability(contiguous(flank, score.size), observation);
}

void check_consecutive_lags(IVec lags) {
  check_lag_set(lags);
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

void check_block_lags(IVec lags, index_t window_size) {
  check_lag_set(lags);
  const index_t n_periods = window_size / 2;
  const index_t first = lags[0];
  const index_t last = lags[lags.size - 1];
  const index_t stop = block_end(last, n_periods);
  const index_t block = std::max<index_t>(stop - std::min(first, stop), 0);
  if (block < lags.size) {
    raise_value_error("search_sample from " + std::to_string(first) + " to " + std::to_string(last) +
                      " selects a " + shape_text(block, block) + " transition block out of " +
                      std::to_string(n_periods) + " states (window_size // 2), smaller than the " +
                      shape_text(lags.size, lags.size) + " its " + std::to_string(lags.size) +
                      " lags need; lags must increase and stay below window_size // 2");
  }
}

}  // namespace qp
