"""From samples to a pitch track: parameter checks, framing, the call into
the compiled core and the voicing decision."""
from __future__ import annotations

import math
import operator
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from . import cy_impl

__all__ = ["PitchTrack", "track", "DEFAULTS"]

METHODS = ("direct", "bayes", "viterbi")
POLARITIES = ("both", "positive", "negative")
INTERPOLATORS = ("parabolic", "gaussian", "centroid", "none")
DETECT_MODES = ("score", "static", "maximum", "peak")

# Measured defaults: `python -m qesmorPitch.evaluate` scores every candidate on
# the synthetic corpus; these are the best-scoring values (README "Evaluation").
DEFAULTS: Dict[str, Dict[str, Any]] = {
    "direct": {"voicing_threshold": 0.6, "pitch_detect_mode": "peak",
               "pitch_detect_threshold": 0.7, "smooth": 1},
    "bayes": {"voicing_threshold": 0.4, "alpha": 0.5, "sigma": 0.05},
    "viterbi": {"voicing_threshold": 0.4, "beta": 16.0, "sigma": 0.1},
}
DEFAULT_INTERPOLATOR = "gaussian"

DEFAULT_HOP_SECONDS = 0.010

# The tracking cores build a (frame_length // 2)**2 transition matrix per
# call; 4096 states is a 128 MiB matrix, far beyond any useful voice range.
MAX_TRACKING_STATES = 4096

# Long signals are analysed in blocks so that memory stays bounded (the
# Viterbi core keeps every frame's candidate vectors until it decodes) and
# progress can be reported. Tracking methods see MARGIN_FRAMES extra frames
# on each side of a block, which are dropped again: a decoded path forgets
# its start within a few frames, so the seams match a single pass.
BLOCK_FRAMES = 2048
MARGIN_FRAMES = 100

# Added to both half-waves before a Viterbi call when a frame is digital
# silence: the core divides a voiced frame's peak by the frame mean, so an
# all-zero frame on the decoded path would raise. Signals are scaled to a peak
# near 1 first, so this is ~-240 dB: it moves strengths by ~1e-11 and leaves
# every other frame's decision unchanged; the silent frames themselves are
# reported unvoiced.
SILENCE_OFFSET = 2.0 ** -40


