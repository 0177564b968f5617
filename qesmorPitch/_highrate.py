"""Analysis of high sampling rates at a lower one, with the period refined at
the full rate.

The work of the cores grows with the square of the sampling rate (more
samples per frame and more candidate periods), while a voice's period needs
no more lags than a 16 kHz signal has. So the cores search a copy resampled
to `analysis_sr` (where the layer's check of the period's multiples and
fractions also runs), and each frame's period is then measured again on the
original samples: the qesmor values at the two whole lags either side of
it, refined between lags as the cores refine theirs. The lag resolution is that
of the full rate. Each block is measured again by the job that searched it,
on the full-rate samples it was resampled from, less what the conditioning
removed at the lower rate (the high-pass's low band and the hum), brought
back to the full rate: no filter runs at the full rate.

Frames keep the full rate's grid: the analysis rate is chosen so that one hop
is a whole number of samples at both rates (for a 10 ms hop, exactly
16000 Hz from 44.1 or 48 kHz), so frame t starts at the same instant in both.
"""
from __future__ import annotations

import functools
import math
from typing import Any, Callable, Optional, Tuple

import numpy as np

from . import _frontend, _kernels

__all__ = ["Part", "Resampled", "analysis_ratio", "centred_windows", "glide_windows", "refine_frames",
           "refine_periods"]

# Half-length of the resampler's low-pass filter, in units of max(up, down)
# samples at the upsampled rate (SciPy's default is 10). The search needs a
# clean band up to the voice's harmonics, not a brick wall at the new
# Nyquist frequency; a block read with this reach on each side is resampled
# as the whole signal would be.
FILTER_REACH = 4

# A gliding pitch (see glide_windows): a period moving by more than
# GLIDE_CENTS per frame is measured on GLIDE_PERIODS of its periods, and on
# at least GLIDE_LEAST seconds (chosen on the tuning part of the real corpus).
GLIDE_CENTS = 25.0
GLIDE_PERIODS = 5.0
GLIDE_LEAST = 0.020
# A refinement reaching further than the two lags either side of the period
# (see refine_periods) takes a lag beyond them only where its value is
# WIDE_MARGIN above the best of those four: on a short window in noise the
# far lags' values scatter that much (on the tuning part white noise at
# 0 dB lost 0.004 without it, 0.001 with it; clean speech kept 0.0015 of
# its 0.002).
WIDE_MARGIN = 0.03


def analysis_ratio(sr: float, hop: int, analysis_sr: float) -> Optional[Tuple[int, int]]:
    """(up, down) with up / down the analysis rate over `sr`, such that the hop
    is whole at both rates; None when the signal is already at or below the
    analysis rate."""
    if analysis_sr >= sr:
        return None  # (and the product below could overflow)
    low_hop = max(1, round(hop * analysis_sr / sr))
    if low_hop >= hop:
        return None
    g = math.gcd(low_hop, hop)
    return low_hop // g, hop // g


