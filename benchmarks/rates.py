"""track() at common sampling rates, searched at the full rate and at 16 kHz.

    python benchmarks/rates.py [--seconds 30] [--repeat 5] [--threads 1]

The same voice-like signal (a gliding harmonic tone with vibrato, a little
noise, quantised to 16 bits) at 16, 22.05, 44.1 and 48 kHz; the least
process CPU time of `--repeat` runs of track() with its defaults, and with
analysis_sr=None (every period searched at the file's rate), on `--threads`
threads (default 1: CPU time on more threads also counts their waiting).
The least of several runs is the figure least disturbed by other work on a
shared machine. Prints a Markdown table.
"""
import argparse
import time

import numpy as np

import qesmorPitch


def voice(seconds: float, sr: int) -> np.ndarray:
    rng = np.random.default_rng(0)
    t = np.arange(int(seconds * sr)) / sr
    f0 = 140 * 2 ** (0.5 * np.sin(2 * np.pi * t / 4) + 0.02 * np.sin(2 * np.pi * 5 * t))
    phase = 2 * np.pi * np.cumsum(f0) / sr
    y = sum(np.sin(k * phase) / k for k in range(1, 16) if 140 * 1.5 * k < sr / 2)
    y = 0.5 * y / np.abs(y).max() + 0.003 * rng.standard_normal(t.size)
    return np.round(y * 32767) / 32768


def cpu_seconds(fn, repeats: int) -> float:
    fn()
    times = []
    for _ in range(repeats):
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return float(np.min(times))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seconds", type=float, default=30.0)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--threads", type=int, default=1)
    args = p.parse_args()
    qesmorPitch.set_num_threads(args.threads)
    print("| rate | default s | × real time | full-rate search s | × real time | speed-up |")
    print("|---|---:|---:|---:|---:|---:|")
    for sr in (16000, 22050, 44100, 48000):
        y = voice(args.seconds, sr)
        fast = cpu_seconds(lambda: qesmorPitch.track(y, sr), args.repeat)
        full = cpu_seconds(lambda: qesmorPitch.track(y, sr, analysis_sr=None), args.repeat)
        print(f"| {sr / 1000:g} kHz | {fast:.3f} | {args.seconds / fast:.0f} | {full:.3f} | "
              f"{args.seconds / full:.0f} | {full / fast:.2f}× |", flush=True)


if __name__ == "__main__":
    main()
