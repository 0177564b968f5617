"""The ``qesmor-pitch`` command: audio files in, one pitch track per file out."""
from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, TextIO

from . import __version__
from ._audio import format_for
from ._track import DEFAULT_INTERPOLATOR, DEFAULTS, INTERPOLATORS, METHODS, POLARITIES

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
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Estimate the pitch (F0) of audio files, one track per file.",
        epilog=("Output columns: time (s, frame centre), f0 (Hz, nan when unvoiced), "
                "strength, probability, voiced (1/0). Without -o each track is written "
                "beside its input as NAME.f0.csv. Exit status 1 if any file failed."))
    p.add_argument("audio", nargs="*", metavar="AUDIO",
                   help="WAV or FLAC files (FLAC and non-PCM WAV need soundfile)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output file for one input ('-' for standard output), "
                        "or a directory for several")
    p.add_argument("--format", choices=("csv", "json", "npz"),
                   help="output format (default: from OUT's suffix, else csv)")
    p.add_argument("--method", choices=METHODS, default="viterbi",
                   help="viterbi: best path over the whole file (default); bayes: causal "
                        "forward filter; direct: each frame on its own")
    p.add_argument("--fmin", type=float, default=50.0, help="lowest pitch in Hz (default 50)")
    p.add_argument("--fmax", type=float, default=500.0, help="highest pitch in Hz (default 500)")
    p.add_argument("--hop-ms", type=float, default=10.0,
                   help="time between frames in ms (default 10)")
    p.add_argument("--polarity", choices=POLARITIES, default="both",
                   help="half-waves analysed (default both)")
    p.add_argument("--interpolator", choices=INTERPOLATORS, default=DEFAULT_INTERPOLATOR,
                   help=f"sub-sample refinement (default {DEFAULT_INTERPOLATOR})")
    p.add_argument("--voicing-threshold", type=float, metavar="S",
                   help="least strength of a voiced frame (default: the method's, "
                        + ", ".join(f"{m} {d['voicing_threshold']:g}" for m, d in DEFAULTS.items())
                        + ")")
    p.add_argument("--sigma", type=float, help="tracking methods: expected pitch change "
                                               "per frame, in octaves")
    p.add_argument("--beta", type=float, help="viterbi: weight of the observations")
    p.add_argument("--alpha", type=float, help="bayes: exponent on the prediction")
    p.add_argument("--mono", action="store_true",
                   help="mix multichannel files down (default: one track per channel)")
    p.add_argument("--plot", metavar="PNG",
                   help="also draw each track (a file for one input, a directory for "
                        "several; needs matplotlib)")
    p.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="files processed in parallel (default 1; 0 = one per CPU)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary, only errors")
    p.add_argument("--demo", action="store_true",
                   help="track a synthesised voice with a known F0, print its accuracy "
                        f"and plot it (to {DEMO_PLOT} unless --plot is given)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def _track_kwargs(args: argparse.Namespace) -> Dict[str, Any]:
    kw: Dict[str, Any] = dict(method=args.method, fmin=args.fmin, fmax=args.fmax,
                              polarity=args.polarity, interpolator=args.interpolator,
                              voicing_threshold=args.voicing_threshold, mono=args.mono)
    # Unset options are None and fall back to the method's defaults; one that
    # belongs to another method is refused by the parameter check.
    kw.update(sigma=args.sigma, beta=args.beta, alpha=args.alpha)
    return kw


def _err(msg: str) -> None:
    print(f"{PROG}: error: {msg}", file=sys.stderr, flush=True)


def _have_matplotlib() -> bool:
    import importlib.util

    return importlib.util.find_spec("matplotlib") is not None


def run_demo(args: argparse.Namespace) -> int:
    from . import _corpus, _scoring
    from ._track import prepare, run_plan

    ex = _corpus.demo_example()
    start = time.perf_counter()
    signal, plan = prepare(ex.y, ex.sr, hop_seconds=args.hop_ms / 1000.0,
                           **_track_kwargs(args))
    pt = run_plan(signal, plan)
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
    if args.output:
        from ._audio import write_track

        write_track(pt, args.output, args.format or format_for(args.output))
        if args.output != "-":
            print(f"  track     {args.output}")
    plot_path = args.plot or DEMO_PLOT
    if _have_matplotlib():
        from ._plot import plot_track

        try:
            fig = plot_track(pt, ex.y, path=plot_path, reference=(ex.ref_times, ex.ref_f0),
                             title=f"qesmor-pitch --demo: {pt.method}, "
                                   f"RPA {100 * scores['raw_pitch_accuracy']:.1f} %")
        except OSError as exc:
            _err(f"cannot write the plot {plot_path}: {exc.strerror or exc}")
            return 1
        import matplotlib.pyplot as plt

        plt.close(fig)
        print(f"  plot      {plot_path}")
    else:
        print("  plot      skipped: matplotlib is not installed "
              "(pip install 'qesmorPitch[plot]')")
    return 0


def _plan_outputs(args: argparse.Namespace, files: List[str]):
    """(out_dir, single_output, plot_dir, single_plot, fmt) from the arguments."""
    fmt = args.format
    out_dir = single_out = plot_dir = single_plot = None
    if args.output is not None:
        if len(files) == 1 and not Path(args.output).is_dir():
            single_out = args.output
            fmt = fmt or format_for(args.output)
        else:
            if args.output == "-":
                raise SystemExit(_usage_error("-o - takes a single input file"))
            out_dir = args.output
    if args.plot is not None:
        if len(files) == 1 and not Path(args.plot).is_dir():
            single_plot = args.plot
        else:
            plot_dir = args.plot
    return out_dir, single_out, plot_dir, single_plot, fmt or "csv"


def _usage_error(msg: str) -> int:
    build_parser().print_usage(sys.stderr)
    _err(msg)
    return 2


def _audio_seconds(path: str, mono: bool) -> float:
    """Seconds of audio to analyse (times channels unless mixed down), from
    the file header; 0 if it can't be read cheaply."""
    try:
        import soundfile

        info = soundfile.info(path)
        return float(info.duration) * (1 if mono else info.channels)
    except Exception:
        pass
    try:
        import wave

        with wave.open(path, "rb") as w:
            return (w.getnframes() / float(w.getframerate())
                    * (1 if mono else w.getnchannels()))
    except Exception:
        return 0.0


def run_files(args: argparse.Namespace) -> int:
    from ._batch import _process_file, track_files

    files = list(args.audio)
    out_dir, single_out, plot_dir, single_plot, fmt = _plan_outputs(args, files)
    if (plot_dir or single_plot) and not _have_matplotlib():
        return _usage_error("--plot needs matplotlib: pip install 'qesmorPitch[plot]'")
    kwargs = _track_kwargs(args)
    kwargs["hop_seconds"] = args.hop_ms / 1000.0
    show = not args.quiet
    failed = 0

    def report(result) -> None:
        nonlocal failed
        if result.error is not None:
            failed += 1
            if bar is not None and bar.enabled:
                bar.stream.write("\r" + " " * 79 + "\r")
            _err(f"{result.path}: {result.error}")

    bar: Optional[Progress] = None
    if len(files) == 1:
        path = files[0]
        output = single_out
        if output is None:
            from ._batch import output_paths

            output = str(output_paths([path], out_dir, (
                "." if out_dir else ".f0.") + fmt)[0])
            if out_dir:
                Path(out_dir).mkdir(parents=True, exist_ok=True)
        plot = single_plot
        if plot_dir is not None:
            from ._batch import output_paths

            Path(plot_dir).mkdir(parents=True, exist_ok=True)
            plot = str(output_paths([path], plot_dir, ".png")[0])
        seconds = _audio_seconds(path, args.mono)
        progress = None
        if show and seconds >= LONG_FILE_SECONDS:
            bar = long_bar = Progress(seconds, "seconds")
            hop_seconds = args.hop_ms / 1000.0

            def progress(frames: int) -> None:
                long_bar.update(frames * hop_seconds)
        try:
            result = _process_file(path, output, fmt, plot, kwargs, False, progress)
        finally:
            if bar is not None:
                bar.close()
        report(result)
        return 1 if failed else 0

    jobs = args.jobs if args.jobs > 0 else (os.cpu_count() or 1)
    bar = Progress(len(files), "files", enabled=show)

    def on_result(result) -> None:
        report(result)
        bar.update(1)

    try:
        results = track_files(files, out_dir=out_dir, format=fmt, plot_dir=plot_dir,
                              max_workers=jobs, on_result=on_result, **kwargs)
    finally:
        bar.close()
    if show:
        ok = sum(r.ok for r in results)
        print(f"{PROG}: {ok} of {len(results)} files tracked"
              + (f", {failed} failed" if failed else ""), file=sys.stderr)
    return 1 if failed else 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.jobs < 0:
        parser.error(f"--jobs={args.jobs} must be >= 0")
    if args.hop_ms <= 0:
        parser.error(f"--hop-ms={args.hop_ms:g} must be > 0, e.g. 10")
    try:
        # Parameter mistakes are the same for every file: report them once.
        from ._track import check_options

        check_options(hop_seconds=args.hop_ms / 1000.0, **_track_kwargs(args))
    except (TypeError, ValueError) as exc:
        parser.error(str(exc))
    if args.demo:
        if args.audio:
            parser.error("--demo takes no AUDIO files")
        return run_demo(args)
    if not args.audio:
        parser.error("give at least one AUDIO file, or --demo")
    try:
        return run_files(args)
    except KeyboardInterrupt:
        _err("interrupted")
        return 130


if __name__ == "__main__":
    sys.exit(main())
