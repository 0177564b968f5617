"""Long fuzz run of every exported function, in child processes.

    python tools/fuzz.py --calls 1000000             # random calls, 20,000 per child
    python tools/fuzz.py --calls 50000 --engine hypothesis

Each batch runs in its own interpreter (tests/fuzzing.py), so a crash ends
only that batch: the parent names the batch's seed and the call that was
being made, rebuilt from its seed, and goes on with the next batch. Run it
under the sanitizer build (tools/sanitize.sh) to turn silent out-of-bounds
reads and undefined behaviour into crashes. Exits non-zero if any batch
failed.
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
CHILD = os.path.join(TESTS, "fuzzing.py")


def describe_exit(code):
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


def rebuild(progress_text):
    """The call a crashed child was making, from its progress note."""
    if progress_text.startswith("random "):
        _, seed_value, index = progress_text.split()
        sys.path.insert(0, TESTS)
        import fuzzing

        return f"call {index} of random run {seed_value}:\n    {fuzzing.random_call(int(seed_value), int(index))!r}"
    return progress_text


def run_batch(engine, seed_value, calls, timeout, log):
    """Runs one child; returns (calls made, failure text or None)."""
    with tempfile.NamedTemporaryFile(prefix="qp-fuzz-", suffix=".progress", delete=False) as f:
        progress = f.name
    command = [sys.executable, CHILD, "--engine", engine, "--seed", str(seed_value), "--calls", str(calls),
               "--progress", progress]
    try:
        child = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        output = child.stdout.decode("utf-8", "replace")
        code = child.returncode
    except subprocess.TimeoutExpired as e:
        output = (e.stdout or b"").decode("utf-8", "replace")
        code = None
    with open(progress, encoding="utf-8", errors="replace") as f:
        last = f.read()
    os.unlink(progress)
    if log:
        log.write(output)
    if code == 0:
        return calls, None
    made = int(last.split()[2]) + 1 if last.startswith("random ") else 0
    if code is None:
        what = f"seed {seed_value}: no answer within {timeout} s"
    elif code == 1 and "FAULT:" in output:
        return made, f"seed {seed_value}: " + output[output.index("FAULT:"):].strip()
    else:
        what = f"seed {seed_value}: {describe_exit(code)}"
    tail = "\n".join(output.strip().splitlines()[-40:])
    return made, f"{what}\n  while making {rebuild(last)}\n  child output (end):\n{tail}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100_000, help="calls in all")
    parser.add_argument("--batch", type=int, default=20_000, help="calls per child process")
    parser.add_argument("--seed", type=int, default=1, help="seed of the first batch; batch b uses seed + b")
    parser.add_argument("--engine", choices=("random", "hypothesis"), default="random")
    parser.add_argument("--timeout", type=float, default=3600.0, help="seconds one batch may take")
    parser.add_argument("--stop-after", type=int, default=10, help="stop after this many failed batches")
    parser.add_argument("--log", help="append every child's output to this file")
    options = parser.parse_args()

    log = open(options.log, "a", encoding="utf-8") if options.log else None
    started = time.monotonic()
    made = 0
    failures = []
    batch = 0
    while made < options.calls and len(failures) < options.stop_after:
        size = min(options.batch, options.calls - made)
        seed_value = options.seed + batch
        done, failure = run_batch(options.engine, seed_value, size, options.timeout, log)
        # A failed batch is not repeated: its remaining calls are skipped.
        made += size if failure is None else max(done, 1)
        if failure:
            failures.append(failure)
            print(f"FAILED {failure}", flush=True)
        batch += 1
        elapsed = time.monotonic() - started
        print(f"fuzz: {made} calls in {batch} batches, {len(failures)} failed, {elapsed:.0f} s", flush=True)
    if log:
        log.close()
    print(f"fuzz: {made} calls made, {len(failures)} failed batches", flush=True)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
