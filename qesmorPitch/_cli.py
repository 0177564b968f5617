"""The ``qesmor-pitch`` command: audio files in, one pitch track per file out."""
from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from . import __version__
from ._audio import FORMATS, format_for, name_too_long, written_into
from ._threads import _usable_cpus, get_num_threads
from ._options import (DEFAULT_HOP_SECONDS, DEFAULTS, INTERPOLATORS, METHODS, POLARITIES,
                       Options)

PROG = "qesmor-pitch"
DEMO_PLOT = "qesmor-pitch-demo.png"
# A single file at least this long gets a progress bar of its own.
LONG_FILE_SECONDS = 60.0


class Progress:
    """A one-line progress bar on a terminal; silent when the stream is not one.

    Redrawn at most every 0.1 s, so thousands of updates cost nothing.
    """

    def __init__(self, total: float, unit: str, stream: Optional[TextIO] = None,
                 enabled: bool = True) -> None:
        self.total = max(float(total), 1e-9)
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = enabled and bool(isatty and isatty())
        self.done = 0.0
        self.start = time.monotonic()
        self._drawn = 0.0

    def update(self, amount: float = 1.0) -> None:
        self.done = min(self.total, self.done + amount)
        now = time.monotonic()
        if self.enabled and (now - self._drawn >= 0.1 or self.done >= self.total):
            self._drawn = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        frac = self.done / self.total
        width = 28
        filled = int(round(frac * width))
        elapsed = now - self.start
        eta = elapsed / frac - elapsed if frac > 0 else 0.0
        count = (f"{int(self.done)}/{int(self.total)} {self.unit}" if self.unit == "files"
                 else f"{frac:4.0%}")
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {count}"
                          f"  {elapsed:5.1f}s elapsed, ~{eta:4.0f}s left ")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\r" + " " * 79 + "\r")
            self.stream.flush()


