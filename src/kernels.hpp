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

#include <memory>
#include <vector>

#include "kernel_targets.hpp"
#include "views.hpp"

namespace qp {
class PrunedDecoder;
}

namespace qp::kernels {

struct Target {
  const char* name;
  int chunk;   // consecutive lags per periodicity chunk
  int states;  // later states per decoder step and rows per matrix-vector pass
  QesmorChunk qesmor_chunk;
  ViterbiColumns viterbi_columns;
  MatvecRows matvec_rows;
  RunningLanes running_lanes;    // nullptr: no running-sum path
  RunningLanesInt running_lanes_int;  // nullptr: running sums in doubles only
  ViterbiPruned viterbi_pruned;  // nullptr: every step scans every row
  HalfWaveBlocks half_wave_blocks;
  bool (*supported)();
};

// Every target compiled into this build, the scalar one first.
int target_count();
const Target& target(int index);
// The fastest supported target for each group of kernels, chosen once by
// timing them (kernel_choice.hpp): the frame-by-frame periodicity kernels,
// the running sums and the decoder kernels each from the target fastest at
// them; its name is the frame-by-frame kernels'.
const Target& active();
enum class Group { kPeriodicity, kRunningSums, kDecoder };
// The target chosen for a group of kernels.
const char* active_name(Group group);
// Makes active() return `target` (nullptr: the best again). Each extension
// module has its own copy of this state.
void set_override(const Target* target);
// Whether the exact shortcuts (running sums, the pruned decoder step) may be
// taken; on by default. Off only to measure or check the plain paths; like
// the override, each extension module has its own copy.
void set_shortcuts(bool on);
bool shortcuts();
// Whether the layer's own vector loops (the high-pass, the resampler) may
// run eight lanes of doubles: the CPU has AVX-512 and no narrower target is
// forced (so that forcing one checks their four-lane form too).
bool eight_lanes();
// A supported target by name, or nullptr.
const Target* find(const char* name);

// score[k] = qesmor value of the contiguous frame x[0 .. n) at lag lags[k];
// every lag must be >= 0.
void qesmor_sums(const double* x, index_t n, IVec lags, double* score, const Target& target = active());

// lags[k + c] == lags[k] + c for c < count (every lag >= 0).
bool consecutive(IVec lags, index_t k, index_t count);

// The decoder steps over one matrix log_a of n states: each step computes,
// for each later state j, best[j] = max over earlier states i (scanned
// upward, strict comparison, starting from i = 0) of prev[i] + log_a(i, j),
// and from[j] the winning i. Where a bound proves whole blocks of earlier
// states cannot win (decoder_bound.hpp), a step skips them with the same bits.
class DecoderSteps {
 public:
  DecoderSteps(index_t n, DMat log_a, const Target& target = active());
  ~DecoderSteps();
  DecoderSteps(const DecoderSteps&) = delete;
  DecoderSteps& operator=(const DecoderSteps&) = delete;

  void step(const double* prev, double* best, index_t* from);

 private:
  index_t n_;
  DMat log_a_;
  const Target& target_;
  index_t vector_states_;  // columns the target takes (then the last group again), 0: none
  std::unique_ptr<PrunedDecoder> pruned_;
  std::vector<index_t> last_;  // the previous step's winners, a seed for the bound
  bool has_last_ = false;
};

// out[i] = sum over j < n, in order, of a(i, j) * v[j], in order, for i < n,
// with the square matrix given transposed: at[j * n + i] = a(i, j).
void matvec_transposed(const double* at, index_t n, const double* v, double* out,
                       const Target& target = active());

}  // namespace qp::kernels
