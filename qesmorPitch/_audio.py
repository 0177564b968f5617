"""Reading audio files and writing pitch tracks (CSV, JSON, NPZ)."""
from __future__ import annotations

import errno
import json
import math
import os
import stat
import sys
import tempfile
import wave
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np

if TYPE_CHECKING:  # for annotations only
    from ._track import PitchTrack

PathLike = Union[str, "os.PathLike[str]"]
FORMATS = ("csv", "json", "npz")


class AudioError(Exception):
    """A file that cannot be read as audio, with the reason in one line."""


# Samples read at a time; a block of a few channels stays a few MB.
READ_BLOCK = 1 << 18


class AudioFile:
    """An audio file read block by block, the source the tracker reads from.

    Opening scans the file once: it finds how many samples can really be
    read (a truncated file, or a header announcing more than the file holds,
    gets `warning` and its readable part), the peak of each channel, and
    refuses an empty file or one holding NaN or infinite samples. Memory does
    not grow with the file's length. WAV and FLAC (and whatever else
    libsndfile reads) go through soundfile; without it, integer PCM WAV files
    are read with the standard library.

    Attributes
    ----------
    sr : float
    n_samples : int
        Readable samples per channel.
    n_channels : int or None
        None for a single channel, or when the channels are mixed (`mono`).
    warning : str or None
    """

    def __init__(self, path: PathLike, mono: bool = False) -> None:
        if not os.fspath(path):
            raise AudioError("an empty path names no file")
        path = Path(path)
        if path.is_dir():
            raise AudioError("is a directory, not an audio file")
        if not path.is_file() and not path.exists() and os.fspath(path) == "-":
            # The shell's usual name for standard input: this names a file.
            raise AudioError("no such file; '-' names a file here, not standard input, which "
                             "cannot be read in blocks: save the audio to a file first "
                             "(raw PCM on standard input: qesmor-pitch --stream)")
        if not path.is_file():
            raise AudioError("is not a regular file (a device or a pipe cannot be read in "
                             "blocks); save it to a file first" if path.exists() else "no such file")
        try:
            # libsndfile reports a file it may not open as 'System error.',
            # under 'not a readable audio file': the file may well be audio.
            with open(path, "rb"):
                pass
        except OSError as exc:
            way = ("make it readable (chmod +r), or run as a user who may read it"
                   if exc.errno in (errno.EACCES, errno.EPERM) else "check the file")
            raise AudioError(f"cannot be opened: {exc.strerror or _one_line(exc)}; {way}") from None
        if path.stat().st_size == 0:
            # Before any reader: libsndfile calls it 'Format not recognised',
            # the wave module fails without a word. A file of the kernel's
            # (/proc, /sys) reports 0 bytes whatever it holds: it is not empty,
            # and it is no audio either.
            if _holds_data(path):
                raise AudioError("reports a size of 0 bytes yet holds data (a /proc or /sys "
                                 "file?): not an audio file the readers can seek in; copy it "
                                 "to a regular file first if it holds audio")
            raise AudioError("is empty (0 bytes): no audio is in it; copy or export it again")
        self._block = READ_BLOCK
        self._path = path
        self._mono = mono
        self._sf: Any = None
        self._wav: Any = None
        self._raw: Any = None
        try:
            import soundfile
        except ImportError:
            soundfile = None
        if soundfile is not None:
            try:
                self._sf = soundfile.SoundFile(_sf_name(path))
            except Exception as exc:  # libsndfile reports every failure as one error type
                raise AudioError(f"not a readable audio file ({_one_line(exc)})") from None
            self.sr, channels, claimed = float(self._sf.samplerate), self._sf.channels, \
                self._sf.frames
            # Some encodings (GSM 6.10 WAV) decode forward only: libsndfile
            # refuses their seek, and even tell(), so the position is kept here.
            self._seekable = self._sf.seekable()
            self._position = 0
            self._last: Optional[Tuple[int, np.ndarray]] = None
        else:
            if path.suffix.lower() not in (".wav", ".wave"):
                raise AudioError(f"reading {path.suffix or 'these'} files needs soundfile: "
                                 "pip install 'qesmorPitch[audio]'")
            try:
                self._wav = wave.open(str(path), "rb")
            except Exception as exc:  # the wave module fails in many types, some without a text
                raise AudioError(f"not a readable PCM WAV file ({_wave_reason(exc)}); "
                                 "for other encodings or layouts pip install "
                                 "'qesmorPitch[audio]'") from None
            self._width = self._wav.getsampwidth()
            if self._width not in (1, 2, 3, 4):
                self.close()
                raise AudioError(f"{8 * self._width}-bit WAV samples are not supported "
                                 "without soundfile: pip install 'qesmorPitch[audio]'")
            self.sr, channels, claimed = (float(self._wav.getframerate()),
                                          self._wav.getnchannels(), self._wav.getnframes())
            if self.sr <= 0:
                self.close()
                raise AudioError("its header gives a sampling rate of 0 Hz; repair the header "
                                 "or re-export the file")
        self._channels = channels
        self.n_channels: Optional[int] = None if channels == 1 or mono else channels
        layout = _riff_layout(path)
        announced = None if layout is None else layout.frames
        if announced == 0 and self._wav is not None:
            # The wave module takes a streamed file's placeholder size as
            # its length: the file then looked truncated.
            claimed = 0
        claimed = max(claimed, announced or 0)
        unclosed = (claimed == 0 and layout is not None and layout.unsized and layout.decodable)
        if unclosed:
            # A recording that was never closed: its writer left the data
            # size at the placeholder 0, so both readers find no samples,
            # while every sample it wrote follows the header. They are read
            # from there, as far as the file goes.
            assert layout is not None
            self.close()
            self._sf = self._wav = None
            self._raw, self._layout = open(path, "rb"), layout
            claimed = (path.stat().st_size - layout.offset) // layout.frame_bytes
        try:
            self._scan(claimed)
        except BaseException:
            self.close()
            raise
        if unclosed and self.warning is None:
            self.warning = (f"its header announces no samples (a recording that was never "
                            f"closed?); reading the {self.n_samples} that follow it, "
                            f"{self.n_samples / self.sr:.3f} s")

    def _scan(self, claimed: int) -> None:
        n = 0
        peaks = np.zeros(1 if self.n_channels is None else self.n_channels)
        self._bad, self._first_bad = 0, -1
        broken = None
        self.n_samples = claimed
        while True:
            try:
                chunk = self._read_raw(n, self._block)
            except Exception as exc:
                broken = _one_line(exc)
                # A decoder that fails inside a block (libsndfile on a FLAC
                # file cut short or damaged) returns none of it: the samples
                # of the block before the damage are found again, else a
                # short file read as nothing at all.
                chunk = self._readable_part(n, self._block)
                if chunk.shape[1]:
                    self._scan_block(chunk, n, peaks)
                    n += chunk.shape[1]
                break
            if chunk.shape[1] == 0:
                break
            self._scan_block(chunk, n, peaks)
            n += chunk.shape[1]
            if chunk.shape[1] < self._block:
                break
        self.n_samples, self._peaks = n, peaks
        if n == 0 and broken is not None:
            raise AudioError(f"not a readable audio file: no sample could be decoded ({broken})")
        if n == 0 and claimed > 0:
            # Cut short within its header or at the samples' start: empty,
            # but by damage, which a copy or export made again repairs.
            raise AudioError(f"truncated: the header announces {claimed} samples but none are "
                             f"present; copy or export the file again")
        if n == 0:
            raise AudioError("empty audio file (no samples)")
        bad, first_bad = self._bad, self._first_bad
        if bad:
            raise AudioError(f"contains NaN or infinite samples at {bad} time(s), the first at "
                             f"{first_bad / self.sr:.3f} s (sample {first_bad}); "
                             "repair or re-export the file")
        self.warning: Optional[str] = None
        if broken is not None:
            self.warning = (f"unreadable after sample {n} ({broken}); "
                            f"tracking the first {n / self.sr:.3f} s")
        elif n < claimed:
            self.warning = (f"truncated: the header announces {claimed} samples but only {n} "
                            f"are present; tracking those {n / self.sr:.3f} s")

    def _scan_block(self, chunk: np.ndarray, start: int, peaks: np.ndarray) -> None:
        """Count the non-finite samples of `chunk` (from sample `start`) and
        raise `peaks` to its finite ones."""
        finite = np.isfinite(chunk)
        if not finite.all():
            cols = np.flatnonzero(~finite.all(axis=0))
            if self._first_bad < 0:
                self._first_bad = start + int(cols[0])
            self._bad += int(cols.size)
        else:
            np.maximum(peaks, np.max(np.abs(chunk), axis=1), out=peaks)

    def _readable_part(self, start: int, count: int) -> np.ndarray:
        """The longest run of samples from `start` (fewer than `count`) that
        can be decoded, after a read of `count` of them failed; a
        bisection, each try on a fresh handle (libsndfile refuses even a
        seek once a read has failed)."""
        empty = np.zeros((1 if self.n_channels is None else self.n_channels, 0))
        if self._sf is None:
            return empty
        good, lo, hi = empty, 0, count
        while hi - lo > 1:
            mid = (lo + hi) // 2
            try:
                self._reopen()
                part = self._read_raw(start, mid)
            except Exception:
                hi = mid
                continue
            if part.shape[1] < mid:  # the decoder's end, short of the failure
                return part
            good, lo = part, mid
        self._reopen()  # left usable for the reads of the tracking
        return good

    def _reopen(self) -> None:
        import soundfile

        self._sf.close()
        self._sf = soundfile.SoundFile(_sf_name(self._path))
        self._position, self._last = 0, None

    def _read_forward(self, start: int, count: int) -> np.ndarray:
        """Up to `count` frames from `start` of a file that cannot seek.

        The tracker's blocks overlap the one before by their margins, so
        the last read is kept and its overlap taken from it; the rest is
        decoded on from where the last read stopped. A read starting before
        that (the next pass over the file) decodes again from the start.
        """
        sf = self._sf
        head = np.zeros((0, sf.channels))
        last = self._last
        if last is not None and last[0] <= start <= last[0] + last[1].shape[0] == self._position:
            head = last[1][start - last[0]: start - last[0] + count]
        else:
            if start < self._position:
                self._reopen()
            while self._position < start:
                skipped = self._sf.read(min(start - self._position, self._block),
                                        dtype="float64", always_2d=True).shape[0]
                if skipped == 0:
                    break
                self._position += skipped
            if self._position < start:  # the file ends before `start`
                return head
        rest = self._sf.read(count - head.shape[0], dtype="float64", always_2d=True) \
            if count > head.shape[0] else np.zeros((0, sf.channels))
        self._position += rest.shape[0]
        frames = np.concatenate((head, rest)) if head.shape[0] else rest
        self._last = (start, frames)
        return frames

    def _read_raw(self, start: int, count: int) -> np.ndarray:
        """Up to `count` samples from `start`, channels first, mixed if mono."""
        if self._sf is not None and not self._seekable:
            frames = self._read_forward(start, count)
        elif self._sf is not None:
            self._sf.seek(start)
            frames = self._sf.read(count, dtype="float64", always_2d=True)
        elif self._raw is not None:
            layout = self._layout
            self._raw.seek(layout.offset + start * layout.frame_bytes)
            frames = layout.decode(self._raw.read(count * layout.frame_bytes))
        else:
            self._wav.setpos(start)
            frames = _decode_pcm(self._wav.readframes(count), self._width, self._channels)
        data = np.ascontiguousarray(frames.T)
        if self._mono and data.shape[0] > 1:
            from ._frontend import mix_down

            return mix_down(data)[None, :]
        return data

    def peaks(self) -> np.ndarray:
        return self._peaks.copy()

    def read(self, start: int, stop: int) -> np.ndarray:
        """Samples [start, stop) of every channel, shape (channels, stop - start)."""
        data = self._read_raw(start, stop - start)
        if data.shape[1] != stop - start:
            raise AudioError(f"changed while being read: sample {start + data.shape[1]} "
                             "is gone")
        return data

    def close(self) -> None:
        for handle in (self._sf, self._wav, self._raw):
            if handle is not None:
                handle.close()

    def __enter__(self) -> "AudioFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def _holds_data(path: Path) -> bool:
    """Whether a file whose size reads as 0 gives a byte when read. Without
    waiting: some of the kernel's files (/proc/kmsg, a trace pipe) hold a
    read until something happens, and say so to a non-blocking one."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    except OSError:
        return False
    try:
        return bool(os.read(fd, 1))
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def _sf_name(path: PathLike) -> Union[str, bytes]:
    """`path` as soundfile can open it. soundfile encodes a str name
    strictly, so a name that is no valid UTF-8 (legal on POSIX, decoded with
    surrogate escapes) could not be opened at all; its bytes can. Other
    names stay str, which keeps libsndfile's messages as they were."""
    name = os.fspath(path)
    if isinstance(name, str) and os.name != "nt":
        try:
            name.encode(sys.getfilesystemencoding())
        except UnicodeEncodeError:
            return os.fsencode(name)
    return name


