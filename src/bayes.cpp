#include "bayes.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels.hpp"
#include "tracking.hpp"

namespace qp {

void pitch_bayes(FrameSource& source, const BayesParams& params, Out<double> rows) {
  const IVec lags = source.lags();
  const index_t n = lags.size;
  const index_t frames = source.frames();
  if (frames == 0) return;
  const double restart_below = BayesParams::restart_below(source.two_polarity());

  // The block at rows and columns lags[0] .. lags[n-1], cut at the matrix's
  // end like a slice; candidates beyond it are never predicted (stay 0).
  const index_t n_periods = source.window_size() / 2;
  const index_t lo = std::min(lags[0], n_periods);
  const index_t hi = block_end(lags[n - 1], n_periods);
  const index_t block_size = hi - lo;
  std::vector<double> block(static_cast<std::size_t>(block_size * block_size));
  // Stored transposed so that the prediction reads each row's terms across lanes.
  transition_block(n_periods, params.fs, params.sigma, lo, hi, lo, hi, block.data(), /*transposed=*/true);

  std::vector<double> score(n), flank(n), observation(n), belief(n, 0.0), prediction(n, 0.0);
  const DVec belief_view = contiguous(belief.data(), n);

  for (index_t t = 0; t < frames; ++t) {
    const double level = source.analyse(t, score.data());
    observe(contiguous(score.data(), n), flank.data(), observation.data());
    if (sum_1d(belief_view) < restart_below) {
      belief = observation;
    } else {
      kernels::matvec_transposed(block.data(), block_size, belief.data(), prediction.data());
      for (index_t k = 0; k < n; ++k) belief[k] = std::pow(prediction[k], params.alpha) * observation[k];
    }
    probability(belief_view, belief.data());  // elementwise, so in place is safe
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
