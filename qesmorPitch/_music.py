"""Monophonic music with known pitch: melodies written as MIDI, rendered by
FluidSynth with the General MIDI soundfont, truth from the notes and bends.

Each melody is made from a seed: steps, octave leaps, repeated notes, rests,
one note bent up and back and one with a bent vibrato, the bend range
declared to the synthesiser (RPN 0) before any bend. Frames within 50 ms of
a note's start or end are not scored (attacks and releases have no single
pitch), nor are release tails above the silence floor after a note ends, nor
frames far below the excerpt's peak. Melodies and instruments are split
between the tuning and held-out parts.

Building needs mido (PyPI), fluidsynth and fluid-soundfont-gm (Debian).
"""
from __future__ import annotations

import math
import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterable, List, Optional, Sequence, Tuple

import numpy as np

from ._realcorpus import PEAK, TRUTH_HOP, Item, build

SOUNDFONT = Path("/usr/share/sounds/sf2/FluidR3_GM.sf2")
MUSIC_RATES = (44100, 16000)
MUSIC_FMIN, MUSIC_FMAX = 40.0, 1000.0
EDGE_SECONDS = 0.050  # around every note on and off
FLOOR_DB = 50.0  # a release tail is scored as unvoiced once this far below the peak
BEND_RANGE = 2  # semitones at full pitch-wheel deflection, declared by RPN 0
TICKS = 480  # per beat; 120 beats a minute, so a tick is 1/960 s
RECIPE_VERSION = 1

# (group, GM program (0-based), lowest and highest MIDI note, split).
# Each part has a voice, two woodwinds, brass, a bowed string, a piano,
# a guitar and a bass; the highest notes stay below 1000 Hz (B5 = 988 Hz).
INSTRUMENTS: Tuple[Tuple[str, int, int, int, str], ...] = (
    ("choir aahs", 52, 48, 74, "tune"),
    ("flute", 73, 67, 83, "tune"),
    ("clarinet", 71, 50, 77, "tune"),
    ("trumpet", 56, 55, 79, "tune"),
    ("violin", 40, 55, 83, "tune"),
    ("acoustic piano", 0, 36, 76, "tune"),
    ("nylon guitar", 24, 40, 71, "tune"),
    ("acoustic bass", 32, 28, 52, "tune"),
    ("voice oohs", 53, 48, 74, "heldout"),
    ("oboe", 68, 58, 83, "heldout"),
    ("alto sax", 65, 49, 75, "heldout"),
    ("trombone", 57, 40, 65, "heldout"),
    ("cello", 42, 36, 67, "heldout"),
    ("bright piano", 1, 36, 76, "heldout"),
    ("steel guitar", 25, 40, 71, "heldout"),
    ("fingered bass", 33, 28, 52, "heldout"),
)
MELODY_SEEDS = {"tune": (11, 12), "heldout": (21, 22)}


@dataclass(frozen=True)
class Note:
    """One note: start and end in seconds, MIDI pitch, and its bend as
    (offset from the start in s, pitch-wheel value -8192..8191) pairs."""

    start: float
    end: float
    pitch: int
    bends: Tuple[Tuple[float, int], ...] = ()

    def f0(self, t: np.ndarray) -> np.ndarray:
        """F0 in Hz at times `t` inside the note, the last bend sent before
        each time in force (the synthesiser applies a bend when it arrives)."""
        semis = np.full(np.shape(t), float(self.pitch) - 69.0)
        if self.bends:
            at = np.array([self.start + b[0] for b in self.bends])
            val = np.array([b[1] for b in self.bends], dtype=np.float64)
            k = np.searchsorted(at, t, side="right") - 1
            semis += np.where(k >= 0, val[np.maximum(k, 0)] / 8192.0 * BEND_RANGE, 0.0)
        return 440.0 * 2.0 ** (semis / 12.0)