# WAVE format tags whose frames are channels x whole bytes per sample:
# integer PCM, IEEE float, A-law, mu-law and the extensible header.
_FRAMED_FORMATS = (0x0001, 0x0003, 0x0006, 0x0007, 0xFFFE)


class _Layout(NamedTuple):
    """What a RIFF/WAVE header says of its samples."""

    frames: Optional[int]  # as announced: 0 for a placeholder, None if uncountable
    offset: int            # of the first sample, in bytes
    width: int             # bytes per sample
    channels: int
    tag: int               # 1: integer PCM, 3: IEEE float, 0: other
    unsized: bool          # the data size is 0 (0xFFFFFFFF: a stream of unknown length)

    @property
    def frame_bytes(self) -> int:
        return self.width * self.channels

    @property
    def decodable(self) -> bool:
        """Whether decode() reads these samples."""
        return self.channels > 0 and ((self.tag == 1 and self.width in (1, 2, 3, 4)) or
                                      (self.tag == 3 and self.width in (4, 8)))

    def decode(self, raw: bytes) -> np.ndarray:
        """Samples as float64, shape (frames, channels), as soundfile reads them."""
        if self.tag == 1:
            return _decode_pcm(raw, self.width, self.channels)
        raw = raw[: len(raw) - len(raw) % self.frame_bytes]
        return np.frombuffer(raw, dtype=f"<f{self.width}").astype(np.float64).reshape(-1, self.channels)