class Resampled:
    """A source read at up / down times the rate of another, block by block."""

    def __init__(self, source: Any, up: int, down: int) -> None:
        # In lowest terms, as resample_poly takes them.
        g = math.gcd(up, down)
        up, down = up // g, down // g
        self.source, self.up, self.down = source, up, down
        self.n_channels = source.n_channels
        self.n_samples = -(-source.n_samples * up // down)
        # In input samples, a whole number of `down`s so every block's
        # output grid is the whole signal's.
        reach = FILTER_REACH * max(up, down) // up + 2
        self._margin = -(-reach // down) * down
        self._taps = _lowpass(up, down, FILTER_REACH)

    def peaks(self) -> np.ndarray:
        # Any power-of-two scale serves the cores; the original's peaks do.
        return self.source.peaks()

    def read(self, start: int, stop: int) -> np.ndarray:
        part = self.part(start, stop)
        out = np.empty((part.full.shape[0], stop - start))
        for c in range(out.shape[0]):
            out[c] = part.channel(c)
        return out

    def part(self, start: int, stop: int) -> "Part":
        """Samples [start, stop) at the lower rate, as the full-rate samples
        they are made of, read now, and resampled channel by channel later
        (on the thread that analyses the channel)."""
        # Output sample m sits at input sample m * down / up; start at a
        # multiple of `up` so the first output falls on an input sample.
        first = start - start % self.up
        lo = first * self.down // self.up - self._margin
        hi = -(-stop * self.down // self.up) + self._margin
        clipped_lo, clipped_hi = max(lo, 0), min(hi, self.source.n_samples)
        # Beyond the ends the end samples go on, so that the filter sees no
        # step there (zeros would make an offset ring at the ends, and the
        # high-pass after it would find a periodic transient).
        skip = (self._margin // self.down) * self.up + (start - first)
        # SciPy's resample_poly of the continued block, bit for bit, but only
        # the samples kept: its upfirdn with the filter it would build.
        taps, removed = _polyphase(self._taps, self.up, self.down, hi - lo)
        return Part(self.source.read(clipped_lo, clipped_hi), clipped_lo,
                    functools.partial(_kernels._resample_poly, pre=clipped_lo - lo,
                                      padded=hi - lo, h=taps, up=self.up, down=self.down,
                                      first=removed + skip, count=stop - start))


class Part:
    """A block of a Resampled source: `full`, the full-rate samples
    (channels, n) from sample `full_first` on, and channel(c), channel c
    at the lower rate."""

    def __init__(self, full: np.ndarray, full_first: int,
                 resample: Callable[..., np.ndarray]) -> None:
        self.full, self.full_first, self._resample = full, full_first, resample

    def channel(self, c: int) -> np.ndarray:
        if self._resample.keywords["count"] == 0:
            return np.empty(0)
        return self._resample(self.full[c])


@functools.lru_cache(maxsize=8)
def _lowpass(up: int, down: int, reach: int) -> np.ndarray:
    """The resampler's filter, designed once per ratio: as SciPy's default
    (a Kaiser window, beta 5, cutoff at the lower Nyquist frequency), of
    half-length `reach` * max(up, down). resample_poly applies the gain of
    `up` itself."""
    rate = max(up, down)
    # firwin's windowed sinc, written out: importing scipy.signal would
    # take most of a second. Its scaling to unit gain at 0 Hz is left to the
    # phases' own below.
    n = 2 * reach * rate + 1
    taps = np.sinc((np.arange(n) - (n - 1) / 2) / rate) / rate * np.kaiser(n, 5.0)
    # Each output sample is a dot product with one of the `up` phases of the
    # filter. Their gains at 0 Hz differ by about 1e-4 for a filter this
    # short, which would turn an offset into a ripple repeating every `up`
    # samples, perfectly periodic and outside the high-pass's reach: every
    # phase is scaled to the same gain (resample_poly multiplies by `up`).
    for phase in range(up):
        taps[phase::up] /= up * taps[phase::up].sum()
    taps.flags.writeable = False
    return taps


def _polyphase(window: np.ndarray, up: int, down: int, n_in: int) -> Tuple[np.ndarray, int]:
    """The filter resample_poly(x, up, down, window=window) hands to upfirdn
    for `n_in` input samples, phase by phase as upfirdn holds it, and the
    number of leading output samples resample_poly drops."""
    half_len = (window.shape[0] - 1) // 2
    pre_pad = down - half_len % down
    removed = (half_len + pre_pad) // down
    n_out = -(-n_in * up // down)
    length = window.shape[0] + pre_pad
    # Zeros after the filter until upfirdn's output covers what is kept
    # (upfirdn's own output length formula); a zero tap adds nothing, but
    # the phases' layout follows the length.
    post_pad = 0
    while ((n_in - 1) * up + length + post_pad - 1) // down + 1 < n_out + removed:
        post_pad += 1
    return _phases(window.tobytes(), up, pre_pad, post_pad), removed


@functools.lru_cache(maxsize=8)
def _phases(window: bytes, up: int, pre_pad: int, post_pad: int) -> np.ndarray:
    h = np.frombuffer(window) * up
    h = np.concatenate((np.zeros(pre_pad), h, np.zeros(post_pad)))
    h = np.concatenate((h, np.zeros(-h.shape[0] % up)))
    return np.ascontiguousarray(h.reshape(-1, up).T[:, ::-1]).ravel()


def refine_frames(rows: np.ndarray, first_frame: int, n_frames: int, part: Part, c: int,
                  exponent: int, removed: Optional[np.ndarray], removed_first: int,
                  plan: Any, keep: Tuple[int, int]) -> None:
    """The f0 of `rows` (frames `first_frame` on of the full-rate `plan`,
    shape (frames, columns), in place) measured again at the full rate on
    channel `c` of `part`, for every frame among rows[keep[0]: keep[1]] that
    has a candidate and lies among the full rate's `n_frames`; a frame whose
    pitch glides (see glide_windows; its neighbours must be in `rows`) on a
    shorter window at its centre.

    The full-rate samples are conditioned as the lower rate's were: scaled
    by 2**-exponent, less `removed` (what the lower rate's conditioning took
    out, from its sample `removed_first` on; None: nothing), which lies far
    below the lower rate's band, so that it is brought back to the full rate
    by linear interpolation to within a few millionths of its level.
    Every conditioned sample depends only on its own position, so only the
    spans the measured frames cover are computed, and a block's frames
    measure as those of a single pass. Only the f0 changes: the lower rate's
    analysis has already chosen among the period's multiples and measured
    its strength.
    """
    hop, width = plan.hop_length, plan.frame_length
    windows = glide_windows(plan.sr / rows[:, 0], width, plan.sr)
    has = np.flatnonzero(np.isfinite(rows[keep[0]: keep[1], 0])) + keep[0]
    has = has[first_frame + has < n_frames]
    if has.size == 0:
        return
    starts = (first_frame + has) * hop
    # Runs of frames that overlap or touch, each conditioned as one span.
    breaks = np.flatnonzero(starts[1:] > starts[:-1] + width) + 1
    up, down = plan.ratio
    exact = _frontend.exact_factor(-exponent)
    for run in np.split(np.arange(has.size), breaks):
        a, b = int(starts[run[0]]), int(starts[run[-1]]) + width
        x = part.full[c, a - part.full_first: b - part.full_first]
        factor = exact
        if removed is None or factor is None:
            x, factor = _frontend.scaled(x, -exponent), 1.0
        if removed is not None:
            # The scaling in the same pass; `removed` from the sample at or
            # before position a on, so the interpolation's numerator stays
            # below `down`.
            i = a * up // down
            x = _kernels._subtract_interpolated(x, factor, removed[i - removed_first:], up, down,
                                                a * up - i * down)
        period = refine_periods(x, starts[run] - a, plan.sr / rows[has[run], 0], width,
                                plan.polarity, plan.interpolator,
                                (float(plan.shortest), float(plan.longest)), windows[has[run]])
        rows[has[run], 0] = plan.sr / period


# The half-waves _kernels._qesmor_frames_at measures, by the polarity option.
POLARITY_CODES = {"both": 0, "positive": 1, "negative": -1}


def glide_windows(periods: np.ndarray, width: int, sr: float) -> np.ndarray:
    """The window (in samples, at most `width`) to measure each frame's
    period on, from the periods of a channel's frames in order (NaN where
    none): the whole frame, or GLIDE_PERIODS of the frame's periods (at least
    GLIDE_LEAST seconds) where the period moves by more than GLIDE_CENTS to
    a neighbouring frame's.

    A frame of two periods of fmin spans many of a high voice's periods, and
    a gliding pitch moves by a semitone or more across it; the shorter
    window, centred, sees the period where the frame's time is reported. A
    steady pitch keeps the whole frame, which averages out the beating of
    an ensemble and the noise."""
    cents = 1200.0 * np.log2(periods)
    with np.errstate(invalid="ignore"):
        step = np.abs(np.diff(cents))
        moves = np.zeros(periods.shape, dtype=bool)
        moves[1:] |= step > GLIDE_CENTS
        moves[:-1] |= step > GLIDE_CENTS
    windows = np.full(periods.shape, width, dtype=np.intp)
    windows[moves] = centred_windows(periods[moves], width, sr)
    return windows


def centred_windows(periods: np.ndarray, width: int, sr: float) -> np.ndarray:
    """GLIDE_PERIODS of each period, at least GLIDE_LEAST seconds and at most
    `width` samples: the window at a frame's centre that tells what the
    frame's time holds (the whole frame where the period is NaN)."""
    with np.errstate(invalid="ignore"):
        short = np.ceil(np.maximum(GLIDE_PERIODS * periods, GLIDE_LEAST * sr))
    return np.where(short < width, short, width).astype(np.intp)


def refine_periods(x: np.ndarray, starts: np.ndarray, periods: np.ndarray, width: int,
                   polarity: str, interpolator: str, lag_bounds: Tuple[float, float],
                   windows: Optional[np.ndarray] = None, reach: Optional[np.ndarray] = None
                   ) -> np.ndarray:
    """The period per frame in samples of `x`, refined from `periods` between
    whole lags as the cores refine, on frames x[starts[i]: starts[i] + width],
    or on the centred windows[i] samples of each (see glide_windows); the
    whole lags tried lie within reach[i] (at least 1, the default) of each
    period's."""
    shortest, longest = lag_bounds
    n = periods.size
    if windows is None:
        windows = np.full(n, width, dtype=np.intp)
    else:
        # Centred exactly: the part left out is the same on both sides.
        windows = windows + (width - windows) % 2
        starts = starts + (width - windows) // 2
    # The two whole lags around the period and one beyond each: whichever of
    # the two is higher has both neighbours to interpolate with (three lags
    # around the nearest one would leave a period half a sample from it to
    # an edge, unrefined, when the farther lag measures higher).
    most = 1 if reach is None or n == 0 else max(1, int(reach.max()))
    count = 2 * most + 2
    offsets = np.arange(-most, most + 2)
    lags = np.clip(np.floor(periods).astype(np.intp)[:, None] + offsets, 1, windows[:, None] - 1)
    values = _kernels._qesmor_frames_at(x, windows, starts, lags.ravel(),
                                        POLARITY_CODES[polarity]).reshape(n, count)
    if reach is not None:
        # Each frame's own reach: the lags beyond it never win.
        own = np.maximum(reach, 1)[:, None]
        values = np.where((offsets >= -own) & (offsets <= own + 1), values, -np.inf)
    rows = np.arange(n)
    best = np.argmax(values, axis=1)
    if most > 1:
        near = most - 1 + np.argmax(values[:, most - 1: most + 3], axis=1)
        keep = values[rows, best] < values[rows, near] * (1.0 + WIDE_MARGIN)
        best = np.where(keep, near, best)
    period = lags[rows, best].astype(float)
    if interpolator != "none":
        # A parabola through the best value and its neighbours (their
        # logarithms for "gaussian"), where it is one of the inner two.
        v = np.log(np.maximum(values, 1e-300)) if interpolator == "gaussian" else values
        mid = np.clip(best, 1, count - 2)
        inner = ((best >= 1) & (best <= count - 2) & (values[rows, mid - 1] > -np.inf)
                 & (values[rows, mid + 1] > -np.inf))
        a, b, c = v[rows, mid - 1], v[rows, mid], v[rows, mid + 1]
        curve = a - 2 * b + c
        with np.errstate(divide="ignore", invalid="ignore"):
            step = np.where(inner & (curve < 0), 0.5 * (a - c) / curve, 0.0)
        period += np.clip(step, -0.5, 0.5)
    return np.clip(period, shortest, longest)
