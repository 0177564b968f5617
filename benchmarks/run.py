"""Benchmark of qesmorPitch's compiled core against its own scalar kernels and
against other pitch trackers installed in the same environment.

    python benchmarks/run.py                 # full run, table + benchmarks/results.json
    python benchmarks/run.py --quick         # fewer repeats, shorter signals
    python benchmarks/run.py --track-only    # track() end to end and its peers only

Every figure is the median of repeated runs measured in this process (the
least, where noted: track() end to end and the map per target), in
process CPU time unless --clock wall is given; the peers are timed in
wall-clock time, beside our Viterbi core timed again the same way. The
"vs scalar" column divides the time of the same call on the straightforward
scalar kernels (forced through the private module) by the time on the target
this CPU selects. Peers are timed only when importable (`pip install
'.[bench]'`).
"""
from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import qesmorPitch
import qesmorPitch.cy_impl as cy
import qesmorPitch._kernels as private
from qesmorPitch import _track
from qesmorPitch._audio import atomic_output


# ------------------------------------------------------------------ machine

def cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def nominal_mhz() -> float | None:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("cpu MHz"):
                return float(line.split(":", 1)[1])
    except (OSError, ValueError):
        pass
    return None


def peak_rss_reset() -> bool:
    """Resets the peak resident size so the next reading covers one call."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def rss_kib(field: str) -> int | None:
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1])
    except OSError:
        pass
    return None


# ---------------------------------------------------------------- workloads

def synthetic_voice(seconds: float, fs: int, f_lo: float, f_hi: float, seed: int,
                    noise: float = 0.05, cycle: float = 6.0) -> np.ndarray:
    """A harmonic complex gliding from f_lo to f_hi and back every `cycle`
    seconds, with breath noise (`noise` times a standard normal) and unvoiced
    gaps: the kind of signal a pitch tracker meets."""
    rng = np.random.default_rng(seed)
    n = int(seconds * fs)
    t = np.arange(n) / fs
    f0 = f_lo * (f_hi / f_lo) ** (0.5 - 0.5 * np.cos(2 * np.pi * t / min(seconds, cycle)))
    phase = 2 * np.pi * np.cumsum(f0) / fs
    voice = sum(np.sin(h * phase) / h for h in range(1, 9))
    voiced = (np.sin(2 * np.pi * t / 1.7) > -0.6).astype(float)  # about a fifth unvoiced
    x = voice * voiced + noise * rng.standard_normal(n)
    return x.astype(np.float64)


def in_room(x: np.ndarray, fs: int, rt60: float, seed: int) -> np.ndarray:
    """`x` heard in a reverberant room: the direct sound and a diffuse tail
    of as much energy, decaying 60 dB in `rt60` seconds."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(1.2 * rt60 * fs)) / fs
    rir = rng.standard_normal(t.size) * 10 ** (-3 * t / rt60)
    rir[0] = 0.0
    rir /= np.sqrt(np.sum(rir ** 2))
    rir[0] = 1.0
    size = 1 << (x.size + rir.size - 2).bit_length()
    return np.fft.irfft(np.fft.rfft(x, size) * np.fft.rfft(rir, size), size)[: x.size]


WORKLOADS = {
    "speech": dict(fs=16000, seconds=60.0, window_size=1024, hop_size=160, lags=(32, 320), band=(100, 250)),
    "music": dict(fs=44100, seconds=30.0, window_size=2048, hop_size=441, lags=(40, 1000), band=(110, 440)),
}


# ------------------------------------------------------------------ timing

# CPU time of the process by default: on a machine shared with other work
# it counts only the time the call itself ran (all its threads), which
# wall-clock time does not.
CLOCK = {"cpu": time.process_time, "wall": time.perf_counter}
clock = CLOCK["cpu"]


def median_time(call, repeat: int, timer=None) -> float:
    timer = timer or clock
    times = []
    for _ in range(repeat):
        start = timer()
        call()
        times.append(timer() - start)
    return statistics.median(times)


