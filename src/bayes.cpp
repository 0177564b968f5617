#include "bayes.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels.hpp"
#include "tracking.hpp"

namespace qp {

BlockRange bayes_block_range(IVec lags, index_t window_size) {
  // The block at rows and columns lags[0] .. lags[n-1], cut at the matrix's
  // end like a slice; candidates beyond it are never predicted (stay 0).
  const index_t n_periods = window_size / 2;
  return {std::min(lags[0], n_periods), block_end(lags[lags.size - 1], n_periods)};
}

void pitch_bayes(FrameSource& source, const BayesParams& params, Out<double> rows) {
  if (source.frames() == 0) return;
  const BlockRange range = bayes_block_range(source.lags(), source.window_size());
  const index_t block_size = range.hi - range.lo;
  std::vector<double> block(static_cast<std::size_t>(block_size * block_size));
  // Stored transposed so that the prediction reads each row's terms across lanes.
  transition_block(source.window_size() / 2, params.fs, params.sigma, range.lo, range.hi, range.lo, range.hi,
                   block.data(), /*transposed=*/true);
  std::vector<double> belief(static_cast<std::size_t>(source.lag_count()), 0.0);
  bayes_filter(source, params, block.data(), block_size, belief.data(), rows);
}

void bayes_filter(FrameSource& source, const BayesParams& params, const double* transposed,
                  index_t block_size, double* belief, Out<double> rows) {
  const IVec lags = source.lags();
  const index_t n = lags.size;
  const index_t frames = source.frames();
  const double restart_below = BayesParams::restart_below(source.two_polarity());

  std::vector<double> score(n), flank(n), observation(n), prediction(n, 0.0);
  const DVec belief_view = contiguous(belief, n);

  for (index_t t = 0; t < frames; ++t) {
    const double level = source.analyse(t, score.data());
    observe(contiguous(score.data(), n), flank.data(), observation.data());
    if (sum_1d(belief_view) < restart_below) {
      std::copy(observation.begin(), observation.end(), belief);
    } else {
      kernels::matvec_transposed(transposed, block_size, belief, prediction.data());
      for (index_t k = 0; k < n; ++k) belief[k] = std::pow(prediction[k], params.alpha) * observation[k];
    }
    probability(belief_view, belief);  // elementwise, so in place is safe
    const index_t best = argmax_1d(belief_view);

    double lag = kNaN;
    double value = kNaN;
    double posterior = kNaN;
    if (best != 0) {
      const Refinement r = refine({score.data(), n}, best, params.refine);
      lag = static_cast<double>(lags[best]) + r.offset;
      value = r.value / level;
      posterior = belief[best];
    }
    write_row(rows.data + 3 * t, params.fs, lag, {value, posterior});
  }
}

}  // namespace qp
