"""Scoring pitch trackers on the real-recording corpus, condition by condition.

A tracker is any function ``fn(y, sr) -> (times, f0)`` with f0 in Hz and 0
or NaN where unvoiced, on frame times of its own choosing: the truth is read
at those times, so trackers with other hops or frame offsets score fairly.
Frames whose truth is NaN (near note changes, faint vocoder tails) and frames
past the truth's end are left out. Within a condition every frame of every
item counts once (scores pooled by frame counts), and the gross error rate
is the share of frames voiced in both whose estimate is off by more than 20 %.
"""
from __future__ import annotations

import time
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from . import _realcorpus, _scoring

Tracker = Callable[[np.ndarray, int], Tuple[np.ndarray, np.ndarray]]
Scores = Dict[str, float]
GROSS_ERROR = 0.2
COLUMNS = (("RPA", "raw_pitch_accuracy"), ("RCA", "raw_chroma_accuracy"),
           ("VR", "voicing_recall"), ("VFA", "voicing_false_alarm"),
           ("OA", "overall_accuracy"), ("GER", "gross_error_rate"))


def gross_error_rate(ref: np.ndarray, est: np.ndarray) -> float:
    """Share of the frames voiced in both where the estimate is more than 20 % off."""
    ref, est = np.nan_to_num(ref), np.nan_to_num(est)
    both = (ref > 0) & (est > 0)
    if not both.any():
        return float("nan")
    return float(np.mean(np.abs(est[both] / ref[both] - 1.0) > GROSS_ERROR))


