"""Synthetic test signals with known F0 contours.

Everything here is generated from a fixed seed, so the evaluation corpus and
the demo signal are the same on every machine and nothing is downloaded.
Two sources: a plain harmonic series with a 1/k spectrum, and a vowel-like
voice whose harmonics are weighted by a glottal tilt and three formant
resonances. Both are synthesised additively with a phase that integrates
the F0 contour, so the reference F0 is exact at every sample.
"""
from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

__all__ = ["Example", "corpus", "demo_example", "synthesize"]

# Formant centre frequencies and bandwidths in Hz of three vowels (adult
# averages); enough to give each a distinct spectral envelope.
VOWELS: Dict[str, Tuple[Tuple[float, float], ...]] = {
    "a": ((730.0, 90.0), (1090.0, 110.0), (2440.0, 160.0)),
    "i": ((270.0, 60.0), (2290.0, 100.0), (3010.0, 150.0)),
    "u": ((300.0, 60.0), (870.0, 90.0), (2240.0, 150.0)),
}

REFERENCE_HOP = 0.001  # seconds between reference F0 values
RAMP_SECONDS = 0.015  # onset/offset of each voiced stretch, so gaps don't click


@dataclass(frozen=True, eq=False)
class Example:
    """One test signal and its ground truth.

    ``ref_f0`` is sampled every millisecond from 0 (``ref_times``) and is 0
    where the signal is unvoiced.
    """

    name: str
    y: np.ndarray
    sr: int
    ref_times: np.ndarray
    ref_f0: np.ndarray
    description: str = ""
    snr_db: float = math.inf

    @property
    def duration(self) -> float:
        return self.y.shape[0] / self.sr

    def reference_at(self, times: np.ndarray) -> np.ndarray:
        """Reference F0 in Hz at `times` (nearest reference sample), 0 if unvoiced."""
        idx = np.clip(np.rint(np.asarray(times) / REFERENCE_HOP).astype(np.int64),
                      0, self.ref_f0.shape[0] - 1)
        return self.ref_f0[idx]


# --------------------------------------------------------------------------
# Contours: functions of time in seconds giving F0 in Hz


def steady(base: float) -> Callable[[np.ndarray], np.ndarray]:
    return lambda t: base * (1.0 + 0.01 * np.sin(2 * np.pi * 0.7 * t))


def glide(start: float, end: float, duration: float) -> Callable[[np.ndarray], np.ndarray]:
    return lambda t: start * (end / start) ** np.clip(t / duration, 0.0, 1.0)


def vibrato(base: float, rate: float = 5.5, cents: float = 60.0) -> Callable[[np.ndarray], np.ndarray]:
    return lambda t: base * 2.0 ** (cents / 1200.0 * np.sin(2 * np.pi * rate * t))


def octave_jump(base: float, at: float, up: bool) -> Callable[[np.ndarray], np.ndarray]:
    factor = 2.0 if up else 0.5
    return lambda t: np.where(t < at, base, base * factor) * (1 + 0.005 * np.sin(2 * np.pi * t))


def intonation(base: float, seed: int) -> Callable[[np.ndarray], np.ndarray]:
    """A speech-like contour: declination plus a few slow random excursions."""
    rng = np.random.default_rng(seed)
    rates = rng.uniform(0.8, 3.0, 3)
    phases = rng.uniform(0, 2 * np.pi, 3)
    depths = rng.uniform(80.0, 200.0, 3)  # cents

    def f(t: np.ndarray) -> np.ndarray:
        cents = -150.0 * t + sum(d * np.sin(2 * np.pi * r * t + p)
                                 for d, r, p in zip(depths, rates, phases))
        return base * 2.0 ** (cents / 1200.0)
    return f


# --------------------------------------------------------------------------
# Synthesis


