"""A corpus of real speech whose F0 is known exactly, and the faults of real
recordings applied to it.

Exact truth comes from resynthesis: a recording's F0 contour, spectral
envelope and aperiodicity are analysed with the WORLD vocoder (pyworld) and
the recording is resynthesised from that contour, so the contour is the F0 of
the new signal by construction (unvoiced where it is 0). The sources are the
spoken words that ship with Debian's alsa-utils, the sentence that ships with
pysptk, and espeak-ng speaking sentences in several languages with male,
female and child-like voices. espeak-ng's output goes through the same
analysis and resynthesis, at the utterance's own rate, so its truth is as
exact as the recordings'.

Building needs pyworld, espeak-ng and alsa-utils (README.md); loading and the
conditions need only NumPy and SciPy. The corpus is split by speaker (voice),
never within one, into a tuning part and a held-out part.
"""
from __future__ import annotations

import contextlib
import json
import math
import os
import shutil
import subprocess
import tempfile
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

TRUTH_HOP = 0.010  # seconds between truth frames, the first at t = 0
SPEECH_FMIN, SPEECH_FMAX = 50.0, 600.0
PEAK = 0.5  # every clean signal is scaled to this peak, leaving room for the faults
RATES = (16000, 22050, 44100)
# Bumped whenever a recipe changes, so a stale cache is rebuilt instead of read.
RECIPE_VERSION = 2
# A per-user cache, as other tools that build data once keep theirs.
DEFAULT_CACHE = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "qesmorPitch" / "corpus"
SPLITS = ("tune", "heldout")


def cache_dir(cache: Optional[os.PathLike] = None) -> Path:
    """The corpus cache: `cache`, else $QESMORPITCH_CORPUS, else ~/.cache/qesmorPitch/corpus."""
    return Path(cache or os.environ.get("QESMORPITCH_CORPUS") or DEFAULT_CACHE)


@dataclass(frozen=True, eq=False)
class Item:
    """One clean signal and its truth.

    ``f0[k]`` is the F0 in Hz at ``k * hop`` seconds: 0 where unvoiced, NaN
    where the frame is left out of scoring (near a note's start or end).
    """

    name: str
    kind: str  # "speech" or "music"
    group: str  # speaker, voice or instrument: the unit of the split
    split: str
    sr: int
    y: np.ndarray
    f0: np.ndarray
    hop: float = TRUTH_HOP

    @property
    def duration(self) -> float:
        return self.y.shape[0] / self.sr

    def truth_at(self, times: np.ndarray) -> np.ndarray:
        """The truth at arbitrary `times`: log-linear between two voiced truth
        frames, else the nearest frame's value; NaN past either end."""
        pos = np.asarray(times, dtype=np.float64) / self.hop
        n = self.f0.shape[0]
        near = np.rint(pos).astype(np.int64)
        inside = (near >= 0) & (near < n)
        out = np.full(pos.shape, np.nan)
        if n == 0:  # no truth frame to look up or to clip to
            return out
        out[inside] = self.f0[near[inside]]
        k0 = np.clip(np.floor(pos).astype(np.int64), 0, n - 1)
        k1 = np.minimum(k0 + 1, n - 1)
        a, b = self.f0[k0], self.f0[k1]
        both = inside & (a > 0) & (b > 0) & (out > 0)
        # Within [0, 1]: a time just before the first frame, rounded to it,
        # was extrapolated from the first two instead of given the first.
        w = np.clip(pos - k0, 0.0, 1.0)
        with np.errstate(divide="ignore", invalid="ignore"):
            mix = np.exp((1.0 - w) * np.log(a) + w * np.log(b))
        out[both] = mix[both]
        return out


def _save(path: Path, item: Item) -> None:
    # Whole or not at all: a build interrupted halfway leaves no truncated
    # item for a later load to stumble on.
    from ._audio import atomic_output

    with atomic_output(path, binary=True) as fh:
        np.savez(fh, y=item.y.astype(np.float32), f0=item.f0, sr=item.sr, hop=item.hop,
                 name=item.name, kind=item.kind, group=item.group, split=item.split)


def _load(path: Path) -> Item:
    with np.load(path) as z:
        return Item(name=str(z["name"]), kind=str(z["kind"]), group=str(z["group"]),
                    split=str(z["split"]), sr=int(z["sr"]), y=z["y"].astype(np.float64),
                    f0=z["f0"].astype(np.float64), hop=float(z["hop"]))