def frame_pairs(item: _realcorpus.Item, times: np.ndarray,
                f0: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Truth and estimate on the estimate's frames, scored frames only."""
    ref = item.truth_at(np.asarray(times, dtype=np.float64))
    est = np.asarray(f0, dtype=np.float64)
    if est.shape != ref.shape:
        raise ValueError(f"{item.name}: the tracker gave {est.shape[0]} F0 values "
                         f"for {ref.shape[0]} frame times")
    keep = np.isfinite(ref)
    est = np.where(np.isfinite(est) & (est > 0), est, 0.0)
    return ref[keep], est[keep]


def score_pairs(ref: np.ndarray, est: np.ndarray) -> Scores:
    scores = _scoring.score(ref, est)
    scores["gross_error_rate"] = gross_error_rate(ref, est)
    scores["frames"] = float(ref.shape[0])
    return scores


def score_trackers(trackers: Mapping[str, Tracker], items: Sequence[_realcorpus.Item],
                   conditions: Sequence[str] = ("clean",), *,
                   pool: Optional[Sequence[_realcorpus.Item]] = None,
                   log: Optional[Callable[[str], None]] = None,
                   done: Optional[Callable[[str, Dict[str, Scores]], None]] = None,
                   ) -> Dict[str, Dict[str, Scores]]:
    """Scores per tracker and condition: ``result[tracker][condition]`` holds
    the metrics of COLUMNS and "seconds", the tracker's time on that condition.

    Each condition is applied once per item and shared by the trackers;
    `pool` (default: `items`) supplies the babble talkers. `done(condition,
    {tracker: scores})` is called as each condition finishes, so a long run
    can report as it goes.
    """
    pool = list(items) if pool is None else list(pool)
    result: Dict[str, Dict[str, Scores]] = {name: {} for name in trackers}
    for condition in conditions:
        refs: Dict[str, List[np.ndarray]] = {name: [] for name in trackers}
        ests: Dict[str, List[np.ndarray]] = {name: [] for name in trackers}
        seconds = dict.fromkeys(trackers, 0.0)
        for item in items:
            y, sr = _realcorpus.apply(condition, item, pool)
            for name, fn in trackers.items():
                start = time.perf_counter()
                times, f0 = fn(y, sr)
                seconds[name] += time.perf_counter() - start
                ref, est = frame_pairs(item, times, f0)
                refs[name].append(ref)
                ests[name].append(est)
        for name in trackers:
            scores = score_pairs(np.concatenate(refs[name]), np.concatenate(ests[name]))
            scores["seconds"] = seconds[name]
            result[name][condition] = scores
            if log:
                log(f"  {condition:18s} {name:28s} OA {scores['overall_accuracy']:.3f} "
                    f"({seconds[name]:.1f} s)")
        if done:
            done(condition, {name: result[name][condition] for name in trackers})
    return result


def score_tracker(fn: Tracker, items: Sequence[_realcorpus.Item],
                  conditions: Sequence[str] = ("clean",), **kwargs: Any) -> Dict[str, Scores]:
    """Scores of one tracker per condition (see score_trackers)."""
    return score_trackers({"tracker": fn}, items, conditions, **kwargs)["tracker"]


def qesmor(method: str = "viterbi", fmin: float = 50.0, fmax: float = 600.0,
           **overrides: Any) -> Tracker:
    """qesmorPitch.track as a tracker: `method`, the range, and any other
    keyword of track() in `overrides` (its defaults otherwise)."""
    from ._track import track

    def fn(y: np.ndarray, sr: int) -> Tuple[np.ndarray, np.ndarray]:
        pt = track(y, sr, fmin=fmin, fmax=fmax, method=method, **overrides)
        return pt.times, np.where(pt.voiced, pt.f0, 0.0)
    return fn


# --------------------------------------------------------------------------
# Other trackers, each through its documented interface with a 10 ms hop


def _pyin(fmin: float, fmax: float) -> Tracker:
    def fn(y: np.ndarray, sr: int) -> Tuple[np.ndarray, np.ndarray]:
        import librosa

        hop = int(round(0.01 * sr))
        frame = 1 << int(np.ceil(np.log2(0.0929 * sr)))  # librosa's 2048 at 22.05 kHz
        f0, _, _ = librosa.pyin(np.asarray(y, dtype=np.float64), fmin=fmin, fmax=fmax, sr=sr,
                                frame_length=frame, hop_length=hop)
        return librosa.times_like(f0, sr=sr, hop_length=hop), f0
    return fn


def _dio(fmin: float, fmax: float) -> Tracker:
    def fn(y: np.ndarray, sr: int) -> Tuple[np.ndarray, np.ndarray]:
        import pyworld

        x = np.ascontiguousarray(y, dtype=np.float64)
        f0, t = pyworld.dio(x, int(sr), f0_floor=fmin, f0_ceil=fmax, frame_period=10.0)
        return t, pyworld.stonemask(x, f0, t, int(sr))
    return fn


def _harvest(fmin: float, fmax: float) -> Tracker:
    def fn(y: np.ndarray, sr: int) -> Tuple[np.ndarray, np.ndarray]:
        import pyworld

        f0, t = pyworld.harvest(np.ascontiguousarray(y, dtype=np.float64), int(sr),
                                f0_floor=fmin, f0_ceil=fmax, frame_period=10.0)
        return t, f0
    return fn


def _praat(method: str, fmin: float, fmax: float) -> Tracker:
    def fn(y: np.ndarray, sr: int) -> Tuple[np.ndarray, np.ndarray]:
        import parselmouth

        sound = parselmouth.Sound(np.asarray(y, dtype=np.float64), sampling_frequency=sr)
        pitch = getattr(sound, method)(time_step=0.01, pitch_floor=fmin, pitch_ceiling=fmax)
        return pitch.xs(), pitch.selected_array["frequency"]
    return fn


def _sptk(method: str, fmin: float, fmax: float) -> Tracker:
    def fn(y: np.ndarray, sr: int) -> Tuple[np.ndarray, np.ndarray]:
        import pysptk

        hop = int(round(0.01 * sr))
        if method == "rapt":
            # RAPT's thresholds assume 16-bit sample values.
            f0 = pysptk.rapt(np.asarray(y * 32767.0, dtype=np.float32), sr, hop,
                             min=fmin, max=fmax)
        else:
            f0 = pysptk.swipe(np.asarray(y, dtype=np.float64), sr, hop, min=fmin, max=fmax)
        return np.arange(f0.shape[0]) * (hop / sr), f0
    return fn


def _swift(fmin: float, fmax: float) -> Tracker:
    detector: List[Any] = []

    def fn(y: np.ndarray, sr: int) -> Tuple[np.ndarray, np.ndarray]:
        from swift_f0 import SwiftF0

        if not detector:
            detector.append(SwiftF0())
        # Its frame period is fixed by the network (16 ms); the truth is read
        # at its own frame times like every other tracker's.
        res = detector[0].detect(np.asarray(y, dtype=np.float32), sr, fmin=fmin, fmax=fmax)
        voiced = getattr(res, "voicing", None)
        if voiced is None:
            voiced = res.confidence >= 0.5
        return res.timestamps, np.where(voiced, res.pitch_hz, 0.0)
    return fn


# name -> (module that must be importable, factory(fmin, fmax), biased by the truth)
PEERS: Dict[str, Tuple[str, Callable[[float, float], Tracker], bool]] = {
    "librosa pyin": ("librosa", _pyin, False),
    "pyworld dio+stonemask": ("pyworld", _dio, True),
    "pyworld harvest": ("pyworld", _harvest, True),
    "parselmouth ac": ("parselmouth", lambda a, b: _praat("to_pitch_ac", a, b), False),
    "parselmouth cc": ("parselmouth", lambda a, b: _praat("to_pitch_cc", a, b), False),
    "pysptk rapt": ("pysptk", lambda a, b: _sptk("rapt", a, b), False),
    "pysptk swipe": ("pysptk", lambda a, b: _sptk("swipe", a, b), False),
    "swift-f0": ("swift_f0", _swift, False),
}
BIASED_MARK = " (biased)"


def installed_peers(fmin: float, fmax: float,
                    log: Optional[Callable[[str], None]] = None,
                    only: Optional[Sequence[str]] = None) -> Dict[str, Tracker]:
    """The installed peers (of the names in `only`, if given) as trackers on
    `fmin`-`fmax`; pyworld's are marked biased, since the truth is pyworld's
    own analysis."""
    import importlib.util

    out: Dict[str, Tracker] = {}
    for name, (module, factory, biased) in PEERS.items():
        if only is not None and name not in only:
            continue
        if importlib.util.find_spec(module) is None:
            if log:
                log(f"  {name}: {module} not installed, skipped")
            continue
        out[name + (BIASED_MARK if biased else "")] = factory(fmin, fmax)
    return out


def tables(result: Mapping[str, Mapping[str, Scores]]) -> str:
    """One Markdown table per condition, trackers in the given order."""
    conditions: List[str] = []
    for per in result.values():
        conditions += [c for c in per if c not in conditions]
    head = ("| tracker | " + " | ".join(c for c, _ in COLUMNS) + " | time (s) |\n"
            "|---|" + "---|" * (len(COLUMNS) + 1))
    out = []
    for cond in conditions:
        rows = [name for name in result if cond in result[name]]
        frames = int(result[rows[0]][cond]["frames"]) if rows else 0
        out += [f"**{cond}** ({frames} scored frames of the first tracker)", "", head]
        for name in rows:
            s = result[name][cond]
            out.append(f"| {name} | " + " | ".join(f"{s[key]:.3f}" for _, key in COLUMNS)
                       + f" | {s['seconds']:.1f} |")
        out.append("")
    return "\n".join(out)


def overview(result: Mapping[str, Mapping[str, Scores]], metric: str = "overall_accuracy") -> str:
    """One Markdown table of `metric`: a row per tracker, a column per condition."""
    conditions: List[str] = []
    for per in result.values():
        conditions += [c for c in per if c not in conditions]
    lines = ["| tracker | " + " | ".join(conditions) + " |",
             "|---|" + "---|" * len(conditions)]
    for name, per in result.items():
        lines.append(f"| {name} | " + " | ".join(
            f"{per[c][metric]:.3f}" if c in per else "" for c in conditions) + " |")
    return "\n".join(lines)
