"""Many audio files, each tracked and written on its own, in parallel."""
from __future__ import annotations

import concurrent.futures as cf
import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Union

__all__ = ["FileResult", "track_files", "output_paths"]

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class FileResult:
    """What became of one input file.

    Attributes
    ----------
    path : str
        The input file.
    output : str or None
        The written track, or None when nothing was written.
    plot : str or None
        The written figure, if one was asked for and drawn.
    n_frames : int
        Frames in the track (0 on failure).
    duration : float
        Length of the audio in seconds (0 on failure).
    seconds : float
        Wall time spent on the file.
    error : str or None
        One line saying why the file failed, or None.
    track : PitchTrack or None
        The track itself when ``return_tracks=True``.
    """

    path: str
    output: Optional[str] = None
    plot: Optional[str] = None
    n_frames: int = 0
    duration: float = 0.0
    seconds: float = 0.0
    error: Optional[str] = None
    track: Any = None

    @property
    def ok(self) -> bool:
        return self.error is None


def output_paths(paths: Sequence[PathLike], out_dir: Optional[PathLike],
                 suffix: str) -> List[Path]:
    """One output name per input: ``<stem><suffix>`` in `out_dir`, or beside the input.

    Inputs whose stems collide inside one output directory get their parent
    folder names prefixed, so no output overwrites another.
    """
    inputs = [Path(p) for p in paths]
    if out_dir is None:
        return [p.with_name(p.stem + suffix) for p in inputs]
    out_dir = Path(out_dir)
    names = [p.stem for p in inputs]
    seen: Dict[str, int] = {}
    for n in names:
        seen[n] = seen.get(n, 0) + 1
    result = []
    for p, n in zip(inputs, names):
        if seen[n] > 1:
            parts = [x for x in p.resolve().parent.parts[-2:] if x not in ("/", "")]
            n = "_".join(parts + [n])
        result.append(out_dir / (n + suffix))
    return result


def _process_file(path: str, output: Optional[str], fmt: str, plot: Optional[str],
                  kwargs: Dict[str, Any], return_track: bool,
                  progress: Optional[Callable[[int], None]] = None) -> FileResult:
    """Read, track and write one file; every failure becomes the result's error.

    Runs in worker processes, so it must stay importable at module level.
    `progress` (in-process runs only) is called with frames as they are done.
    """
    from ._audio import read_audio, write_track
    from ._track import prepare, run_plan

    start = time.perf_counter()
    try:
        y, sr = read_audio(path)
        signal, plan = prepare(y, sr, **kwargs)
        pt = run_plan(signal, plan, progress)
        if output is not None:
            write_track(pt, output, fmt)
        plot_written = None
        if plot is not None:
            import matplotlib.pyplot as plt

            fig = pt.plot(signal, path=plot, title=Path(path).name)
            plt.close(fig)
            plot_written = plot
    except Exception as exc:
        from ._audio import AudioError, _one_line

        # Unreadable files and signals that break a limit explain themselves;
        # anything else keeps its type, which is the first clue to a bug.
        kind = "" if isinstance(exc, (AudioError, ValueError)) else f"{type(exc).__name__}: "
        return FileResult(path=path, seconds=time.perf_counter() - start,
                          error=kind + _one_line(exc))
    return FileResult(path=path, output=output, plot=plot_written, n_frames=pt.n_frames,
                      duration=signal.shape[-1] / plan.sr,
                      seconds=time.perf_counter() - start,
                      track=pt if return_track else None)