@dataclass(frozen=True, eq=False)
class PitchTrack:
    """A pitch track: one value per frame, frames centred at `times`.

    Attributes
    ----------
    times : ndarray, shape (n_frames,)
        Frame centres in seconds: ``(t * hop_length + frame_length / 2) / sr``.
    f0 : ndarray, shape (n_frames,) or (n_channels, n_frames)
        Fundamental frequency in Hz, NaN where the frame is unvoiced.
    strength : ndarray, same shape as `f0`
        Height of the chosen periodicity peak over the frame mean; near 1 for
        a strictly periodic frame, lower for noise. NaN where the core found
        no candidate or the frame is digital silence.
    probability : ndarray, same shape as `f0`
        The tracking methods' probability of the chosen candidate; all NaN
        for ``method="direct"``.
    voiced : ndarray of bool, same shape as `f0`
        True where `f0` holds a pitch.
    sr : float
        Sampling rate in Hz.
    hop_length, frame_length : int
        Frame advance and frame length in samples.
    fmin, fmax : float
        The searched pitch range in Hz.
    method, polarity, interpolator : str
        The estimator, the half-waves analysed and the peak refinement.
    params : dict
        The method's remaining parameters as used (thresholds, alpha, beta,
        sigma, ...).
    """

    times: np.ndarray
    f0: np.ndarray
    strength: np.ndarray
    probability: np.ndarray
    voiced: np.ndarray
    sr: float
    hop_length: int
    frame_length: int
    fmin: float
    fmax: float
    method: str
    polarity: str
    interpolator: str
    params: Dict[str, Any] = field(default_factory=dict)

    @property
    def n_frames(self) -> int:
        return int(self.times.shape[0])

    @property
    def n_channels(self) -> Optional[int]:
        """Number of channels, or None for a track of a one-dimensional signal."""
        return None if self.f0.ndim == 1 else int(self.f0.shape[0])

    def __len__(self) -> int:
        return self.n_frames

    def __repr__(self) -> str:
        chans = "" if self.n_channels is None else f", channels={self.n_channels}"
        voiced = float(np.mean(self.voiced)) if self.voiced.size else 0.0
        return (f"PitchTrack(frames={self.n_frames}{chans}, method={self.method!r}, "
                f"sr={self.sr:g}, hop_length={self.hop_length}, "
                f"frame_length={self.frame_length}, voiced={voiced:.0%})")

    def plot(self, y: Optional[np.ndarray] = None, *, channel: int = 0,
             path: Any = None, title: Optional[str] = None,
             max_freq: Optional[float] = None) -> Any:
        """Draw the track over a spectrogram of `y`, with strength and probability below.

        Needs matplotlib (``pip install 'qesmorPitch[plot]'``).

        Parameters
        ----------
        y : ndarray, optional
            The analysed signal, shape (n,) or (n_channels, n); without it the
            upper panel shows the track alone.
        channel : int >= 0
            Which channel of a multichannel track to draw.
        path : str or path-like, optional
            Where to save the figure (format from the suffix, e.g. ``.png``).
        title : str, optional
        max_freq : float > 0, optional
            Upper edge of the spectrogram in Hz; by default 4 * fmax, at most
            sr / 2.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from ._plot import plot_track

        return plot_track(self, y, channel=channel, path=path, title=title,
                          max_freq=max_freq)


# --------------------------------------------------------------------------
# Parameter checks


def _as_int(name: str, value: Any) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer number of samples, "
                        f"got {value!r} ({type(value).__name__})") from None


def _as_float(name: str, value: Any) -> float:
    try:
        out = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {value!r}") from None
    if not math.isfinite(out):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return out


def _choice(name: str, value: Any, allowed: Tuple[str, ...]) -> str:
    if value not in allowed:
        raise ValueError(f"{name}={value!r} is not one of {', '.join(map(repr, allowed))}")
    return value


def _as_signal(y: Any) -> np.ndarray:
    """float64 copy of `y` with channels first; raise on what can't be a signal."""
    arr = np.asarray(y)
    if arr.dtype.kind == "c":
        raise TypeError("y is complex; pass a real signal (e.g. y.real)")
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"y must be an array of real numbers, got dtype {arr.dtype}")
    if arr.ndim not in (1, 2):
        raise ValueError(f"y must have shape (n,) or (channels, n), got shape {arr.shape}")
    if arr.ndim == 2 and arr.shape[1] <= 32 < arr.shape[0]:
        raise ValueError(
            f"y has shape {arr.shape}, which reads as {arr.shape[0]} channels of "
            f"{arr.shape[1]} samples; channels go first: pass y.T")
    if arr.shape[-1] == 0 or arr.size == 0:
        raise ValueError(f"y is empty (shape {arr.shape}); pass at least one sample")
    # A fresh writable float64 array: the core refuses read-only buffers.
    arr = np.array(arr, dtype=np.float64, order="C")
    finite = np.isfinite(arr)
    if not finite.all():
        bad = np.argwhere(~finite)
        first = tuple(int(i) for i in bad[0])
        where = first[0] if arr.ndim == 1 else first
        raise ValueError(
            f"y contains {bad.shape[0]} non-finite sample(s) (NaN or inf), the first "
            f"at index {where}; remove or replace them, e.g. np.nan_to_num(y)")
    return arr


