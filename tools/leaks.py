"""Long leak check: every path of every function, 100,000 calls each.

    python tools/leaks.py                    # 100,000 calls per path
    python tools/leaks.py --calls 20000 --function viterbi_cy

For each successful and failing path of tests/call_paths.py, prints the
growth of the interpreter's object blocks, of the C heap in use and of the
resident set over the calls (after a warm-up), and any reference count
that moved; then the largest growth per function. Fails when a path grows
by 1 MiB or more, or moves a reference count.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

import qesmorPitch.cy_impl as cy_impl  # noqa: E402
from call_paths import PATHS  # noqa: E402
from leakcheck import repeat, under_sanitizer  # noqa: E402

LIMIT = 1 << 20


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--warmup", type=int, default=1000, help="calls before the counted ones")
    parser.add_argument("--function", help="only this function's paths")
    options = parser.parse_args()
    sanitized = under_sanitizer()
    if sanitized:
        print("note: under a sanitizer the memory figures include its quarantine and are not checked")

    worst = {}
    failed = []
    started = time.monotonic()
    print(f"{'function':38} {'path':24} {'blocks':>8} {'heap B':>9} {'rss B':>9}  seconds")
    for name, path, _, make in PATHS:
        if options.function and name != options.function:
            continue
        args, kwargs = make()
        t = time.monotonic()
        growth, moved = repeat(getattr(cy_impl, name), args, kwargs, options.calls, warmup=options.warmup)
        seconds = time.monotonic() - t
        print(f"{name:38} {path:24} {growth['blocks']:8d} {growth['heap']:9d} {growth['rss']:9d}  {seconds:7.1f}",
              flush=True)
        w = worst.setdefault(name, {"blocks": 0, "heap": 0, "rss": 0, "paths": 0})
        w["paths"] += 1
        for key in ("blocks", "heap", "rss"):
            w[key] = max(w[key], growth[key])
        if moved:
            failed.append(f"{name} / {path}: reference counts moved {[(repr(o)[:40], a, b) for o, a, b in moved]}")
        if not sanitized and (growth["heap"] >= LIMIT or growth["rss"] >= LIMIT):
            failed.append(f"{name} / {path}: grew by {growth}")

    print(f"\nlargest growth per function over {options.calls:,} calls per path:")
    print(f"{'function':38} {'paths':>5} {'blocks':>8} {'heap B':>9} {'rss B':>9}")
    for name, w in worst.items():
        print(f"{name:38} {w['paths']:5d} {w['blocks']:8d} {w['heap']:9d} {w['rss']:9d}")
    print(f"\n{time.monotonic() - started:.0f} s")
    for line in failed:
        print("FAILED", line)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