def load(kind: str = "speech", split: Optional[str] = None,
         cache: Optional[os.PathLike] = None) -> List[Item]:
    """The cached items of `kind` ("speech", "music" or "all"), of one split or both.

    Raises FileNotFoundError, naming the build command, when the cache is missing.
    """
    root = cache_dir(cache)
    kinds = ("speech", "music") if kind == "all" else (kind,)
    items: List[Item] = []
    for k in kinds:
        manifest = root / k / "manifest.json"
        if not manifest.exists():
            raise FileNotFoundError(
                f"no {k} corpus in {root}; build it with "
                f"`python -m qesmorPitch.evaluate --build-corpus --cache {root}`")
        names = json.loads(manifest.read_text())["items"]
        for name in names:
            item = _load(root / k / f"{name}.npz")
            if split is None or item.split == split:
                items.append(item)
    return items


# --------------------------------------------------------------------------
# Resynthesis


def resample(y: np.ndarray, sr_in: int, sr_out: int) -> np.ndarray:
    """Polyphase resampling (SciPy's Kaiser-windowed default), deterministic."""
    if sr_in == sr_out:
        return np.asarray(y, dtype=np.float64)
    from scipy.signal import resample_poly

    g = math.gcd(int(sr_in), int(sr_out))
    return resample_poly(np.asarray(y, dtype=np.float64), sr_out // g, sr_in // g)


def resynthesize(x: np.ndarray, sr: int, *, fmin: float = SPEECH_FMIN,
                 fmax: float = SPEECH_FMAX) -> Tuple[np.ndarray, np.ndarray]:
    """WORLD analysis (harvest, cheaptrick, d4c) and synthesis of `x` at `sr`.

    Returns the new signal, scaled to a peak of PEAK, and its F0 on the
    10 ms truth grid. The analysed contour is cleaned (clean_contour) before
    the synthesis, so the truth is the cleaned contour and stays exact.
    Harvest's range bounds the truth, so it never leaves the range the
    trackers are asked to search.
    """
    import pyworld

    x = np.ascontiguousarray(x, dtype=np.float64)
    period = TRUTH_HOP * 1000.0
    f0, t = pyworld.harvest(x, sr, f0_floor=fmin, f0_ceil=fmax, frame_period=period)
    sp = pyworld.cheaptrick(x, f0, t, sr)
    ap = pyworld.d4c(x, f0, t, sr)
    # D4C gives a frame it finds aperiodic an aperiodicity of 1 in every band,
    # and the synthesis then makes only noise there: such a frame is unvoiced
    # whatever harvest said.
    f0 = np.where(ap.min(axis=1) > 0.99, 0.0, f0)
    f0 = clean_contour(f0)
    y = pyworld.synthesize(f0, sp, ap, sr, frame_period=period)
    y = y * (PEAK / max(float(np.max(np.abs(y))), 1e-12))
    # Where a second analysis of the original disagrees by more than a
    # fifth, harvest has likely taken a sub- or super-octave; the envelope it
    # then estimated keeps the original's harmonic comb, so the new signal is
    # ambiguous between the two periods there and is not scored.
    other, _ = pyworld.dio(x, sr, f0_floor=fmin, f0_ceil=fmax, frame_period=period)
    other = pyworld.stonemask(x, other, t, sr)
    truth = faint_as_ignored(y, sr, f0)
    both = (f0 > 0) & (other > 0)
    ratio = np.divide(other, f0, out=np.ones_like(f0), where=both)
    truth[both & (np.abs(np.log2(ratio)) > math.log2(1.2))] = np.nan
    return y, truth


def _runs(voiced: np.ndarray) -> List[Tuple[int, int]]:
    """[start, stop) of every run of True."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], voiced.astype(np.int8), [0]))))
    return list(zip(edges[0::2].tolist(), edges[1::2].tolist()))


def clean_contour(f0: np.ndarray, *, max_gap: int = 2, min_run: int = 5) -> np.ndarray:
    """A speech-like contour from an analysed one: unvoiced gaps of up to
    `max_gap` frames inside voicing bridged, voiced runs shorter than
    `min_run` frames dropped, and each run's log F0 smoothed (5-frame median,
    then a 3-frame mean) so single-frame jumps of the analysis are not
    resynthesised as 10 ms pitch glitches that no tracker could follow."""
    f0 = np.asarray(f0, dtype=np.float64).copy()
    voiced = f0 > 0
    idx = np.arange(f0.shape[0])
    for a, b in _runs(~voiced):
        if 0 < a and b < f0.shape[0] and b - a <= max_gap:
            f0[a:b] = np.exp(np.interp(idx[a:b], [a - 1, b], np.log([f0[a - 1], f0[b]])))
    voiced = f0 > 0
    for a, b in _runs(voiced):
        if b - a < min_run:
            f0[a:b] = 0.0
            continue
        logf = np.log(f0[a:b])
        padded = np.pad(logf, 2, mode="edge")
        med = np.median(np.lib.stride_tricks.sliding_window_view(padded, 5), axis=1)
        f0[a:b] = np.exp(np.convolve(np.pad(med, 1, mode="edge"), np.ones(3) / 3, "valid"))
    return f0


FAINT_DB = 50.0


def faint_as_ignored(y: np.ndarray, sr: int, f0: np.ndarray) -> np.ndarray:
    """`f0` with its voiced frames more than FAINT_DB below the loudest frame
    set to NaN (left out of scoring). The vocoder carries voicing into the
    fade of a word at -70 dB and below, where no tracker, and no listener,
    can hear a pitch: counting those frames would score the truth's guess."""
    half = int(round(TRUTH_HOP * sr))
    power = np.concatenate(([0.0], np.cumsum(np.asarray(y, dtype=np.float64) ** 2)))
    centre = np.arange(f0.shape[0]) * half
    lo = np.clip(centre - half, 0, y.shape[0])
    hi = np.clip(centre + half, 0, y.shape[0])
    level = (power[hi] - power[lo]) / np.maximum(hi - lo, 1)
    floor = level.max() * 10.0 ** (-FAINT_DB / 10.0)
    out = f0.copy()
    out[(f0 > 0) & (level < floor)] = np.nan
    return out


