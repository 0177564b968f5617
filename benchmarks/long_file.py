"""Peak memory of the command line on a long file.

    python benchmarks/long_file.py [--hours 3] [--sr 8000] [--format csv]

Writes a synthetic voice of the given length (16-bit PCM WAV, in pieces, so
this script stays small itself) to a temporary folder, runs
``/usr/bin/time -v qesmor-pitch FILE -o OUT -q`` and prints the peak resident
memory and the wall time. Needs GNU time at /usr/bin/time.
"""
import argparse
import subprocess
import sys
import tempfile
import wave
from pathlib import Path

import numpy as np


def write_voice(path: Path, seconds: float, sr: int) -> None:
    rng = np.random.default_rng(0)
    piece = 600 * sr
    n = int(seconds * sr)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(sr)
        for start in range(0, n, piece):
            t = np.arange(start, min(n, start + piece)) / sr
            y = (0.3 * np.sin(2 * np.pi * (150 + 20 * np.sin(t / 3)) * t)
                 + 0.03 * rng.standard_normal(t.size))
            w.writeframes(np.round(y * 32767).astype("<i2").tobytes())


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--hours", type=float, default=3.0)
    p.add_argument("--sr", type=int, default=8000)
    p.add_argument("--format", default="csv", choices=("csv", "json", "npz"))
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        audio = Path(folder) / "long.wav"
        write_voice(audio, args.hours * 3600, args.sr)
        out = Path(folder) / f"long.{args.format}"
        proc = subprocess.run(["/usr/bin/time", "-v", sys.executable, "-m", "qesmorPitch",
                               str(audio), "-o", str(out), "-q"],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            print(proc.stderr, file=sys.stderr)
            return proc.returncode
        stats = dict(line.strip().rsplit(": ", 1) for line in proc.stderr.splitlines()
                     if ": " in line)
    peak_mb = int(stats["Maximum resident set size (kbytes)"]) / 1024
    print(f"{args.hours:g} h at {args.sr} Hz, {args.format}: peak {peak_mb:.0f} MB, "
          f"wall {stats['Elapsed (wall clock) time (h:mm:ss or m:ss)']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
