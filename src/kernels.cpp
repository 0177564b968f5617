#include "kernels.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "decoder_bound.hpp"
#include "kernel_choice.hpp"

namespace qp::kernels {

namespace {

// ------------------------------------------------------- the scalar target
//
// One lag, one state column or one row at a time; the entries below also
// use these for whatever a vector target leaves over.

double lag_sum(const double* x, index_t n, index_t lag) {
  double sum = 0.0;
  for (index_t j = 0; j < n - lag; ++j) sum += min_num(x[j], x[j + lag]);
  return sum;
}

void scalar_qesmor_chunk(const double* x, index_t n, index_t lag0, Samples, double* sums) {
  sums[0] = lag_sum(x, n, lag0);
}

void scalar_half_wave_blocks(const double* h, index_t window, index_t lag0, index_t count, double* partial) {
  for (index_t c = 0; c < count; ++c) {
    const index_t lag = lag0 + c, n = window - lag;
    double* sums = partial + c * kHalfWaveBlock;
    for (int r = 0; r < kHalfWaveBlock; ++r) sums[r] = 0.0;
    for (index_t j = 0; j < n - n % kHalfWaveBlock; ++j) {
      sums[j % kHalfWaveBlock] += h[j + lag] < h[j] ? h[j + lag] : h[j];
    }
  }
}

// Columns [first, last) of the decoder step, for any strides of log_a.
void decoder_columns(const double* prev, index_t n, DMat log_a, index_t first, index_t last, double* best,
                     index_t* from) {
  for (index_t j = first; j < last; ++j) {
    double top = prev[0] + log_a(0, j);
    index_t arg = 0;
    for (index_t i = 1; i < n; ++i) {
      const double v = prev[i] + log_a(i, j);
      if (v > top) {
        top = v;
        arg = i;
      }
    }
    best[j] = top;
    from[j] = arg;
  }
}

void scalar_viterbi_columns(const double* prev, index_t n, const double* a, index_t row_stride, index_t count,
                            double* best, index_t* arg) {
  const DMat log_a{reinterpret_cast<const char*>(a), n, count, static_cast<index_t>(row_stride * sizeof(double)),
                   sizeof(double)};
  decoder_columns(prev, n, log_a, 0, count, best, arg);
}

// Rows [first, last) of the matrix-vector pass.
void matvec_range(const double* at, index_t n, const double* v, index_t first, index_t last, double* out) {
  for (index_t i = first; i < last; ++i) {
    double sum = 0.0;
    for (index_t j = 0; j < n; ++j) sum += at[j * n + i] * v[j];
    out[i] = sum;
  }
}

void scalar_matvec_rows(const double* at, index_t n, const double* v, index_t count, double* out) {
  matvec_range(at, n, v, 0, count, out);
}

bool always() { return true; }

#if defined(__x86_64__) && defined(__GNUC__)
// The CPU reports the instructions and the operating system saves their
// registers (the compiler's check covers both).
bool has_avx2() { return __builtin_cpu_supports("avx2"); }
bool has_avx512() { return __builtin_cpu_supports("avx512f"); }
#endif

const Target kTargets[] = {
    {"scalar", 1, 1, scalar_qesmor_chunk, scalar_viterbi_columns, scalar_matvec_rows, nullptr, nullptr, nullptr,
     scalar_half_wave_blocks, always},
#if defined(__x86_64__) && defined(__GNUC__)
    {"sse2", sse2_chunk, sse2_states, sse2_qesmor_chunk, sse2_viterbi_columns, sse2_matvec_rows,
     sse2_running_lanes, sse2_running_lanes_int, sse2_viterbi_pruned, sse2_half_wave_blocks, always},
    {"avx2", avx2_chunk, avx2_states, avx2_qesmor_chunk, avx2_viterbi_columns, avx2_matvec_rows,
     avx2_running_lanes, avx2_running_lanes_int, avx2_viterbi_pruned, avx2_half_wave_blocks, has_avx2},
    {"avx512", avx512_chunk, avx512_states, avx512_qesmor_chunk, avx512_viterbi_columns, avx512_matvec_rows,
     avx512_running_lanes, avx512_running_lanes_int, avx512_viterbi_pruned, avx512_half_wave_blocks, has_avx512},
#elif defined(__aarch64__)
    {"neon", neon_chunk, neon_states, neon_qesmor_chunk, neon_viterbi_columns, neon_matvec_rows,
     neon_running_lanes, neon_running_lanes_int, neon_viterbi_pruned, neon_half_wave_blocks, always},
#endif
};

constexpr int kCount = static_cast<int>(sizeof(kTargets) / sizeof(kTargets[0]));

// Timed once, at first use. The private module computes without the
// interpreter lock, so two threads may get here together: the
// initialisation of a local static runs exactly once and the others wait.
const Choice& choice() {
  static const Choice chosen = choose_per_kernel(kTargets, kCount);
  return chosen;
}

// Each group's kernels from its own target (every scratch size and layout
// they share is the same on every target).
Target choose() {
  Target t = *choice().periodicity;
  t.running_lanes = choice().running_sums->running_lanes;
  t.running_lanes_int = choice().running_sums->running_lanes_int;
  const Target& decoder = *choice().decoder;
  t.states = decoder.states;
  t.viterbi_columns = decoder.viterbi_columns;
  t.viterbi_pruned = decoder.viterbi_pruned;
  t.matvec_rows = decoder.matvec_rows;
  return t;
}

// Atomic: the private module computes without the interpreter lock, so a
// thread may force a target or the shortcuts while another one runs a kernel.
std::atomic<const Target*> g_override{nullptr};
std::atomic<bool> g_shortcuts{true};

}  // namespace

// Written as a difference so that lags near the largest index cannot
// overflow (every lag is >= 0 here).
bool consecutive(IVec lags, index_t k, index_t count) {
  const index_t first = lags[k];
  for (index_t c = 1; c < count; ++c) {
    if (lags[k + c] - c != first) return false;
  }
  return true;
}

int target_count() { return kCount; }

const Target& target(int index) { return kTargets[index]; }

void set_override(const Target* target) { g_override.store(target, std::memory_order_relaxed); }

void set_shortcuts(bool on) { g_shortcuts.store(on, std::memory_order_relaxed); }

bool shortcuts() { return g_shortcuts.load(std::memory_order_relaxed); }

const char* active_name(Group group) {
  switch (group) {
    case Group::kRunningSums: return choice().running_sums->name;
    case Group::kDecoder: return choice().decoder->name;
    case Group::kPeriodicity: break;
  }
  return choice().periodicity->name;
}

const Target& active() {
  static const Target chosen = choose();
  const Target* forced = g_override.load(std::memory_order_relaxed);
  return forced ? *forced : chosen;
}

bool eight_lanes() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = has_avx512();
  const Target* forced = g_override.load(std::memory_order_relaxed);
  return has && (forced == nullptr || std::strcmp(forced->name, "avx512") == 0);
#else
  return false;
#endif
}

