"""Conditioning before framing: a high-pass filter below the search range,
and the runs of digital silence kept apart from everything else.

The periodicity function compares raw sample values, so a DC offset, hum or
rumble dominates the pointwise minimum of a frame and its lagged copy and
makes every frame look periodic. A 4th-order Butterworth high-pass removes
them. Offline it runs forward and backward (zero phase, so a period is not
shifted by the filter's group delay); a stream runs it forward only, its
state carried from chunk to chunk.

Runs of exact zeros at least a frame long (digital silence: gaps, padding,
muted stretches) are never filtered across: the stretches between them are
filtered on their own and the runs stay exactly zero, so a filter's ringing
never fills a silence and silence never reaches, through the filter, frames
away from it.
"""
from __future__ import annotations

import functools
import math
from typing import List, Optional, Tuple

import numpy as np

from . import _kernels

__all__ = ["mix_down", "design", "response", "settle_samples", "zero_runs", "active_stretches",
           "highpass", "highpass_forward"]

ORDER = 4

# The slowest pole of a 4th-order Butterworth high-pass decays as
# exp(-2 pi fc t cos(3 pi / 8)), and the filter's state, for a cutoff far
# below sr, is up to (sr / fc)**2 times the signal. After SETTLE_PERIODS
# periods of the cutoff, exp(-58) ~ 1e-25 of that, a wrong start has died
# out below the filter's own rounding (about 1e-13 of the signal, from the
# same large state) for any cutoff above sr / 3000.
SETTLE_PERIODS = 24


def scaled(x: np.ndarray, exponent: int) -> np.ndarray:
    """x * 2**exponent as a new array, with ldexp's bits. A product with a
    normal power of two rounds once, correctly, as ldexp does, at vector
    speed; ldexp (several times slower) reaches the exponents whose power
    of two is no normal double."""
    factor = exact_factor(exponent)
    return x * factor if factor is not None else np.ldexp(x, exponent)


def mix_down(x: np.ndarray) -> np.ndarray:
    """The mean of the rows of `x` (channels, n), in float64: the `mono`
    mix. Where the plain mean overflows, as it does for finite samples near
    the largest double, those columns are averaged scaled down by a power
    of two, which is exact: a finite signal must not turn infinite (it was
    then analysed as such, or its file refused as holding infinities).
    Every other column keeps the plain mean's bits."""
    with np.errstate(over="ignore"):
        mean = x.mean(axis=0, dtype=np.float64)
    over = np.flatnonzero(np.isinf(mean))
    if over.size:
        shift = max(1, math.ceil(math.log2(x.shape[0])))
        part = np.asarray(x[:, over], dtype=np.float64)
        mean[over] = np.ldexp(np.ldexp(part, -shift).mean(axis=0), shift)
    return mean


def exact_factor(exponent: int) -> Optional[float]:
    """2**exponent when a product with it has ldexp's bits (a normal double), else None."""
    return 2.0 ** exponent if -1022 <= exponent <= 1023 else None


def design(cutoff: float, sr: float) -> np.ndarray:
    """Second-order sections [b0, b1, b2, 1, a1, a2] of the ORDER-th
    Butterworth high-pass at `cutoff` Hz, as SciPy's butter(..., output="sos")
    designs it (to rounding), the sections from the pole farthest from the
    unit circle to the nearest, the gain in the first. Designed here:
    importing scipy.signal takes most of a second, longer than track() on
    a minute of audio."""
    # The analog prototype's poles, its cutoff prewarped for the bilinear
    # transform (at a sampling rate of 2, as butter normalises it), turned
    # into a high-pass (s -> wc / s: zeros at s = 0), then mapped to z.
    warped = 4.0 * math.tan(math.pi * cutoff / sr)
    prototype = -np.exp(1j * np.pi * np.arange(-ORDER + 1, ORDER, 2) / (2 * ORDER))
    analog = warped / prototype
    gain = 1.0 / np.real(np.prod(-prototype)) * np.real(4.0 ** ORDER / np.prod(4.0 - analog))
    poles = (4.0 + analog) / (4.0 - analog)
    # One of each conjugate pair (the order is even: no real pole), with
    # two of the zeros at z = 1.
    kept = poles[poles.imag > 0]
    kept = kept[np.argsort(np.abs(kept))]
    sos = np.zeros((kept.shape[0], 6))
    for row, p in zip(sos, kept):
        row[:] = (1.0, -2.0, 1.0, 1.0, -2.0 * p.real, (p * np.conj(p)).real)
    sos[0, :3] *= gain
    return sos


