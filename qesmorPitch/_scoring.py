"""Frame-level pitch metrics: raw pitch and chroma accuracy, voicing recall,
voicing false alarm and overall accuracy.

mir_eval is the field's reference implementation and is used when it is
installed; the NumPy version below computes the same quantities for
estimate and reference given on the same frame times, so the demo can report
them without it.
"""
from __future__ import annotations

from typing import Dict, Optional

import numpy as np

METRICS = ("raw_pitch_accuracy", "raw_chroma_accuracy", "voicing_recall",
           "voicing_false_alarm", "overall_accuracy", "cents_error")
CENT_TOLERANCE = 50.0


def _as_hz(f0: np.ndarray) -> np.ndarray:
    """NaN, 0 and negative all mean unvoiced; mir_eval wants 0 there."""
    f = np.asarray(f0, dtype=np.float64).copy()
    f[~np.isfinite(f) | (f < 0)] = 0.0
    return f


def have_mir_eval() -> bool:
    try:
        import mir_eval.melody  # noqa: F401
    except ImportError:
        return False
    return True


def score(ref_f0: np.ndarray, est_f0: np.ndarray, *,
          use_mir_eval: Optional[bool] = None) -> Dict[str, float]:
    """Scores of `est_f0` against `ref_f0`, both in Hz on the same frames.

    Unvoiced frames are 0 or NaN in either. Accuracies count an estimate
    within 50 cents of the reference (chroma: of any octave of it) among the
    reference's voiced frames; the estimate's unvoiced frames count as wrong.
    """
    ref, est = _as_hz(ref_f0), _as_hz(est_f0)
    if ref.shape != est.shape:
        raise ValueError(f"reference and estimate need the same frames, got "
                         f"{ref.shape} and {est.shape}")
    if use_mir_eval is None:
        use_mir_eval = have_mir_eval()
    scores = _score_mir_eval(ref, est) if use_mir_eval else _score_numpy(ref, est)
    scores["cents_error"] = cents_error(ref, est)
    return scores


def cents_error(ref_f0: np.ndarray, est_f0: np.ndarray) -> float:
    """Mean absolute deviation in cents over the frames that count as correct
    pitch (both voiced, within 50 cents): the precision that the accuracies,
    with their 50-cent tolerance, cannot see. NaN when no frame is correct."""
    ref, est = _as_hz(ref_f0), _as_hz(est_f0)
    both = (ref > 0) & (est > 0)
    diff = np.abs(1200.0 * np.log2(est[both] / ref[both]))
    ok = diff[diff < CENT_TOLERANCE]
    return float(ok.mean()) if ok.size else float("nan")


def _score_mir_eval(ref: np.ndarray, est: np.ndarray) -> Dict[str, float]:
    import mir_eval.melody as mm

    # The metric functions directly: mir_eval.melody.evaluate would prepend a
    # frame at t=0 and resample, and our frames are already aligned.
    ref_freq, ref_v = mm.freq_to_voicing(ref)
    est_freq, est_v = mm.freq_to_voicing(est)
    ref_c, est_c = mm.hz2cents(ref_freq), mm.hz2cents(est_freq)
    return {
        "raw_pitch_accuracy": float(mm.raw_pitch_accuracy(ref_v, ref_c, est_v, est_c)),
        "raw_chroma_accuracy": float(mm.raw_chroma_accuracy(ref_v, ref_c, est_v, est_c)),
        "voicing_recall": float(mm.voicing_measures(ref_v, est_v)[0]),
        "voicing_false_alarm": float(mm.voicing_measures(ref_v, est_v)[1]),
        "overall_accuracy": float(mm.overall_accuracy(ref_v, ref_c, est_v, est_c)),
    }


def _score_numpy(ref: np.ndarray, est: np.ndarray) -> Dict[str, float]:
    ref_v, est_v = ref > 0, est > 0
    both = ref_v & est_v
    diff = np.zeros_like(ref)
    diff[both] = np.abs(1200.0 * np.log2(est[both] / ref[both]))
    pitch_ok = both & (diff < CENT_TOLERANCE)
    octave = 1200.0 * np.floor(diff / 1200.0 + 0.5)
    chroma_ok = both & (np.abs(diff - octave) < CENT_TOLERANCE)
    n_voiced, n_unvoiced = int(ref_v.sum()), int((~ref_v).sum())

    def ratio(a: int, b: int) -> float:
        return a / b if b else 0.0

    return {
        "raw_pitch_accuracy": ratio(int(pitch_ok.sum()), n_voiced),
        "raw_chroma_accuracy": ratio(int(chroma_ok.sum()), n_voiced),
        # mir_eval's convention: a reference with no voiced frame leaves
        # nothing to miss, so all of it is recalled.
        "voicing_recall": ratio(int(both.sum()), n_voiced) if n_voiced or not ref.size else 1.0,
        "voicing_false_alarm": ratio(int((est_v & ~ref_v).sum()), n_unvoiced),
        "overall_accuracy": ratio(int(pitch_ok.sum()) + int((~ref_v & ~est_v).sum()),
                                  ref.shape[0]),
    }


def pool(per_example: Dict[str, Dict[str, float]],
         frames: Dict[str, Dict[str, int]]) -> Dict[str, float]:
    """Corpus scores weighted by each example's frame counts, so a long signal
    counts as much as several short ones: the accuracies and recall by voiced
    reference frames, the false alarm by unvoiced ones, overall accuracy by
    all frames."""
    weights = {"raw_pitch_accuracy": "voiced", "raw_chroma_accuracy": "voiced",
               "voicing_recall": "voiced", "voicing_false_alarm": "unvoiced",
               "overall_accuracy": "all", "cents_error": "voiced"}
    out = {}
    for metric, kind in weights.items():
        keys = [k for k in per_example if not np.isnan(per_example[k].get(metric, np.nan))]
        num = sum(per_example[k][metric] * frames[k][kind] for k in keys)
        den = sum(frames[k][kind] for k in keys)
        out[metric] = num / den if den else (float("nan") if metric == "cents_error" else 0.0)
    return out


def frame_counts(ref_f0: np.ndarray) -> Dict[str, int]:
    ref_v = _as_hz(ref_f0) > 0
    return {"voiced": int(ref_v.sum()), "unvoiced": int((~ref_v).sum()),
            "all": int(ref_v.shape[0])}