def melody(seed: int, low: int, high: int) -> List[Note]:
    """About 8 s of monophonic melody between MIDI notes `low` and `high`."""
    rng = np.random.default_rng(seed)
    span = high - low
    pitch = low + span // 3
    t = 0.1
    notes: List[Note] = []
    bent = vibrato = False
    scale = (0, 2, 4, 5, 7, 9, 11)
    for i in range(12):
        r = rng.random()
        if r < 0.15 and pitch + 12 <= high:
            pitch += 12  # octave leap up
        elif r < 0.3 and pitch - 12 >= low:
            pitch -= 12  # and down
        elif r < 0.45:
            pass  # repeated note
        else:
            step = int(rng.choice((-2, -1, 1, 2)))
            degree = (pitch - low) % 12
            nearest = min(scale, key=lambda s: abs(s - degree))
            pitch = int(np.clip(pitch - degree + nearest + step, low, high))
        length = float(rng.choice((0.25, 0.3, 0.4, 0.6)))
        bends: Tuple[Tuple[float, int], ...] = ()
        if not bent and i >= 3 and pitch + BEND_RANGE <= high:
            # Up a whole tone over 0.3 s, held, and back over 0.3 s.
            length, bent = 1.2, True
            up = [(0.2 + 0.01 * k, int(round(8191 * k / 30))) for k in range(31)]
            down = [(0.8 + 0.01 * k, int(round(8191 * (30 - k) / 30))) for k in range(31)]
            bends = tuple(up + down)
        elif bent and not vibrato and i >= 7 and low + 1 <= pitch <= high - 1:
            # A 5.5 Hz vibrato of +-40 cents made with the wheel.
            length, vibrato = 1.2, True
            depth = 0.4 / BEND_RANGE
            bends = tuple((0.01 * k, int(round(8191 * depth * math.sin(2 * math.pi * 5.5 * 0.01 * k))))
                          for k in range(int(length / 0.01)))
            bends += ((length - 0.005, 0),)
        notes.append(Note(t, t + length, pitch, bends))
        # Legato with a short lift, or a rest of 0.4 s every so often.
        t += length + (0.4 if rng.random() < 0.2 else 0.03)
    return notes


def midi_bytes(notes: Sequence[Note], program: int) -> bytes:
    """A type-0 MIDI file of `notes` on channel 0 with `program`."""
    import io

    import mido

    mid = mido.MidiFile(type=0, ticks_per_beat=TICKS)
    track = mido.MidiTrack()
    mid.tracks.append(track)
    events: List[Tuple[float, int, mido.Message]] = []
    # Bend range first (RPN 0, then the null RPN so later data entry is inert).
    setup = [mido.Message("program_change", program=program),
             mido.Message("control_change", control=101, value=0),
             mido.Message("control_change", control=100, value=0),
             mido.Message("control_change", control=6, value=BEND_RANGE),
             mido.Message("control_change", control=38, value=0),
             mido.Message("control_change", control=101, value=127),
             mido.Message("control_change", control=100, value=127),
             mido.Message("pitchwheel", pitch=0)]
    for n in notes:
        # Order within one instant: a bend reset and note off before a note on.
        # A soundfont's release can outlast the lift between two notes and
        # sound under the next one; silencing it first keeps the line
        # monophonic, as a player's single voice is.
        events.append((n.start, 2, mido.Message("control_change", control=120, value=0)))
        events.append((n.start, 2, mido.Message("note_on", note=n.pitch, velocity=96)))
        events.append((n.end, 1, mido.Message("note_off", note=n.pitch, velocity=0)))
        for dt, value in n.bends:
            events.append((n.start + dt, 3, mido.Message("pitchwheel", pitch=value)))
        if n.bends:
            events.append((n.end, 0, mido.Message("pitchwheel", pitch=0)))
    events.sort(key=lambda e: (e[0], e[1]))
    seconds_per_tick = 0.5 / TICKS
    for msg in setup:
        track.append(msg.copy(time=0))
    now = 0
    for at, _, msg in events:
        tick = int(round(at / seconds_per_tick))
        track.append(msg.copy(time=tick - now))
        now = tick
    # A second of silence after the last note, for its release.
    track.append(mido.MetaMessage("end_of_track", time=int(1.0 / seconds_per_tick)))
    buf = io.BytesIO()
    mid.save(file=buf)
    return buf.getvalue()