def _riff_layout(path: Path) -> Optional[_Layout]:
    """The layout of a RIFF/WAVE file's samples, None when it is no such
    file or has no data chunk after a format chunk.

    libsndfile quietly shortens a WAV whose data chunk runs past the end of
    the file; the header is read here so the shortening can be reported.
    A frame is counted as channels x whole bytes per sample, as both readers
    decode it, not by the header's block-align field: a writer that got
    that field wrong still wrote every frame. A data size of 0 or 0xFFFFFFFF
    is a streamed file's placeholder: no length announced.
    """
    try:
        with open(path, "rb") as f:
            head = f.read(12)
            if len(head) < 12 or head[:4] != b"RIFF" or head[8:] != b"WAVE":
                return None
            width = channels = tag = 0
            while True:
                chunk = f.read(8)
                if len(chunk) < 8:
                    return None
                size = int.from_bytes(chunk[4:], "little")
                if chunk[:4] == b"fmt ":
                    body = f.read(size + size % 2)
                    if len(body) < 16:
                        return None
                    tag = int.from_bytes(body[0:2], "little")
                    if tag == 0xFFFE and len(body) >= 26:
                        # WAVE_FORMAT_EXTENSIBLE: the sub-format's first two bytes.
                        tag = int.from_bytes(body[24:26], "little")
                    channels = int.from_bytes(body[2:4], "little")
                    width = -(-int.from_bytes(body[14:16], "little") // 8)
                    if tag not in _FRAMED_FORMATS:
                        width = 0
                    tag = tag if tag in (1, 3) else 0
                elif chunk[:4] == b"data":
                    frame = width * channels
                    frames = (0 if size in (0, 0xFFFFFFFF) else
                              size // frame if frame else None)
                    offset = f.tell()
                    # An empty data chunk followed by another chunk (metadata
                    # written after it) is just empty.
                    after = f.read(8)
                    chunk_next = (len(after) == 8 and all(32 <= b < 127 for b in after[:4]) and
                                  offset + 8 + int.from_bytes(after[4:], "little")
                                  <= os.fstat(f.fileno()).st_size)
                    return _Layout(frames, offset, width, channels, tag, size == 0 and not chunk_next)
                else:
                    f.seek(size + size % 2, 1)
    except OSError:
        return None


def _wave_reason(exc: BaseException) -> str:
    """What the wave module's failure to open a file says of it, in words:
    some of its failures carry no text (a file ending inside its header; a
    chunk before the samples running past the size the RIFF header gives,
    a bare RuntimeError)."""
    if str(exc).strip():
        return _one_line(exc)
    if isinstance(exc, EOFError):
        return "it ends inside its header"
    if isinstance(exc, RuntimeError):
        return "a chunk before the samples runs past the size its RIFF header gives"
    return f"its header stopped the reader with a bare {type(exc).__name__}"


def audio_header(path: PathLike) -> Optional[Tuple[float, int, int]]:
    """(sampling rate, channels, frames) from a file's header without reading
    its samples, or None when it cannot be read (or is no regular file:
    opening a pipe would wait for a writer)."""
    if not os.path.isfile(path):
        return None
    try:
        import soundfile

        info = soundfile.info(_sf_name(path))
        return float(info.samplerate), int(info.channels), int(info.frames)
    except Exception:
        pass
    try:
        with wave.open(str(path), "rb") as w:
            return float(w.getframerate()), w.getnchannels(), w.getnframes()
    except Exception:
        return None


def read_audio(path: PathLike, mono: bool = False) -> Tuple[np.ndarray, float]:
    """Samples of `path` as float64, shape (n,) or (channels, n), and the sampling rate."""
    with AudioFile(path, mono=mono) as f:
        data = f.read(0, f.n_samples)
    return (data[0] if f.n_channels is None else data), f.sr


def _decode_pcm(raw: bytes, width: int, channels: int) -> np.ndarray:
    """Integer PCM bytes as float64 in [-1, 1), shape (frames, channels)."""
    raw = raw[: len(raw) - len(raw) % (width * channels)]
    if width == 1:  # 8-bit WAV is unsigned
        data = np.frombuffer(raw, dtype=np.uint8).astype(np.float64) - 128.0
    elif width == 3:
        b = np.frombuffer(raw, dtype=np.uint8).reshape(-1, 3).astype(np.int32)
        data = ((b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)) << 8 >> 8).astype(np.float64)
    else:
        data = np.frombuffer(raw, dtype=f"<i{width}").astype(np.float64)
    data /= float(2 ** (8 * width - 1))
    return data.reshape(-1, channels)


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


def csv_header(multichannel: bool) -> str:
    return ("channel," if multichannel else "") + "time,f0,strength,probability,voiced\n"


def csv_row(lead: str, time: float, f0: float, strength: float, prob: float,
            voiced: bool) -> str:
    """One frame's CSV line; `lead` is "" or the channel column with its comma."""
    return f"{lead}{time:.6f},{_num(f0)},{_num(strength)},{_num(prob)},{int(voiced)}\n"


def _csv_lines(pt: PitchTrack) -> Iterator[str]:
    multi = pt.n_channels is not None
    yield csv_header(multi)
    for c, times, f0, strength, prob, voiced in _columns(pt):
        lead = f"{c}," if multi else ""
        for row in zip(times, f0, strength, prob, voiced):
            yield csv_row(lead, *row)


def track_to_csv(pt: PitchTrack) -> str:
    """CSV text with columns time, f0, strength, probability, voiced (1/0).

    A multichannel track gets a leading ``channel`` column.
    """
    return "".join(_csv_lines(pt))


# Values per piece of JSON text, so that long tracks are written in bounded memory.
_JSON_CHUNK = 1 << 14


def _json_array(a: np.ndarray, depth: int) -> Iterator[str]:
    """`a` as json.dumps(..., indent=1) writes its list at `depth`, in pieces."""
    pad = " " * (depth + 1)
    if a.shape[0] == 0:
        yield "[]"
        return
    yield "[\n"
    for start in range(0, a.shape[0], _JSON_CHUNK if a.ndim == 1 else 1):
        if start:
            yield ",\n"
        if a.ndim == 2:
            yield pad
            yield from _json_array(a[start], depth + 1)
            continue
        part = a[start: start + _JSON_CHUNK]
        if a.dtype == bool:
            items = ["true" if v else "false" for v in part.tolist()]
        else:
            items = ["null" if v != v else repr(v) for v in part.tolist()]
        yield pad + (",\n" + pad).join(items)
    yield "\n" + " " * depth + "]"


def track_metadata(pt: PitchTrack) -> Dict[str, Any]:
    return {"sr": pt.sr, "hop_length": pt.hop_length, "frame_length": pt.frame_length,
            "fmin": pt.fmin, "fmax": pt.fmax, "method": pt.method,
            "polarity": pt.polarity, "interpolator": pt.interpolator,
            "params": dict(pt.params)}


def track_to_json(pt: PitchTrack) -> str:
    """JSON text: the parameters and one list per column, ``null`` for NaN."""
    return "".join(_json_pieces(pt))


def _json_pieces(pt: PitchTrack) -> Iterator[str]:
    yield "{"
    for key, value in track_metadata(pt).items():
        yield f"\n {json.dumps(key)}: " + json.dumps(value, indent=1).replace("\n", "\n ") + ","
    columns = [("times", pt.times), ("f0", pt.f0), ("strength", pt.strength),
               ("probability", pt.probability), ("voiced", pt.voiced)]
    for i, (key, a) in enumerate(columns):
        yield f"\n {json.dumps(key)}: "
        yield from _json_array(a, 1)
        yield "," if i < len(columns) - 1 else "\n}\n"


# Where an output is written until it is complete: a hidden file beside it,
# ".<name>.<tag><random>.part", renamed over the output only when whole.
PARTIAL_SUFFIX = ".part"
# Temporary files this process is writing, for a signal handler to remove.
_PARTIALS: set = set()
# mkstemp creates files readable by the owner only; outputs get the usual mode.
_UMASK = os.umask(0o022)
os.umask(_UMASK)


# The longest file name most file systems allow, in bytes.
NAME_MAX = 255
# What a temporary name adds to the output's: the dot, ".", the tag (12),
# mkstemp's random part (8) and the suffix.
_PARTIAL_EXTRA = 1 + 1 + 12 + 8 + len(PARTIAL_SUFFIX)


def _partial_prefix(path: Path, tag: str) -> str:
    """The start of the temporary names for `path`, its output's name cut
    short where the whole would pass NAME_MAX (an output name of 229 to 255
    bytes is legal; its temporary one would not be)."""
    name = os.fsencode(path.name)[: NAME_MAX - _PARTIAL_EXTRA]
    return f".{os.fsdecode(name)}.{tag}"


def name_too_long(path: PathLike, way_out: str = "choose a shorter one") -> Optional[str]:
    """Why nothing can be created at `path` for the length of its last
    name, or None: one line, told before any work is done, ending in
    `way_out`."""
    name = os.fsencode(Path(path).name)
    if len(name) <= NAME_MAX:
        return None
    return (f"the name {os.fsdecode(name[:40])}... is {len(name)} bytes long; "
            f"file systems allow {NAME_MAX}: {way_out}")


def partial_files(path: PathLike, tag: str) -> List[Path]:
    """Temporary files of unfinished writes of `path` tagged `tag` (by any
    process: a worker that was killed cannot remove its own)."""
    import glob

    if not tag:
        raise ValueError("a tag is needed: without one, others' files would match")
    path = Path(os.path.realpath(path))
    pattern = glob.escape(str(path.parent / _partial_prefix(path, tag))) + "*" + PARTIAL_SUFFIX
    return [Path(p) for p in glob.glob(pattern)]


def remove_own_partials() -> None:
    """Remove the temporary files this process is writing (for signal handlers)."""
    for tmp in list(_PARTIALS):
        try:
            os.unlink(tmp)
        except OSError:
            pass


def written_into(path: PathLike) -> bool:
    """Whether an output at `path` is written into as it is: a pipe, a
    device, or a descriptor this process holds (/dev/stdout, /dev/fd/N),
    whatever it leads to: renaming over it would put a file in its place,
    or replace the file a shell opened, with what `>>` had kept in it.
    Told by what the path leads to, before its links are resolved: a pipe
    reached as /dev/stdout resolves to a name that opens nothing."""
    if not os.path.exists(path):
        return False
    return (not os.path.isfile(path) and not os.path.isdir(path)) or _via_descriptor(path)


def _via_descriptor(path: PathLike) -> bool:
    """Whether `path`'s links pass through /proc/<pid>/fd/N (where
    /dev/stdout and /dev/fd/N lead)."""
    import re

    p = os.path.abspath(path)
    for _ in range(40):  # the kernel's own limit on links followed
        p = os.path.join(os.path.realpath(os.path.dirname(p)), os.path.basename(p))
        if re.fullmatch(r"/proc/(self|thread-self|\d+(/task/\d+)?)/fd/\d+", p):
            return True
        try:
            p = os.path.join(os.path.dirname(p), os.readlink(p))
        except OSError:
            return False
    return False


@contextmanager
def atomic_output(path: PathLike, binary: bool = False, tag: str = "") -> Iterator[Any]:
    """A file object whose content replaces `path` only once it is complete.

    On any failure or interrupt the temporary file is removed and an earlier
    `path` is left as it was. A symbolic link stays a link: the file it
    points to is replaced. Something that is not a regular file (a pipe, a
    device such as /dev/null) or is a descriptor (/dev/stdout) is written
    into as it is, at its end: renaming over it would put a file in its
    place. The temporary file's name starts with `tag` after the output's
    (see partial_files).
    """
    if written_into(path):
        # Appended: a file behind a descriptor is not cut short (`>> log`
        # keeps what it held), and a pipe or device takes no truncation.
        with (open(path, "ab") if binary else open(path, "a", encoding="utf-8", newline="")) as fh:
            yield fh
        return
    path = Path(os.path.realpath(path))
    if path.is_symlink():
        # A loop: renaming over it would put a file where the link was.
        raise OSError(errno.ELOOP, "a loop of symbolic links, not a file", str(path))
    try:
        fd, tmp = tempfile.mkstemp(dir=str(path.parent), prefix=_partial_prefix(path, tag),
                                   suffix=PARTIAL_SUFFIX)
    except FileNotFoundError:
        # Named by the folder, not by the hidden temporary name nobody chose.
        raise FileNotFoundError(errno.ENOENT, "no such directory", str(path.parent)) from None
    except OSError as exc:
        raise _named(exc, path, exc.filename) from None  # it names the temporary file
    _PARTIALS.add(tmp)
    try:
        # A file replaced keeps its permissions (a private 0600 track stays
        # private); a new one gets what the umask gives.
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode)
        except OSError:
            mode = 0o666 & ~_UMASK
        os.fchmod(fd, mode)
        with (os.fdopen(fd, "wb") if binary
              else os.fdopen(fd, "w", encoding="utf-8", newline="")) as fh:
            yield fh
            # Where blocks are allocated late (network, quota, delayed
            # allocation) a full disk is told only here; renamed without
            # it, a write that failed would replace the earlier output.
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, path)
        _sync_folder(path.parent)
    except BaseException as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise _named(exc, path, tmp) from None
        raise
    finally:
        _PARTIALS.discard(tmp)


