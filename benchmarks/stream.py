"""Cost and latency of live pitch: PitchStream fed 10 ms chunks.

    python benchmarks/stream.py              # 16 kHz, default range, both causal methods
    python benchmarks/stream.py --seconds 5 --sr 48000

CPU per chunk is process time (all threads) over a signal pushed chunk by
chunk, median of repeated runs. Latency is counted in samples, so it does not
depend on the machine: for every frame, the samples from its first one to the
end of the chunk that reports it, at worst and on average; the design bound
is one frame plus one hop.
"""
from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import qesmorPitch


def voice(sr: float, seconds: float) -> np.ndarray:
    rng = np.random.default_rng(0)
    t = np.arange(int(sr * seconds)) / sr
    f0 = 150 + 40 * np.sin(2 * np.pi * 0.5 * t)
    phase = 2 * np.pi * np.cumsum(f0) / sr
    y = sum(np.sin(k * phase) / k for k in range(1, 8)) + 0.01 * rng.standard_normal(t.size)
    return (y / np.max(np.abs(y)) * 20000).astype(np.int16)


def measure(sr: float, seconds: float, chunk_ms: float, method: str, repeats: int) -> dict:
    y = voice(sr, seconds)
    chunk = int(round(chunk_ms * sr / 1000))
    chunks = [y[i: i + chunk] for i in range(0, len(y), chunk)]
    costs = []
    for _ in range(repeats):
        stream = qesmorPitch.PitchStream(sr, method=method)
        start = time.process_time()
        for c in chunks:
            stream.push(c)
        costs.append((time.process_time() - start) / len(chunks))
    # Latency: frame t starts at t * hop and is reported at the end of the
    # chunk that brings sample t * hop + frame_length.
    stream = qesmorPitch.PitchStream(sr, method=method)
    delays, end = [], 0
    for c in chunks:
        end += len(c)
        pt = stream.push(c)
        starts = np.round(pt.times * sr - stream.plan.frame_length / 2)
        delays.extend(end - starts)
    plan = stream.plan
    return {"method": method, "chunk": chunk, "frame": plan.frame_length,
            "hop": plan.hop_length, "cpu_ms": 1000 * statistics.median(costs),
            "worst": max(delays), "mean": float(np.mean(delays)),
            "bound": plan.frame_length + plan.hop_length}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sr", type=float, default=16000.0)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--chunk-ms", type=float, default=10.0)
    ap.add_argument("--repeats", type=int, default=5)
    args = ap.parse_args()
    d = qesmorPitch.Options()
    print(f"PitchStream, {args.sr:g} Hz, default range (fmin {d.fmin:g}, fmax {d.fmax:g} Hz), "
          f"{args.chunk_ms:g} ms chunks of int16, {args.seconds:g} s, median of "
          f"{args.repeats}")
    print("| method | chunk | frame | hop | CPU per chunk | worst latency | mean latency "
          "| bound (frame + hop) |")
    print("|---|---|---|---|---|---|---|---|")
    for method in ("bayes", "direct"):
        r = measure(args.sr, args.seconds, args.chunk_ms, method, args.repeats)
        ms = 1000 / args.sr
        print(f"| {method} | {r['chunk']} | {r['frame']} | {r['hop']} | "
              f"{r['cpu_ms']:.3f} ms | {r['worst']:.0f} samples ({r['worst'] * ms:.1f} ms) | "
              f"{r['mean']:.0f} samples ({r['mean'] * ms:.1f} ms) | "
              f"{r['bound']} samples ({r['bound'] * ms:.1f} ms) |")


if __name__ == "__main__":
    main()
