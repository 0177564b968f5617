// The hot kernels: one entry per kernel, each running one instruction-set
// target chosen at run time.
//
// Every target vectorises across independent sums, never within one: the
// periodicity kernel gives each SIMD lane its own lag and adds its terms in
// increasing j, and the decoder gives each lane its own later state and
// scans the earlier states upward with the same strict comparison as the
// scalar code. Results are therefore bit-identical on every target; the
// tests check this for each target the CPU supports. The scalar target
// always exists; it is the portable fallback, the reference and the
// benchmark baseline. An entry sends the part of its work that fills whole
// vectors to the target and finishes the rest with the scalar code.
#pragma once

#include "kernel_targets.hpp"
#include "views.hpp"

namespace qp::kernels {

struct Target {
  const char* name;
  int chunk;   // consecutive lags per periodicity chunk
  int states;  // later states per decoder step and rows per matrix-vector pass
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

// score[k] = qesmor value of the contiguous frame x[0 .. n) at lag lags[k];
// every lag must be >= 0.
void qesmor_sums(const double* x, index_t n, IVec lags, double* score, const Target& target = active());

// One decoder step over n states: for each later state j, best[j] = max over
// earlier states i (scanned upward, strict comparison, starting from i = 0)
// of prev[i] + log_a(i, j), and from[j] the winning i.
void decoder_step(const double* prev, index_t n, DMat log_a, double* best, index_t* from,
                  const Target& target = active());

// out[i] = sum over j < n, in order, of a(i, j) * v[j], in order, for i < n,
// with the square matrix given transposed: at[j * n + i] = a(i, j).
void matvec_transposed(const double* at, index_t n, const double* v, double* out,
                       const Target& target = active());

}  // namespace qp::kernels
