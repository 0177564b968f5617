// The per-target kernel functions and their contracts. Each vector target's
// entries live in its own unit compiled with that target's instruction set;
// only these declarations cross units, so no inline function with external
// linkage is ever compiled with instructions the CPU may lack.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qp::kernels {

using index_t = std::ptrdiff_t;

// What a frame holds, which decides the minimum a kernel may use: a NaN
// (IEEE minNum), else a sample below zero (the plain vector minimum, equal
// to minNum without NaN), else neither: the minimum may compare the
// samples' bits as integers, which order alike for doubles with the sign bit
// clear. A -0.0 counts as unsigned: it may then win over a +0.0, but a sum
// that starts at +0.0 is unchanged by a zero term of either sign.
enum class Samples { kWithNan, kSigned, kUnsigned };

// sums[c] = sum over j < n - lag0 - c, in increasing j, of
// minNum(x[j], x[j + lag0 + c]) for c < Target::chunk: the qesmor sums of
// the run of lags lag0 .. lag0 + chunk - 1 over the contiguous frame x[0, n),
// every one of which must overlap the frame (n - lag0 >= chunk). `kind`
// says what the frame holds (see Samples).
using QesmorChunk = void (*)(const double* x, index_t n, index_t lag0, Samples kind, double* sums);

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

// rows[t * row_stride + k] = the qesmor value of frame t (samples t * hop ..
// t * hop + window - 1 of x) at lags[k] (the sum divided by window - lags[k]),
// for t < frames and k < count, from running sums over the block x[0 ..
// span) (exact_kernel.inc). Bit-identical to the frame-by-frame values only
// under the certificate of exact_sums.hpp; also needs no NaN in the block,
// every lag >= 0 (one with window - lag < 1 scores 0.0), frames >= 1, and `scratch` of
// running_lanes_scratch(frames, hop, window) doubles. Reads only x[0 .. span).
// `unsigned_samples`: no sample of the block has its sign bit set, except
// -0.0 (a faster minimum applies). `part` selects what is summed: x itself
// (0), or the half-wave half_wave_sample<part> derives from each sample (1
// positive, -1 negative), so that a two-polarity analysis reads one signal
// instead of two arrays made from it; the certificate and `unsigned_samples`
// then speak of the half-wave.
using RunningLanes = void (*)(const double* x, index_t span, index_t frames, index_t hop, index_t window,
                              const index_t* lags, index_t count, bool unsigned_samples, int part,
                              double* scratch, double* rows, index_t row_stride);

// RunningLanes for samples that are all integer multiples k * 2^exponent of
// one power of two with |k| * window < 2^31 (exact_sums.hpp), exponent in
// [-1000, 1000]: the running sums are carried as 32-bit integers, with the
// same results. No sign condition. `part` as for RunningLanes (the condition
// on the multiples then holds for the half-wave).
using RunningLanesInt = void (*)(const double* x, index_t span, index_t frames, index_t hop, index_t window,
                                 const index_t* lags, index_t count, int exponent, int part, double* scratch,
                                 double* rows, index_t row_stride);

// The most lags a running-sum pass carries, and the widest vector, in doubles.
constexpr int kMaxLaneLags = 16;
constexpr int kMaxLanes = 8;

// Scratch for RunningLanes (and RunningLanesInt) on any target: each lane's
// stretch of samples (padded) as rows, and each lag's running sums at the
// frame starts. A vector of 32-bit lanes has twice the lanes of a vector of
// doubles in the same bytes, so its rows and starts need no more room.
inline index_t running_lanes_scratch(index_t frames, index_t hop, index_t window) {
  const index_t slots = frames + kMaxLanes - 1;  // at least lanes * slots for every width
  return slots * hop + kMaxLanes * (window + kMaxLaneLags) + slots * kMaxLaneLags + 8;
}

// Rows per block of the pruned decoder step.
constexpr int kDecoderRows = 8;

// Slots per row of the pruned step's block bounds: the blocks rounded up to
// whole vectors of the widest target, so that a target reads them a vector
// at a time. The slots past the last block hold -2^1000, which no bound
// passes.
inline index_t decoder_block_slots(index_t blocks) { return (blocks + kMaxLanes - 1) / kMaxLanes * kMaxLanes; }