# --------------------------------------------------------------------------
# Sources

ALSA_DIR = Path("/usr/share/sounds/alsa")
# Noise.wav in the same folder is not speech.
ALSA_WORDS = ("Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left",
              "Rear_Right", "Side_Left", "Side_Right")

SENTENCES: Dict[str, Tuple[str, ...]] = {
    "en": ("The rainbow is a division of white light into many beautiful colours.",
           "When the sunlight strikes raindrops in the air, they act as a prism.",
           "Many people have never heard the old man sing along with the radio.",
           "We were away a year ago, and we will leave again in the early morning.",
           "Please call Stella and ask her to bring these things with her from the store.",
           "She was really very angry when the long train arrived late at night."),
    "de": ("Der Nordwind und die Sonne stritten sich, wer von ihnen der Stärkere wäre.",
           "Ein Wanderer, der in einen warmen Mantel gehüllt war, kam des Weges daher.",
           "Wir wollen morgen früh mit dem Zug nach München fahren."),
    "fr": ("La bise et le soleil se disputaient, chacun assurant qu'il était le plus fort.",
           "Quand ils ont vu un voyageur qui s'avançait, enveloppé dans son manteau.",
           "Nous irons demain matin au marché pour acheter des légumes."),
    "es": ("El viento norte y el sol discutían sobre cuál de ellos era el más fuerte.",
           "Cuando pasó un viajero envuelto en una larga capa de lana.",
           "Mañana por la mañana iremos al mercado con mi hermana."),
    "it": ("La tramontana e il sole litigavano su chi dei due fosse il più forte.",
           "Quando videro un viaggiatore che veniva avanti avvolto nel mantello.",
           "Domani mattina andremo al mare con tutta la famiglia."),
    "pt": ("O vento norte e o sol discutiam qual dos dois era o mais forte.",
           "Quando apareceu um viajante envolto numa capa muito comprida.",
           "Amanhã de manhã vamos ao mercado comprar laranjas e maçãs."),
}

# (group, espeak-ng voice, pitch 0-99, language, split). Each part gets low
# and high male, female and child-like voices, and a Klatt voice; the
# languages are spread over both.
VOICES: Tuple[Tuple[str, str, int, str, str], ...] = (
    ("en-m3", "en-us+m3", 50, "en", "tune"),
    ("en-m7", "en-us+m7", 35, "en", "heldout"),
    ("en-f2", "en-us+f2", 50, "en", "tune"),
    ("en-f4", "en-gb+f4", 55, "en", "heldout"),
    ("en-klatt", "en-us+klatt", 45, "en", "tune"),
    ("en-klatt3", "en-gb+klatt3", 50, "en", "heldout"),
    ("en-child", "en-us+f5", 95, "en", "heldout"),
    ("es-child", "es+f2", 99, "es", "tune"),
    ("de-m2", "de+m2", 45, "de", "tune"),
    ("de-f3", "de+f3", 60, "de", "heldout"),
    ("fr-f1", "fr+f1", 60, "fr", "tune"),
    ("fr-m4", "fr+m4", 40, "fr", "heldout"),
    ("es-m1", "es+m1", 50, "es", "heldout"),
    ("it-klatt2", "it+klatt2", 50, "it", "heldout"),
    ("it-m6", "it+m6", 40, "it", "tune"),
    ("pt-f1", "pt+f1", 65, "pt", "tune"),
)
UTTERANCES_PER_VOICE = 3