def _formant_gain(freqs: np.ndarray, formants: Sequence[Tuple[float, float]]) -> np.ndarray:
    gain = np.ones_like(freqs)
    for fc, bw in formants:
        # Magnitude of a two-pole resonator, unity at 0 Hz.
        gain *= fc * fc / np.sqrt((fc * fc - freqs * freqs) ** 2 + (bw * freqs) ** 2)
    return gain


def synthesize(f0: np.ndarray, sr: float, *, source: str = "harmonic",
               weak_fundamental: bool = False) -> np.ndarray:
    """Additive synthesis of a harmonic tone following `f0` (Hz per sample).

    source "harmonic" gives amplitudes 1/k; "vowel:a", "vowel:i", "vowel:u"
    a glottal tilt of 1/k**1.5 shaped by the vowel's formants. Harmonics above
    0.45 * sr are left out sample by sample, so nothing aliases.
    """
    phase = 2 * np.pi * np.cumsum(f0) / sr
    out = np.zeros_like(f0)
    formants = VOWELS[source.split(":")[1]] if source.startswith("vowel") else None
    n_harm = int(0.45 * sr / max(float(f0.min()), 1.0))
    for k in range(1, n_harm + 1):
        fk = k * f0
        audible = fk < 0.45 * sr
        if not audible.any():
            break
        if formants is None:
            amp = np.full_like(f0, 1.0 / k)
        else:
            amp = _formant_gain(fk, formants) / k ** 1.5
        if k == 1 and weak_fundamental:
            amp = amp * 0.05
        # A fixed phase per harmonic keeps the waveform from being a pulse train.
        out += np.where(audible, amp, 0.0) * np.sin(k * phase + 0.7 * k * k)
    return out / max(float(np.max(np.abs(out))), 1e-12)


def _envelope(voiced: np.ndarray, sr: float) -> np.ndarray:
    ramp = max(1, int(RAMP_SECONDS * sr))
    kernel = np.ones(2 * ramp) / (2 * ramp)
    return np.convolve(voiced.astype(float), kernel, mode="same") * voiced


def _rms(x: np.ndarray) -> float:
    return float(np.sqrt(np.mean(x * x))) if x.size else 0.0


def make_example(name: str, *, sr: int, duration: float, contour: Callable,
                 source: str = "harmonic", gaps: Sequence[Tuple[float, float]] = (),
                 gap_fill: str = "silence", snr_db: float = math.inf, seed: int = 0,
                 weak_fundamental: bool = False, description: str = "") -> Example:
    """Render one example: the tone, its unvoiced gaps and additive white noise."""
    rng = np.random.default_rng(seed)
    n = int(round(duration * sr))
    t = np.arange(n) / sr
    f0 = contour(t).astype(np.float64)
    voiced = np.ones(n, dtype=bool)
    for a, b in gaps:
        voiced[(t >= a) & (t < b)] = False
    y = synthesize(f0, sr, source=source, weak_fundamental=weak_fundamental)
    y *= 0.5 * _envelope(voiced, sr)
    level = _rms(y[voiced])
    if gap_fill == "noise" and not voiced.all():
        # A fricative: high-passed noise well below the vowel's level.
        hiss = np.diff(rng.standard_normal(n + 1))
        hiss *= 0.25 * level / _rms(hiss) * _envelope(~voiced, sr)
        y += hiss
    if math.isfinite(snr_db):
        noise = rng.standard_normal(n)
        y += noise * (level / _rms(noise) * 10.0 ** (-snr_db / 20.0))
    ref_times = np.arange(0.0, duration, REFERENCE_HOP)
    idx = np.minimum((ref_times * sr).round().astype(np.int64), n - 1)
    ref_f0 = np.where(voiced[idx], f0[idx], 0.0)
    return Example(name=name, y=y, sr=sr, ref_times=ref_times, ref_f0=ref_f0,
                   description=description, snr_db=snr_db)