def build_parser() -> argparse.ArgumentParser:
    d = Options()
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Estimate the pitch (F0) of audio files, one track per file.",
        epilog=("Output columns: time (s, frame centre), f0 (Hz, nan when unvoiced), "
                "strength, probability, voiced (1/0). Without -o each track is written "
                "beside its input as NAME.f0.csv. Exit status 0 when every file was "
                "tracked, 1 if any failed, 2 for a usage error (nothing processed), "
                "130/143 when interrupted."))
    p.add_argument("audio", nargs="*", metavar="AUDIO",
                   help="WAV or FLAC files (FLAC and non-PCM WAV need soundfile)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output file for one input ('-' for standard output), or a "
                        "directory (a trailing '/' says so; created if missing for "
                        "several inputs)")
    p.add_argument("--format", choices=FORMATS,
                   help="output format (default: from OUT's suffix, else csv); the file "
                        "is named exactly OUT whatever the format")
    p.add_argument("--method", choices=METHODS,
                   help=f"viterbi: best path over the whole file; bayes: causal forward "
                        f"filter; direct: each frame on its own (default {d.method})")
    p.add_argument("--fmin", type=_real, help=f"lowest pitch in Hz (default {d.fmin:g})")
    p.add_argument("--fmax", type=_real, help=f"highest pitch in Hz (default {d.fmax:g})")
    p.add_argument("--hop-ms", type=_real,
                   help=f"time between frames in ms, rounded to whole samples "
                        f"(default {1000 * DEFAULT_HOP_SECONDS:g})")
    p.add_argument("--polarity", choices=POLARITIES,
                   help=f"half-waves analysed (default {d.polarity})")
    p.add_argument("--interpolator", choices=INTERPOLATORS,
                   help=f"sub-sample refinement (default {d.interpolator})")
    p.add_argument("--voicing-threshold", type=_real, metavar="S",
                   help="least strength (0-1) of a voiced frame, instead of the "
                        "voicing model (default)")
    p.add_argument("--sigma", type=_real, help="tracking methods: expected pitch change "
                                               "per frame, in octaves")
    p.add_argument("--beta", type=_real, help="viterbi: weight of the observations")
    p.add_argument("--alpha", type=_real, help="bayes: exponent on the prediction")
    p.add_argument("--analysis-sr", type=_rate_or_full, metavar="RATE",
                   help=f"search periods at about this rate, refined at the file's "
                        f"('full': at the file's rate; default {d.analysis_sr:g})")
    p.add_argument("--smooth-f0", action=argparse.BooleanOptionalAction,
                   help="tracking methods: each frame's f0 as the mean with its two "
                        "neighbours where they are within a whole tone (default on; "
                        "--no-smooth-f0 keeps each frame's own, e.g. to measure jitter)")
    p.add_argument("--mono", action="store_true",
                   help="mix multichannel files down (default: one track per channel)")
    p.add_argument("--plot", metavar="PNG",
                   help="also draw each track (a file for one input, a directory for "
                        "several; needs matplotlib)")
    p.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="files processed in parallel (default 1; 0 = one per CPU; never "
                        "more than the number of files)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary, only errors")
    p.add_argument("--demo", action="store_true",
                   help="track a synthesised voice with a known F0, print its accuracy "
                        f"and plot it (to {DEMO_PLOT} unless --plot is given)")
    live = p.add_argument_group(
        "live pitch", "qesmor-pitch --stream --sr RATE - reads raw little-endian PCM from "
        "standard input and writes one CSV row per frame as soon as it is decided "
        "(method bayes unless --method direct; viterbi is not causal)")
    live.add_argument("--stream", action="store_true",
                      help="read raw PCM from standard input ('-') and track it live")
    live.add_argument("--sr", type=_real, metavar="RATE", help="--stream: sampling rate in Hz")
    live.add_argument("--channels", type=int, default=1, metavar="N",
                      help="--stream: interleaved channels (default 1)")
    live.add_argument("--dtype", choices=tuple(PCM_TYPES), default="s16",
                      help="--stream: sample format, 16-bit integer or 32-bit float "
                           "(default s16)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


# --dtype names and the little-endian NumPy types they read.
PCM_TYPES = {"s16": "<i2", "f32": "<f4"}
# Bytes asked of standard input at a time; a read returns what has arrived.
READ_BYTES = 1 << 12


def run_stream(args: argparse.Namespace, options: Options) -> int:
    """Track raw PCM from standard input, one CSV row per frame as it is decided."""
    import numpy as np

    from ._audio import csv_header, csv_row
    from ._stream import PitchStream

    channels = args.channels
    stream = PitchStream(args.sr, channels=None if channels == 1 else channels,
                         options=options)
    dtype = np.dtype(PCM_TYPES[args.dtype])
    width = dtype.itemsize * channels   # bytes of one sample of every channel
    out = sys.stdout
    multi = channels > 1 and not options.mono

    def emit(pt: Any) -> None:
        if not len(pt):
            return
        f0, strength, prob, voiced = (np.atleast_2d(a) for a in
                                      (pt.f0, pt.strength, pt.probability, pt.voiced))
        for t in range(len(pt)):
            for c in range(f0.shape[0]):
                out.write(csv_row(f"{c}," if multi else "", pt.times[t], f0[c, t],
                                  strength[c, t], prob[c, t], voiced[c, t]))
            out.flush()

    fd = sys.stdin.fileno()
    pending = b""
    replaced = told = 0   # non-finite samples read as 0, and those already said
    try:
        out.write(csv_header(multi))
        out.flush()
        while True:
            try:
                data = os.read(fd, READ_BYTES)
            except OSError as exc:
                # Not standard output's fault, which the handler below
                # would have named (a descriptor opened for writing only, a
                # read error of the disk the input comes from).
                _err(f"standard input: {exc.strerror or exc}; give the raw samples on "
                     f"standard input, e.g. < audio.raw or a pipe")
                return 1
            if not data:
                break
            pending += data
            usable = len(pending) - len(pending) % width
            samples = np.frombuffer(pending[:usable], dtype=dtype)
            pending = pending[usable:]
            if dtype.kind == "f":
                bad = ~np.isfinite(samples)
                if bad.any():
                    # Silence in their place keeps every later frame at its
                    # time; dropping them would move the rest of the track.
                    samples = np.where(bad, 0.0, samples)
                    count = int(np.count_nonzero(bad))
                    if not replaced:
                        told = count
                        # Said once, as it happens, and counted to the end: a
                        # line per read of standard input buried the rows.
                        at = (stream.samples_received + int(np.argmax(bad)) // channels) / args.sr
                        print(f"{PROG}: warning: {count} NaN or infinite sample(s) read as 0 "
                              f"(silence), the first at {at:.3f} s; later ones are counted "
                              f"at the end", file=sys.stderr, flush=True)
                    replaced += count
            emit(stream.push(samples.reshape(-1, channels).T if channels > 1 else samples))
        if replaced > told:
            print(f"{PROG}: warning: {replaced} NaN or infinite sample(s) in all read as 0 "
                  f"(silence)", file=sys.stderr, flush=True)
        if pending:
            print(f"{PROG}: warning: the input ended inside a sample; dropped the last "
                  f"{len(pending)} byte(s) ({width} make one sample)", file=sys.stderr,
                  flush=True)
        emit(stream.flush())
    except OSError as exc:
        return _stdout_lost(exc)
    except KeyboardInterrupt:
        return 130
    return 0


def _real(text: str) -> float:
    """A number as float() reads it, but not one past the largest double:
    float() makes 1e400 inf, and the checks then quoted an inf never typed."""
    value = float(text)
    if math.isinf(value) and text.strip().lower().lstrip("+-") not in ("inf", "infinity"):
        raise argparse.ArgumentTypeError(f"{text!r} is beyond every finite number (the "
                                         f"largest is about 1.8e308)")
    return value


# argparse names the type in its message ("invalid float value: 'x'").
_real.__name__ = "float"


def _rate_or_full(text: str) -> Any:
    if text.strip().lower() == "full":
        return "full"
    try:
        return _real(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a rate in Hz nor 'full'") from None


# Options whose command-line name differs from the keyword of track().
_FLAGS = {"hop_seconds": "--hop-ms", "voicing_threshold": "--voicing-threshold",
          "analysis_sr": "--analysis-sr"}


def _options(args: argparse.Namespace) -> Options:
    """The given options; those left out keep the defaults of Options."""
    given: Dict[str, Any] = {k: getattr(args, k) for k in (
        "method", "fmin", "fmax", "polarity", "interpolator", "voicing_threshold",
        "sigma", "beta", "alpha", "smooth_f0") if getattr(args, k) is not None}
    if args.analysis_sr is not None:
        given["analysis_sr"] = None if args.analysis_sr == "full" else args.analysis_sr
    if args.hop_ms is not None:
        given["hop_seconds"] = args.hop_ms / 1000.0
    given["mono"] = args.mono
    return Options(**given)


def _option_error(exc: Exception, args: argparse.Namespace) -> str:
    """An option's error, with the command line's spelling of the option in front."""
    msg = str(exc)
    for key, flag in _FLAGS.items():
        if msg.startswith(key):
            value = args.hop_ms if key == "hop_seconds" else getattr(args, key)
            if value is None:  # the default broke a rule at this rate
                return f"{flag} (the default): {msg}"
            shown = f"{value:g}" if isinstance(value, (int, float)) else value
            return f"{flag} {shown}: {msg}"
    return msg


def _stdout_lost(exc: OSError) -> int:
    """The exit status once standard output cannot take more: quietly 141 when
    the reader went away (e.g. `| head`), as a filter does; else one line and
    1 (a full disk). Later writes, at exit too, go nowhere."""
    sys.stdout = open(os.devnull, "w")
    if isinstance(exc, BrokenPipeError):
        return 141
    _err(f"standard output: {exc.strerror or exc}")
    return 1


def _err(msg: str) -> None:
    print(f"{PROG}: error: {one_line(msg)}", file=sys.stderr, flush=True)


def one_line(msg: str) -> str:
    """`msg` with its control characters escaped: a file name may hold a
    newline, and a message is one line per file."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in msg)


def _check_figure_formats(jobs: Sequence[Any]) -> None:
    """Refuse now a figure name whose suffix no matplotlib format has (it
    was found only after the track had been written)."""
    from matplotlib.backend_bases import FigureCanvasBase

    known = FigureCanvasBase.get_supported_filetypes()
    for job in jobs:
        suffix = Path(job.plot).suffix.lstrip(".").lower() or "png" if job.plot else "png"
        if suffix not in known:
            raise _Usage(f"--plot {job.plot}: matplotlib writes no '.{suffix}' figures; use one "
                         f"of {', '.join('.' + k for k in sorted(known))}")


def _have_matplotlib() -> bool:
    import importlib.util

    return importlib.util.find_spec("matplotlib") is not None


def run_demo(args: argparse.Namespace, options: Options) -> int:
    from . import _corpus, _scoring
    from ._track import prepare, run_plan

    ex = _corpus.demo_example()
    start = time.perf_counter()
    samples, plan = prepare(ex.y, ex.sr, options)
    pt = run_plan(samples, plan)
    seconds = time.perf_counter() - start
    scores = _scoring.score(ex.reference_at(pt.times), pt.f0)
    scorer = "mir_eval" if _scoring.have_mir_eval() else "built-in scorer"
    pct = {k: f"{100 * v:5.1f} %" for k, v in scores.items()}
    print(f"qesmorPitch {__version__} demo")
    print(f"  signal    {ex.duration:.2f} s at {ex.sr} Hz, {ex.description}")
    print(f"  analysis  method={pt.method}, polarity={pt.polarity}, {pt.fmin:g}-{pt.fmax:g} Hz, "
          f"{pt.frame_length}-sample frames ({1000 * pt.frame_length / pt.sr:.1f} ms) every "
          f"{pt.hop_length} ({1000 * pt.hop_length / pt.sr:.1f} ms): {pt.n_frames} frames "
          f"in {seconds:.3f} s")
    print(f"  accuracy  ({scorer}, 50 cents)")
    print(f"    raw pitch accuracy   {pct['raw_pitch_accuracy']}")
    print(f"    raw chroma accuracy  {pct['raw_chroma_accuracy']}")
    print(f"    voicing recall       {pct['voicing_recall']}")
    print(f"    voicing false alarm  {pct['voicing_false_alarm']}")
    print(f"    overall accuracy     {pct['overall_accuracy']}")
    if args.output is not None:  # checked and made a file's name in main()
        from ._audio import write_track

        try:
            write_track(pt, args.output, args.format or format_for(args.output))
        except (OSError, ValueError) as exc:
            _err(f"-o {args.output}: {getattr(exc, 'strerror', None) or exc}")
            return 1
        if args.output != "-":
            print(f"  track     {args.output}")
    if _have_matplotlib():
        plot_path = demo_plot_path(args)  # checked in main(), before the demo ran
        from ._audio import atomic_output
        from ._plot import plot_track

        import matplotlib.pyplot as plt

        fig = plot_track(pt, ex.y, reference=(ex.ref_times, ex.ref_f0),
                         title=f"qesmor-pitch --demo: {pt.method}, "
                               f"RPA {100 * scores['raw_pitch_accuracy']:.1f} %")
        try:
            # Named exactly as given, PNG without a suffix, as a file's --plot.
            with atomic_output(plot_path, binary=True) as fh:
                fig.savefig(fh, format=Path(plot_path).suffix.lstrip(".").lower() or "png",
                            dpi=110)
        except OSError as exc:
            _err(f"cannot write the plot {plot_path}: {exc.strerror or exc}")
            return 1
        finally:
            plt.close(fig)
        print(f"  plot      {plot_path}")
    else:
        print("  plot      skipped: matplotlib is not installed "
              "(pip install 'qesmorPitch[plot]')")
    return 0


def demo_output_path(args: argparse.Namespace) -> str:
    """Where the demo's track goes: -o as for a single input (inside it when
    it is a directory, named after the demo's figure), checked before the
    demo runs."""
    kind, path = _target("-o", args.output, 1)
    if kind == "stdout":
        if args.format == "npz":
            raise _Usage("-o - writes text: npz needs a file name, or use --format csv or json")
        return "-"
    if kind == "dir":
        return str(path / (Path(DEMO_PLOT).stem + "." + (args.format or "csv")))
    return str(path)


def demo_plot_path(args: argparse.Namespace) -> str:
    """Where the demo's figure goes: --plot, inside it when it is a
    directory (as a single file's), else DEMO_PLOT."""
    if args.plot is None:
        return DEMO_PLOT
    kind, path = _target("--plot", args.plot, 1)
    return str(path / DEMO_PLOT) if kind == "dir" else str(path)


class _Usage(Exception):
    """A usage error: reported with exit status 2 before any file is processed."""


def _target(option: str, value: str, n_inputs: int) -> Tuple[str, Path]:
    """("stdout" | "file" | "dir" | "newdir", path) for -o or --plot, or _Usage."""
    if not value:
        raise _Usage(f"{option} '': an empty name is no file or directory; give one, e.g. "
                     f"{option} .")
    if value == "-":
        if option == "--plot":
            raise _Usage("--plot - is not possible: a figure needs a file name")
        if n_inputs > 1:
            raise _Usage(f"-o - takes a single input file, got {n_inputs}; "
                         "give -o a directory")
        return "stdout", Path(value)
    path = Path(value)
    # os.path's tests, which answer False where a name is too long to look
    # up; that is then told below in one line.
    if os.path.isdir(path):
        return "dir", path
    too_long = next(filter(None, map(name_too_long, [path, *path.parents])), None)
    if too_long:
        raise _Usage(f"{option}: {too_long}")
    if n_inputs > 1:
        if os.path.exists(path):
            raise _Usage(f"{option} {value} is an existing file; with {n_inputs} inputs "
                         f"{option} names a directory (created if missing)")
        return "newdir", path
    if value.endswith(("/", os.sep)):
        raise _Usage(f"{option} {value}: no such directory; create it first, or drop "
                     "the trailing '/' to name a file")
    if not os.path.isdir(path.parent):
        raise _Usage(f"{option} {value}: no such directory {path.parent}; create it first")
    return "file", path


def _check_writable(option: str, value: str, folder: Path) -> None:
    """Refuse now a directory in which no output could be written."""
    while not os.path.exists(folder):
        folder = folder.parent
    if not os.path.isdir(folder):
        raise _Usage(f"{option} {value}: {folder} is a file, not a directory")
    try:
        fd, probe = tempfile.mkstemp(dir=str(folder), prefix=".qesmor-pitch-probe.")
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        raise _Usage(f"{option} {value}: cannot write in {folder} "
                     f"({exc.strerror or exc})") from None


def plan_cli_jobs(args: argparse.Namespace, files: List[str]) -> List[Any]:
    """The run's jobs from -o, --format and --plot; _Usage for what cannot work."""
    from ._batch import Job, check_targets, output_paths

    n = len(files)
    fmt = args.format
    outputs: List[Optional[str]]
    if args.output is None:
        fmt = fmt or "csv"
        outputs = [str(p) for p in output_paths(files, None, ".f0." + fmt)]
    else:
        kind, path = _target("-o", args.output, n)
        if kind == "stdout":
            fmt = fmt or "csv"
            if fmt == "npz":
                raise _Usage("-o - writes text: npz needs a file name, or use "
                             "--format csv or json")
            if sys.stdout is None:
                # Started with standard output closed: found out only after
                # the file was tracked, as an AttributeError.
                raise _Usage("-o - writes to standard output, which is closed; "
                             "name an output file")
            outputs = ["-"]
        elif kind == "file":
            fmt = fmt or format_for(path)
            outputs = [str(path)]
        else:
            fmt = fmt or "csv"
            outputs = [str(p) for p in output_paths(files, path, "." + fmt)]
        if kind != "stdout" and not written_into(path):
            _check_writable("-o", args.output, path if kind != "file" else path.parent)
    plots: List[Optional[str]] = [None] * n
    if args.plot is not None:
        kind, path = _target("--plot", args.plot, n)
        plots = ([str(path)] if kind == "file"
                 else [str(p) for p in output_paths(files, path, ".png")])
        if not written_into(path):
            _check_writable("--plot", args.plot, path if kind != "file" else path.parent)
    if args.output is None:
        # Beside the inputs: each folder must take them, now rather than
        # after the tracking.
        for folder in sorted({str(Path(o).parent) for o in outputs if o is not None}):
            _check_writable("-o not given:", f"the tracks go beside their inputs, in {folder}",
                            Path(folder))
    jobs = [Job(f, o, fmt, pl) for f, o, pl in zip(files, outputs, plots)]
    try:
        check_targets(jobs)
    except ValueError as exc:
        raise _Usage(str(exc)) from None
    return jobs


def _check_rates(args: argparse.Namespace, options: Options, files: List[str]) -> None:
    """Refuse options that no input can be tracked with, from the files' headers.

    A limit broken by only some inputs' sampling rates fails those files.
    """
    from ._audio import audio_header
    from ._track import make_plan

    by_rate: Dict[float, str] = {}
    for f in files:
        header = audio_header(f)
        # A header's rate of 0 makes the file unreadable, which reading it
        # reports; it is not a limit the options break.
        if header is not None and header[0] > 0:
            by_rate.setdefault(header[0], f)
    failures = []
    for sr, f in by_rate.items():
        try:
            make_plan(sr, options)
        except ValueError as exc:
            failures.append(f"{_option_error(exc, args)} ({f})")
    if by_rate and len(failures) == len(by_rate):
        raise _Usage(failures[0])


class _Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread like SIGINT's KeyboardInterrupt."""


def _raise_terminated(signum: int, frame: Any) -> None:
    raise _Terminated()


def run_files(args: argparse.Namespace, options: Options) -> int:
    from ._audio import audio_header
    from ._batch import run_jobs

    files = list(args.audio)
    jobs = plan_cli_jobs(args, files)
    if args.plot is not None and not _have_matplotlib():
        raise _Usage("--plot needs matplotlib: pip install 'qesmorPitch[plot]'")
    if args.plot is not None:
        _check_figure_formats(jobs)
    _check_rates(args, options, files)
    for option, value in (("-o", args.output), ("--plot", args.plot)):
        if value is not None and value != "-" and (len(files) > 1 or os.path.isdir(value)):
            try:
                Path(value).mkdir(parents=True, exist_ok=True)
            except OSError as exc:
                raise _Usage(f"{option} {value}: cannot create the directory "
                             f"({exc.strerror or exc})") from None
    workers = min(args.jobs if args.jobs > 0 else _usable_cpus(), len(files))
    show = not args.quiet
    failed = finished = 0
    bar: Optional[Progress] = None
    progress = None
    header = audio_header(files[0]) if len(files) == 1 else None
    if header is not None and show and header[0] > 0:  # a rate of 0 fails the file, below
        seconds = header[2] / header[0] * (1 if args.mono else header[1])
        if seconds >= LONG_FILE_SECONDS:
            bar = long_bar = Progress(seconds, "seconds")
            hop_seconds = options.hop_for(header[0]) / header[0]

            def progress(frames: int) -> None:
                long_bar.update(frames * hop_seconds)
    if bar is None:
        bar = Progress(len(files), "files", enabled=show and len(files) > 1)

    def on_result(result: Any) -> None:
        nonlocal failed, finished
        finished += 1
        if bar.enabled and (result.error or result.warning):
            bar.stream.write("\r" + " " * 79 + "\r")
        if result.warning is not None:
            print(f"{PROG}: warning: {one_line(f'{result.path}: {result.warning}')}",
                  file=sys.stderr, flush=True)
        if result.error is not None:
            failed += 1
            _err(f"{result.path}: {result.error}")
        if bar.unit == "files":
            bar.update(1)

    try:
        run_jobs(jobs, options, max_workers=workers, on_result=on_result, progress=progress)
    except BrokenPipeError as exc:
        bar.close()
        return _stdout_lost(exc)
    except KeyboardInterrupt as exc:
        bar.close()
        _err(f"interrupted: {finished} of {len(files)} files finished; no partial "
             "output left")
        return 143 if isinstance(exc, _Terminated) else 130
    bar.close()
    if show and len(files) > 1:
        print(f"{PROG}: {finished - failed} of {len(files)} files tracked"
              + (f", {failed} failed" if failed else ""), file=sys.stderr)
    return 1 if failed else 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.jobs < 0:
        parser.error(f"--jobs {args.jobs}: must be >= 0 (0 = one per CPU)")
    try:
        # Parameter mistakes are the same for every file: report them once.
        options = _options(args)
        get_num_threads()  # QESMORPITCH_NUM_THREADS, read by every file's analysis
    except (TypeError, ValueError) as exc:
        parser.error(_option_error(exc, args))
    if args.stream:
        if args.audio != ["-"]:
            parser.error("--stream reads standard input: give '-' and no AUDIO files, "
                         "e.g. qesmor-pitch --stream --sr 16000 -")
        if args.output is not None or args.plot is not None:
            parser.error("--stream writes CSV rows to standard output: drop -o and --plot")
        if args.format not in (None, "csv"):
            # Taken silently, --format json gave CSV rows.
            parser.error(f"--stream writes CSV rows to standard output: drop --format "
                         f"{args.format}")
        if args.demo:
            parser.error("--demo tracks its own voice, and --stream standard input: give one")
        if args.sr is None:
            parser.error("--stream needs --sr RATE, the sampling rate of the raw input")
        if sys.stdin is None:
            parser.error("--stream reads standard input, which is closed; give it the raw samples")
        if sys.stdout is None:
            # Found out at the header's write, as an AttributeError.
            parser.error("--stream writes its rows to standard output, which is closed; "
                         "redirect it to a file, e.g. > track.csv")
        if not 1 <= args.channels <= 32:
            parser.error(f"--channels {args.channels}: must be from 1 to 32")
        try:
            options = Options.merged(options, {"method": args.method or "bayes",
                                               "causal": True})
            from ._track import make_plan

            make_plan(args.sr, options)
        except (TypeError, ValueError) as exc:
            parser.error(_option_error(exc, args))
        return run_stream(args, options)
    # The raw input's format means nothing to a file, whose header gives its
    # own: taken silently, a file at 44.1 kHz given --sr 16000 was tracked at
    # 44.1 kHz without a word.
    for flag, name in (("--sr", "sr"), ("--channels", "channels"), ("--dtype", "dtype")):
        value = getattr(args, name)
        if value != parser.get_default(name):
            text = f"{value:g}" if isinstance(value, float) else value
            parser.error(f"{flag} {text} applies to the raw samples of --stream only (a "
                         f"file's header gives its own rate and format): drop it, or add "
                         f"--stream -")
    if args.demo:
        if args.audio:
            parser.error("--demo takes no AUDIO files")
        if args.output is not None:
            # Found out after the demo had run and reported (a missing
            # folder, a directory, npz to standard output), and '' wrote
            # nothing with exit status 0.
            try:
                args.output = demo_output_path(args)
            except _Usage as exc:
                parser.error(one_line(str(exc)))
            if (args.output != "-" and _have_matplotlib() and os.path.realpath(args.output)
                    == os.path.realpath(demo_plot_path(args))):
                parser.error(f"-o {args.output}: the demo's track and its figure would both "
                             f"be written there; choose two names")
        if args.plot is not None and _have_matplotlib():
            # Before the demo runs, as for files: an unknown format was a
            # traceback after it, and a directory got a figure beside it
            # while the report named the directory.
            try:
                _check_figure_formats([argparse.Namespace(plot=demo_plot_path(args))])
            except _Usage as exc:
                parser.error(one_line(str(exc)))
        try:
            return run_demo(args, options)
        except OSError as exc:  # its report to standard output
            return _stdout_lost(exc)
    if not args.audio:
        parser.error("give at least one AUDIO file, or --demo")
    handlers = None
    if threading.current_thread() is threading.main_thread():
        handlers = signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        return run_files(args, options)
    except _Usage as exc:
        parser.error(one_line(str(exc)))
    except KeyboardInterrupt as exc:  # while the run was being planned
        _err(f"interrupted: 0 of {len(args.audio)} files finished")
        return 143 if isinstance(exc, _Terminated) else 130
    finally:
        if handlers is not None:
            signal.signal(signal.SIGTERM, handlers)
    return 2


if __name__ == "__main__":
    sys.exit(main())