@dataclass(frozen=True)
class _Plan:
    """Everything the core calls need, derived once from the user's parameters."""

    sr: float
    fmin: float
    fmax: float
    lags: np.ndarray
    frame_length: int
    hop_length: int
    method: str
    polarity: str
    interpolator: str
    pp_mode: Optional[str]
    voicing_threshold: float
    params: Dict[str, Any]

    def n_frames(self, n_samples: int) -> int:
        # Frames end at frame_length, frame_length + hop, ... strictly before
        # the last sample, so a signal of exactly frame_length samples has none.
        if n_samples <= self.frame_length:
            return 0
        return -(-(n_samples - self.frame_length) // self.hop_length)


def lag_range(sr: float, fmin: float, fmax: float) -> np.ndarray:
    """Candidate periods in samples covering [fmin, fmax], with one guard lag each side.

    The first lag is the tracking cores' unvoiced state and can never be
    reported; the last keeps the period of fmin an interior point, so the
    peak pickers (which never pick an end) and the three-point refinement
    both reach it.
    """
    shortest = int(math.floor(sr / fmax))
    longest = int(math.ceil(sr / fmin))
    return np.arange(shortest - 1, longest + 2, dtype=np.intp)


def make_plan(sr: Any, *, fmin: Any, fmax: Any, hop_length: Any, frame_length: Any,
              method: str, polarity: str, interpolator: str,
              subtract_minimum: bool, voicing_threshold: Any,
              method_params: Dict[str, Any]) -> _Plan:
    method = _choice("method", method, METHODS)
    polarity = _choice("polarity", polarity, POLARITIES)
    interpolator = _choice("interpolator", interpolator, INTERPOLATORS)
    sr = _as_float("sr", sr)
    if sr <= 0:
        raise ValueError(f"sr={sr:g} Hz must be > 0")
    fmin = _as_float("fmin", fmin)
    fmax = _as_float("fmax", fmax)
    if fmin <= 0:
        raise ValueError(f"fmin={fmin:g} Hz must be > 0, e.g. fmin=50")
    if fmax <= fmin:
        raise ValueError(f"fmax={fmax:g} Hz must be greater than fmin={fmin:g} Hz, "
                         f"e.g. fmax={max(2 * fmin, 500.0):g}")
    if 2 * fmax > sr:
        raise ValueError(f"fmax={fmax:g} Hz needs sr >= 2 * fmax = {2 * fmax:g} Hz, "
                         f"got sr={sr:g}; use fmax <= {sr / 2:g} or a higher sampling rate")
    lags = lag_range(sr, fmin, fmax)
    last = int(lags[-1])
    tracking = method != "direct"
    # Tracking cores index the transition matrix by lag: the last lag must be
    # below frame_length // 2. The direct core only needs the lag inside the
    # frame with a little overlap left to compare.
    needed = 2 * (last + 1) if tracking else last + 2
    if frame_length is None:
        frame_length = 2 * (last + 1)
    else:
        frame_length = _as_int("frame_length", frame_length)
        if frame_length < needed:
            raise ValueError(
                f"frame_length={frame_length} is too short for fmin={fmin:g} Hz at "
                f"sr={sr:g}: method {method!r} needs frame_length >= {needed} "
                f"(the longest period searched is {last} samples); use "
                f"frame_length={needed} or raise fmin")
    if tracking and frame_length // 2 > MAX_TRACKING_STATES:
        lowest = sr / (MAX_TRACKING_STATES - 3)
        raise ValueError(
            f"fmin={fmin:g} Hz with frame_length={frame_length} at sr={sr:g} needs "
            f"{frame_length // 2} period states; method {method!r} allows at most "
            f"{MAX_TRACKING_STATES}: use fmin >= {math.ceil(lowest * 10) / 10:g} Hz, "
            f"a shorter frame_length or method='direct'")
    if hop_length is None:
        hop_length = max(1, int(round(DEFAULT_HOP_SECONDS * sr)))
    else:
        hop_length = _as_int("hop_length", hop_length)
        if hop_length < 1:
            raise ValueError(f"hop_length={hop_length} must be >= 1 sample, "
                             f"e.g. hop_length={max(1, int(round(DEFAULT_HOP_SECONDS * sr)))}"
                             f" (10 ms)")

    params = dict(DEFAULTS[method])
    if voicing_threshold is None:
        voicing_threshold = params["voicing_threshold"]
    voicing_threshold = _as_float("voicing_threshold", voicing_threshold)
    params["voicing_threshold"] = voicing_threshold
    for key, value in method_params.items():
        if value is None:
            continue
        if key not in params:
            owner = _owner(key)
            if not owner:
                raise TypeError(f"unexpected parameter {key!r}")
            raise TypeError(f"{key} applies to method={owner!r}, not method={method!r}")
        params[key] = value
    _check_method_params(method, params, n_lags=len(lags))
    return _Plan(sr=sr, fmin=fmin, fmax=fmax, lags=lags, frame_length=frame_length,
                 hop_length=hop_length, method=method, polarity=polarity,
                 interpolator=interpolator,
                 pp_mode="threshold_diff" if subtract_minimum else None,
                 voicing_threshold=voicing_threshold, params=params)


def _owner(key: str) -> str:
    owners = [m for m, p in DEFAULTS.items() if key in p]
    return " or ".join(owners)


def _check_method_params(method: str, params: Dict[str, Any], n_lags: int) -> None:
    if method == "direct":
        _choice("pitch_detect_mode", params["pitch_detect_mode"], DETECT_MODES)
        params["pitch_detect_threshold"] = _as_float(
            "pitch_detect_threshold", params["pitch_detect_threshold"])
        smooth = _as_int("smooth", params["smooth"])
        if not 1 <= smooth <= n_lags - 2:
            raise ValueError(f"smooth={smooth} must be between 1 and {n_lags - 2} "
                             f"(the number of candidate periods), e.g. smooth=1")
        params["smooth"] = smooth
        return
    sigma = _as_float("sigma", params["sigma"])
    if sigma <= 0:
        raise ValueError(f"sigma={sigma:g} octaves must be > 0, e.g. sigma=0.1")
    params["sigma"] = sigma
    key = "alpha" if method == "bayes" else "beta"
    value = _as_float(key, params[key])
    if value < 0:
        raise ValueError(f"{key}={value:g} must be >= 0, e.g. {key}=1.0")
    params[key] = value


# --------------------------------------------------------------------------
# Analysis


def _half_waves(x: np.ndarray, polarity: str) -> Tuple[np.ndarray, ...]:
    if polarity == "both":
        return np.maximum(x, 0.0), np.maximum(-x, 0.0)
    if polarity == "positive":
        return (np.maximum(x, 0.0),)
    return (np.maximum(-x, 0.0),)


def _silent_frames(waves: Tuple[np.ndarray, ...], plan: _Plan, n_frames: int) -> np.ndarray:
    """Frames in which every analysed sample is exactly zero."""
    loud = np.zeros(n_frames, dtype=bool)
    for w in waves:
        nonzero = np.concatenate(([0], np.cumsum(w > 0)))
        starts = np.arange(n_frames) * plan.hop_length
        loud |= nonzero[starts + plan.frame_length] > nonzero[starts]
    return ~loud


# (method, two half-waves) -> the core that analyses them.
_CORES: Dict[Tuple[str, bool], Callable[..., np.ndarray]] = {
    ("direct", True): cy_impl.calc_Pitch_negaposi_core_cy,
    ("direct", False): cy_impl.calc_Pitch_core_cy,
    ("bayes", True): cy_impl.calc_Pitch_bayes_negaposi_core_cy,
    ("bayes", False): cy_impl.calc_Pitch_bayes_core_cy,
    ("viterbi", True): cy_impl.calc_Pitch_viterbi_negaposi_core_cy,
    ("viterbi", False): cy_impl.calc_Pitch_viterbi_core_cy,
}


def _call_core(waves: Tuple[np.ndarray, ...], plan: _Plan) -> np.ndarray:
    p = plan.params
    interp = "no" if plan.interpolator == "none" else plan.interpolator
    tail: Tuple[Any, ...]
    if plan.method == "direct":
        tail = (p["smooth"], p["pitch_detect_mode"], p["pitch_detect_threshold"], interp)
    elif plan.method == "bayes":
        tail = (p["alpha"], p["sigma"], interp)
    else:
        tail = (p["beta"], p["sigma"], interp)
    core = _CORES[plan.method, len(waves) == 2]
    return core(*waves, plan.sr, plan.frame_length, plan.hop_length, plan.lags,
                plan.pp_mode, *tail)


def _analyse_block(x: np.ndarray, plan: _Plan, n_frames: int) -> np.ndarray:
    """Rows [f0, strength, probability] for the `n_frames` frames of `x`."""
    rows = np.full((n_frames, 3), np.nan)
    waves = _half_waves(x, plan.polarity)
    silent = _silent_frames(waves, plan, n_frames)
    if silent.all():
        return rows
    if plan.method == "viterbi" and silent.any():
        waves = tuple(w + SILENCE_OFFSET for w in waves)
    out = _call_core(waves, plan)
    rows[:, : out.shape[1]] = out
    rows[silent] = np.nan
    return rows


def _analyse_channel(x: np.ndarray, plan: _Plan,
                     progress: Optional[Callable[[int], None]] = None) -> np.ndarray:
    n_frames = plan.n_frames(x.shape[0])
    rows = np.full((n_frames, 3), np.nan)
    peak = float(np.max(np.abs(x))) if x.size else 0.0
    if n_frames == 0 or peak == 0.0:
        if progress is not None and n_frames:
            progress(n_frames)
        return rows
    # Every core is scale-invariant; a power-of-two scale is exact, and a peak
    # near 1 keeps sums away from overflow and the silence offset negligible.
    x = x * 2.0 ** -math.frexp(peak)[1]
    margin = 0 if plan.method == "direct" else MARGIN_FRAMES
    hop, width = plan.hop_length, plan.frame_length
    for start in range(0, n_frames, BLOCK_FRAMES):
        stop = min(start + BLOCK_FRAMES, n_frames)
        lo = max(0, start - margin)
        hi = min(n_frames, stop + margin)
        # Frame t ends at t * hop + width, which must be strictly below the
        # block's length for the core to produce it.
        block = x[lo * hop: (hi - 1) * hop + width + 1]
        out = _analyse_block(block, plan, hi - lo)
        rows[start:stop] = out[start - lo: stop - lo]
        if progress is not None:
            progress(stop - start)
    return rows


def run_plan(y: np.ndarray, plan: _Plan,
             progress: Optional[Callable[[int], None]] = None) -> PitchTrack:
    """Analyse a checked float64 signal (1-D or channels-first 2-D) with `plan`."""
    channels = y[None, :] if y.ndim == 1 else y
    per_channel = [_analyse_channel(c, plan, progress) for c in channels]
    rows = np.stack(per_channel) if per_channel else np.empty((0, 0, 3))
    f0, strength, probability = rows[..., 0], rows[..., 1], rows[..., 2]
    shortest, longest = float(plan.lags[1]), float(plan.lags[-2])
    with np.errstate(invalid="ignore", divide="ignore"):
        lag = plan.sr / f0
        voiced = (np.isfinite(f0) & (strength >= plan.voicing_threshold)
                  & (lag >= shortest - 0.5) & (lag <= longest + 0.5))
    f0 = np.where(voiced, f0, np.nan)
    if y.ndim == 1:
        f0, strength, probability, voiced = f0[0], strength[0], probability[0], voiced[0]
    n_frames = plan.n_frames(y.shape[-1])
    times = (np.arange(n_frames) * plan.hop_length + plan.frame_length / 2) / plan.sr
    arrays = [times, f0, np.ascontiguousarray(strength),
              np.ascontiguousarray(probability), voiced]
    for a in arrays:
        a.flags.writeable = False
    params = dict(plan.params)
    params["subtract_minimum"] = plan.pp_mode is not None
    return PitchTrack(times=arrays[0], f0=arrays[1], strength=arrays[2],
                      probability=arrays[3], voiced=arrays[4], sr=plan.sr,
                      hop_length=plan.hop_length, frame_length=plan.frame_length,
                      fmin=plan.fmin, fmax=plan.fmax, method=plan.method,
                      polarity=plan.polarity, interpolator=plan.interpolator,
                      params=params)


def prepare(y: Any, sr: Any, *, mono: bool = False, **kwargs: Any) -> Tuple[np.ndarray, _Plan]:
    """Check `y` and the parameters of :func:`track`; return the signal and the plan.

    Besides :func:`track`'s keywords this takes ``hop_seconds``, the hop as a
    duration, for callers that handle files of different sampling rates.
    """
    kwargs = dict(kwargs)
    hop_length = kwargs.pop("hop_length", None)
    hop_seconds = kwargs.pop("hop_seconds", None)
    if hop_seconds is not None:
        # Batches mix sampling rates, so they give the hop in seconds.
        if hop_length is not None:
            raise TypeError("give hop_length or hop_seconds, not both")
        hop_seconds = _as_float("hop_seconds", hop_seconds)
        if hop_seconds <= 0:
            raise ValueError(f"hop_seconds={hop_seconds:g} must be > 0, e.g. 0.01")
        hop_length = max(1, int(round(hop_seconds * _as_float("sr", sr))))
    plan = make_plan(
        sr, fmin=kwargs.pop("fmin", 50.0), fmax=kwargs.pop("fmax", 500.0),
        hop_length=hop_length,
        frame_length=kwargs.pop("frame_length", None),
        method=kwargs.pop("method", "viterbi"), polarity=kwargs.pop("polarity", "both"),
        interpolator=kwargs.pop("interpolator", DEFAULT_INTERPOLATOR),
        subtract_minimum=bool(kwargs.pop("subtract_minimum", False)),
        voicing_threshold=kwargs.pop("voicing_threshold", None),
        method_params=kwargs)
    signal = _as_signal(y)
    if mono and signal.ndim == 2:
        signal = signal.mean(axis=0)
    return signal, plan


def check_options(**kwargs: Any) -> None:
    """Raise now what :func:`prepare` would raise for every file of a batch.

    Checked at the lowest sampling rate that `fmax` allows, where the
    sr-dependent limits are the most lenient; a file whose own rate breaks a
    limit still fails on its own.
    """
    fmax = kwargs.get("fmax", 500.0)
    try:
        sr = max(2.0 * float(fmax), 1.0)
    except (TypeError, ValueError):
        sr = 16000.0
    if not math.isfinite(sr):
        sr = 16000.0
    prepare([0.0], sr, **kwargs)


def track(
    y: Any,
    sr: float,
    *,
    fmin: float = 50.0,
    fmax: float = 500.0,
    hop_length: Optional[int] = None,
    frame_length: Optional[int] = None,
    method: str = "viterbi",
    polarity: str = "both",
    interpolator: str = DEFAULT_INTERPOLATOR,
    voicing_threshold: Optional[float] = None,
    mono: bool = False,
    subtract_minimum: bool = False,
    pitch_detect_mode: Optional[str] = None,
    pitch_detect_threshold: Optional[float] = None,
    smooth: Optional[int] = None,
    alpha: Optional[float] = None,
    beta: Optional[float] = None,
    sigma: Optional[float] = None,
) -> PitchTrack:
    """Estimate the fundamental frequency of `y`, frame by frame.

    Each frame is compared with itself shifted by every candidate period
    between ``sr / fmax`` and ``sr / fmin`` samples (the mean of the pointwise
    minimum of the two); a period is chosen per frame, refined to a fraction
    of a sample and reported as ``sr / period``.

    Parameters
    ----------
    y : array_like, shape (n,) or (n_channels, n)
        Real samples, any real dtype (converted to float64; the scale does not
        matter). Multichannel input gives one track per channel unless `mono`.
    sr : float > 0
        Sampling rate in Hz.
    fmin, fmax : float, 0 < fmin < fmax <= sr / 2
        Pitch search range in Hz. The default frame length is a little over
        two periods of `fmin`, so a lower `fmin` costs time and resolution.
    hop_length : int >= 1, optional
        Frame advance in samples; default 10 ms, ``round(0.01 * sr)``.
    frame_length : int, optional
        Frame length in samples; default ``2 * (ceil(sr / fmin) + 2)``, the
        least the tracking methods accept (two periods of `fmin` plus guard
        lags). ``method="direct"`` accepts down to one period plus three samples.
    method : {"viterbi", "bayes", "direct"}
        ``"viterbi"`` decodes the best period path over the whole signal;
        ``"bayes"`` filters forward in time (causal, decides each frame at
        once); ``"direct"`` picks a peak per frame with no tracking.
    polarity : {"both", "positive", "negative"}
        Analyse both half-waves of the signal (summed), or only one.
    interpolator : {"gaussian", "parabolic", "centroid", "none"}
        Sub-sample refinement of the chosen period: a parabola through the
        logarithms of the three periodicity values around the peak, through
        the values themselves, their centre of mass, or none.
    voicing_threshold : float, optional
        A frame is voiced when its strength is at least this; the default is
        the measured best for `method` (see ``DEFAULTS``). 0 keeps every frame
        that has a candidate.
    mono : bool
        Average the channels of a multichannel `y` before the analysis.
    subtract_minimum : bool
        Before the "gaussian" or "centroid" refinement, subtract the
        periodicity minimum of the frame (no effect on the other two).
    pitch_detect_mode : {"score", "static", "maximum", "peak"}, optional
        ``method="direct"`` only: the first peak above
        ``pitch_detect_threshold * frame mean`` ("score"), above the absolute
        ``pitch_detect_threshold`` ("static"), the highest peak ("maximum"),
        or the first peak above ``pitch_detect_threshold * highest peak``
        ("peak").
    pitch_detect_threshold : float, optional
        ``method="direct"`` only: the factor or value of `pitch_detect_mode`.
    smooth : int >= 1, optional
        ``method="direct"`` only: moving average over this many neighbouring
        periods before the peak is picked.
    alpha : float >= 0, optional
        ``method="bayes"`` only: exponent on the predicted distribution; 0
        forgets the past, 1 is the plain forward filter.
    beta : float >= 0, optional
        ``method="viterbi"`` only: weight of the observations against the
        transition model.
    sigma : float > 0, optional
        Tracking methods: standard deviation in octaves of the frame-to-frame
        pitch change the transition model expects.

    Returns
    -------
    PitchTrack
        ``times`` has shape (n_frames,); ``f0``, ``strength``, ``probability``
        and ``voiced`` have shape (n_frames,), or (n_channels, n_frames) for
        multichannel input. A signal of at most `frame_length` samples gives
        ``n_frames == 0``.

    Raises
    ------
    TypeError
        `y` is not real-valued, or a parameter has the wrong type or belongs
        to another method.
    ValueError
        `y` is empty or holds NaN/inf, or a parameter breaks the limit named
        in the message.

    Notes
    -----
    A frame of digital silence is unvoiced, whatever the method. Signals
    longer than 2048 frames are analysed in blocks; the tracking methods
    overlap the blocks by 100 frames on each side so the seams are not
    visible in the decoded path.

    Examples
    --------
    >>> import numpy as np
    >>> import qesmorPitch
    >>> sr = 16000
    >>> t = np.arange(sr) / sr
    >>> y = np.sin(2 * np.pi * 220 * t) + 0.5 * np.sin(2 * np.pi * 440 * t)
    >>> pt = qesmorPitch.track(y, sr, fmin=80, fmax=400)
    >>> pt.frame_length, pt.hop_length, pt.f0.shape
    (404, 160, (98,))
    >>> float(pt.times[0])  # centre of the first frame: 202 / 16000
    0.012625
    >>> bool(abs(np.nanmedian(pt.f0) - 220) < 1)
    True
    """
    signal, plan = prepare(
        y, sr, mono=mono, fmin=fmin, fmax=fmax, hop_length=hop_length,
        frame_length=frame_length, method=method, polarity=polarity,
        interpolator=interpolator, subtract_minimum=subtract_minimum,
        voicing_threshold=voicing_threshold, pitch_detect_mode=pitch_detect_mode,
        pitch_detect_threshold=pitch_detect_threshold, smooth=smooth,
        alpha=alpha, beta=beta, sigma=sigma)
    return run_plan(signal, plan)