const Target* find(const char* name) {
  for (const Target& t : kTargets) {
    if (std::strcmp(t.name, name) == 0) return t.supported() ? &t : nullptr;
  }
  return nullptr;
}

// ------------------------------------------------------------- the entries

void qesmor_sums(const double* x, index_t n, IVec lags, double* score, const Target& target) {
  const index_t count = lags.size;
  const index_t chunk = target.chunk;
  bool has_nan = false, negative = false;
  for (index_t j = 0; j < n; ++j) {
    has_nan |= x[j] != x[j];
    negative |= x[j] < 0.0;
  }
  const Samples kind = has_nan ? Samples::kWithNan : negative ? Samples::kSigned : Samples::kUnsigned;

  double sums[kMaxChunk];
  index_t k = 0;
  while (k < count) {
    // Runs of `chunk` consecutive lags that all overlap the frame go to the
    // target; a lag without overlap scores exactly 0.0, anything else is
    // summed one lag at a time.
    const index_t lag0 = lags[k];
    // Every lag of the run overlaps the frame: n - lag0 >= chunk. Both are
    // >= 0, so unlike n - lag0 - (chunk - 1) the difference cannot overflow
    // for a lag near the largest index.
    const bool overlaps = n - lag0 >= chunk;
    if (k + chunk > count && k > 0 && count >= chunk) {
      // The last lags, fewer than a chunk: rerun the chunk that ends at the
      // last lag. Each lag's sum is independent of its neighbours, so the
      // lags it repeats get the same bits, and a wide target does not fall
      // back to one lag at a time for up to chunk - 1 of them.
      const index_t k0 = count - chunk;
      const index_t last0 = lags[k0];
      if (n - last0 >= chunk && consecutive(lags, k0, chunk)) {
        target.qesmor_chunk(x, n, last0, kind, sums);
        for (index_t c = k - k0; c < chunk; ++c) score[k0 + c] = sums[c] / static_cast<double>(n - (last0 + c));
        return;
      }
    }
    if (k + chunk > count || !overlaps || !consecutive(lags, k, chunk)) {
      score[k] = n - lag0 > 0 ? lag_sum(x, n, lag0) / static_cast<double>(n - lag0) : 0.0;
      ++k;
      continue;
    }
    target.qesmor_chunk(x, n, lag0, kind, sums);
    for (index_t c = 0; c < chunk; ++c) score[k + c] = sums[c] / static_cast<double>(n - (lag0 + c));
    k += chunk;
  }
}