def _read_wav(path: Path) -> Tuple[np.ndarray, int]:
    from scipy.io import wavfile

    sr, data = wavfile.read(str(path))
    x = data.astype(np.float64)
    if data.dtype.kind == "i":
        x /= float(np.iinfo(data.dtype).max)
    if x.ndim == 2:
        x = x.mean(axis=1)
    return x, int(sr)


def _espeak(text: str, voice: str, pitch: int, out: Path) -> None:
    subprocess.run(["espeak-ng", "-v", voice, "-p", str(pitch), "-s", "150", "-w", str(out),
                    text], check=True, capture_output=True)


def _pysptk_wav() -> Optional[Path]:
    try:
        import pysptk.util
    except ImportError:
        return None
    path = Path(pysptk.util.__file__).parent / "example_audio_data" / "arctic_a0007.wav"
    return path if path.exists() else None


def speech_sources() -> List[Tuple[str, str, str, Callable[[Path], Tuple[np.ndarray, int]], int]]:
    """Every speech source as (name, group, split, reader, rate): the reader
    writes what it needs under a scratch folder and returns samples and their
    rate; the rate is the one the item is resynthesised at."""
    sources = []
    for i, word in enumerate(ALSA_WORDS):
        path = ALSA_DIR / f"{word}.wav"
        sources.append((f"alsa-{word}", "alsa", "tune",
                        (lambda _tmp, p=path: _read_wav(p)), RATES[i % 3]))
    arctic = _pysptk_wav()
    if arctic is not None:
        for rate in (16000,):
            sources.append((f"arctic-a0007-{rate // 1000}k", "arctic", "heldout",
                            (lambda _tmp, p=arctic: _read_wav(p)), rate))
    n = 0
    for group, voice, pitch, lang, split in VOICES:
        texts = SENTENCES[lang]
        for j in range(UTTERANCES_PER_VOICE):
            text = texts[(n + j) % len(texts)]
            rate = RATES[(n + j) % 3]

            def reader(tmp: Path, text=text, voice=voice, pitch=pitch) -> Tuple[np.ndarray, int]:
                wav = tmp / "espeak.wav"
                _espeak(text, voice, pitch, wav)
                return _read_wav(wav)
            sources.append((f"espeak-{group}-{j}-{rate // 1000}k", group, split, reader, rate))
        n += UTTERANCES_PER_VOICE
    return sources


def missing_speech_tools() -> List[str]:
    missing = []
    try:
        import pyworld  # noqa: F401
    except ImportError:
        missing.append("pyworld (pip install 'qesmorPitch[eval]')")
    if shutil.which("espeak-ng") is None:
        missing.append("espeak-ng (apt-get install espeak-ng)")
    if not (ALSA_DIR / "Front_Center.wav").exists():
        missing.append("alsa-utils' spoken words (apt-get install alsa-utils)")
    return missing


def build(kind: str, version: int, make_items: Callable[[Path], Iterable[Item]],
          cache: Optional[os.PathLike] = None, log: Callable[[str], None] = print) -> Path:
    """Write the items `make_items(scratch folder)` yields under ``cache/kind``
    and list them in its manifest, unless a manifest of `version` is there."""
    root = cache_dir(cache) / kind
    root.mkdir(parents=True, exist_ok=True)
    manifest = root / "manifest.json"
    if manifest.exists() and json.loads(manifest.read_text()).get("version") == version:
        log(f"{kind} corpus up to date in {root}")
        return root
    # An older manifest goes first: a rebuild that stops halfway would
    # leave it listing old items and new ones alike, loaded as one corpus.
    with contextlib.suppress(FileNotFoundError):
        manifest.unlink()
    names = []
    with tempfile.TemporaryDirectory() as tmp:
        for item in make_items(Path(tmp)):
            _save(root / f"{item.name}.npz", item)
            names.append(item.name)
            log(f"  {item.name}: {item.duration:.2f} s at {item.sr} Hz, "
                f"{np.mean(item.f0 > 0):.0%} voiced, {np.mean(np.isnan(item.f0)):.0%} not scored")
    from ._audio import atomic_output

    # Renamed into place: a manifest cut short would fail every later run.
    with atomic_output(manifest) as fh:
        fh.write(json.dumps({"version": version, "items": names}, indent=1))
    return root


