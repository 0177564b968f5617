// The per-target kernel functions and their contracts. Each vector target's
// entries live in its own unit compiled with that target's instruction set;
// only these declarations cross units, so no inline function with external
// linkage is ever compiled with instructions the CPU may lack.
#pragma once

#include <cstddef>

namespace qp::kernels {

using index_t = std::ptrdiff_t;

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

// out[i] = sum over j < n, in order, of at[j * n + i] * v[j] (the product
// first, then the addition) for i < count, a multiple of Target::states.
using MatvecRows = void (*)(const double* at, index_t n, const double* v, index_t count, double* out);

// The widest chunk any target uses (8 accumulators of 8 lanes).
constexpr int kMaxChunk = 64;

namespace {
// IEEE 754 minNum, as C's fmin, written out so that it inlines into the
// kernels instead of costing a library call per sample. Internal linkage:
// every unit keeps its own copy, compiled with its own instructions.
inline double min_num(double a, double b) {
  if (a != a) return b;
  return (b < a) ? b : a;
}
}  // namespace

#define QP_DECLARE_TARGET(name)                                                                 \
  extern const int name##_chunk;                                                              \
  extern const int name##_states;                                                             \
  void name##_qesmor_chunk(const double* x, index_t n, index_t lag0, bool has_nan, double* sums); \
  void name##_viterbi_columns(const double* prev, index_t n, const double* a, index_t row_stride, \
                              index_t count, double* best, index_t* arg);                 \
  void name##_matvec_rows(const double* at, index_t n, const double* v, index_t count, double* out);

QP_DECLARE_TARGET(sse2)
QP_DECLARE_TARGET(avx2)
QP_DECLARE_TARGET(avx512)
QP_DECLARE_TARGET(neon)

#undef QP_DECLARE_TARGET

}  // namespace qp::kernels