def _sync_folder(folder: Path) -> None:
    """Make a rename in `folder` durable: until the folder itself is synced,
    a power loss may bring back the earlier file, or none. Best effort: some
    file systems cannot sync a folder."""
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _named(exc: OSError, path: Path, tmp: Optional[str]) -> OSError:
    """`exc` naming the output rather than its temporary file (or nothing,
    as a failed write does); another file's error is left as it is."""
    if exc.errno is None or exc.filename not in (None, tmp):
        return exc
    return type(exc)(exc.errno, exc.strerror, str(path))


def write_failure(path: PathLike, exc: OSError) -> str:
    """One line for a write of `path` that failed: the file, why, a way out."""
    name = "standard output" if str(path) == "-" else str(path)
    reason = exc.strerror or _one_line(exc)
    if exc.errno in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
        way = "free some space there, or write elsewhere"
    elif exc.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
        way = "make it writable, or write elsewhere"
    elif exc.errno in (errno.ENOENT, errno.ENOTDIR):
        # The folder missing may be where a link leads, or one removed
        # while the run went on.
        if exc.filename and os.path.realpath(exc.filename) != os.path.realpath(path):
            reason += f" {exc.filename}"
        way = "create the folder, or write elsewhere"
    else:
        way = "write elsewhere"
    return f"cannot write {name}: {reason}; {way}"


