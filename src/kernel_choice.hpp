// Per-kernel dispatch: the fastest target for each group of kernels, found
// by timing them where they run.
//
// A wider instruction set is not always the faster one (512-bit vectors may
// lower the clock or split into two halves on some cores), so each group is
// timed once per process on a small problem: the frame-by-frame
// periodicity kernels (which share the lags per chunk), the running sums
// (in doubles and in 32-bit integers: 512-bit integer lanes may lose to
// 256-bit ones where 512-bit doubles win) and the decoder kernels (which
// share the states per step). Every target gives the
// same bits, so the choice changes only the speed; a narrower target must be
// clearly faster (kMargin) to replace a wider one, so that timing noise does
// not flip the choice between runs.
#pragma once

#include "kernels.hpp"

namespace qp::kernels {

struct Choice {
  const Target* periodicity;
  const Target* running_sums;
  const Target* decoder;
};

// Times the supported targets in `targets` (the scalar one first, which is
// chosen only when it is the only one).
Choice choose_per_kernel(const Target* targets, int count);

}  // namespace qp::kernels
