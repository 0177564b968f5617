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
from dataclasses import dataclass
from typing import Any, List, Optional, Tuple

import numpy as np

MAINS_HZ = (50.0, 60.0)
HARMONICS = 3               # per mains frequency: the strong ones
SEGMENT_SECONDS = 0.25
MAX_DRIFT_HZ = 0.2          # mains frequency stays this close to nominal
TOLERANCE = 0.35            # a segment within this share of the line's amplitude is steady
STEADY_SHARE = 0.5          # a line is steady in at least this share of the segments
FAMILY_SHARE = 0.25         # ... or this share, the same mains frequency being steady
LEAST_LEVEL = 1e-2          # a line weaker than this, relative to the signal's RMS, is left
MIN_PAIRS = 4               # independent segment pairs a decision needs
SMOOTH_SEGMENTS = 17        # window of the amplitudes' weighted mean, in segments
CONSENSUS = 64             # segments whose amplitude is tried as the line's
CHUNK_SAMPLES = 1 << 17     # about this many samples read at a time


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
    energies = np.zeros((n_rows, n_seg))
    power = np.zeros(n_rows)
    chunk = max(1, CHUNK_SAMPLES // length)
    for s0 in range(0, n_seg, chunk):
        s1 = min(s0 + chunk, n_seg)
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
            energies[c, s0:s1] = energy
            power[c] += energy.sum()
    hums: List[Optional[Hum]] = []
    for c in range(n_rows):
        rms = float(np.sqrt(power[c] / (n_seg * length)))
        hums.append(_lines(coef[c], energies[c], freqs, step / sr, length / sr, rms))
    return hums


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


def _lines(coef: np.ndarray, energy: np.ndarray, freqs: np.ndarray, step_s: float,
           length_s: float, rms: float) -> Optional[Hum]:
    live = energy > 0.0
    pairs = live[1:] & live[:-1]
    if live.sum() < MIN_PAIRS + 1 or pairs.sum() < MIN_PAIRS or rms <= 0.0:
        return None
    centres = np.arange(coef.shape[1]) * step_s + 0.5 * length_s
    drift = np.full(freqs.shape[0], np.nan)
    for k in range(freqs.shape[0]):
        prod = (coef[k, 1:] * np.conj(coef[k, :-1]))[pairs]
        if (np.abs(prod) > 0.0).all():
            # The median advance: segments where a voice or a note passes
            # near the line's frequency advance at the note's rate, however
            # loud, and the hum has more than half the segments to itself.
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
        members = [k for k in range(freqs.shape[0]) if _family(freqs[k]) == family]
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
    found, amps = [], []
    for k, (_, a, steady) in enumerate(fits):
        if share[k] < STEADY_SHARE:
            continue
        level = abs(np.median(a[steady].real) + 1j * np.median(a[steady].imag))
        if level < LEAST_LEVEL * rms:
            continue
        found.append(freqs[k] + drift[k])
        amps.append(_smooth(a, energy))
    if not found:
        return None
    return Hum(freqs=np.array(found), centres=centres, amplitudes=np.array(amps))


def _family(freq: float) -> float:
    """The mains frequency a candidate line is a harmonic of (50 first)."""
    return next(f for f in MAINS_HZ if abs(freq / f - round(freq / f)) < 1e-9)


def _smooth(a: np.ndarray, energy: np.ndarray) -> np.ndarray:
    """The line's amplitude per segment: the mean over SMOOTH_SEGMENTS
    around it, each segment weighted by the inverse of its energy. A voice
    over the line disturbs its amplitude in proportion to the voice's own
    energy, so the pauses, which the hum has to itself, count most."""
    with np.errstate(divide="ignore"):
        w = np.where(energy > 0.0, 1.0 / energy, 0.0)
    w = w / w.max()
    num = _window_sums(np.where(w > 0.0, a, 0.0) * w)
    den = _window_sums(w)
    good = den > 0.0
    out = np.where(good, num / np.where(good, den, 1.0), 0.0)
    if not good.all():
        idx = np.flatnonzero(good)
        at = np.arange(a.shape[0])
        out = np.interp(at, idx, out[idx].real) + 1j * np.interp(at, idx, out[idx].imag)
    return out


def _window_sums(v: np.ndarray) -> np.ndarray:
    """Sums of `v` over SMOOTH_SEGMENTS centred on each element, cut at the ends."""
    half = SMOOTH_SEGMENTS // 2
    total = np.concatenate(([0.0], np.cumsum(v)))
    at = np.arange(v.shape[0])
    return total[np.minimum(at + half + 1, v.shape[0])] - total[np.maximum(at - half, 0)]


def gains(hum: Hum, sos: Optional[np.ndarray], sr: float) -> np.ndarray:
    """Each line's gain through the zero-phase high-pass `sos` (None: 1)."""
    if sos is None:
        return np.ones(hum.freqs.shape[0])
    from scipy.signal import sosfreqz

    _, h = sosfreqz(sos, worN=hum.freqs, fs=sr)
    return np.abs(h) ** 2
