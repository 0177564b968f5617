#!/usr/bin/env bash
# Builds tools/kernel_check.cpp with the cores and runs it.
#   tools/kernel_check.sh            this machine's targets
#   tools/kernel_check.sh aarch64    NEON, cross-compiled and run under qemu-aarch64
#                                    (Debian: g++-aarch64-linux-gnu qemu-user)
set -euo pipefail
cd "$(dirname "$0")/.."
src=src
out=$(mktemp -d)
flags=(-std=c++17 -O2 -Wall -Wextra -ffp-contract=off -I "$src")
common=("$src"/kernels.cpp "$src"/framing.cpp "$src"/periodicity.cpp "$src"/peaks.cpp "$src"/tracking.cpp "$src"/viterbi.cpp
        "$src"/exact_sums.cpp "$src"/decoder_bound.cpp "$src"/kernel_choice.cpp "$src"/voicing.cpp)
if [ "${1:-}" = aarch64 ]; then
  aarch64-linux-gnu-g++ "${flags[@]}" -static tools/kernel_check.cpp "${common[@]}" "$src"/kernel_neon.cpp \
    -o "$out/check"
  qemu-aarch64 "$out/check"
else
  g++ "${flags[@]}" -c "$src"/kernel_avx2.cpp -mavx2 -o "$out/avx2.o"
  g++ "${flags[@]}" -c "$src"/kernel_avx512.cpp -mavx512f -Wno-maybe-uninitialized -o "$out/avx512.o"
  g++ "${flags[@]}" tools/kernel_check.cpp "${common[@]}" "$src"/kernel_sse2.cpp "$out/avx2.o" "$out/avx512.o" \
    -o "$out/check"
  "$out/check"
fi
