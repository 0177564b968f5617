"""Mains hum: found over the whole signal, taken out of what the periods are
searched on.

Hum at 50 or 60 Hz and its low harmonics lies inside the voice range, so
the high-pass cannot remove it, and its lines add a period of their own to
every frame: in the pauses it is what the frame is periodic at, under a
voice it pulls the period. A hum line is told from a voice or an instrument
by what neither does: it stays at one frequency, with one amplitude and a
phase advancing at the line's rate, through the pauses as through the rest.

Detection takes Hann-windowed segments of SEGMENT_SECONDS (hop half of
that) and each candidate line's complex amplitude in each; the whole signal
is read once, a chunk of segments at a time, for a few multiply-adds per
sample. A line is kept when, over segments a whole segment apart (no shared
samples), its phase advances at a rate within MAX_DRIFT_HZ of the line's
nominal frequency and consistently (COHERENCE), and its amplitude in the
quietest segments is close to its median one (a note stops, hum does not).
A kept line is subtracted as a sinusoid at its measured frequency, with its
complex amplitude median-smoothed over neighbouring segments and
interpolated between their centres; everything is fixed before the first
block is analysed, so blocks see the same model a single pass would.

Only the period search sees the subtraction: the frame levels the voicing
model compares with its pauses are measured before it, since the hum sets
the level of the pauses (a release tail above a removed hum would otherwise
stand out of the pauses and read voiced). When no line is found, nothing
changes.
"""
from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Any, List, Optional

import numpy as np

MAINS_HZ = (50.0, 60.0)
HARMONICS = 3               # per mains frequency: the strong ones
SEGMENT_SECONDS = 0.25
MAX_DRIFT_HZ = 0.2          # mains frequency stays this close to nominal
COHERENCE = 0.9             # least consistency of the phase advance, in [0, 1]
QUIET_PERCENTILE = 10.0     # the quiet segments' amplitude ...
QUIET_SHARE = 0.5           # ... at least this share of the median one
LEAST_LEVEL = 1e-2          # a line weaker than this, relative to the signal's RMS, is left
MIN_PAIRS = 4               # independent segment pairs a decision needs
SMOOTH_SEGMENTS = 5         # median window of the amplitudes, in segments
CHUNK_SEGMENTS = 256        # segments read at a time


@dataclass(frozen=True)
class Hum:
    """The hum lines of one channel: frequencies in Hz (K,), and complex
    amplitudes (K, S) at the segment centres `centres` (S,) in seconds, each
    line being Re(amplitude(t) * exp(2j pi f t))."""

    freqs: np.ndarray
    centres: np.ndarray
    amplitudes: np.ndarray

    def at(self, start: int, n: int, sr: float, gains: np.ndarray) -> np.ndarray:
        """The hum at samples [start, start + n) of a signal at `sr`, each
        line scaled by its gain in `gains` (K,)."""
        t = (start + np.arange(n)) / sr
        out = np.zeros(n)
        for k in range(self.freqs.shape[0]):
            a = self.amplitudes[k]
            re = np.interp(t, self.centres, a.real)
            im = np.interp(t, self.centres, a.imag)
            phase = (2.0 * np.pi * self.freqs[k]) * t
            out += gains[k] * (re * np.cos(phase) - im * np.sin(phase))
        return out


def _candidates(sr: float) -> np.ndarray:
    lines = {round(f * k, 6) for f in MAINS_HZ for k in range(1, HARMONICS + 1)}
    return np.array(sorted(f for f in lines if f < 0.45 * sr))


@functools.lru_cache(maxsize=8)
def _basis(sr: float, length: int) -> np.ndarray:
    """(length, 2K) Hann-windowed cosines and sines of the candidate lines,
    phase 0 at a segment's first sample, normalised so a line of unit
    amplitude gives a complex amplitude of 1."""
    freqs = _candidates(sr)
    n = np.arange(length)
    window = np.hanning(length + 2)[1:-1]
    arg = 2.0 * np.pi * np.outer(n / sr, freqs)
    scale = 2.0 / window.sum()
    basis = np.concatenate((np.cos(arg), -np.sin(arg)), axis=1) * (window * scale)[:, None]
    basis.flags.writeable = False
    return basis


