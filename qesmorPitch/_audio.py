"""Reading audio files and writing pitch tracks (CSV, JSON, NPZ)."""
from __future__ import annotations

import io
import json
import math
import os
import sys
import wave
from pathlib import Path
from typing import Any, Dict, List, Tuple, Union

import numpy as np

from ._track import PitchTrack

PathLike = Union[str, "os.PathLike[str]"]
FORMATS = ("csv", "json", "npz")


class AudioError(Exception):
    """A file that cannot be read as audio, with the reason in one line."""


def read_audio(path: PathLike) -> Tuple[np.ndarray, float]:
    """Samples of `path` as float64, shape (n,) or (channels, n), and the sampling rate.

    WAV and FLAC (and whatever else libsndfile reads) go through soundfile;
    without it, integer PCM WAV files are still read with the standard
    library.
    """
    path = Path(path)
    if not path.is_file():
        raise AudioError("no such file")
    try:
        import soundfile
    except ImportError:
        return _read_wav_stdlib(path)
    try:
        data, sr = soundfile.read(str(path), dtype="float64", always_2d=True)
    except Exception as exc:  # libsndfile reports every failure as RuntimeError/LibsndfileError
        raise AudioError(f"not a readable audio file ({_one_line(exc)})") from None
    return _channels_first(data), float(sr)


def _read_wav_stdlib(path: Path) -> Tuple[np.ndarray, float]:
    if path.suffix.lower() not in (".wav", ".wave"):
        raise AudioError(f"reading {path.suffix or 'these'} files needs soundfile: "
                         "pip install 'qesmorPitch[audio]'")
    try:
        with wave.open(str(path), "rb") as w:
            width, channels, sr = w.getsampwidth(), w.getnchannels(), w.getframerate()
            raw = w.readframes(w.getnframes())
    except (wave.Error, EOFError, OSError) as exc:
        raise AudioError(f"not a readable PCM WAV file ({_one_line(exc)}); "
                         "for other encodings pip install 'qesmorPitch[audio]'") from None
    if width == 1:  # 8-bit WAV is unsigned
        data = np.frombuffer(raw, dtype=np.uint8).astype(np.float64) - 128.0
    elif width == 3:
        b = np.frombuffer(raw, dtype=np.uint8).reshape(-1, 3).astype(np.int32)
        data = ((b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)) << 8 >> 8).astype(np.float64)
    elif width in (2, 4):
        data = np.frombuffer(raw, dtype=f"<i{width}").astype(np.float64)
    else:
        raise AudioError(f"{8 * width}-bit WAV samples are not supported without soundfile")
    data /= float(2 ** (8 * width - 1))
    return _channels_first(data.reshape(-1, channels)), float(sr)


def _channels_first(frames_by_channel: np.ndarray) -> np.ndarray:
    if frames_by_channel.shape[1] == 1:
        return np.ascontiguousarray(frames_by_channel[:, 0])
    return np.ascontiguousarray(frames_by_channel.T)


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


# --------------------------------------------------------------------------
# Writing


def format_for(path: PathLike, default: str = "csv") -> str:
    """The output format implied by a file name's suffix, else `default`."""
    suffix = Path(path).suffix.lower().lstrip(".")
    return suffix if suffix in FORMATS else default


def _columns(pt: PitchTrack) -> List[Tuple[int, np.ndarray, np.ndarray, np.ndarray,
                                           np.ndarray, np.ndarray]]:
    if pt.n_channels is None:
        return [(-1, pt.times, pt.f0, pt.strength, pt.probability, pt.voiced)]
    return [(c, pt.times, pt.f0[c], pt.strength[c], pt.probability[c], pt.voiced[c])
            for c in range(pt.n_channels)]


def _num(x: float) -> str:
    return "nan" if math.isnan(x) else repr(round(float(x), 10))


def track_to_csv(pt: PitchTrack) -> str:
    """CSV text with columns time, f0, strength, probability, voiced (1/0).

    A multichannel track gets a leading ``channel`` column.
    """
    out = io.StringIO()
    multi = pt.n_channels is not None
    out.write(("channel," if multi else "") + "time,f0,strength,probability,voiced\n")
    for c, times, f0, strength, prob, voiced in _columns(pt):
        lead = f"{c}," if multi else ""
        for row in zip(times, f0, strength, prob, voiced):
            out.write(f"{lead}{row[0]:.6f},{_num(row[1])},{_num(row[2])},"
                      f"{_num(row[3])},{int(row[4])}\n")
    return out.getvalue()


def _listify(a: np.ndarray) -> Any:
    if a.dtype == bool:
        return a.tolist()
    return [None if math.isnan(v) else float(v) for v in a.ravel()] if a.ndim == 1 \
        else [_listify(row) for row in a]


def track_metadata(pt: PitchTrack) -> Dict[str, Any]:
    return {"sr": pt.sr, "hop_length": pt.hop_length, "frame_length": pt.frame_length,
            "fmin": pt.fmin, "fmax": pt.fmax, "method": pt.method,
            "polarity": pt.polarity, "interpolator": pt.interpolator,
            "params": dict(pt.params)}


def track_to_json(pt: PitchTrack) -> str:
    """JSON text: the parameters and one list per column, ``null`` for NaN."""
    doc = track_metadata(pt)
    doc.update(times=_listify(pt.times), f0=_listify(pt.f0),
               strength=_listify(pt.strength), probability=_listify(pt.probability),
               voiced=_listify(pt.voiced))
    return json.dumps(doc, indent=1) + "\n"


def write_track(pt: PitchTrack, path: PathLike, fmt: str = "csv") -> None:
    """Write `pt` to `path` ("-" for standard output, text formats only)."""
    if fmt not in FORMATS:
        raise ValueError(f"format={fmt!r} is not one of {', '.join(FORMATS)}")
    if fmt == "npz":
        if str(path) == "-":
            raise ValueError("npz output needs a file name, not '-'")
        meta = track_metadata(pt)
        meta["params"] = json.dumps(meta["params"])
        np.savez(path, times=pt.times, f0=pt.f0, strength=pt.strength,
                 probability=pt.probability, voiced=pt.voiced, **meta)
        return
    text = track_to_csv(pt) if fmt == "csv" else track_to_json(pt)
    if str(path) == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    Path(path).write_text(text, encoding="utf-8")
