// Hot kernels with one implementation per instruction-set target, chosen at
// run time.
//
// Every target vectorises across independent sums, never within one: the
// periodicity kernel gives each SIMD lane its own lag and adds its terms in
// increasing j, and the decoder gives each lane its own later state and
// scans the earlier states upward with the same strict comparison as the
// scalar code. Results are therefore bit-identical on every target; the
// tests check this for each target the CPU supports. The plain scalar target
// always exists; it is the portable fallback and the benchmark baseline.
#pragma once

#include "views.hpp"

namespace qp::kernels {

// sums[c] = sum over j < n - lag0 - c, in increasing j, of
// minNum(x[j], x[j + lag0 + c]) for c < Target::chunk: the qesmor sums of
// the run of lags lag0 .. lag0 + chunk - 1 over the contiguous frame x[0, n),
// every one of which must overlap the frame (n - lag0 >= chunk). `has_nan`
// says whether the frame holds any NaN (without NaN the plain vector minimum
// gives the same sums).
using QesmorChunk = void (*)(const double* x, index_t n, index_t lag0, bool has_nan, double* sums);

// For each later state j in [0, count): best[j] = max over i < n, scanned
// upward with a strict comparison starting from i = 0, of prev[i] + a[i][j],
// and arg[j] the winning i. Row i of `a` starts at a + i * row_stride (in
// elements); its columns are contiguous. count is a multiple of
// Target::states.
using ViterbiColumns = void (*)(const double* prev, index_t n, const double* a, index_t row_stride,
                                index_t count, double* best, index_t* arg);

// The widest chunk any target uses (8 accumulators of 8 lanes).
constexpr int kMaxChunk = 64;

// out[i] = sum over j < n, in order, of at[j * n + i] * v[j] (the product
// first, then the addition) for i < count, a multiple of Target::states.
using MatvecRows = void (*)(const double* at, index_t n, const double* v, index_t count, double* out);

struct Target {
  const char* name;
  int chunk;   // lags per periodicity chunk; 0: the straightforward scalar loop
  int states;  // later states per decoder step; 0: scalar
  QesmorChunk qesmor_chunk;
  ViterbiColumns viterbi_columns;
  MatvecRows matvec_rows;
  bool (*supported)();
};

// Every target compiled into this build, the scalar one first.
int target_count();
const Target& target(int index);
// The fastest supported target, chosen once.
const Target& active();
// Makes active() return `target` (nullptr: the best again). Each extension
// module has its own copy of this state.
void set_override(const Target* target);
// A supported target by name, or nullptr.
const Target* find(const char* name);

}  // namespace qp::kernels