def build_speech(cache: Optional[os.PathLike] = None,
                 log: Callable[[str], None] = print) -> Path:
    """Build (or confirm) the speech corpus under ``cache/speech``."""
    missing = missing_speech_tools()
    if missing:
        raise RuntimeError("the speech corpus needs " + ", ".join(missing))

    def items(tmp: Path) -> Iterable[Item]:
        for name, group, split, reader, rate in speech_sources():
            x, sr_in = reader(tmp)
            y, f0 = resynthesize(resample(x, sr_in, rate), rate)
            yield Item(name=name, kind="speech", group=group, split=split, sr=rate, y=y, f0=f0)
    return build("speech", RECIPE_VERSION, items, cache, log)


# --------------------------------------------------------------------------
# Conditions: the faults of real recordings, applied to a clean item on the fly


def _seed(*parts: str) -> int:
    return zlib.crc32("/".join(parts).encode())


def active_rms(item: Item) -> float:
    """The RMS over the voiced truth frames' samples (all samples if none is
    voiced): the level that SNRs and hum levels are given against."""
    voiced = np.repeat(np.nan_to_num(item.f0) > 0, int(round(item.hop * item.sr)))
    voiced = np.resize(voiced, item.y.shape[0]) if voiced.size else voiced
    x = item.y[voiced] if voiced.size and voiced.any() else item.y
    return float(np.sqrt(np.mean(x * x))) if x.size else 0.0


def _scaled(noise: np.ndarray, item: Item, db_below: float) -> np.ndarray:
    rms = float(np.sqrt(np.mean(noise * noise)))
    return noise * (active_rms(item) / max(rms, 1e-300) * 10.0 ** (-db_below / 20.0))


def _babble(item: Item, pool: Sequence[Item], count: int = 5) -> np.ndarray:
    """Several other speakers' utterances of the same part, each at the same
    level, each looped from its own start offset to the item's length."""
    others = [p for p in pool if p.group != item.group and p.kind == "speech"]
    if not others:
        raise ValueError(f"babble for {item.name} needs utterances of other speakers")
    rng = np.random.default_rng(_seed(item.name, "babble"))
    picks = rng.choice(len(others), size=min(count, len(others)), replace=False)
    out = np.zeros(item.y.shape[0])
    for i in sorted(int(k) for k in picks):
        talker = resample(others[i].y, others[i].sr, item.sr)
        talker = talker / max(active_rms(others[i]), 1e-12)
        start = int(rng.integers(0, talker.shape[0]))
        out += np.resize(np.roll(talker, -start), out.shape[0])
    return out


def _hum(item: Item, freq: float, db_below: float) -> np.ndarray:
    # Mains hum carries its low harmonics too; the odd ones dominate.
    t = np.arange(item.y.shape[0]) / item.sr
    hum = (np.sin(2 * np.pi * freq * t) + 0.3 * np.sin(2 * np.pi * 3 * freq * t + 0.4)
           + 0.15 * np.sin(2 * np.pi * 2 * freq * t + 1.1))
    return _scaled(hum, item, db_below)


def _rumble(item: Item, db_below: float = 6.0) -> np.ndarray:
    """Handling and traffic rumble: noise below 25 Hz, strong as rumble is."""
    from scipy.signal import butter, sosfiltfilt

    rng = np.random.default_rng(_seed(item.name, "rumble"))
    sos = butter(4, 25.0, btype="lowpass", fs=item.sr, output="sos")
    noise = sosfiltfilt(sos, rng.standard_normal(item.y.shape[0] + 2 * item.sr))[item.sr:-item.sr]
    return _scaled(noise, item, db_below)


def _telephone(item: Item) -> Tuple[np.ndarray, int]:
    from scipy.signal import butter, sosfilt

    y = resample(item.y, item.sr, 8000)
    sos = butter(4, (300.0, 3400.0), btype="bandpass", fs=8000, output="sos")
    return sosfilt(sos, y), 8000


