#include "periodicity.hpp"

#include <cstdint>
#include <string>

namespace qp {

void check_lags(IVec lags) {
  for (index_t k = 0; k < lags.size; ++k) {
    const index_t lag = lags[k];
    if (lag < 0) {
      raise_value_error("search_sample[" + std::to_string(k) + "] = " + std::to_string(lag) +
                        " is negative; lags must be >= 0");
    }
  }
}

void qesmor_frame(DVec frame, IVec lags, double* score, std::vector<double>& gather,
                  const kernels::Target& target) {
  const bool aligned = reinterpret_cast<std::uintptr_t>(frame.base) % alignof(double) == 0;
  if (frame.contiguous() && aligned) {
    kernels::qesmor_sums(reinterpret_cast<const double*>(frame.base), frame.size, lags, score, target);
    return;
  }
  // A strided (or misaligned) frame is gathered once so that every lag reads
  // unit-stride memory.
  if (gather.size() < static_cast<std::size_t>(frame.size)) gather.resize(static_cast<std::size_t>(frame.size));
  for (index_t j = 0; j < frame.size; ++j) gather[j] = frame[j];
  kernels::qesmor_sums(gather.data(), frame.size, lags, score, target);
}

FrameSource::FrameSource(const Framing& framing, IVec lags)
    : framing_(framing),
      lags_(lags),
      scratch_(framing.two_polarity() ? lags.size : 0),
      exact_first_(framing.first(), lags, framing.window_size(), framing.hop_size(), framing.frames()),
      exact_second_(framing.second(), lags, framing.window_size(), framing.hop_size(),
                    framing.two_polarity() ? framing.frames() : 0) {}

double FrameSource::analyse(index_t t, double* score) {
  double level;
  if (!exact_first_.analyse(t, score, level)) {
    const DVec frame = framing_.frame(t);
    qesmor_frame(frame, lags_, score, gather_);
    level = mean_1d(frame);
  }
  if (framing_.two_polarity()) {
    double other_level;
    if (!exact_second_.analyse(t, scratch_.data(), other_level)) {
      const DVec other = framing_.second_frame(t);
      qesmor_frame(other, lags_, scratch_.data(), gather_);
      other_level = mean_1d(other);
    }
    for (index_t k = 0; k < lags_.size; ++k) score[k] = score[k] + scratch_[k];
    level = level + other_level;
  }
  return level;
}

void qesmor_map(FrameSource& source, Out<double> map, Out<double> levels) {
  const index_t lag_count = source.lag_count();
  for (index_t t = 0; t < levels.size; ++t) levels[t] = source.analyse(t, map.data + t * lag_count);
}

}  // namespace qp