def render(midi: bytes, sr: int, tmp: Path) -> np.ndarray:
    """FluidSynth's rendering of `midi` at `sr`, mono, without reverb or
    chorus (both would smear the notes into each other)."""
    from ._realcorpus import _read_wav

    mid, wav = tmp / "m.mid", tmp / "m.wav"
    mid.write_bytes(midi)
    subprocess.run(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-g", "0.5",
                    "-r", str(sr), "-F", str(wav), str(SOUNDFONT), str(mid)],
                   check=True, capture_output=True)
    y, got = _read_wav(wav)
    if got != sr:
        raise RuntimeError(f"fluidsynth rendered at {got} Hz, asked for {sr}")
    return y


def truth(notes: Sequence[Note], y: np.ndarray, sr: int) -> np.ndarray:
    """F0 per 10 ms frame: the sounding note's, 0 where no note sounds and
    the level is below the floor, NaN near note edges and in loud tails."""
    n = int(math.ceil(y.shape[0] / sr / TRUTH_HOP))
    t = np.arange(n) * TRUTH_HOP
    f0 = np.zeros(n)
    sounding = np.zeros(n, dtype=bool)
    for note in notes:
        inside = (t >= note.start) & (t < note.end)
        f0[inside] = note.f0(t[inside])
        sounding |= inside
    half = int(round(TRUTH_HOP * sr))
    power = np.concatenate(([0.0], np.cumsum(np.asarray(y, dtype=np.float64) ** 2)))
    centre = np.minimum(np.arange(n) * half, y.shape[0])
    lo, hi = np.clip(centre - half, 0, y.shape[0]), np.clip(centre + half, 0, y.shape[0])
    level = (power[hi] - power[lo]) / np.maximum(hi - lo, 1)
    quiet = level < level.max() * 10.0 ** (-FLOOR_DB / 10.0)
    out = np.where(sounding, f0, 0.0)
    out[sounding & quiet] = np.nan
    out[~sounding & ~quiet] = np.nan  # a release tail: neither clearly voiced nor silent
    for note in notes:
        for edge in (note.start, note.end):
            out[np.abs(t - edge) < EDGE_SECONDS] = np.nan
    return out


def missing_music_tools() -> List[str]:
    missing = []
    try:
        import mido  # noqa: F401
    except ImportError:
        missing.append("mido (pip install 'qesmorPitch[eval]')")
    if shutil.which("fluidsynth") is None:
        missing.append("fluidsynth (apt-get install fluidsynth)")
    if not SOUNDFONT.exists():
        missing.append("the General MIDI soundfont (apt-get install fluid-soundfont-gm)")
    return missing


def music_sources() -> List[Tuple[str, str, str, int, List[Note], int]]:
    """(name, group, split, program, notes, rate) of every music item."""
    out = []
    for group, program, low, high, split in INSTRUMENTS:
        for j, seed in enumerate(MELODY_SEEDS[split]):
            notes = melody(seed, low, high)
            for rate in MUSIC_RATES:
                name = f"music-{group.replace(' ', '_')}-m{seed}-{rate // 1000}k"
                out.append((name, group, split, program, notes, rate))
    return out


def build_music(cache: Optional[os.PathLike] = None,
                log: Callable[[str], None] = print) -> Path:
    """Build (or confirm) the music corpus under ``cache/music``."""
    missing = missing_music_tools()
    if missing:
        raise RuntimeError("the music corpus needs " + ", ".join(missing))

    def items(tmp: Path) -> Iterable[Item]:
        for name, group, split, program, notes, rate in music_sources():
            y = render(midi_bytes(notes, program), rate, tmp)
            y = y * (PEAK / max(float(np.max(np.abs(y))), 1e-12))
            yield Item(name=name, kind="music", group=group, split=split, sr=rate, y=y,
                       f0=truth(notes, y, rate))
    return build("music", RECIPE_VERSION, items, cache, log)
