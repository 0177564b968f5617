// Entry points of the vector targets, each in its own unit compiled with
// that target's instruction set. Only these declarations cross units, so no
// inline function is ever compiled with instructions the CPU may lack.
#pragma once

#include <cstddef>

namespace qp::kernels {

using index_t = std::ptrdiff_t;

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
