"""Analysis of high sampling rates at a lower one, with the period refined at
the full rate.

The work of the cores grows with the square of the sampling rate (more
samples per frame and more candidate periods), while a voice's period needs
no more lags than a 16 kHz signal has. So the cores search a copy resampled
to `analysis_sr` (where the layer's check of the period's multiples and
fractions also runs), and each frame's period is then measured again on the
original samples, conditioned as at the full rate: the qesmor values at the
three whole lags around it, refined between lags as the cores refine theirs.
The lag resolution is that of the full rate.

Frames keep the full rate's grid: the analysis rate is chosen so that one hop
is a whole number of samples at both rates (for a 10 ms hop, exactly
16000 Hz from 44.1 or 48 kHz), so frame t starts at the same instant in both.
"""
from __future__ import annotations

import functools
import math
from typing import Any, Callable, Iterator, List, Optional, Tuple

import numpy as np

from . import _kernels
from ._threads import get_num_threads, ordered_map

__all__ = ["Resampled", "analysis_ratio", "glide_windows", "refine_rows"]

# Half-length of the resampler's low-pass filter, in units of max(up, down)
# samples at the upsampled rate (SciPy's default is 10). The search needs a
# clean band up to the voice's harmonics, not a brick wall at the new
# Nyquist frequency; a block read with this reach on each side is resampled
# as the whole signal would be.
FILTER_REACH = 4

# Frames measured per job on the thread pool.
REFINE_FRAMES = 1024

# A gliding pitch (see glide_windows): a period moving by more than
# GLIDE_CENTS per frame is measured on GLIDE_PERIODS of its periods, and on
# at least GLIDE_LEAST seconds (chosen on the tuning part of the real corpus).
GLIDE_CENTS = 25.0
GLIDE_PERIODS = 5.0
GLIDE_LEAST = 0.020