def release_free_memory() -> None:
    """Returns the allocator's free pages to the system, so that memory a call
    reuses from earlier calls shows up in the resident size again."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_memory_mib(call) -> float | None:
    release_free_memory()
    if not peak_rss_reset():
        return None
    before = rss_kib("VmRSS")
    result = call()
    peak = rss_kib("VmHWM")
    del result
    if before is None or peak is None:
        return None
    return max(0, peak - before) / 1024


def pcm16(x: np.ndarray) -> np.ndarray:
    """x as a 16-bit WAV file would give it back: full scale, on the 2^-15 grid."""
    return np.round(x / np.max(np.abs(x)) * 32767) / 32768


def tracked_matrices(x, w, sigma=0.05):
    """The log-likelihoods and log transition block the Viterbi core builds
    for x (its qesmor map, flank-suppressed and normalised per frame)."""
    lags = np.arange(w["lags"][0], w["lags"][1] + 1, dtype=np.intp)
    scores, _ = cy.calc_qesmor_core_cy(x, w["window_size"], w["hop_size"], lags)
    flank = np.array([private._prev_first_up_zero(row) for row in scores])
    p = flank / flank.sum(axis=1, keepdims=True)
    lo, hi = lags[0], lags[-1] + 1
    block = cy.create_transition_matrix_cy(w["window_size"] // 2, float(w["fs"]), sigma)[lo:hi, lo:hi]
    return np.log(1e-300 + p), np.log(1e-300 + block)


def plain(call):
    """call() with the exact shortcuts (running sums, pruned decoder) off."""
    private.use_shortcuts(False)
    try:
        return call()
    finally:
        private.use_shortcuts(True)


def same_bits(a, b) -> bool:
    if isinstance(a, tuple):
        return all(same_bits(u, v) for u, v in zip(a, b))
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def estimator_calls(module, x, w):
    lags = np.arange(w["lags"][0], w["lags"][1] + 1, dtype=np.intp)
    fs, win, hop = float(w["fs"]), w["window_size"], w["hop_size"]
    return {
        "calc_qesmor_core_cy": lambda: module.calc_qesmor_core_cy(x, win, hop, lags),
        "calc_Pitch_core_cy": lambda: module.calc_Pitch_core_cy(x, fs, win, hop, lags, None, 1, "score", 0.5,
                                                                "parabolic"),
        "calc_Pitch_bayes_core_cy": lambda: module.calc_Pitch_bayes_core_cy(x, fs, win, hop, lags, None, 1.0, 0.05,
                                                                            "parabolic"),
        "calc_Pitch_viterbi_core_cy": lambda: module.calc_Pitch_viterbi_core_cy(x, fs, win, hop, lags, None, 1.0,
                                                                                0.05, "parabolic"),
    }


def scalar_time(name: str, calls_private, repeat: int) -> float:
    private.use_target("scalar")
    try:
        return median_time(calls_private[name], repeat)
    finally:
        private.use_target(None)


# ------------------------------------------------------------------- peers

def peer_calls(x: np.ndarray, fs: int):
    """Each installed peer on the same audio, 10 ms hop, 50-500 Hz."""
    calls = {}
    hop = fs // 100
    try:
        import librosa

        calls["librosa.yin"] = lambda: librosa.yin(x, fmin=50, fmax=500, sr=fs, frame_length=1024, hop_length=hop)
        calls["librosa.pyin"] = lambda: librosa.pyin(x, fmin=50, fmax=500, sr=fs, frame_length=1024,
                                                     hop_length=hop)
    except ImportError:
        pass
    try:
        import pyworld

        def dio():
            f0, t = pyworld.dio(x, fs, f0_floor=50, f0_ceil=500, frame_period=10.0)
            return pyworld.stonemask(x, f0, t, fs)

        calls["pyworld.dio+stonemask"] = dio
        calls["pyworld.harvest"] = lambda: pyworld.harvest(x, fs, f0_floor=50, f0_ceil=500, frame_period=10.0)
    except ImportError:
        pass
    try:
        import parselmouth

        sound = parselmouth.Sound(x, sampling_frequency=fs)
        calls["parselmouth.to_pitch_ac"] = lambda: sound.to_pitch_ac(time_step=0.01, pitch_floor=50,
                                                                     pitch_ceiling=500)
    except ImportError:
        pass
    try:
        import pysptk

        x32 = (x / np.max(np.abs(x)) * 32767).astype(np.float64)
        calls["pysptk.rapt"] = lambda: pysptk.rapt(x32.astype(np.float32), fs, hop, min=50, max=500)
        calls["pysptk.swipe"] = lambda: pysptk.swipe(x32, fs, hop, min=50, max=500)
    except ImportError:
        pass
    return calls


# ------------------------------------------------------ track() end to end

def as_pcm16(x: np.ndarray) -> np.ndarray:
    """x as the int16 samples a 16-bit WAV file holds."""
    return np.round(x / np.max(np.abs(x)) * 32767).astype(np.int16)


def wall_and_cpu(call, repeat: int) -> tuple[float, float]:
    """Median wall-clock and process CPU seconds of `call` (all its threads)."""
    walls, cpus = [], []
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        call()
        walls.append(time.perf_counter() - w)
        cpus.append(time.process_time() - c)
    return statistics.median(walls), statistics.median(cpus)


def core_share(call) -> tuple[float, bool]:
    """The fraction of one call's time spent in the compiled cores, and
    whether every core call got waves the running-sum certificate accepts."""
    real = _track._call_core
    spent, exact = [0.0], [True]

    def timed(waves, plan):
        exact[0] &= all(private._running_sums_exact(w) for w in waves)
        start = time.perf_counter()
        try:
            return real(waves, plan)
        finally:
            spent[0] += time.perf_counter() - start

    _track._call_core = timed
    try:
        start = time.perf_counter()
        call()
        total = time.perf_counter() - start
    finally:
        _track._call_core = real
    return spent[0] / total, exact[0]


def layer_share(call) -> float:
    """The fraction of one call's time spent in the front end (the
    high-pass, the hum's search and removal) and the voicing model (its
    evidence, chain and edges); the centred strengths the edges use are
    measured with the period check and not counted."""
    from qesmorPitch import _frontend

    spent = [0.0]
    patched = [(_frontend, "highpass"), (_track, "_find_hum"), (_track, "_remove_hum"),
               (_track, "_confidence")]
    originals = [getattr(module, name) for module, name in patched]

    def timed(fn):
        def run(*a, **k):
            start = time.perf_counter()
            try:
                return fn(*a, **k)
            finally:
                spent[0] += time.perf_counter() - start
        return run

    for (module, name), fn in zip(patched, originals):
        setattr(module, name, timed(fn))
    try:
        start = time.perf_counter()
        call()
        total = time.perf_counter() - start
    finally:
        for (module, name), fn in zip(patched, originals):
            setattr(module, name, fn)
    return spent[0] / total


def concurrent_ratio(call, repeat: int, calls: int = 5) -> float:
    """Wall time of two threads each making `calls` calls of `call` at once,
    over one thread making them alone; the median of `repeat` such pairs.

    A single call lasts a tenth of a second, within which a shared
    machine's other work can take a fifth more from either side of the
    pair; several calls in a row average that out."""
    import threading

    def run() -> None:
        for _ in range(calls):
            call()

    ratios = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        one = time.perf_counter() - start
        threads = [threading.Thread(target=run) for _ in range(2)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        ratios.append((time.perf_counter() - start) / one)
    return statistics.median(ratios)


def track_end_to_end(args, repeat: int, report: dict) -> None:
    """track() with its defaults on 16-bit audio, at one thread and at all,
    beside the peers on the same samples; then its peak memory on a long signal."""
    cpus = qesmorPitch.get_num_threads()
    counts = sorted({1, cpus})
    rows = report["track"] = []
    print()
    # The least of the runs: on a shared machine the other work only ever
    # adds time, so the least is the figure nearest the code's own.
    print(f"track() end to end, defaults (viterbi, both polarities, 50-1000 Hz, 10 ms hop), "
          f"16-bit input; least wall-clock and least CPU time (all threads) of {repeat}")
    print(f"  {'input':<27} {'threads':>7} {'seconds':>9} {'x realtime':>11} {'CPU s':>8} "
          f"{'in cores':>9} {'exact sums':>10}")
    speech = None
    # The room: a recording the voicing model calls reverberant is analysed
    # again without its late reverberation (what that costs); its breath
    # noise lower, since noise 26 dB under the voice hides a room's tails,
    # and its pitch moving faster (a cycle of 2 s), so that each tail lies
    # under another pitch: a slow glide's tails carry its own period, and
    # such a recording is analysed once.
    for label, fs, seconds, band in (("speech 16 kHz", 16000, 60.0, (100, 250)),
                                     ("music 44.1 kHz", 44100, 30.0, (110, 440)),
                                     ("speech 16 kHz, 0.5 s room", 16000, 60.0, (100, 250))):
        seconds = 10.0 if args.quick else seconds
        if "room" in label:
            pcm = as_pcm16(in_room(synthetic_voice(seconds, fs, *band, seed=1, noise=1e-3, cycle=2.0),
                                   fs, 0.5, seed=2))
        else:
            pcm = as_pcm16(synthetic_voice(seconds, fs, *band, seed=1))
        if speech is None:
            speech = pcm
        call = lambda: qesmorPitch.track(pcm, fs)  # noqa: E731
        # The thread counts take turns, so that a change in the machine's
        # load during the run falls on all of them alike.
        times = {n: ([], []) for n in counts}
        for _ in range(repeat):
            for n in counts:
                qesmorPitch.set_num_threads(n)
                call()
                wall, cpu = wall_and_cpu(call, 1)
                times[n][0].append(wall)
                times[n][1].append(cpu)
        for n in counts:
            qesmorPitch.set_num_threads(n)
            wall, cpu = (min(v) for v in times[n])
            share, exact = core_share(call) if n == 1 else (None, None)
            rows.append(dict(input=label, threads=n, seconds=wall, realtime=seconds / wall,
                             cpu_seconds=cpu, core_share=share, running_sums=exact))
            extra = f"{share:8.0%} {'yes' if exact else 'NO':>10}" if share is not None else ""
            print(f"  {label:<27} {n:>7} {wall:>9.4f} {seconds / wall:>11.0f} {cpu:>8.4f} {extra}")
    qesmorPitch.set_num_threads(1)
    # One thread, so that the pieces' times add up to the call's; the median of the runs.
    layer = statistics.median(layer_share(lambda: qesmorPitch.track(speech, 16000)) for _ in range(repeat))
    report["track_layer_share"] = layer
    print(f"  front end and voicing model (speech, one thread): {layer:.1%} of track(), "
          f"{layer / (1 - layer):.1%} added to the rest")
    ratio = concurrent_ratio(lambda: qesmorPitch.track(speech, 16000), repeat)
    qesmorPitch.set_num_threads(None)
    report["track_two_at_once"] = ratio
    print(f"  two 1-thread calls at once on two threads: {ratio:.2f}x the time of one")

    if not args.no_peers:
        seconds = len(speech) / 16000
        x = speech / 32768.0
        peers = {k: v for k, v in peer_calls(x, 16000).items()
                 if k != "pyworld.harvest" and k != "pysptk.swipe"}
        report["track_peers"] = []
        # Wall-clock and CPU time: a peer may run threads of its own (Praat's
        # method does), and only its CPU time tells what it does with one core.
        print(f"  peers on the same samples, median wall-clock and CPU time (all threads):")
        for name, call in peers.items():
            call()
            wall, cpu = wall_and_cpu(call, 1 if "pyin" in name else repeat)
            report["track_peers"].append(dict(peer=name, seconds=wall, realtime=seconds / wall,
                                              cpu_seconds=cpu, cpu_realtime=seconds / cpu))
            print(f"  {name:<30} {wall:>9.4f} {seconds / wall:>11.0f} {cpu:>8.4f}  "
                  f"({seconds / cpu:.0f}x real time per core)")

    minutes = 2.0 if args.quick else 20.0
    long_pcm = as_pcm16(synthetic_voice(minutes * 60, 16000, 100, 250, seed=3))
    report["track_memory"] = []
    print(f"  peak memory of track() beyond its input, {minutes:g} min at 16 kHz, {cpus} threads:")
    for kind, y in (("int16", long_pcm), ("float64", long_pcm / 32768.0)):
        peak = peak_memory_mib(lambda: qesmorPitch.track(y, 16000))
        report["track_memory"].append(dict(dtype=kind, input_mib=y.nbytes / 2 ** 20, peak_mib=peak))
        shown = f"{peak:.1f}" if peak is not None else "-"
        print(f"  {kind:<8} input {y.nbytes / 2 ** 20:7.1f} MiB, peak beyond it {shown} MiB")
        del y


# -------------------------------------------------------------------- main


def _write_report(path: Path, report: dict) -> None:
    # Renamed into place once whole: --track-only merges into the last full
    # run's file, which an interrupted write would otherwise take with it.
    text = json.dumps(report, indent=2)
    with atomic_output(path) as fh:
        fh.write(text)

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="3 repeats, 10 s signals")
    parser.add_argument("--repeat", type=int, default=None, help="runs per figure (default 5, quick 3)")
    parser.add_argument("--json", type=Path, default=Path(__file__).with_name("results.json"))
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--track-only", action="store_true",
                        help="only track() end to end, its peers and its memory")
    parser.add_argument("--clock", choices=sorted(CLOCK), default="cpu",
                        help="process CPU time (default) or wall-clock time")
    args = parser.parse_args()
    global clock
    clock = CLOCK[args.clock]
    repeat = args.repeat or (3 if args.quick else 5)
    scalar_repeat = 1 if args.quick else 3

    report = {
        "cpu": cpu_name(),
        "machine": platform.machine(),
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "targets": private.targets(),
        "active_target": private.active_target(),
        "kernel_targets": private.kernel_targets(),
        "repeat": repeat,
        "clock": args.clock,
        "rows": [],
        "kernels": [],
        "peers": [],
    }
    print(f"CPU: {report['cpu']} ({report['machine']}); targets {report['targets']}, "
          f"dispatch {report['kernel_targets']}; median of {repeat} runs, {args.clock} time")

    track_end_to_end(args, repeat, report)
    if args.track_only:
        # Only this part's figures are replaced; the rest of a full run stays.
        try:
            previous = json.loads(args.json.read_text())
        except (OSError, ValueError):
            previous = {}
        previous.update({k: v for k, v in report.items() if k not in ("rows", "kernels", "peers")})
        _write_report(args.json, previous)
        print(f"\nwrote {args.json}")
        return 0

    rows = report["rows"]
    speech_x = None
    for name, w in WORKLOADS.items():
        seconds = 10.0 if args.quick else w["seconds"]
        x = np.maximum(synthetic_voice(seconds, w["fs"], *w["band"], seed=1), 0.0)
        if name == "speech":
            speech_x = (x, w)
        calls = estimator_calls(cy, x, w)
        calls_private = estimator_calls(private, x, w)
        for function, call in calls.items():
            t = median_time(call, repeat)
            t_scalar = scalar_time(function, calls_private, scalar_repeat)
            rows.append(dict(workload=name, function=function, seconds=t, realtime=seconds / t,
                             vs_scalar=t_scalar / t, peak_mib=peak_memory_mib(call)))

    # The decoder on the matrices tracking builds for the speech workload,
    # and the transition model on its own.
    rng = np.random.default_rng(2)
    log_likelihood, log_a = tracked_matrices(pcm16(speech_x[0]), speech_x[1])
    decode = lambda: cy.viterbi_cy(log_likelihood, log_a, 1.0)  # noqa: E731
    t = median_time(decode, repeat)
    private.use_target("scalar")
    t_scalar = median_time(lambda: private.viterbi_cy(log_likelihood, log_a, 1.0), scalar_repeat)
    private.use_target(None)
    rows.append(dict(workload="x".join(map(str, log_likelihood.shape)), function="viterbi_cy", seconds=t, realtime=None,
                     vs_scalar=t_scalar / t, peak_mib=peak_memory_mib(decode)))
    matrix = lambda: cy.create_transition_matrix_cy(512, 16000.0, 0.05)  # noqa: E731
    rows.append(dict(workload="512 states", function="create_transition_matrix_cy",
                     seconds=median_time(matrix, repeat), realtime=None, vs_scalar=None,
                     peak_mib=peak_memory_mib(matrix)))

    print()
    print(f"{'workload':<11} {'function':<30} {'seconds':>9} {'x realtime':>11} {'vs scalar':>10} {'peak MiB':>9}")
    for r in rows:
        rt = f"{r['realtime']:.0f}" if r["realtime"] else "-"
        vs = f"{r['vs_scalar']:.1f}x" if r["vs_scalar"] else "-"
        mem = f"{r['peak_mib']:.1f}" if r["peak_mib"] is not None else "-"
        print(f"{r['workload']:<11} {r['function']:<30} {r['seconds']:>9.4f} {rt:>11} {vs:>10} {mem:>9}")

    # The map on 16-bit and on unquantised speech: running sums where the
    # certificate holds, frame by frame otherwise. Updates are counted as the
    # frame-by-frame path performs them, so the figures compare directly.
    x, w = speech_x
    lags = np.arange(w["lags"][0], w["lags"][1] + 1, dtype=np.intp)
    win, hop = w["window_size"], w["hop_size"]
    frames = (len(x) - win + hop - 1) // hop
    updates = frames * int(sum(max(win - lag, 0) for lag in lags))
    mhz = nominal_mhz()
    print()
    print(f"calc_qesmor_core_cy on {len(x) / w['fs']:.0f} s of speech, {updates / 1e9:.2f} G frame-by-frame updates, "
          f"least of {repeat} runs, the targets taking turns"
          + (f" (per cycle at the nominal {mhz:.0f} MHz)" if mhz else ""))
    report["map"] = []
    inputs = {"16-bit": pcm16(x), "unquantised": x}
    chosen = private.kernel_targets()
    # The running sums serve the 16-bit input, the frame-by-frame kernel the other.
    group = {"16-bit": "running_sums", "unquantised": "periodicity"}
    targets = [None] + private.targets()[1:]
    # Every target and input take turns, run after run, and each keeps its
    # least time: measured one after another, the figures of two targets
    # running the same kernel differed by a fifth on a shared machine.
    least = {}
    for _ in range(repeat):
        for target in targets:
            private.use_target(target)
            for kind, signal in inputs.items():
                start = clock()
                private.calc_qesmor_core_cy(signal, win, hop, lags)
                spent = clock() - start
                least[target, kind] = min(least.get((target, kind), spent), spent)
    for target in targets:
        private.use_target(target)
        times = {}
        for kind, signal in inputs.items():
            label = target or f"dispatched ({chosen[group[kind]]})"
            call = lambda: private.calc_qesmor_core_cy(signal, win, hop, lags)  # noqa: E731
            times[kind] = least[target, kind]
            identical = same_bits(call(), plain(call))
            per_ns = updates / (times[kind] * 1e9)
            report["map"].append(dict(target=label, input=kind, seconds=times[kind], updates_per_ns=per_ns,
                                      updates_per_cycle=per_ns * 1000 / mhz if mhz else None,
                                      identical_to_frame_by_frame=identical))
            cyc = f"{per_ns * 1000 / mhz:6.2f}/cycle" if mhz else ""
            print(f"  {label:<20} {kind:<12} {times[kind] * 1e3:8.1f} ms {per_ns:7.2f} updates/ns {cyc}"
                  f"  {'same bits' if identical else 'BITS DIFFER'}")
        print(f"  {'':<20} 16-bit is {times['unquantised'] / times['16-bit']:.2f}x faster")
    private.use_target(None)

    # The decoder per target, pruned and full scan, on the tracked matrices.
    print()
    print(f"decoder on tracked {log_likelihood.shape[0]} x {log_likelihood.shape[1]} log-likelihoods")
    report["decoder"] = []
    for target in [None] + private.targets()[1:]:
        private.use_target(target)
        label = target or f"dispatched ({private.kernel_targets()['decoder']})"
        call = lambda: private.viterbi_cy(log_likelihood, log_a, 1.0)  # noqa: E731
        pruned = median_time(call, repeat)
        full = median_time(lambda: plain(call), repeat)
        identical = same_bits(call(), plain(call))
        report["decoder"].append(dict(target=label, pruned_seconds=pruned, full_seconds=full,
                                      identical_to_full=identical))
        print(f"  {label:<20} pruned {pruned * 1e3:7.1f} ms  full scan {full * 1e3:7.1f} ms  "
              f"{full / pruned:5.2f}x  {'same path' if identical else 'PATH DIFFERS'}")
    private.use_target(None)

    # Periodicity kernel throughput per target: one 1024-sample frame, lags 32..320.
    frame = np.abs(rng.standard_normal(1024))
    lags = np.arange(32, 321, dtype=np.intp)
    updates = int(sum(1024 - lag for lag in lags))
    print()
    print(f"periodicity kernel, {updates} min-and-add updates per call"
          + (f" (per cycle at the nominal {mhz:.0f} MHz; the cycle counter is not used)" if mhz else ""))
    baseline = None
    for target in private.targets():
        t = median_time(lambda: private._periodicity_1d_core_cy(frame, lags, target), max(repeat, 20))
        per_ns = updates / (t * 1e9)
        baseline = baseline or t
        per_cycle = per_ns * 1000 / mhz if mhz else None
        report["kernels"].append(dict(target=target, updates_per_ns=per_ns, updates_per_cycle=per_cycle,
                                      vs_scalar=baseline / t))
        cyc = f"{per_cycle:.2f}/cycle" if per_cycle else ""
        print(f"  {target:<8} {per_ns:6.2f} updates/ns {cyc:>14} {baseline / t:7.1f}x scalar")

    # The full-rate frame values per target: 44.1 kHz frames of 1768
    # samples every 441, four adjacent lags each, both half-waves.
    signal = rng.standard_normal(44100 * 10)
    starts = np.arange(0, signal.size - 1768, 441, dtype=np.intp)
    lags = (rng.integers(90, 800, starts.size)[:, None] + np.arange(-1, 3)).ravel().astype(np.intp)
    windows = np.array([1768], dtype=np.intp)
    updates = 2 * int(sum(1768 - lag for lag in lags))
    print()
    print(f"full-rate frame values, {starts.size} frames, {updates} min-and-add updates per call")
    report["frame_values"] = []
    baseline = None
    for target in private.targets():
        private.use_target(target)
        t = median_time(lambda: private._qesmor_frames_at(signal, windows, starts, lags, 0), max(repeat, 10))
        baseline = baseline or t
        report["frame_values"].append(dict(target=target, seconds=t, vs_scalar=baseline / t))
        print(f"  {target:<8} {t * 1e3:7.2f} ms {updates / (t * 1e9):6.2f} updates/ns {baseline / t:7.1f}x scalar")
    private.use_target(None)

    if not args.no_peers and speech_x is not None:
        x, w = speech_x
        peers = peer_calls(x, w["fs"])
        # Wall-clock time here, for ours too: some peers keep idle BLAS
        # threads spinning, which process CPU time would charge to them.
        ours = median_time(estimator_calls(cy, x, w)["calc_Pitch_viterbi_core_cy"], repeat, time.perf_counter)
        print()
        print(f"peers, wall-clock time (our Viterbi core {ours:.3f} s)")
        if not peers:
            print("no peer installed (pip install '.[bench]')")
        for name, call in peers.items():
            call()  # a peer's first call may compile or load code it then keeps
            t = median_time(call, max(1, repeat // 2), time.perf_counter)
            report["peers"].append(dict(peer=name, seconds=t, peer_over_ours=t / ours))
            print(f"  {name:<26} {t:9.3f} s   {t / ours:8.1f}x our Viterbi core")

    _write_report(args.json, report)
    print(f"\nwrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
