#include "direct.hpp"

#include <vector>

namespace qp {

namespace {

index_t detect_peak(DVec score, double level, const DirectParams& params) {
  switch (params.detect) {
    case DetectMode::Score:
      // Relative to the frame mean, which is also the qesmor value at lag 0.
      return first_peak_above(score, level * params.threshold);
    case DetectMode::Static:
      return first_peak_above(score, params.threshold);
    case DetectMode::Maximum:
      return peak_detect_maximum(score);
    case DetectMode::Peak:
      // Without any peak the threshold is NaN and nothing qualifies.
      return first_peak_above(score, calc_peak_max_value(score) * params.threshold);
    case DetectMode::Unknown:
      break;
  }
  throw Error(Error::Kind::Exception, "pitch_detect_mode is score,static,maximum,peak.");
}

}  // namespace

void check_smoothing(index_t lag_count, int smooth) {
  if (lag_count - static_cast<index_t>(smooth) + 1 < 0) raise_value_error("negative dimensions are not allowed");
}

void pitch_direct(FrameSource& source, const DirectParams& params, Out<double> rows) {
  const index_t lag_count = source.lag_count();
  const IVec lags = source.lags();
  const index_t frames = source.frames();
  const int s = params.smooth;
  const char* unknown_interpolator = DirectParams::unknown_interpolator(source.two_polarity());
  std::vector<double> raw(static_cast<std::size_t>(lag_count));
  std::vector<double> smoothed(s > 1 ? static_cast<std::size_t>(lag_count - s + 1) : 0);
  // In the index type: s - 1 overflows an int for the smallest s, which is
  // refused only at the first frame.
  const double shift = static_cast<double>((static_cast<index_t>(s) - 1) / 2);

  for (index_t t = 0; t < frames; ++t) {
    const double level = source.analyse(t, raw.data());
    Out<double> score{raw.data(), lag_count};
    if (s > 1) {
      const double width = static_cast<double>(s);
      for (std::size_t j = 0; j < smoothed.size(); ++j) {
        double sum = 0.0;
        for (int k = 0; k < s; ++k) sum += raw[j + k] / width;  // divide each term, then add
        smoothed[j] = sum;
      }
      score = {smoothed.data(), static_cast<index_t>(smoothed.size())};
    } else if (s < 1) {
      throw Error(Error::Kind::Exception, "qesmor_smooth > 0 and int");
    }

    double lag = kNaN;
    double value = kNaN;
    const index_t peak = detect_peak(score.view(), level, params);
    if (peak != 0) {
      const Refinement r = refine(score, peak, params.refine, unknown_interpolator);
      value = r.value / level;
      lag = (static_cast<double>(lags[peak]) + r.offset) + shift;
    }
    write_row(rows.data + 2 * t, params.fs, lag, {value});
  }
}

}  // namespace qp
