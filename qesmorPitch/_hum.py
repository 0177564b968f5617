"""Mains hum: found over the whole signal, taken out before the period search.

Hum at 50 or 60 Hz and its low harmonics lies inside the voice range, so
the high-pass cannot remove it, and its lines add a period of their own to
every frame: in the pauses it is what the frame is periodic at, under a
voice it pulls the period. A hum line is told from a voice or an instrument
by what neither does: it stays at one frequency, with one amplitude and a
phase advancing at the line's rate, through the pauses as through the rest.

Detection takes Hann-windowed segments of SEGMENT_SECONDS, end to end, and
each candidate line's complex amplitude in each: the whole signal is read
once, a chunk at a time (memory does not grow with the signal), for a few multiply-adds per sample. A
line is kept when its phase advances at a rate within MAX_DRIFT_HZ of its
nominal frequency and its amplitude agrees (within TOLERANCE) in at least
STEADY_SHARE of the segments; a voice or a note near the line's frequency
disturbs some segments, each time differently, and a note stops where hum
goes on. The harmonics of one mains frequency drift together, at the rate
of the family's steadiest line. A kept line is subtracted as a sinusoid at
its measured frequency, its complex amplitude a weighted mean over
neighbouring segments, interpolated between their centres. Everything is
fixed before the first block is analysed, so blocks see the same model a
single pass would, and when no line is found nothing changes.

The frame levels the voicing model weighs are measured after the
subtraction: a voice quieter than the hum is heard again, and the pauses
are as quiet as the subtraction leaves them (a line left in them, still
periodic, would pass as voiced if it stood out of them).
"""
from __future__ import annotations

import functools
import math
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple

import numpy as np

from . import _frontend, _kernels
from ._frontend import exact_factor, scaled