def write_track(pt: PitchTrack, path: PathLike, fmt: str = "csv", tag: str = "") -> None:
    """Write `pt` to exactly `path` ("-" for standard output, text formats only).

    The format is `fmt` whatever the suffix of `path`; the file appears only
    when complete.
    """
    if fmt not in FORMATS:
        raise ValueError(f"format={fmt!r} is not one of {', '.join(FORMATS)}")
    if isinstance(path, bytes):
        path = os.fsdecode(path)  # a file name as the system gave it
    if str(path) == "-":
        if fmt == "npz":
            raise ValueError("npz output needs a file name, not '-'")
        sys.stdout.writelines(_csv_lines(pt) if fmt == "csv" else _json_pieces(pt))
        sys.stdout.flush()
        return
    with atomic_output(path, binary=fmt == "npz", tag=tag) as fh:
        if fmt == "npz":
            meta = track_metadata(pt)
            meta["params"] = json.dumps(meta["params"])
            # A file object: np.savez would add ".npz" to a name.
            np.savez(fh, times=pt.times, f0=pt.f0, strength=pt.strength,
                     probability=pt.probability, voiced=pt.voiced, **meta)
        elif fmt == "csv":
            fh.writelines(_csv_lines(pt))
        else:
            fh.writelines(_json_pieces(pt))
