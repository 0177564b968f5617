// Strided views over caller memory and the errors the numeric cores raise.
//
// The cores never see a Python object. They read the caller's arrays through
// these views (byte strides, any sign, no copies) and write into buffers that
// the module surface allocated. Element access goes through memcpy so that a
// buffer exported at an odd address is still read without undefined
// behaviour; compilers turn it into a plain load.
#pragma once

#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

// A function whose lanes are independent sums may also be built as AVX-512
// and AVX2 copies, the widest the CPU has chosen when the module loads. Their
// bits are the plain build's: the build forbids contraction into fused
// multiply-adds. The AVX-512 copy (4-lane vectors, but with mask registers
// and 64-bit integer min and max) halves the grid scan of the running sums'
// certificate, which AVX2 can only do with compares and blends.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#if __GNUC__ >= 12
#define QP_WIDE_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define QP_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#endif
// Code for eight lanes of doubles, one AVX-512 register, built for AVX-512
// and run where kernels::eight_lanes() allows.
#define QP_EIGHT_LANES_BUILT 1
#define QP_EIGHT_LANES __attribute__((target("avx512f")))
#else
#define QP_WIDE_CLONES
#define QP_EIGHT_LANES_BUILT 0
#endif

namespace qp {

using index_t = std::ptrdiff_t;

#if defined(__GNUC__)
// W doubles side by side, one independent value per lane, and W indices to
// shuffle them with (types only: no function takes or returns one by value,
// since the calling convention for them differs between instruction sets).
template <int W>
struct LaneType {
  typedef double type __attribute__((vector_size(W * sizeof(double))));
  typedef long long index __attribute__((vector_size(W * sizeof(long long))));
};
#endif  // same width as Py_ssize_t / numpy intp

// The logarithm floor and the threshold under which a denominator counts as
// zero; far below any meaningful score, above the smallest subnormal.
constexpr double kEps = 1e-300;

// Marks an unvoiced frame in every track.
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class T>
struct Vec {
  const char* base = nullptr;
  index_t size = 0;
  index_t stride = sizeof(T);  // bytes between consecutive elements

  T operator[](index_t i) const {
    T value;
    std::memcpy(&value, base + i * stride, sizeof(T));
    return value;
  }
  bool contiguous() const { return stride == static_cast<index_t>(sizeof(T)); }
  // Elements [lo, hi) with lo <= hi <= size.
  Vec slice(index_t lo, index_t hi) const { return {base + lo * stride, hi - lo, stride}; }
};

// Mutable contiguous view of a buffer the surface allocated for a result.
template <class T>
struct Out {
  T* data = nullptr;
  index_t size = 0;
  T& operator[](index_t i) const { return data[i]; }
  Vec<T> view() const { return {reinterpret_cast<const char*>(data), size, sizeof(T)}; }
};

template <class T>
struct Mat {
  const char* base = nullptr;
  index_t rows = 0;
  index_t cols = 0;
  index_t row_stride = 0;  // bytes
  index_t col_stride = sizeof(T);

  T operator()(index_t r, index_t c) const {
    T value;
    std::memcpy(&value, base + r * row_stride + c * col_stride, sizeof(T));
    return value;
  }
  Vec<T> row(index_t r) const { return {base + r * row_stride, cols, col_stride}; }
};

using DVec = Vec<double>;
using IVec = Vec<index_t>;
using DMat = Mat<double>;

// Views of buffers a core allocated for itself: n doubles, or rows x cols
// doubles stored row-major.
inline DVec contiguous(const double* data, index_t n) {
  return {reinterpret_cast<const char*>(data), n, sizeof(double)};
}
inline DMat contiguous(const double* data, index_t rows, index_t cols) {
  return {reinterpret_cast<const char*>(data), rows, cols, static_cast<index_t>(cols * sizeof(double)),
          sizeof(double)};
}

// Errors raised by the cores. The surface turns each kind into the matching
// Python exception with the message unchanged.
class Error : public std::runtime_error {
 public:
  enum class Kind { Exception, ValueError, OverflowError, ZeroDivisionError };
  Error(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

[[noreturn]] inline void raise_value_error(const std::string& message) {
  throw Error(Error::Kind::ValueError, message);
}

// "(rows, cols)", as the errors name a shape.
inline std::string shape_text(index_t rows, index_t cols) {
  return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

}  // namespace qp