MAINS_HZ = (50.0, 60.0)
HARMONICS = 3               # per mains frequency: the strong ones
SEGMENT_SECONDS = 0.25
LOW_RATE = 2000.0           # the analysis runs on the signal decimated to about this
MAX_DRIFT_HZ = 0.2          # mains frequency stays this close to nominal
TOLERANCE = 0.35            # a segment within this share of the line's amplitude is steady
STEADY_SHARE = 0.5          # a line is steady in at least this share of the segments
FAMILY_SHARE = 0.25         # ... or this share, the same mains frequency being steady
LEAST_LEVEL = 1e-2          # a line weaker than this, relative to the signal's RMS, is left
SALIENCE = 2.0              # a line at least this far above the spectrum beside it
CONSISTENCY = 0.2           # least mean direction of the segments' phase advances
MIN_PAIRS = 4               # independent segment pairs a decision needs
CONSENSUS = 64             # segments whose amplitude is tried as the line's
FIT_SECONDS = 0.5           # the amplitudes' fit: windows of this length ...
FIT_WINDOWS = 9             # ... pooled over this many around each
WEIGHT_SECONDS = 0.01       # samples weighted by the inverse power over this span
OSCILLATOR_STEP = 256       # samples per row of the subtraction's phase table
CHUNK_SAMPLES = 1 << 17     # about this many samples read at a time
PRODUCT_SIZE = 1 << 17      # multiplications per matrix product (see _project)


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
        step = OSCILLATOR_STEP
        # Rows on a grid of the whole signal, so that a sample's value does
        # not depend on where a block starts.
        lead = start % step
        rows = -(-(lead + n) // step)
        first = (start - lead) + step * np.arange(rows)
        out = np.zeros((rows, step))
        for k in range(self.freqs.shape[0]):
            w = 2.0 * np.pi * self.freqs[k] / sr
            # A exp(i w (r + m)) for the row's first sample r and m < step,
            # as the product of a row table and a column table; the
            # amplitude, which changes over seconds, held within a row.
            a = self.amplitudes[k] * gains[k]
            amp = (np.interp((first + 0.5 * step) / sr, self.centres, a.real)
                   + 1j * np.interp((first + 0.5 * step) / sr, self.centres, a.imag))
            row = amp * np.exp(1j * w * first)
            col = np.exp(1j * w * np.arange(step))
            out += np.outer(row.real, col.real)
            out -= np.outer(row.imag, col.imag)
        return out.ravel()[lead: lead + n]


def _scaled_rows(block: np.ndarray, exponents: np.ndarray) -> np.ndarray:
    """Row r of `block` times 2**-exponents[r] with scaled()'s bits: one
    product over the block where every power of two is a normal double."""
    factors = [exact_factor(-int(e)) for e in exponents]
    if all(f is not None for f in factors):
        return block * np.array(factors)[:, None]
    return np.stack([scaled(row, -int(e)) for row, e in zip(block, exponents)])


def _low_scaled(block: np.ndarray, factor: int, exponents: np.ndarray) -> np.ndarray:
    """_low of `block` (rows, m * factor), row r scaled by 2**-exponents[r].
    Scaled after the decimation, on a factor fewer samples: a power of two
    commutes with the means' sums and their division. Not where a sum of
    `factor` samples near the largest double would overflow: those rows are
    scaled first, with the same bits."""
    if int(np.max(exponents, initial=0)) + int(factor).bit_length() > 1020:
        return _low(_scaled_rows(block, exponents), factor)
    return _scaled_rows(_low(block, factor), exponents)


def _candidates(sr: float) -> np.ndarray:
    lines = {round(f * k, 6) for f in MAINS_HZ for k in range(1, HARMONICS + 1)}
    return np.array(sorted(f for f in lines if f < 0.45 * sr))


def _factor(sr: float) -> int:
    """The decimation of the analysis: to about LOW_RATE, far above the lines."""
    return max(1, int(sr // LOW_RATE))


def _low(x: np.ndarray, factor: int) -> np.ndarray:
    """Means of `factor` samples (rows, m * factor) -> (rows, m). Their
    response, zero at multiples of the lower rate, keeps what folds onto
    the lines (content near those multiples) out; a sample stands for the
    centre of its group."""
    if factor == 1:
        return x
    # Not as a product with a vector of ones: a threaded BLAS runs that on
    # worker threads (see _project).
    return _kernels._group_means(x, factor)


def _project(rows: np.ndarray, basis: np.ndarray) -> np.ndarray:
    """rows @ basis, a few rows at a time. A threaded BLAS (NumPy's own
    build among them) hands a product above about 2**18 multiplications to
    worker threads, which then stay awake, spinning, for tens of
    milliseconds: a hum search of a millisecond or two would double
    track()'s CPU time and take the other cores from the user's work.
    Products of this size run on the caller's thread."""
    step = max(1, PRODUCT_SIZE // max(1, basis.shape[0] * basis.shape[1]))
    return np.concatenate([rows[i: i + step] @ basis for i in range(0, rows.shape[0], step)])


def _low_gain(freqs: np.ndarray, factor: int, sr: float) -> np.ndarray:
    """The magnitude response of _low at `freqs`."""
    w = np.pi * freqs / sr
    return np.abs(np.sin(factor * w) / (factor * np.sin(w)))


@functools.lru_cache(maxsize=8)
def _basis(sr: float, length: int) -> np.ndarray:
    """(length, 2K) Hann-windowed cosines and sines of the candidate lines
    of a signal at `sr` (the lines of the full rate), phase 0 at a segment's
    first sample, normalised so a line of unit amplitude gives a complex
    amplitude of 1."""
    lines = _candidates(sr * _factor(sr))
    # Each line, then the frequencies 2 / SEGMENT_SECONDS either side, where
    # the window's response to the line is zero: what lies around it.
    side = 2.0 / (length / sr)
    freqs = np.concatenate((lines, lines - side, lines + side))
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
    factor = _factor(sr)
    low_sr = sr / factor
    length = int(round(SEGMENT_SECONDS * low_sr))
    n = source.n_samples
    n_seg = n // (length * factor)
    # Each channel scaled by a power of two to a peak near 1, as the
    # analysis scales it: the search is then the same at any scale, and no
    # power over- or underflows.
    peaks = source.peaks()
    n_rows = len(peaks)
    scale = np.array([math.frexp(float(p))[1] if p > 0 else 0 for p in peaks])
    if n_seg < MIN_PAIRS + 1 or freqs.size == 0:
        return [None] * n_rows
    basis = _basis(low_sr, length)
    offset = 0.5 * (factor - 1) / sr
    K = freqs.shape[0]
    coef = np.zeros((n_rows, K, n_seg), dtype=complex)
    around = np.zeros((n_rows, K, n_seg))
    energies = np.zeros((n_rows, n_seg))
    power = np.zeros(n_rows)
    chunk = max(1, CHUNK_SAMPLES // (length * factor))
    for s0 in range(0, n_seg, chunk):
        s1 = min(s0 + chunk, n_seg)
        low = _low_scaled(source.read(s0 * length * factor, s1 * length * factor), factor, scale)
        power += np.einsum("ij,ij->i", low, low)
        for c in range(n_rows):
            segs = low[c].reshape(s1 - s0, length)
            # Each segment's own mean is taken out: an offset leaks into the
            # lines through the window's sidelobes, coherently.
            means = segs.mean(axis=1)
            proj = _project(segs, basis) - means[:, None] * basis.sum(axis=0)[None, :]
            half = proj.shape[1] // 2
            z = proj[:, :K] + 1j * proj[:, half: half + K]
            sides = np.abs(proj[:, K:half] + 1j * proj[:, half + K:])
            around[c, :, s0:s1] = 0.5 * (sides[:, :K] + sides[:, K:]).T
            # Phase referred to t = 0, not to each segment's start.
            starts = (s0 + np.arange(s1 - s0)) * (length * factor) / sr + offset
            coef[c, :, s0:s1] = (z * np.exp(-2j * np.pi * np.outer(starts, freqs))).T
            energies[c, s0:s1] = np.einsum("ij,ij->i", segs, segs) - length * means ** 2
    coef /= _low_gain(freqs, factor, sr)[None, :, None]
    hums: List[Optional[Hum]] = []
    for c in range(n_rows):
        # The level below LOW_RATE / 2, where a voice has most of its power.
        rms = float(np.sqrt(power[c] / (n_seg * length)))
        lines = _lines(coef[c], energies[c], around[c], freqs, length * factor / sr,
                       length * factor / sr, rms)
        hums.append(None if lines is None or peaks[c] <= 0
                    else _amplitudes(source, c, int(scale[c]), lines, sr))
    return hums


def _amplitudes(source: Any, c: int, exponent: int, freqs: np.ndarray, sr: float) -> Hum:
    """The hum of channel `c`, scaled by 2**-exponent for the fit, at the
    lines `freqs`: a least-squares fit of
    the lines (and an offset) over windows of FIT_SECONDS, pooled with the
    FIT_WINDOWS // 2 windows on each side, each sample weighted by the
    inverse of the power around it (over WEIGHT_SECONDS). A voice or a note
    over a line disturbs its estimate in proportion to its own power, so
    the pauses, even short ones, decide the amplitudes. On the decimated
    signal, as the detection."""
    factor = _factor(sr)
    low_sr = sr / factor
    n = source.n_samples // factor
    width = int(round(FIT_SECONDS * low_sr))
    piece = max(1, int(round(WEIGHT_SECONDS * low_sr)))
    n_win = -(-n // width)
    K = freqs.shape[0]
    gram = np.zeros((n_win, 2 * K + 1, 2 * K + 1))
    rhs = np.zeros((n_win, 2 * K + 1))
    per_read = max(1, CHUNK_SAMPLES // (width * factor))
    for w0 in range(0, n_win, per_read):
        w1 = min(w0 + per_read, n_win)
        x = _low_scaled(source.read(w0 * width * factor, min(n, w1 * width) * factor)[c: c + 1],
                        factor, np.array([exponent]))[0]
        m = x.shape[0]
        # The power over short pieces, each sample weighted by its piece's.
        cut = -(-m // piece) * piece
        padded = np.concatenate((x, np.zeros(cut - m)))
        power = np.einsum("ij,ij->i", *(padded.reshape(-1, piece),) * 2) / piece
        # Digital silence carries no weight; a piece far quieter than the
        # rest no more than a trillion times the loudest's.
        floor = np.max(power) * 1e-12
        inverse = np.where(power > 0.0, 1.0 / np.maximum(power, floor if floor > 0 else 1.0), 0.0)
        weight = np.repeat(inverse, piece)[:m]
        t = (w0 * width + np.arange(m)) / low_sr + 0.5 * (factor - 1) / sr
        arg = 2.0 * np.pi * t[:, None] * freqs[None, :]
        basis = np.concatenate((np.cos(arg), np.sin(arg), np.ones((m, 1))), axis=1)
        for i, w in enumerate(range(w0, w1)):
            part = slice(i * width, min(m, (i + 1) * width))
            b, wt = basis[part], weight[part]
            gram[w] = b.T @ (b * wt[:, None])
            rhs[w] = b.T @ (x[part] * wt)
    gram, rhs = _pooled(gram), _pooled(rhs)
    trace = np.trace(gram, axis1=1, axis2=2)
    # Windows with no weight at all (digital silence around them) take the
    # fit of the nearest windows that have some.
    fitted = np.flatnonzero(trace > 0.0)
    # A least ridge keeps a window whose samples barely vary the lines solvable.
    ridge = 1e-9 * trace[fitted, None, None] * np.eye(2 * K + 1)
    coef = np.linalg.solve(gram[fitted] + ridge, rhs[fitted, :, None])[..., 0]
    # p cos + q sin is Re((p - i q) exp(i w t)).
    amps = (coef[:, :K] - 1j * coef[:, K:2 * K]).T / _low_gain(freqs, factor, sr)[:, None]
    amps = np.ldexp(amps.real, exponent) + 1j * np.ldexp(amps.imag, exponent)
    centres = (fitted + 0.5) * width / low_sr
    return Hum(freqs=freqs, centres=centres, amplitudes=amps)


def _pooled(v: np.ndarray) -> np.ndarray:
    """Sums of `v` over FIT_WINDOWS along the first axis, centred, cut at the ends."""
    half = FIT_WINDOWS // 2
    total = np.concatenate((np.zeros((1,) + v.shape[1:]), np.cumsum(v, axis=0)))
    at = np.arange(v.shape[0])
    return total[np.minimum(at + half + 1, v.shape[0])] - total[np.maximum(at - half, 0)]


def _steady(z: np.ndarray, live: np.ndarray, df: float,
            centres: np.ndarray) -> Tuple[float, np.ndarray, np.ndarray]:
    """For a line's complex amplitudes `z` at a frequency `df` Hz off its
    nominal one: the share of the live segments in which it is steady, the
    amplitudes referred to that frequency and where they are steady.

    The line's amplitude is the one most segments agree with (within
    TOLERANCE of it), tried at each of up to CONSENSUS segments' own: a
    voice over the line moves it in most segments of a sentence, but each
    time elsewhere, while the pauses all agree."""
    a = z * np.exp(-2j * np.pi * df * centres)
    alive = a[live]
    tries = alive[:: max(1, alive.shape[0] // CONSENSUS)]
    with np.errstate(invalid="ignore"):
        near = np.abs(alive[None, :] - tries[:, None]) <= TOLERANCE * np.abs(tries)[:, None]
    best = int(np.argmax(near.sum(axis=1)))
    agree = alive[near[best]]
    centre = np.median(agree.real) + 1j * np.median(agree.imag)
    steady = live & (np.abs(a - centre) <= TOLERANCE * abs(centre))
    return float(steady.sum()) / float(live.sum()), a, steady


def _fit(z: np.ndarray, live: np.ndarray, df: float,
         centres: np.ndarray, step_s: float) -> Tuple[float, np.ndarray, np.ndarray, float]:
    """_steady at `df`, then again at the drift the steady segments alone
    advance at; the better of the two, and its drift."""
    first = _steady(z, live, df, centres)
    a, steady = first[1], first[2]
    both = steady[1:] & steady[:-1]
    if both.sum() < MIN_PAIRS:
        return (*first, df)
    df2 = df + float(np.median(np.angle(a[1:] * np.conj(a[:-1]))[both])) / (2.0 * np.pi * step_s)
    second = _steady(z, live, df2, centres)
    return (*second, df2) if second[0] >= first[0] else (*first, df)


def _lines(coef: np.ndarray, energy: np.ndarray, around: np.ndarray, freqs: np.ndarray,
           step_s: float, length_s: float, rms: float) -> Optional[np.ndarray]:
    """The frequencies of the hum lines among the candidates `freqs`, from
    their complex amplitudes `coef` (K, S) per segment and the magnitudes
    beside them `around` (K, S); None for none."""
    live = energy > 0.0
    pairs = live[1:] & live[:-1]
    if live.sum() < MIN_PAIRS + 1 or pairs.sum() < MIN_PAIRS or rms <= 0.0:
        return None
    centres = np.arange(coef.shape[1]) * step_s + 0.5 * length_s
    drift = np.full(freqs.shape[0], np.nan)
    for k in range(freqs.shape[0]):
        prod = (coef[k, 1:] * np.conj(coef[k, :-1]))[pairs]
        size = np.abs(prod)
        # Where the advance from segment to segment is as random as a
        # voice's or noise's, there is no line (the test is cheap, the fit
        # is not).
        if not (size > 0.0).all() or abs(np.mean(prod / size)) < CONSISTENCY:
            continue
        # The median advance: segments where a voice or a note passes near
        # the line's frequency advance at the note's rate, however loud,
        # and the hum has more than half the segments to itself.
        drift[k] = np.median(np.angle(prod)) / (2.0 * np.pi * step_s)
    fits = []
    for k in range(freqs.shape[0]):
        ok = np.isfinite(drift[k]) and abs(drift[k]) <= MAX_DRIFT_HZ
        fit = _fit(coef[k], live, drift[k], centres, step_s) if ok else (0.0, None, None, 0.0)
        fits.append(fit[:3])
        drift[k] = fit[3]
    share = [f[0] for f in fits]
    # The mains frequency drifts for all its harmonics at once: a line a
    # note covers half the time takes the drift of its family's steadiest
    # line, whose own estimate the note would have pulled.
    for family in MAINS_HZ:
        members = [k for k in range(freqs.shape[0])
                   if abs(freqs[k] / family - round(freqs[k] / family)) < 1e-9]
        anchor = max(members, key=lambda k: fits[k][0], default=None)
        if anchor is None or fits[anchor][0] < STEADY_SHARE:
            continue
        rate = drift[anchor] / freqs[anchor]
        for k in members:
            # Every harmonic at the anchor's drift: a harmonic's own
            # estimate is pulled by the voice around it, and a phase off by
            # a few hundredths of a hertz leaves half the line after a few
            # seconds.
            fits[k] = _steady(coef[k], live, rate * freqs[k], centres)
            drift[k] = rate * freqs[k]
            share[k] = fits[k][0]
            # A harmonic a voice covers most of the time (a low voice
            # near 100 Hz) is still the same hum when its fundamental
            # is steady and it holds still for a good part of the signal.
            if k != anchor and share[k] >= FAMILY_SHARE:
                share[k] = STEADY_SHARE
    kept = set()
    for k, (_, a, steady) in enumerate(fits):
        if share[k] < STEADY_SHARE:
            continue
        level = abs(np.median(a[steady].real) + 1j * np.median(a[steady].imag))
        # Where it is steady, a line stands out of the spectrum around it;
        # noise, however steady it happens to look over a few segments,
        # does not.
        if level < LEAST_LEVEL * rms or level < SALIENCE * np.median(around[k, steady]):
            continue
        kept.add(k)
    # A harmonic is hum only beside its mains fundamental: a steady tone at
    # 100, 120 or 150 Hz alone is a signal (a test tone, a held note), and
    # taking it out would leave nothing to track.
    fundamental = {family: int(np.argmin(np.abs(freqs - family))) for family in MAINS_HZ}
    found = [freqs[k] + drift[k] for k in sorted(kept)
             if any(fundamental[f] in kept and abs(freqs[k] / f - round(freqs[k] / f)) < 1e-9
                    for f in MAINS_HZ)]
    return np.array(found) if found else None


def gains(hum: Hum, sos: Optional[np.ndarray], sr: float) -> np.ndarray:
    """Each line's gain through the zero-phase high-pass `sos` (None: 1)."""
    if sos is None:
        return np.ones(hum.freqs.shape[0])
    return np.abs(_frontend.response(sos, hum.freqs, sr)) ** 2