def analysis_ratio(sr: float, hop: int, analysis_sr: float) -> Optional[Tuple[int, int]]:
    """(up, down) with up / down the analysis rate over `sr`, such that the hop
    is whole at both rates; None when the signal is already at or below the
    analysis rate."""
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
        # Output sample m sits at input sample m * down / up; start at a
        # multiple of `up` so the first output falls on an input sample.
        first = start - start % self.up
        lo = first * self.down // self.up - self._margin
        hi = -(-stop * self.down // self.up) + self._margin
        clipped_lo, clipped_hi = max(lo, 0), min(hi, self.source.n_samples)
        x = self.source.read(clipped_lo, clipped_hi)
        # Beyond the ends the end samples go on, so that the filter sees no
        # step there (zeros would make an offset ring at the ends, and the
        # high-pass after it would find a periodic transient).
        skip = (self._margin // self.down) * self.up + (start - first)
        out = np.empty((x.shape[0], stop - start))
        if out.shape[1] == 0:
            return out
        # SciPy's resample_poly of the continued block, bit for bit, but only
        # the samples kept: its upfirdn with the filter it would build.
        taps, removed = _polyphase(self._taps, self.up, self.down, hi - lo)
        for c in range(x.shape[0]):
            out[c] = _kernels._resample_poly(x[c], clipped_lo - lo, hi - lo, taps, self.up,
                                             self.down, removed + skip, stop - start)
        return out


@functools.lru_cache(maxsize=8)
def _lowpass(up: int, down: int, reach: int) -> np.ndarray:
    """The resampler's filter, designed once per ratio: as SciPy's default
    (a Kaiser window, beta 5, cutoff at the lower Nyquist frequency), of
    half-length `reach` * max(up, down). resample_poly applies the gain of
    `up` itself."""
    from scipy.signal import firwin

    rate = max(up, down)
    taps = firwin(2 * reach * rate + 1, 1.0 / rate, window=("kaiser", 5.0))
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


def refine_rows(rows: np.ndarray, source: Any, sr: float, frame_length: int,
                hop_length: int, polarity: str, interpolator: str,
                lag_bounds: Tuple[float, float], margin: int, exponents: List[Optional[int]],
                condition: Callable[[np.ndarray, int, int, int], np.ndarray],
                wanted: Optional[np.ndarray] = None) -> np.ndarray:
    """Rows of the coarse analysis, shape (channels, n_frames, columns), with
    f0 measured again on the full-rate `source` for every frame that has a
    candidate. `exponents` are the channels' scaling exponents (None for a
    silent channel); `condition(x, offset, length, exponent)` prepares a channel's
    samples x[offset: offset + length] as the full-rate analysis would (the
    samples around them, `margin` on each side, are its context). Only the
    f0 changes: the coarse analysis has already chosen among the period's
    multiples and measured its strength. With `wanted` (channels, n_frames),
    only the frames marked there are measured; the others keep the coarse f0.
    A frame whose pitch glides (see glide_windows) is measured on a shorter
    window at its centre."""
    out = rows.copy()
    n_frames = rows.shape[1]
    measured = np.isfinite(rows[..., 0])
    if wanted is not None:
        measured &= wanted

    def jobs() -> Iterator[Callable[[], None]]:
        # Blocks are read here, on the caller's thread (a file source is not
        # shared); each block's frames are measured on the pool.
        for b0 in range(0, n_frames, REFINE_FRAMES):
            b1 = min(b0 + REFINE_FRAMES, n_frames)
            if not measured[:, b0:b1].any():
                continue
            lo, hi = b0 * hop_length, (b1 - 1) * hop_length + frame_length
            first, last = max(0, lo - margin), min(source.n_samples, hi + margin)
            yield functools.partial(_refine_block, source.read(first, last), lo - first,
                                    hi - lo, b0, b1)

    def _refine_block(x: np.ndarray, offset: int, length: int, b0: int, b1: int) -> None:
        starts = np.arange(b1 - b0, dtype=np.intp) * hop_length
        for c, exponent in enumerate(exponents):
            f0 = rows[c, b0:b1, 0]
            has = np.flatnonzero(measured[c, b0:b1])
            if exponent is None or has.size == 0:
                continue
            windows = glide_windows(sr / rows[c, :, 0], frame_length, sr)[b0 + has]
            period = _refine(condition(x[c], offset, length, exponent), starts[has],
                             sr / f0[has], frame_length, polarity, interpolator, lag_bounds,
                             windows)
            out[c, b0 + has, 0] = sr / period

    for _ in ordered_map(jobs(), get_num_threads()):
        pass
    return out


_POLARITY = {"both": 0, "positive": 1, "negative": -1}


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
        short = np.ceil(np.maximum(GLIDE_PERIODS * periods, GLIDE_LEAST * sr))
    windows = np.full(periods.shape, width, dtype=np.intp)
    windows[moves] = np.minimum(short[moves], width).astype(np.intp)
    return windows


def _refine(x: np.ndarray, starts: np.ndarray, periods: np.ndarray, width: int,
            polarity: str, interpolator: str, lag_bounds: Tuple[float, float],
            windows: Optional[np.ndarray] = None) -> np.ndarray:
    """The period per frame in samples of `x`, refined from `periods` between
    whole lags as the cores refine, on frames x[starts[i]: starts[i] + width],
    or on the centred windows[i] samples of each (see glide_windows)."""
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
    lags = np.clip(np.floor(periods).astype(np.intp)[:, None] + np.arange(-1, 3),
                   1, windows[:, None] - 1)
    values = _kernels._qesmor_frames_at(x, windows, starts, lags.ravel(),
                                        _POLARITY[polarity]).reshape(n, 4)
    rows = np.arange(n)
    best = np.argmax(values, axis=1)
    period = lags[rows, best].astype(float)
    if interpolator != "none":
        # A parabola through the best value and its neighbours (their
        # logarithms for "gaussian"), where it is one of the inner two.
        v = np.log(np.maximum(values, 1e-300)) if interpolator == "gaussian" else values
        inner = (best == 1) | (best == 2)
        mid = np.clip(best, 1, 2)
        a, b, c = v[rows, mid - 1], v[rows, mid], v[rows, mid + 1]
        curve = a - 2 * b + c
        with np.errstate(divide="ignore", invalid="ignore"):
            step = np.where(inner & (curve < 0), 0.5 * (a - c) / curve, 0.0)
        period += np.clip(step, -0.5, 0.5)
    return np.clip(period, shortest, longest)