def _white(item: Item, snr: float) -> np.ndarray:
    rng = np.random.default_rng(_seed(item.name, "white"))
    return _scaled(rng.standard_normal(item.y.shape[0]), item, snr)


def _coloured(item: Item, snr: float, exponent: float, name: str) -> np.ndarray:
    """Noise whose power falls as 1 / f**exponent (pink 1, brown 2: wind,
    traffic, ventilation), flat below 20 Hz as a room's noise is, rather
    than growing without bound towards 0 Hz."""
    rng = np.random.default_rng(_seed(item.name, name))
    n = item.y.shape[0]
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.maximum(np.fft.rfftfreq(n, 1.0 / item.sr), 20.0)
    return _scaled(np.fft.irfft(spectrum * f ** (-exponent / 2.0), n), item, snr)


def _room(item: Item, rt60: float, drr_db: float) -> Tuple[np.ndarray, int]:
    """`item` heard in a room: its direct sound plus a diffuse tail whose
    level falls 60 dB in `rt60` seconds (white noise under an exponential
    envelope, a room's late reverberation), `drr_db` below the direct sound
    in energy. The truth stays the voice's: the tail that carries a vowel's
    pitch past its end is no voice."""
    from scipy.signal import fftconvolve

    rng = np.random.default_rng(_seed(item.name, "room"))
    n = max(int(round(rt60 * item.sr)), 2)
    tail = rng.standard_normal(n) * np.exp(-3.0 * math.log(10.0) * np.arange(n) / n)
    tail[0] = 0.0
    tail *= 10.0 ** (-drr_db / 20.0) / max(float(np.sqrt(np.sum(tail * tail))), 1e-300)
    tail[0] = 1.0
    y = fftconvolve(item.y, tail)[:item.y.shape[0]]
    return y * (np.max(np.abs(item.y)) / max(float(np.max(np.abs(y))), 1e-300)), item.sr


def _with(y_fn: Callable[[Item, Sequence[Item]], np.ndarray]) -> Callable[[Item, Sequence[Item]], Tuple[np.ndarray, int]]:
    return lambda item, pool: (item.y + y_fn(item, pool), item.sr)


CONDITIONS: Dict[str, Callable[[Item, Sequence[Item]], Tuple[np.ndarray, int]]] = {
    "clean": lambda item, pool: (item.y, item.sr),
    **{f"white {snr:g} dB": _with(lambda item, pool, s=snr: _white(item, s))
       for snr in (20.0, 10.0, 0.0)},
    **{f"babble {snr:g} dB": _with(lambda item, pool, s=snr: _scaled(_babble(item, pool), item, s))
       for snr in (20.0, 10.0, 0.0)},
    **{f"DC {pct:g} %": _with(lambda item, pool, p=pct: np.full(item.y.shape[0],
                                                                  p / 100.0 * np.max(np.abs(item.y))))
       for pct in (0.5, 2.0)},
    **{f"hum {freq:g} Hz {-db:g} dB": _with(lambda item, pool, f=freq, d=db: _hum(item, f, d))
       for freq in (50.0, 60.0) for db in (30.0, 20.0)},
    "pink 10 dB": _with(lambda item, pool: _coloured(item, 10.0, 1.0, "pink")),
    "brown 0 dB": _with(lambda item, pool: _coloured(item, 0.0, 2.0, "brown")),
    "rumble": _with(lambda item, pool: _rumble(item)),
    # Hard clipping at a third of the peak, as from an overdriven input stage.
    "clipped": lambda item, pool: (np.clip(item.y, -np.max(np.abs(item.y)) / 3,
                                           np.max(np.abs(item.y)) / 3), item.sr),
    "telephone 8 kHz": lambda item, pool: _telephone(item),
    # A small room near the microphone, and a larger one further away.
    "room 0.2 s": lambda item, pool: _room(item, 0.2, 10.0),
    "room 0.5 s": lambda item, pool: _room(item, 0.5, 3.0),
}
SPEECH_CONDITIONS = tuple(CONDITIONS)
MUSIC_CONDITIONS = ("clean", "white 20 dB", "DC 2 %", "hum 50 Hz -20 dB")


def apply(condition: str, item: Item, pool: Sequence[Item]) -> Tuple[np.ndarray, int]:
    """The signal and rate of `item` under `condition`; `pool` supplies the babble."""
    if condition not in CONDITIONS:
        raise ValueError(f"unknown condition {condition!r}; choose from {', '.join(CONDITIONS)}")
    return CONDITIONS[condition](item, pool)