def detect(source: Any, sr: float) -> List[Optional[Hum]]:
    """The hum of each channel of `source` (see _track.ArraySource), None
    where there is none or the signal is too short to tell."""
    freqs = _candidates(sr)
    length = int(round(SEGMENT_SECONDS * sr))
    step = length
    n = source.n_samples
    n_seg = (n - length) // step + 1 if n >= length else 0
    n_rows = len(source.peaks())
    if n_seg < MIN_PAIRS + 1 or freqs.size == 0:
        return [None] * n_rows
    basis = _basis(sr, length)
    K = freqs.shape[0]
    coef = np.zeros((n_rows, K, n_seg), dtype=complex)
    live = np.zeros((n_rows, n_seg), dtype=bool)
    power = np.zeros(n_rows)
    for s0 in range(0, n_seg, CHUNK_SEGMENTS):
        s1 = min(s0 + CHUNK_SEGMENTS, n_seg)
        block = source.read(s0 * step, (s1 - 1) * step + length)
        for c in range(n_rows):
            segs = block[c, : (s1 - s0) * length].reshape(s1 - s0, length)
            # Each segment's own mean is taken out: an offset leaks into the
            # lines through the window's sidelobes, coherently.
            means = segs.mean(axis=1)
            proj = segs @ basis - means[:, None] * basis.sum(axis=0)[None, :]
            z = proj[:, :K] + 1j * proj[:, K:]
            # Phase referred to t = 0, not to each segment's start.
            starts = (s0 + np.arange(s1 - s0)) * step / sr
            coef[c, :, s0:s1] = (z * np.exp(-2j * np.pi * np.outer(starts, freqs))).T
            energy = np.einsum("ij,ij->i", segs, segs) - length * means ** 2
            live[c, s0:s1] = energy > 0.0
            power[c] += energy.sum()
    hums: List[Optional[Hum]] = []
    for c in range(n_rows):
        rms = float(np.sqrt(power[c] / (n_seg * length)))
        hums.append(_lines(coef[c], live[c], freqs, step / sr, length / sr, rms))
    return hums


def _lines(coef: np.ndarray, live: np.ndarray, freqs: np.ndarray, step_s: float,
           length_s: float, rms: float) -> Optional[Hum]:
    keep = []
    drift = np.zeros(freqs.shape[0])
    idx = np.flatnonzero(live)
    if idx.size < MIN_PAIRS + 1 or rms <= 0.0:
        return None
    for k in range(freqs.shape[0]):
        z = coef[k, idx]
        first, second = z[:-1], z[1:]
        gap = (idx[1:] - idx[:-1]) == 1
        if gap.sum() < MIN_PAIRS:
            continue
        prod = (second * np.conj(first))[gap]
        total = np.abs(prod).sum()
        if total <= 0.0:
            continue
        coherence = abs(prod.sum()) / total
        df = np.angle(prod.sum()) / (2.0 * np.pi * step_s)
        if coherence < COHERENCE or abs(df) > MAX_DRIFT_HZ:
            continue
        mag = np.abs(z)
        median = float(np.median(mag))
        if median < LEAST_LEVEL * rms or np.percentile(mag, QUIET_PERCENTILE) < QUIET_SHARE * median:
            continue
        keep.append(k)
        drift[k] = df
    if not keep:
        return None
    centres = np.arange(coef.shape[1]) * step_s + 0.5 * length_s
    amps = []
    for k in keep:
        # At the measured frequency the amplitude stays put; the median over
        # neighbouring segments keeps a voice's harmonic passing through
        # the line's frequency out of it.
        a = coef[k] * np.exp(-2j * np.pi * drift[k] * centres)
        a = np.where(live, a, np.nan)
        amps.append(_median_smooth(a.real) + 1j * _median_smooth(a.imag))
    return Hum(freqs=freqs[keep] + drift[keep], centres=centres, amplitudes=np.array(amps))


def _median_smooth(v: np.ndarray) -> np.ndarray:
    """Running median over SMOOTH_SEGMENTS, ignoring NaN (dead segments);
    a segment with no live neighbour takes the nearest live value."""
    half = SMOOTH_SEGMENTS // 2
    padded = np.concatenate((np.full(half, np.nan), v, np.full(half, np.nan)))
    windows = np.lib.stride_tricks.sliding_window_view(padded, SMOOTH_SEGMENTS)
    with np.errstate(all="ignore"):
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            out = np.nanmedian(windows, axis=1)
    good = np.isfinite(out)
    if not good.all():
        out = np.interp(np.arange(out.shape[0]), np.flatnonzero(good), out[good])
    return out


def gains(hum: Hum, sos: Optional[np.ndarray], sr: float) -> np.ndarray:
    """Each line's gain through the zero-phase high-pass `sos` (None: 1)."""
    if sos is None:
        return np.ones(hum.freqs.shape[0])
    from scipy.signal import sosfreqz

    _, h = sosfreqz(sos, worN=hum.freqs, fs=sr)
    return np.abs(h) ** 2