def track_files(
    paths: Iterable[PathLike],
    *,
    out_dir: Optional[PathLike] = None,
    format: str = "csv",
    plot_dir: Optional[PathLike] = None,
    executor: Optional[cf.Executor] = None,
    max_workers: Optional[int] = None,
    return_tracks: bool = False,
    on_result: Optional[Callable[[FileResult], None]] = None,
    **track_kwargs: Any,
) -> List[FileResult]:
    """Track every audio file in `paths`, writing each track as soon as it is done.

    Parameters
    ----------
    paths : iterable of str or path-like
        Audio files (WAV, FLAC, ... through soundfile; PCM WAV without it).
    out_dir : str or path-like, optional
        Directory for the tracks, created if missing, one ``<stem>.<format>``
        per input; by default each track goes beside its input as
        ``<stem>.f0.<format>``.
    format : {"csv", "json", "npz"}
    plot_dir : str or path-like, optional
        Also draw each track to ``<stem>.png`` there (needs matplotlib).
    executor : concurrent.futures.Executor, optional
        Where the files run; any executor works, e.g. a Dask cluster's
        ``distributed.Client(...).get_executor()``. By default a local
        process pool of `max_workers` processes, created and shut down here.
    max_workers : int >= 1, optional
        Size of the default pool (default: the number of CPUs). With 1 the
        files run one after another in this process.
    return_tracks : bool
        Keep each :class:`PitchTrack` in its result (they travel back from the
        workers, which costs memory for long files).
    on_result : callable, optional
        Called in this process with each :class:`FileResult` as it arrives,
        for progress reports.
    **track_kwargs
        Parameters of :func:`qesmorPitch.track` (``fmin``, ``method``, ...,
        and ``mono``), checked before any file is started.

    Returns
    -------
    list of FileResult
        In the order of `paths`. A file that fails has ``error`` set and no
        output; the others are unaffected.

    Examples
    --------
    >>> import numpy as np, pathlib, tempfile, wave
    >>> import qesmorPitch
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> sr = 8000
    >>> pcm = (8000 * np.sin(2 * np.pi * 150 * np.arange(sr) / sr)).astype("<i2")
    >>> with wave.open(str(folder / "a.wav"), "wb") as w:
    ...     w.setnchannels(1); w.setsampwidth(2); w.setframerate(sr)
    ...     w.writeframes(pcm.tobytes())
    >>> results = qesmorPitch.track_files([folder / "a.wav", folder / "missing.wav"],
    ...                                   max_workers=1)
    >>> [r.ok for r in results]
    [True, False]
    >>> pathlib.Path(results[0].output).name
    'a.f0.csv'
    """
    from ._audio import FORMATS
    from ._track import check_options

    if format not in FORMATS:
        raise ValueError(f"format={format!r} is not one of {', '.join(FORMATS)}")
    # A bad parameter would fail every file the same way: say it once, now.
    check_options(**track_kwargs)
    names = [str(p) for p in paths]
    outputs = [str(p) for p in output_paths(
        names, out_dir, ("." if out_dir is not None else ".f0.") + format)]
    plots: List[Optional[str]] = [None] * len(names)
    if plot_dir is not None:
        Path(plot_dir).mkdir(parents=True, exist_ok=True)
        plots = [str(p) for p in output_paths(names, plot_dir, ".png")]
    if out_dir is not None:
        Path(out_dir).mkdir(parents=True, exist_ok=True)

    results: List[Optional[FileResult]] = [None] * len(names)

    def record(i: int, result: FileResult) -> None:
        results[i] = result
        if on_result is not None:
            on_result(result)

    jobs = [(p, o, format, pl, track_kwargs, return_tracks)
            for p, o, pl in zip(names, outputs, plots)]
    if executor is None and (max_workers == 1 or len(jobs) <= 1):
        for i, job in enumerate(jobs):
            record(i, _process_file(*job))
        return [r for r in results if r is not None]

    own = executor is None
    pool: cf.Executor = (cf.ProcessPoolExecutor(max_workers=max_workers)
                         if executor is None else executor)
    try:
        futures = {pool.submit(_process_file, *job): i for i, job in enumerate(jobs)}
        for future in cf.as_completed(futures):
            i = futures[future]
            try:
                result = future.result()
            except Exception as exc:  # the worker itself died or could not unpickle
                result = FileResult(path=names[i], error=f"{type(exc).__name__}: {exc}")
            record(i, result)
    finally:
        if own:
            pool.shutdown()
    return [r for r in results if r is not None]