DecoderSteps::DecoderSteps(index_t n, DMat log_a, const Target& target) : n_(n), log_a_(log_a), target_(target) {
  // The targets and the pruning's bounds read rows of contiguous,
  // element-aligned columns through plain pointers: a matrix at an odd
  // address goes through the views.
  const bool rows_contiguous = log_a.col_stride == static_cast<index_t>(sizeof(double)) &&
                               log_a.row_stride % static_cast<index_t>(sizeof(double)) == 0 &&
                               reinterpret_cast<std::uintptr_t>(log_a.base) % alignof(double) == 0;
  vector_states_ = rows_contiguous ? n - n % static_cast<index_t>(target.states) : 0;
  if (vector_states_ > 0) {
    pruned_ = std::make_unique<PrunedDecoder>(reinterpret_cast<const double*>(log_a.base), n,
                                              log_a.row_stride / static_cast<index_t>(sizeof(double)), n, target);
  }
}

DecoderSteps::~DecoderSteps() = default;

void DecoderSteps::step(const double* prev, double* best, index_t* from) {
  if (!pruned_ || !pruned_->step(prev, has_last_ ? last_.data() : nullptr, best, from)) {
    const double* a = reinterpret_cast<const double*>(log_a_.base);
    const index_t row_stride = log_a_.row_stride / static_cast<index_t>(sizeof(double));
    if (vector_states_ > 0) target_.viterbi_columns(prev, n_, a, row_stride, vector_states_, best, from);
    if (vector_states_ > 0 && vector_states_ < n_) {
      // The last few columns rerun the group of columns that ends at the
      // last one: columns are independent, so the repeated ones get the
      // same bits.
      const index_t j0 = n_ - target_.states;
      target_.viterbi_columns(prev, n_, a + j0, row_stride, target_.states, best + j0, from + j0);
    } else if (vector_states_ == 0) {
      decoder_columns(prev, n_, log_a_, 0, n_, best, from);
    }
  }
  if (pruned_) {
    last_.assign(from, from + n_);
    has_last_ = true;
  }
}

void matvec_transposed(const double* at, index_t n, const double* v, double* out, const Target& target) {
  const index_t vector_rows = n - n % static_cast<index_t>(target.states);
  if (vector_rows > 0) target.matvec_rows(at, n, v, vector_rows, out);
  matvec_range(at, n, v, vector_rows, n, out);
}

}  // namespace qp::kernels