// ViterbiColumns with whole blocks of kDecoderRows earlier states skipped
// where, for every later state j of a group of Target::states,
// block_top[b] + col_top[b * count + j] < seed[j] (block_top[b]: the largest
// prev in block b; col_top: the largest a[i][j] over its rows; seed[j]: the
// value of some candidate of column j; group_top[g * slots + b]: the largest
// col_top of group g in block b, groups = ceil(count / states), the last
// group being the states columns that end at count; slots =
// decoder_block_slots(blocks), block_top and each group's row padded as it
// says). count >= states need not be a multiple of states. Bit-identical to
// ViterbiColumns when every value is finite and no sum overflows (see
// decoder_bound.hpp). Returns the number of (block, group) pairs it scanned.
using ViterbiPruned = index_t (*)(const double* prev, index_t n, const double* a, index_t row_stride, index_t count,
                                  const double* block_top, const double* col_top, const double* group_top,
                                  const double* seed, double* best, index_t* arg);

// The block of the half-wave sums: which partial sum a sample adds to
// depends only on its position within a block.
constexpr int kHalfWaveBlock = 16;
// The most consecutive lags one HalfWaveBlocks call measures.
constexpr int kMaxHalfWaveLags = 4;

// For each lag L = lag0 + c, c < count (at most kMaxHalfWaveLags), over the
// half-wave h[0, window) (samples +0.0 or above, no NaN, no -0.0) and its
// n = window - L >= 1 overlapping samples: partial[c * kHalfWaveBlock + r] =
// sum over the j < n - n % kHalfWaveBlock (the whole blocks) with
// j % kHalfWaveBlock == r, in increasing j, of min(h[j], h[j + L]). Samples
// of this kind have one minimum whatever instruction takes it.
using HalfWaveBlocks = void (*)(const double* h, index_t window, index_t lag0, index_t count, double* partial);

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

// A sample of a half-wave from the sample v of its signal: the positive
// half-wave (kPart 1) holds v > 0 ? v : +0.0, the negative one (kPart -1)
// v < 0 ? -v : +0.0, kPart 0 is v itself. So a NaN is +0.0 in both, -0.0
// is +0.0, and no half-wave sample has its sign bit set. Every producer of
// half-waves goes through this, so that all of them agree bit for bit.
// Written as a mask on the bits: the compilers made the plain conditional
// a branch in the running sums' loops, mispredicted on every other sign
// change of a voice.
template <int kPart>
inline double half_wave_sample(double v) {
  if constexpr (kPart == 0) {
    return v;
  } else {
    std::uint64_t bits;
    __builtin_memcpy(&bits, &v, sizeof bits);
    const bool keep = kPart > 0 ? v > 0.0 : v < 0.0;
    if (kPart < 0) bits ^= std::uint64_t{1} << 63;  // -v
    bits &= std::uint64_t{0} - static_cast<std::uint64_t>(keep);
    double out;
    __builtin_memcpy(&out, &bits, sizeof out);
    return out;
  }
}
}  // namespace

#define QP_DECLARE_TARGET(name)                                                                 \
  extern const int name##_chunk;                                                              \
  extern const int name##_states;                                                             \
  void name##_qesmor_chunk(const double* x, index_t n, index_t lag0, Samples kind, double* sums); \
  void name##_viterbi_columns(const double* prev, index_t n, const double* a, index_t row_stride, \
                              index_t count, double* best, index_t* arg);                 \
  void name##_matvec_rows(const double* at, index_t n, const double* v, index_t count, double* out); \
  index_t name##_viterbi_pruned(const double* prev, index_t n, const double* a, index_t row_stride, \
                                index_t count, const double* block_top, const double* col_top, \
                                const double* group_top, const double* seed, double* best, index_t* arg); \
  void name##_running_lanes(const double* x, index_t span, index_t frames, index_t hop, index_t window, \
                            const index_t* lags, index_t count, bool unsigned_samples, int part, \
                            double* scratch, double* rows, index_t row_stride); \
  void name##_running_lanes_int(const double* x, index_t span, index_t frames, index_t hop, index_t window, \
                                const index_t* lags, index_t count, int exponent, int part, double* scratch, \
                                double* rows, index_t row_stride); \
  void name##_half_wave_blocks(const double* h, index_t window, index_t lag0, index_t count, double* partial);

QP_DECLARE_TARGET(sse2)
QP_DECLARE_TARGET(avx2)
QP_DECLARE_TARGET(avx512)
QP_DECLARE_TARGET(neon)

#undef QP_DECLARE_TARGET

}  // namespace qp::kernels