def response(sos: np.ndarray, freqs: np.ndarray, sr: float) -> np.ndarray:
    """The complex response of the cascade `sos` at `freqs` Hz."""
    z = np.exp(-2j * np.pi * np.asarray(freqs, dtype=np.float64) / sr)
    h = np.ones(z.shape, dtype=complex)
    for b0, b1, b2, _, a1, a2 in sos:
        h *= (b0 + z * (b1 + z * b2)) / (1.0 + z * (a1 + z * a2))
    return h


def settle_samples(cutoff: float, sr: float) -> int:
    """Samples after which the filter's response to an edge has died out."""
    return int(math.ceil(SETTLE_PERIODS * sr / cutoff))


def zero_runs(x: np.ndarray, min_run: int) -> Tuple[np.ndarray, np.ndarray]:
    """[start, stop) of the runs of at least `min_run` (>= 1) exact zeros
    in 1-D float64 `x`, as intp arrays."""
    return _kernels._zero_runs(x, min_run)


def active_stretches(x: np.ndarray, min_run: int) -> List[Tuple[int, int]]:
    """[start, stop) of the stretches of 1-D `x` between runs of at least
    `min_run` exact zeros (the runs themselves excluded)."""
    starts, stops = zero_runs(x, min_run)
    bounds = np.concatenate(([0], np.ravel(np.column_stack((starts, stops))), [x.shape[0]]))
    return [(int(a), int(b)) for a, b in zip(bounds[::2], bounds[1::2]) if b > a]


def highpass(x: np.ndarray, sos: np.ndarray, min_run: int, settle: int = 0,
             grid_bits: int = 0) -> np.ndarray:
    """Zero-phase high-pass of 1-D `x`, stretch by stretch between long
    silent runs, which stay exact zeros. A new array; `x` is not modified.
    `settle` (see settle_samples) lets the filter run a long stretch as up
    to eight parts at once. With `grid_bits`, the output is rounded to multiples of
    2**-grid_bits as it is written (ties to even, as np.rint)."""
    stretches = active_stretches(x, min_run)
    if stretches == [(0, x.shape[0])]:
        return _filtfilt(x, sos, settle, grid_bits)
    out = np.zeros_like(x)
    for a, b in stretches:
        out[a:b] = _filtfilt(x[a:b], sos, settle, grid_bits)
    return out


def _filtfilt(x: np.ndarray, sos: np.ndarray, settle: int = 0,
              grid_bits: int = 0) -> np.ndarray:
    """Forward, then backward over the result: the magnitude response
    squared and no phase shift. Each pass starts from the filter's steady
    state for a constant equal to its first sample, so an offset does not
    ring in at the edges (what edge padding would buy, for less work)."""
    return _kernels._highpass_on_grid(x, sos, _steady_state(sos), settle, grid_bits)


@functools.lru_cache(maxsize=16)
def _steady_state_of(sos: bytes, sections: int) -> np.ndarray:
    """Each section's state [z1, z2] in the steady state for a unit input,
    scaled by the gain at 0 Hz of the sections before it (SciPy's
    sosfilt_zi, with its bits)."""
    zi = np.zeros((sections, 2))
    scale = 1.0
    for row, (b0, b1, b2, _, a1, a2) in zip(zi, np.frombuffer(sos).reshape(sections, 6)):
        # (I - A^T) z = b[1:] - a[1:] b0 for the section's companion matrix A.
        system = np.eye(2) - np.array([[-a1, -a2], [1.0, 0.0]]).T
        row[:] = scale * np.linalg.solve(system, np.array([b1 - a1 * b0, b2 - a2 * b0]))
        scale *= (b0 + b1 + b2) / (1.0 + a1 + a2)
    return zi


def _steady_state(sos: np.ndarray) -> np.ndarray:
    # A copy: the cores' views of it are writable ones, and the cached one
    # must stay as it is.
    return _steady_state_of(sos.tobytes(), sos.shape[0]).copy()


def highpass_forward(x: np.ndarray, sos: np.ndarray,
                     state: Optional[np.ndarray]) -> Tuple[np.ndarray, np.ndarray]:
    """The forward-only high-pass of `x` (rows, n) from the filter state
    `state` (rows, sections, 2; None: the steady state for a constant equal
    to each row's first sample, so that a signal that starts on an offset
    does not start with the filter's ringing); the output and the state
    after the last sample."""
    if state is None:
        first = x[:, :1] if x.shape[1] else np.zeros((x.shape[0], 1))
        state = _steady_state(sos)[None] * first[:, :, None]
    rows = [_kernels._highpass_forward(row, sos, s) for row, s in zip(x, state)]
    if not rows:
        return np.empty_like(x, dtype=np.float64), np.asarray(state, dtype=np.float64).copy()
    return np.stack([y for y, _ in rows]), np.stack([s for _, s in rows])
