"""Score qesmorPitch's methods and candidate defaults on the synthetic corpus.

    python -m qesmorPitch.evaluate             # full run (a few minutes), Markdown tables
    python -m qesmorPitch.evaluate --quick     # 8 signals, a smaller search
    python -m qesmorPitch.evaluate --json results.json

On real recordings (README.md, "Evaluation on real speech and music"):

    python -m qesmorPitch.evaluate --build-corpus [--cache DIR]
    python -m qesmorPitch.evaluate --real [--split tune|heldout] [--peers]
        [--kind speech|music|all] [--conditions clean,DC 2 %,...]
        [--set voicing_threshold=0.5 ...]

For each method, parameters are searched one at a time from the current
defaults (coordinate descent in a fixed order): every candidate value is run
on the whole corpus, scored, and the best value by overall accuracy is kept
before the next parameter. The voicing threshold needs no extra runs: each
run is scored at every threshold and reports its best. The final table puts
each method's best settings next to the other trackers that are installed
(librosa's pYIN, WORLD's Harvest via pyworld, Praat's autocorrelation via
parselmouth), all with the same 50-500 Hz range and 10 ms hop.

Scores (mir_eval when installed): raw pitch accuracy (RPA, within 50 cents),
raw chroma accuracy (RCA, octave errors forgiven), voicing recall (VR),
voicing false alarm (VFA) and overall accuracy (OA, the share of frames with
a correct voicing decision and, where voiced, a correct pitch), plus "cents",
the mean absolute error of the frames within 50 cents. Each is pooled over
the corpus by frame counts. The reference is the known contour at each
estimate's own frame times. Candidates are ranked by OA; within 0.001 the
lower cents error wins, which is what separates the interpolators.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import _corpus, _realeval, _scoring
from ._options import METHODS
from ._track import DEFAULTS, Options, make_plan, prepare, run_plan

PROG = "python -m qesmorPitch.evaluate"

# The range the evaluation searches, the trackers compare over: the defaults.
FMIN, FMAX = Options.fmin, Options.fmax
THRESHOLDS = (0.0, 0.3, 0.35, 0.4, 0.45, 0.5, 0.6, 0.7, 0.8, 0.9)

# The order and candidates of the coordinate search, per method.
SEARCH: Dict[str, List[Tuple[str, Sequence[Any]]]] = {
    "direct": [
        ("detect", (("score", 0.3), ("score", 0.5), ("score", 0.7), ("score", 0.9),
                    ("peak", 0.6), ("peak", 0.7), ("peak", 0.8), ("peak", 0.9),
                    ("maximum", 0.0))),
        ("smooth", (1, 3, 5)),
        ("polarity", ("both", "positive", "negative")),
        ("interpolator", ("parabolic", "gaussian", "centroid", "none")),
        ("subtract_minimum", (False, True)),
    ],
    # The tracking parameters interact, so the first is searched again after
    # the second; polarity and refinement matter less and come last.
    "bayes": [
        ("alpha", (0.0, 0.1, 0.25, 0.5, 1.0)),
        ("sigma", (0.02, 0.05, 0.1, 0.15, 0.2, 0.4)),
        ("alpha", (0.0, 0.1, 0.25, 0.5, 1.0)),
        ("polarity", ("both", "positive", "negative")),
        ("interpolator", ("parabolic", "gaussian", "centroid", "none")),
        ("subtract_minimum", (False, True)),
    ],
    "viterbi": [
        ("beta", (1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0)),
        ("sigma", (0.02, 0.05, 0.1, 0.15, 0.2, 0.4)),
        ("beta", (1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0)),
        ("polarity", ("both", "positive", "negative")),
        ("interpolator", ("parabolic", "gaussian", "centroid", "none")),
        ("subtract_minimum", (False, True)),
    ],
}
QUICK_SEARCH: Dict[str, List[Tuple[str, Sequence[Any]]]] = {
    "direct": [("polarity", ("both", "positive"))],
    "bayes": [("alpha", (0.1, 0.25, 0.5))],
    "viterbi": [("beta", (4.0, 16.0, 64.0))],
}


@dataclass
class Run:
    """One configuration scored on the whole corpus."""

    name: str
    settings: Dict[str, Any]
    scores: Dict[str, float]
    seconds: float
    threshold: Optional[float] = None
    by_noise: Dict[str, float] = field(default_factory=dict)


def _settings_to_kwargs(method: str, settings: Dict[str, Any]) -> Dict[str, Any]:
    kw = dict(settings)
    if "detect" in kw:
        kw["pitch_detect_mode"], kw["pitch_detect_threshold"] = kw.pop("detect")
    kw["method"] = method
    return kw


def _noise_label(example: _corpus.Example) -> str:
    return "clean" if math.isinf(example.snr_db) else f"{example.snr_db:g}dB"


def _pool_runs(ref: Dict[str, np.ndarray], est: Dict[str, np.ndarray],
               examples: Sequence[_corpus.Example]) -> Tuple[Dict[str, float], Dict[str, float]]:
    per = {e.name: _scoring.score(ref[e.name], est[e.name]) for e in examples}
    frames = {e.name: _scoring.frame_counts(ref[e.name]) for e in examples}
    pooled = _scoring.pool(per, frames)
    by_noise: Dict[str, float] = {}
    for label in sorted({_noise_label(e) for e in examples}):
        group = [e.name for e in examples if _noise_label(e) == label]
        sub = _scoring.pool({k: per[k] for k in group}, {k: frames[k] for k in group})
        by_noise[label] = sub["overall_accuracy"]
    return pooled, by_noise


def _better(a: Dict[str, float], b: Dict[str, float]) -> bool:
    """Higher overall accuracy wins; within 0.001 (a frame or two of the
    corpus), the lower cents error does, so refinement is judged on precision."""
    oa_a, oa_b = round(a["overall_accuracy"], 3), round(b["overall_accuracy"], 3)
    if oa_a != oa_b:
        return oa_a > oa_b
    ca, cb = a.get("cents_error", math.nan), b.get("cents_error", math.nan)
    return not math.isnan(ca) and (math.isnan(cb) or ca < cb - 1e-9)


def run_qesmor(examples: Sequence[_corpus.Example], method: str,
               settings: Dict[str, Any]) -> Run:
    """Run one configuration at voicing threshold 0 and score it at every threshold."""
    kwargs = _settings_to_kwargs(method, settings)
    tracks = {}
    start = time.perf_counter()
    for e in examples:
        signal, plan = prepare(e.y, e.sr, fmin=FMIN, fmax=FMAX, voicing_threshold=0.0,
                               **kwargs)
        tracks[e.name] = run_plan(signal, plan)
    seconds = time.perf_counter() - start
    ref = {e.name: e.reference_at(tracks[e.name].times) for e in examples}
    best: Optional[Run] = None
    for thr in THRESHOLDS:
        est = {k: np.where(pt.voiced & (pt.strength >= thr), pt.f0, 0.0)
               for k, pt in tracks.items()}
        pooled, by_noise = _pool_runs(ref, est, examples)
        if best is None or _better(pooled, best.scores):
            best = Run(name=f"qesmorPitch {method}", settings=dict(settings),
                       scores=pooled, seconds=seconds, threshold=thr, by_noise=by_noise)
    assert best is not None
    return best


def search(examples: Sequence[_corpus.Example], method: str,
           plan: List[Tuple[str, Sequence[Any]]], log: Callable[[str], None]) -> Tuple[Run, List[Run]]:
    """Coordinate search over `plan` from the current defaults; returns the best run and all runs."""
    d = DEFAULTS[method]
    base = Options()
    current: Dict[str, Any] = {"polarity": base.polarity, "interpolator": base.interpolator,
                               "subtract_minimum": base.subtract_minimum}
    if method == "direct":
        current["detect"] = (d["pitch_detect_mode"], d["pitch_detect_threshold"])
        current["smooth"] = d["smooth"]
    else:
        current["sigma"] = d["sigma"]
        current["alpha" if method == "bayes" else "beta"] = d["alpha" if method == "bayes" else "beta"]
    cache: Dict[str, Run] = {}
    runs: List[Run] = []

    def evaluate(settings: Dict[str, Any]) -> Run:
        key = json.dumps(settings, sort_keys=True, default=str)
        if key not in cache:
            run = run_qesmor(examples, method, settings)
            cache[key] = run
            runs.append(run)
            log(f"  {method:8s} {_fmt_settings(settings):60s} OA {run.scores['overall_accuracy']:.3f}"
                f" cents {run.scores['cents_error']:.2f} (threshold {run.threshold:g})")
        return cache[key]

    best = evaluate(current)
    for name, values in plan:
        for v in values:
            run = evaluate({**current, name: v})
            if _better(run.scores, best.scores):
                best = run
        current = dict(best.settings)
    return best, runs


# --------------------------------------------------------------------------
# Other trackers, each on its own documented interface


EXTERNAL: Dict[str, Tuple[str, Callable[[np.ndarray, float], Tuple[np.ndarray, np.ndarray]]]] = {
    "librosa.pyin": ("librosa", _realeval.PEERS["librosa pyin"][1](FMIN, FMAX)),
    "pyworld.harvest": ("pyworld", _realeval.PEERS["pyworld harvest"][1](FMIN, FMAX)),
    "parselmouth (Praat ac)": ("parselmouth", _realeval.PEERS["parselmouth ac"][1](FMIN, FMAX)),
}


def run_external(examples: Sequence[_corpus.Example], name: str,
                 fn: Callable[[np.ndarray, float], Tuple[np.ndarray, np.ndarray]]) -> Run:
    ref, est = {}, {}
    start = time.perf_counter()
    for e in examples:
        t, f0 = fn(e.y, e.sr)
        ref[e.name] = e.reference_at(t)
        est[e.name] = np.asarray(f0, dtype=np.float64)
    seconds = time.perf_counter() - start
    pooled, by_noise = _pool_runs(ref, est, examples)
    return Run(name=name, settings={}, scores=pooled, seconds=seconds, by_noise=by_noise)


# --------------------------------------------------------------------------
# Report


def _fmt_settings(settings: Dict[str, Any]) -> str:
    parts = []
    for k, v in settings.items():
        if k == "subtract_minimum":
            if v:
                parts.append("subtract_minimum")
        elif k == "detect":
            parts.append(f"{v[0]}>{v[1]:g}" if v[0] != "maximum" else "maximum")
        else:
            parts.append(f"{k}={v}")
    return ", ".join(parts)


def _row(run: Run) -> str:
    s = run.scores
    settings = _fmt_settings(run.settings)
    if run.threshold is not None:
        settings += f", voicing_threshold={run.threshold:g}"
    return (f"| {run.name} | {settings or 'its defaults, 50-500 Hz, 10 ms'} | "
            f"{s['raw_pitch_accuracy']:.3f} | "
            f"{s['raw_chroma_accuracy']:.3f} | {s['voicing_recall']:.3f} | "
            f"{s['voicing_false_alarm']:.3f} | {s['overall_accuracy']:.3f} | "
            f"{s['cents_error']:.1f} | {run.seconds:.1f} |")


HEADER = ("| tracker | settings | RPA | RCA | VR | VFA | OA | cents | time (s) |\n"
          "|---|---|---|---|---|---|---|---|---|")


def report(final: List[Run], sweep: List[Run], examples: Sequence[_corpus.Example]) -> str:
    total = sum(e.duration for e in examples)
    rates = sorted({e.sr for e in examples})
    lines = [f"Corpus: {len(examples)} synthetic signals, {total:.1f} s of audio, "
             f"{rates[0] // 1000}-{rates[-1] // 1000} kHz; range {FMIN:g}-{FMAX:g} Hz, 10 ms hop; "
             f"scores by {'mir_eval' if _scoring.have_mir_eval() else 'the built-in scorer'}.",
             "", HEADER]
    lines += [_row(r) for r in final]
    labels = sorted({k for r in final for k in r.by_noise},
                    key=lambda k: (k != "clean", -float(k[:-2]) if k.endswith("dB") else 0))
    lines += ["", "Overall accuracy by noise level:", "",
              "| tracker | " + " | ".join(labels) + " |",
              "|---|" + "---|" * len(labels)]
    for r in final:
        lines.append(f"| {r.name} | " + " | ".join(f"{r.by_noise.get(k, float('nan')):.3f}"
                                                  for k in labels) + " |")
    lines += ["", "All configurations searched (each at its best voicing threshold):", "", HEADER]
    lines += [_row(r) for r in sweep]
    return "\n".join(lines)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog=PROG,
                                     description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="8 signals and a smaller search (under a minute)")
    parser.add_argument("--no-external", action="store_true",
                        help="skip librosa, pyworld and parselmouth even if installed")
    parser.add_argument("--methods", default="direct,bayes,viterbi",
                        help="comma-separated methods to search (default: all three)")
    parser.add_argument("--json", metavar="PATH", help="also write every run as JSON")
    _real_arguments(parser)
    args = parser.parse_args(argv)
    # A method named twice would be searched and scored twice, its rows
    # doubled in every table; the first mention keeps its place.
    methods = list(dict.fromkeys(m.strip() for m in args.methods.split(",") if m.strip()))
    unknown = [m for m in methods if m not in METHODS]
    if not methods or unknown:
        parser.error(f"--methods {args.methods!r}: give one or more of {', '.join(METHODS)}")
    if not (math.isfinite(args.above_sr) and args.above_sr >= 0):
        # A negative rate kept every item, as 0 does, and read as a filter
        # that had been applied; NaN kept none.
        parser.error(f"--above-sr {args.above_sr:g}: give a rate in Hz of 0 or more "
                     f"(0, the default, scores every item), e.g. --above-sr 16000")
    if args.cache == "":
        # Else taken for "no --cache": the default cache was built or read.
        parser.error("--cache '' names no folder; give one, e.g. --cache corpus, or leave "
                     "it out for $QESMORPITCH_CORPUS or ~/.cache/qesmorPitch/corpus")
    if args.json == "":
        # Else taken for "no --json": the run's results were never written.
        parser.error("--json '' names no file; give one, e.g. --json results.json")
    if args.json:
        # Checked now: it is written only after the whole run.
        folder = os.path.dirname(os.path.abspath(args.json))
        if not os.path.isdir(folder):
            parser.error(f"--json {args.json}: no such directory {folder}")
        # A folder is found out only when the run's results are written, and
        # lost with them (--real --kind all adds a suffix per kind, so it
        # writes beside the folder).
        as_is = not (args.real and args.kind == "all")
        if as_is and (os.path.isdir(args.json) or args.json.endswith(("/", os.sep))):
            parser.error(f"--json {args.json}: names a directory; name the file to write, "
                         f"e.g. {os.path.join(args.json, 'results.json')}")
    if args.build_corpus or args.real:
        return _real_main(args, parser, methods)
    given = [f"--{name.replace('_', '-')}" for name in ("conditions", "peers", "set", "cache", "split",
                                                         "kind", "above_sr")
             if getattr(args, name) != parser.get_default(name)]
    if given:
        parser.error(f"{given[0]} applies to the real recordings: add --real")

    def log(msg: str) -> None:
        print(msg, file=sys.stderr, flush=True)

    if not _scoring.have_mir_eval():
        log("mir_eval is not installed (pip install 'qesmorPitch[eval]'): "
            "scoring with the built-in equivalent")
    examples = _corpus.corpus(quick=args.quick)
    log(f"corpus: {len(examples)} signals")
    plans = QUICK_SEARCH if args.quick else SEARCH
    final: List[Run] = []
    sweep: List[Run] = []
    for method in methods:
        best, runs = search(examples, method, plans[method], log)
        final.append(best)
        sweep.extend(runs)
    final.sort(key=lambda r: -r.scores["overall_accuracy"])
    if not args.no_external:
        import importlib.util

        for name, (module, fn) in EXTERNAL.items():
            if importlib.util.find_spec(module) is None:
                log(f"  {name}: not installed, skipped")
                continue
            log(f"  {name} ...")
            final.append(run_external(examples, name, fn))
    print(report(final, sweep, examples))
    if args.json:
        return _save_json(args.json, {"final": [r.__dict__ for r in final],
                                      "sweep": [r.__dict__ for r in sweep]})
    return 0


def _plain(value: Any) -> Any:
    """`value` with every NaN or infinity as None (JSON's null: json.dump
    writes them as bare NaN and Infinity, which no strict parser reads) and
    NumPy's scalars as Python's; anything else JSON lacks becomes its str()."""
    if isinstance(value, dict):
        return {k if isinstance(k, str) else str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value) if math.isfinite(value) else None
    if value is None or isinstance(value, str):
        return value
    return str(value)


def _save_json(path: str, doc: Any) -> int:
    """0 once `doc` is written to `path`; else 1, said in one line (the
    run's tables are printed already)."""
    from ._audio import write_failure

    try:
        write_json(path, doc)
    except OSError as exc:
        print(f"{PROG}: error: --json: {write_failure(path, exc)}", file=sys.stderr, flush=True)
        return 1
    return 0


def write_json(path: str, doc: Any) -> None:
    """Write `doc` as JSON to `path`, NaN as null; the file appears only when
    complete (a run interrupted while writing leaves any earlier one whole)."""
    from ._audio import atomic_output

    text = json.dumps(_plain(doc), indent=1, allow_nan=False)
    with atomic_output(path) as f:
        f.write(text + "\n")


# --------------------------------------------------------------------------
# Real recordings


def _real_arguments(parser: argparse.ArgumentParser) -> None:
    real = parser.add_argument_group("real recordings")
    real.add_argument("--build-corpus", action="store_true",
                      help="build the corpus of --kind into the cache and stop")
    real.add_argument("--real", action="store_true",
                      help="score on the real-recording corpus instead of the synthetic one")
    real.add_argument("--cache", metavar="DIR",
                      help="corpus cache (default: $QESMORPITCH_CORPUS or ~/.cache/qesmorPitch/corpus)")
    real.add_argument("--split", choices=("tune", "heldout", "both"), default="tune",
                      help="which part to score (default: tune)")
    real.add_argument("--kind", choices=("speech", "music", "all"), default="speech",
                      help="speech (50-600 Hz), music (40-1000 Hz) or both (default: speech)")
    real.add_argument("--conditions", metavar="LIST",
                      help="comma-separated conditions (default: all for speech, "
                           "a few for music); 'list' prints them")
    real.add_argument("--peers", nargs="?", const="all", metavar="LIST",
                      help="also score the other trackers that are installed: all, or a "
                           "comma-separated list of their names (e.g. 'parselmouth ac,swift-f0')")
    real.add_argument("--above-sr", type=float, default=0.0, metavar="RATE",
                      help="score only the items sampled above RATE Hz (e.g. 16000)")
    real.add_argument("--set", metavar="KEY=VALUE", action="append", default=[],
                      help="a track() keyword for qesmorPitch's methods (repeatable)")


def _parse_value(text: str) -> Any:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return {"none": None, "true": True, "false": False}.get(text.lower(), text)


def _real_main(args: argparse.Namespace, parser: argparse.ArgumentParser,
               methods: Sequence[str]) -> int:
    from . import _realcorpus

    def log(msg: str) -> None:
        print(msg, file=sys.stderr, flush=True)

    if args.conditions == "list":
        print("\n".join(_realcorpus.CONDITIONS))
        return 0
    if args.build_corpus:
        try:
            if args.kind in ("speech", "all"):
                _realcorpus.build_speech(args.cache, log=log)
            if args.kind in ("music", "all"):
                from . import _music

                _music.build_music(args.cache, log=log)
        except (OSError, RuntimeError, subprocess.CalledProcessError) as exc:
            # A tool missing or failing, or a full disk: the items written
            # so far are whole, and a build run again starts afresh.
            from ._audio import _one_line, write_failure

            cache = os.path.realpath(_realcorpus.cache_dir(args.cache))
            written = (isinstance(exc, OSError) and exc.filename is not None
                       and os.path.realpath(exc.filename).startswith(cache))
            text = write_failure(exc.filename, exc) if written else _one_line(exc)
            print(f"{PROG}: error: the corpus build stopped: {text}", file=sys.stderr, flush=True)
            return 1
        return 0
    overrides = {}
    for pair in args.set:
        key, sep, value = pair.partition("=")
        if not sep:
            parser.error(f"--set {pair!r} needs KEY=VALUE, e.g. voicing_threshold=0.5")
        parsed = _parse_value(value.strip())
        if (isinstance(parsed, float) and math.isinf(parsed)
                and value.strip().lower().lstrip("+-") not in ("inf", "infinity")):
            # float() reads 1e400 as inf, and the checks' messages then
            # quoted a value that was never typed.
            parser.error(f"--set {key.strip()}={value.strip()}: {value.strip()} is beyond "
                         f"every finite number (the largest is about 1.8e308)")
        overrides[key.strip()] = parsed
    for key in ("fmin", "fmax", "method"):
        if key in overrides:
            parser.error(f"--set {key}=...: the evaluation sets {key} itself (the range is "
                         f"50-600 Hz for speech, 40-1000 Hz for music; --methods chooses methods)")
    for method in methods:
        # Every keyword and value checked now, not after the first items.
        try:
            Options.from_kwargs({"method": method, **overrides})
        except (TypeError, ValueError) as exc:
            parser.error(f"--set: {exc}")
    only = None if args.peers in (None, "all") else [p.strip() for p in args.peers.split(",")]
    unknown = [p for p in only or () if p not in _realeval.PEERS]
    if unknown:
        parser.error(f"unknown peer {unknown[0]!r}; choose from {', '.join(_realeval.PEERS)}")
    for c in (args.conditions or "").split(","):
        if c.strip() and c.strip() not in _realcorpus.CONDITIONS:
            parser.error(f"unknown condition {c.strip()!r}; --conditions list shows them")
    if args.conditions is not None and not args.conditions.replace(",", "").strip():
        # Else a run that scores nothing, reported as done.
        parser.error(f"--conditions {args.conditions!r} names no condition; give one or more, "
                     f"e.g. --conditions clean (--conditions list shows them)")
    split = None if args.split == "both" else args.split
    kinds = ("speech", "music") if args.kind == "all" else (args.kind,)
    corpus = {}
    for kind in kinds:
        try:
            items = [i for i in _realcorpus.load(kind, split, args.cache) if i.sr > args.above_sr]
        except FileNotFoundError as exc:
            parser.error(" ".join(str(exc).split()))
        if not items:
            parser.error(f"no {kind} item is sampled above --above-sr {args.above_sr:g} Hz")
        corpus[kind] = items
        # The limits that depend on the rate (a frame or hop given in
        # samples or seconds), at each rate of the items: else a traceback
        # once the first item at that rate was reached, after the earlier
        # ones were scored.
        fmin, fmax = (40.0, 1000.0) if kind == "music" else (50.0, 600.0)
        for sr in sorted({i.sr for i in items}):
            for method in methods:
                try:
                    make_plan(sr, Options.from_kwargs({"method": method, "fmin": fmin,
                                                       "fmax": fmax, **overrides}))
                except (TypeError, ValueError) as exc:
                    parser.error(f"--set: {exc} (the {kind} items at {sr:g} Hz)")
    failed = 0
    for kind, items in corpus.items():
        fmin, fmax = (40.0, 1000.0) if kind == "music" else (50.0, 600.0)
        default = _realcorpus.SPEECH_CONDITIONS if kind == "speech" else _realcorpus.MUSIC_CONDITIONS
        conditions = ([c.strip() for c in args.conditions.split(",") if c.strip()]
                      if args.conditions else list(default))
        trackers = {f"qesmorPitch {m}": _realeval.qesmor(m, fmin, fmax, **overrides)
                    for m in methods}
        if args.peers:
            trackers.update(_realeval.installed_peers(fmin, fmax, log=log, only=only))
        seconds = sum(i.duration for i in items)
        log(f"{kind}: {len(items)} items, {seconds:.1f} s, split {args.split}")
        settings = ", ".join(f"{k}={v}" for k, v in overrides.items()) or "defaults"
        print(f"## {kind}, {args.split} part: {len(items)} items, {seconds:.0f} s; "
              f"range {fmin:g}-{fmax:g} Hz, qesmorPitch {settings}\n", flush=True)
        path = f"{args.json}.{kind}.json" if args.json and len(kinds) > 1 else args.json

        def done(condition: str, scores: Dict[str, Dict[str, float]]) -> None:
            # Each table as soon as its condition is scored: a full run with
            # the peers takes the better part of an hour.
            print(_realeval.tables({name: {condition: s} for name, s in scores.items()}),
                  flush=True)

        result = _realeval.score_trackers(trackers, items, conditions, log=log, done=done)
        print(f"Overall accuracy by condition ({kind}, {args.split} part):\n")
        print(_realeval.overview(result) + "\n", flush=True)
        if path:
            failed = _save_json(path, result) or failed
    return failed


if __name__ == "__main__":
    sys.exit(main())