def corpus(quick: bool = False) -> List[Example]:
    """The evaluation corpus: 20 signals of 1.6 s (8 with ``quick=True``).

    The combinations rotate through two sources (plain harmonic and three
    vowels), five contours (steady, glide, vibrato, octave jump, intonation),
    five sampling rates (8-48 kHz), four noise levels (clean, 20, 10, 0 dB SNR),
    F0 from 80 to 400 Hz, and unvoiced gaps of silence or fricative noise.
    """
    rates = (16000, 44100, 8000, 22050, 48000)
    snrs = (math.inf, 20.0, 10.0, math.inf, 0.0, 20.0, math.inf, 10.0)
    bases = (85.0, 120.0, 180.0, 240.0, 330.0, 100.0, 150.0, 210.0, 280.0, 390.0)
    sources = ("harmonic", "vowel:a", "vowel:i", "vowel:u")
    contours = ("steady", "glide", "vibrato", "octave", "intonation")
    duration = 1.6
    examples = []
    count = 8 if quick else 20
    for i in range(count):
        base = bases[i % len(bases)]
        kind = contours[i % len(contours)]
        sr = rates[(i + i // 5) % len(rates)]
        snr = snrs[i % len(snrs)]
        source = sources[(i // 2) % len(sources)]
        if kind == "steady":
            contour = steady(base)
        elif kind == "glide":
            contour = glide(base, base * (1.6 if base < 250 else 0.6), duration)
        elif kind == "vibrato":
            contour = vibrato(base)
        elif kind == "octave":
            contour = octave_jump(base, 0.8, up=base < 200)
        else:
            contour = intonation(base, seed=i)
        gap_kind = ("none", "silence", "noise")[i % 3]
        gaps = () if gap_kind == "none" else ((0.55, 0.8), (1.25, 1.35))
        weak = i % 7 == 3
        noise = "clean" if not math.isfinite(snr) else f"{snr:g}dB"
        name = (f"{i:02d}-{source.replace(':', '-')}-{kind}-{base:g}Hz-{sr // 1000}k-"
                f"{noise}{'-gaps-' + gap_kind if gaps else ''}{'-weakH1' if weak else ''}")
        ex = make_example(
            name, sr=sr, duration=duration, contour=contour, source=source, gaps=gaps,
            gap_fill=gap_kind, snr_db=snr, seed=1000 + i, weak_fundamental=weak,
            description=f"{source} {kind} around {base:g} Hz at {sr} Hz, {noise}")
        if i % 2:
            # A recording's polarity is arbitrary; half the corpus is inverted so
            # no half-wave is favoured by the synthesis.
            ex = dataclasses.replace(ex, name=ex.name + "-inverted", y=-ex.y,
                                     description=ex.description + ", inverted")
        examples.append(ex)
    return examples


def demo_contour(t: np.ndarray) -> np.ndarray:
    """The demo's F0 in Hz: a rising glide, a vibrato held note, a fall."""
    rise = 110.0 * 1.5 ** np.clip(t / 1.0, 0, 1)
    held = 200.0 * 2.0 ** (50.0 / 1200.0 * np.sin(2 * np.pi * 5.5 * (t - 1.25)))
    fall = 185.0 * (120.0 / 185.0) ** np.clip((t - 2.2) / 0.8, 0, 1)
    return np.where(t < 1.1, rise, np.where(t < 2.2, held, fall))


def demo_example(sr: int = 16000, duration: float = 3.0) -> Example:
    """A 3 s vowel /a/ at 16 kHz: glide 110-165 Hz, a fricative gap, vibrato
    around 200 Hz, a fall to 120 Hz; 25 dB SNR."""
    return make_example(
        "demo", sr=sr, duration=duration, contour=demo_contour, source="vowel:a",
        gaps=((1.1, 1.3),), gap_fill="noise", snr_db=25.0, seed=7,
        description=("synthetic vowel /a/: glide 110-165 Hz, 0.2 s fricative, "
                     "vibrato around 200 Hz, fall to 120 Hz, 25 dB SNR"))
