#include "kernels.hpp"

#include <cstring>

#include "kernel_targets.hpp"

namespace qp::kernels {

namespace {

bool always() { return true; }

#if defined(__x86_64__) && defined(__GNUC__)
// The CPU reports the instructions and the operating system saves their
// registers (the compiler's check covers both).
bool has_avx2() { return __builtin_cpu_supports("avx2"); }
bool has_avx512() { return __builtin_cpu_supports("avx512f"); }
#endif

const Target kTargets[] = {
    {"scalar", 0, 0, nullptr, nullptr, nullptr, always},
#if defined(__x86_64__) && defined(__GNUC__)
    {"sse2", sse2_chunk, sse2_states, sse2_qesmor_chunk, sse2_viterbi_columns, sse2_matvec_rows, always},
    {"avx2", avx2_chunk, avx2_states, avx2_qesmor_chunk, avx2_viterbi_columns, avx2_matvec_rows, has_avx2},
    {"avx512", avx512_chunk, avx512_states, avx512_qesmor_chunk, avx512_viterbi_columns, avx512_matvec_rows,
     has_avx512},
#elif defined(__aarch64__)
    {"neon", neon_chunk, neon_states, neon_qesmor_chunk, neon_viterbi_columns, neon_matvec_rows, always},
#endif
};

constexpr int kCount = static_cast<int>(sizeof(kTargets) / sizeof(kTargets[0]));

const Target& choose() {
  for (int i = kCount - 1; i > 0; --i) {
    if (kTargets[i].supported()) return kTargets[i];
  }
  return kTargets[0];
}

const Target* g_override = nullptr;

}  // namespace

int target_count() { return kCount; }

const Target& target(int index) { return kTargets[index]; }

void set_override(const Target* target) { g_override = target; }

const Target& active() {
  static const Target& chosen = choose();
  return g_override ? *g_override : chosen;
}

const Target* find(const char* name) {
  for (const Target& t : kTargets) {
    if (std::strcmp(t.name, name) == 0) return t.supported() ? &t : nullptr;
  }
  return nullptr;
}

}  // namespace qp::kernels
