"""Many audio files, each tracked and written on its own, in parallel."""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import importlib.util
import os
import queue
import secrets
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from ._options import Options
from ._threads import _check_count, _usable_cpus, get_num_threads

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
    warning : str or None
        What was odd about a file that was still tracked (a truncated file:
        its readable part was tracked).
    """

    path: str
    output: Optional[str] = None
    plot: Optional[str] = None
    n_frames: int = 0
    duration: float = 0.0
    seconds: float = 0.0
    error: Optional[str] = None
    track: Any = None
    warning: Optional[str] = None

    @property
    def ok(self) -> bool:
        return self.error is None


def output_paths(paths: Sequence[PathLike], out_dir: Optional[PathLike],
                 suffix: str) -> List[Path]:
    """One output name per input: ``<stem><suffix>`` in `out_dir`, or beside the input.

    Inputs that would share an output all get longer names, the first of
    these that tells them apart: in `out_dir`, the names of their two parent
    folders in front (``a/take.wav``, ``b/take.wav`` -> ``a_take.csv``,
    ``b_take.csv``); their file name's extension kept (``take.wav``,
    ``take.flac`` -> ``take.wav.csv``, ``take.flac.csv``, or beside them
    ``take.wav.f0.csv``); both; and where a longer name is still taken, a
    number after it. Only the same file given twice still shares, which
    :func:`check_targets` refuses.
    """
    inputs = [Path(p) for p in paths]
    base = [Path(out_dir) if out_dir is not None else p.parent for p in inputs]

    def with_parents(p: Path) -> str:
        parts = [x for x in p.resolve().parent.parts[-2:] if x not in ("/", "")]
        return "_".join(parts + [p.stem])

    variants: List[Callable[[Path], str]] = [lambda p: p.stem + p.suffix]
    if out_dir is not None:
        variants = [with_parents, variants[0], lambda p: with_parents(p) + p.suffix]
    names = [p.stem for p in inputs]
    groups: Dict[str, List[int]] = {}
    for i, (b, n) in enumerate(zip(base, names)):
        groups.setdefault(os.path.abspath(b / (n + suffix)), []).append(i)
    for group in groups.values():
        if len(group) > 1:
            for variant in variants:
                longer = [variant(inputs[i]) for i in group]
                if len(set(longer)) == len(group):
                    break
            for i, name in zip(group, longer):
                names[i] = name
    # A longer name can be another input's own (a/take.wav, b/take.wav and
    # c/a_take.wav): a file whose name was kept keeps it, and the other gets
    # the first free "-2", "-3", ... after it.
    renamed = [n != p.stem for n, p in zip(names, inputs)]
    owner: Dict[str, Path] = {}
    for i in sorted(range(len(inputs)), key=lambda i: (renamed[i], i)):
        me = inputs[i].resolve()
        key = os.path.abspath(base[i] / (names[i] + suffix))
        k = 1
        while owner.setdefault(key, me) != me:
            k += 1
            key = os.path.abspath(base[i] / f"{names[i]}-{k}{suffix}")
        if k > 1:
            names[i] = f"{names[i]}-{k}"
    return [b / (n + suffix) for b, n in zip(base, names)]


@dataclass(frozen=True)
class Job:
    """One input file and where its track (and figure) go; None writes nothing."""

    path: str
    output: Optional[str]
    fmt: str = "csv"
    plot: Optional[str] = None
    # Starts the names of the run's temporary files (see _audio.atomic_output),
    # so that a stopped run removes its own and no one else's.
    tag: str = field(default_factory=lambda: secrets.token_hex(6))


def check_targets(jobs: Sequence[Job]) -> None:
    """Refuse a run in which two outputs share a path, an output is an input
    or a directory, or one file is given twice.

    Raises ValueError naming both inputs, before anything is written.
    """
    # The paths the writes will land on: an output is written where its
    # links lead (see _audio.atomic_output), so links are followed here too,
    # and a file reached by two paths (a bind mount) is known by its inode.
    from ._audio import name_too_long

    # The same file under two names (a link, a second mount, ./a.wav and
    # a.wav) would be tracked twice into two outputs; told first, since the
    # outputs it was given are then renamed apart.
    given: Dict[Any, Job] = {}
    for job in jobs:
        key = _file_key(job.path) or os.path.realpath(job.path)
        if key in given:
            raise ValueError(f"{given[key].path} and {job.path} are the same file; give it once")
        given[key] = job
    inputs = {_file_key(j.path) for j in jobs} - {None} | {os.path.realpath(j.path) for j in jobs}
    taken: Dict[Any, Job] = {}
    for job in jobs:
        for target in (job.output, job.plot):
            if target is None or target == "-":
                continue
            # The output's name is made from the input's (and, to keep
            # colliding inputs apart, from the folders above it).
            too_long = name_too_long(target, "shorten the input's name, or the names of the "
                                             "folders that tell it from another input's")
            if too_long:
                raise ValueError(f"{job.path}: its output {too_long}")
            if os.path.isdir(target):
                raise ValueError(f"{job.path}: the output {target} is a directory; remove it "
                                 "or choose another output name")
            key = os.path.realpath(target)
            if key in inputs or _file_key(target) in inputs:
                raise ValueError(f"{job.path}: the output {target} is an input of this run; "
                                 "choose another output name")
            if taken.get(key) is job:
                raise ValueError(f"{job.path}: its track and its figure would both be "
                                 f"written to {target}; choose two names")
            if key in taken:
                raise ValueError(f"{taken[key].path} and {job.path} would both be written "
                                 f"to {target}; give each file once, or rename one")
            taken[key] = job


def _file_key(path: PathLike) -> Optional[Tuple[int, int]]:
    """(device, inode) of an existing file, else None."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def plan_jobs(paths: Sequence[str], *, out_dir: Optional[PathLike], fmt: str,
              plot_dir: Optional[PathLike] = None) -> List[Job]:
    """The jobs of a batch, named by :func:`output_paths`, checked by :func:`check_targets`."""
    outputs = output_paths(paths, out_dir, ("." if out_dir is not None else ".f0.") + fmt)
    plots: List[Optional[Path]] = [None] * len(paths)
    if plot_dir is not None:
        plots = list(output_paths(paths, plot_dir, ".png"))
    jobs = [Job(p, str(o), fmt, None if pl is None else str(pl))
            for p, o, pl in zip(paths, outputs, plots)]
    check_targets(jobs)
    return jobs


def _process_file(job: Job, options: Options, return_track: bool,
                  progress: Optional[Callable[[int], None]] = None) -> FileResult:
    """Read, track and write one file; every failure becomes the result's error.

    Runs in worker processes, so it must stay importable at module level.
    `progress` (in-process runs only) is called with frames as they are done.
    The file is read block by block, so memory does not grow with its length
    (a figure needs the whole signal, though).
    """
    from ._audio import AudioError, AudioFile, _one_line, atomic_output, write_failure, write_track
    from ._track import make_plan, run_plan

    start = time.perf_counter()
    # The output being written, which a write's error is about (it names
    # no file, or the temporary one).
    writing: Optional[str] = None
    try:
        with AudioFile(job.path, mono=options.mono) as audio:
            plan = make_plan(audio.sr, options)
            pt = run_plan(audio, plan, progress)
            samples = audio.read(0, audio.n_samples) if job.plot is not None else None
        if job.output is not None:
            writing = job.output
            write_track(pt, job.output, job.fmt, tag=job.tag)
            writing = None
        if job.plot is not None and samples is not None:
            import matplotlib.pyplot as plt

            # A name that is no valid UTF-8 holds surrogate escapes, which
            # the font renderer refuses: they are drawn as replacement marks.
            title = os.fsencode(Path(job.path).name).decode("utf-8", "replace")
            fig = pt.plot(samples[0] if pt.n_channels is None else samples, title=title)
            try:
                writing = job.plot
                with atomic_output(job.plot, binary=True, tag=job.tag) as fh:
                    fig.savefig(fh, format=Path(job.plot).suffix.lstrip(".").lower() or "png")
            finally:
                plt.close(fig)
    except Exception as exc:
        if isinstance(exc, BrokenPipeError) and job.output == "-":
            # The reader of standard output went away (e.g. `| head`): no
            # later track can be written either, so the whole run stops.
            raise
        # Unreadable files and signals that break a limit explain themselves;
        # anything else keeps its type, which is the first clue to a bug.
        kind = "" if isinstance(exc, (AudioError, ValueError)) else f"{type(exc).__name__}: "
        error = (write_failure(writing, exc) if writing is not None and isinstance(exc, OSError)
                 else kind + _one_line(exc))
        return FileResult(path=job.path, seconds=time.perf_counter() - start, error=error)
    warning = audio.warning
    if pt.n_frames == 0 and warning is None:
        # Written (an empty track is a track), but said: it is rarely meant.
        warning = (f"{audio.n_samples} samples, shorter than one frame ({pt.frame_length} "
                   f"at {pt.sr:g} Hz): the track has no frames; a higher fmin makes "
                   f"frames shorter")
    return FileResult(path=job.path, output=job.output, plot=job.plot, n_frames=pt.n_frames,
                      duration=audio.n_samples / audio.sr,
                      seconds=time.perf_counter() - start,
                      track=pt if return_track else None, warning=warning)


def _path_text(p: Any) -> str:
    """A path given as str, bytes or path-like, as text (str() of bytes would
    be "b'...'", a file that does not exist)."""
    if not isinstance(p, (str, bytes, os.PathLike)):
        raise TypeError(f"paths must hold file names (str, bytes or path-like), got {p!r}")
    return _no_nul(os.fsdecode(os.fspath(p)), "paths holds")


def _no_nul(name: str, what: str) -> str:
    # The system's calls end a name at a NUL; Python refuses it with
    # "embedded null byte", which names no file.
    if "\0" in name:
        raise ValueError(f"{what} {name!r}, whose NUL character no file name can hold; "
                         f"remove it")
    return name


def _folder_text(folder: Any, name: str) -> Optional[str]:
    """A folder given as str, bytes (as the system lists names) or
    path-like, as text; None stays None."""
    if folder is None:
        return None
    if not isinstance(folder, (str, bytes, os.PathLike)):
        raise TypeError(f"{name}={folder!r} must be a folder name (str, bytes or path-like), "
                        f"or None")
    return _no_nul(os.fsdecode(os.fspath(folder)), f"{name} is")


def _worker_init(threads: int = 1) -> None:
    # The parent decides what an interrupt stops: a worker that took SIGINT
    # itself would only fail its file and go on with the next.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _worker_stop)
    # The pool's processes share the CPUs already; threads on top of them
    # would only take turns.
    from ._threads import set_num_threads

    set_num_threads(threads)


def _worker_stop(signum: int, frame: Any) -> None:
    from ._audio import remove_own_partials

    remove_own_partials()
    os._exit(128 + signum)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Ignore SIGINT and SIGTERM while a stopped run cleans up (about a second
    at most), so that pressing Ctrl-C again cannot leave temporary files."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    held = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for s, handler in held.items():
            signal.signal(s, handler)


def _one_by_one(jobs: Sequence[Job], indices: Sequence[int], options: Options,
                return_tracks: bool, record: Callable[[int, FileResult], None]) -> None:
    """The jobs `indices` that a dead worker took down with it (killed, out of
    memory, a crash in a decoder library), each on a pool of one worker: a
    file that kills that one as well is the one to blame, and only it fails."""
    from concurrent.futures.process import BrokenProcessPool

    pool: Optional[cf.ProcessPoolExecutor] = None
    try:
        for i in indices:
            if pool is None:
                pool = cf.ProcessPoolExecutor(max_workers=1, initializer=_worker_init,
                                              initargs=(get_num_threads(),))
            try:
                result = pool.submit(_process_file, jobs[i], options, return_tracks).result()
            except BrokenProcessPool:
                _stop_pool(pool)
                pool = None
                result = FileResult(path=jobs[i].path,
                                    error="the worker process tracking it died (killed, or out "
                                          "of memory?); the other files were tracked again")
            record(i, result)
    except BaseException:
        if pool is not None:
            with _signals_held():
                _stop_pool(pool)
        raise
    if pool is not None:
        pool.shutdown()
    # A worker killed while writing cannot remove its temporary file, and
    # the file's next try writes another: what is left of these jobs' now
    # is a dead worker's, beside an output written whole or not at all.
    _remove_partials([jobs[i] for i in indices])


def _stop_pool(pool: cf.ProcessPoolExecutor) -> None:
    """Cancel the queued files and end the running ones now."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    # Taken before shutdown(), which drops the pool's reference to it.
    manager = getattr(pool, "_executor_manager_thread", None)
    pool.shutdown(wait=False, cancel_futures=True)
    for p in processes:
        p.terminate()
    deadline = time.monotonic() + 1.0
    for p in processes:
        p.join(max(0.0, deadline - time.monotonic()))
    for p in processes:
        if p.is_alive():
            p.kill()
            p.join(1.0)
    # The pool's own thread closes its wakeup pipe once it sees the workers
    # gone; interpreter exit writes to that pipe, and when the two race
    # (Python 3.11) exit prints "OSError: [Errno 9] Bad file descriptor"
    # after the run's last line. Waited for here, the race cannot happen.
    if manager is not None:
        manager.join(2.0)


def _remove_partials(jobs: Sequence[Job]) -> None:
    from ._audio import partial_files

    for job in jobs:
        for target in (job.output, job.plot):
            if target is not None and target != "-":
                for tmp in partial_files(target, job.tag):
                    try:
                        tmp.unlink()
                    except OSError:
                        pass


def _next_done(done: "queue.SimpleQueue[cf.Future]") -> cf.Future:
    # In short waits: a wait without a timeout would hold off Ctrl-C on
    # some platforms until a file finished.
    while True:
        try:
            return done.get(timeout=0.25)
        except queue.Empty:
            continue


def run_jobs(jobs: Sequence[Job], options: Options, *, executor: Optional[cf.Executor] = None,
             max_workers: Optional[int] = None, return_tracks: bool = False,
             on_result: Optional[Callable[[FileResult], None]] = None,
             progress: Optional[Callable[[int], None]] = None) -> List[FileResult]:
    """Run `jobs` in this process, on a pool of at most one worker per job, or
    on `executor`; results in the order of `jobs`.

    On KeyboardInterrupt (or any other exception here) the queued jobs are
    cancelled, the pool's running workers are ended, every unfinished
    temporary file of the run is removed, and the exception propagates.
    `progress` is only used by jobs that run in this process.
    """
    results: List[Optional[FileResult]] = [None] * len(jobs)

    def record(i: int, result: FileResult) -> None:
        results[i] = result
        if on_result is not None:
            on_result(result)

    workers = min(max_workers or _usable_cpus(), len(jobs))
    try:
        if executor is None and workers <= 1:
            for i, job in enumerate(jobs):
                record(i, _process_file(job, options, return_tracks, progress))
        else:
            pool = executor if executor is not None else cf.ProcessPoolExecutor(
                max_workers=workers, initializer=_worker_init,
                initargs=(max(1, get_num_threads() // workers),))
            # Our own pool's breakage only; imported once cf.ProcessPoolExecutor
            # has imported it (at import time it would register its exit
            # handler before the thread pools' and change their order at exit).
            restart: Tuple[type, ...] = ()
            # A caller's process pool breaks the same way: every file it held
            # failed with the one that killed its worker, tracked or not.
            # Such an executor has imported the module already.
            process = sys.modules.get("concurrent.futures.process")
            if executor is None or (process is not None
                                    and isinstance(executor, process.ProcessPoolExecutor)):
                from concurrent.futures.process import BrokenProcessPool

                restart = (BrokenProcessPool,)
            futures: Dict[cf.Future, int] = {}
            broken: List[int] = []
            # Futures as they finish or are cancelled. as_completed() waits
            # forever on a future cancelled by anyone but its executor's own
            # worker (a caller's pool shut down with cancel_futures=True from
            # another thread): only a worker tells its waiters of that, while
            # done-callbacks run on every cancel.
            done: "queue.SimpleQueue[cf.Future]" = queue.SimpleQueue()
            try:
                for i, job in enumerate(jobs):
                    future = pool.submit(_process_file, job, options, return_tracks)
                    if not callable(getattr(future, "add_done_callback", None)):
                        # Else an AttributeError from deep in here, naming no executor.
                        raise TypeError(f"executor.submit() returned {future!r}, not a future; "
                                        f"give a concurrent.futures.Executor (or a Dask "
                                        f"Client's get_executor())")
                    futures[future] = i
                    future.add_done_callback(done.put)
                for _ in range(len(futures)):
                    future = _next_done(done)
                    i = futures[future]
                    try:
                        result = future.result()
                    except BrokenPipeError:
                        raise
                    except cf.CancelledError:
                        result = FileResult(path=jobs[i].path, error=(
                            "cancelled by the executor before it finished (shut down, or "
                            "its task cancelled); track the file again"))
                    except Exception as exc:  # the worker died or could not unpickle
                        if isinstance(exc, restart):
                            # One dead worker breaks the whole pool: every
                            # file it had not finished is tried again below.
                            broken.append(i)
                            continue
                        text = " ".join(str(exc).split())
                        result = FileResult(path=jobs[i].path, error=type(exc).__name__
                                            + (f": {text}" if text else ""))
                    if not isinstance(result, FileResult):
                        # An executor that does not run what it is given
                        # (a stub, a broken wrapper): the file was dropped
                        # from the results, which are one per input.
                        result = FileResult(path=jobs[i].path,
                                            error=f"the executor returned {type(result).__name__}"
                                                  f", not the file's result; check that its "
                                                  f"submit() runs the function it is given")
                    record(i, result)
            except BaseException:
                with _signals_held():
                    for future in futures:
                        future.cancel()
                    if executor is None:
                        _stop_pool(pool)
                raise
            if executor is None:
                # A broken pool's threads are waited for before any new
                # worker is forked (a lock one of them held would be held
                # for good in the child).
                _stop_pool(pool) if broken else pool.shutdown()
            _one_by_one(jobs, sorted(broken), options, return_tracks, record)
    except BaseException:
        with _signals_held():
            _remove_partials(jobs)
        raise
    return [r for r in results if r is not None]


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
        ``<stem>.f0.<format>``. Inputs that would share a name get longer
        ones (see :func:`output_paths`); the same file given twice is refused.
        Each track is written to a temporary file beside its target and
        renamed into place when complete.
    format : {"csv", "json", "npz"}
    plot_dir : str or path-like, optional
        Also draw each track to ``<stem>.png`` there (needs matplotlib).
    executor : concurrent.futures.Executor, optional
        Where the files run; any executor works, e.g. a Dask cluster's
        ``distributed.Client(...).get_executor()``. By default a local
        process pool of `max_workers` processes, created and shut down here.
    max_workers : int >= 1, optional
        Size of the default pool (default: the number of CPUs), at most one
        process per file; each process tracks on its share of
        :func:`get_num_threads` threads. With 1 the files run one after
        another in this process, each on all the threads.
    return_tracks : bool
        Keep each :class:`PitchTrack` in its result (they travel back from the
        workers, which costs memory for long files).
    on_result : callable, optional
        Called in this process with each :class:`FileResult` as it arrives,
        for progress reports.
    **track_kwargs
        Parameters of :func:`qesmorPitch.track` (``fmin``, ``method``, ...,
        ``mono``, ``hop_seconds``), checked before any file is started.

    Returns
    -------
    list of FileResult
        In the order of `paths`. A file that fails has ``error`` set and no
        output; the others are unaffected. Files are read block by block, so
        memory does not grow with their length.

    Raises
    ------
    TypeError
        `paths` is a single path, or a parameter is unknown or of the wrong type.
    ValueError
        A parameter is out of range, or two inputs would be written to one path.
    KeyboardInterrupt
        After an interrupt: queued files are not started, the pool's workers
        are stopped and no partial output is left.

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

    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError(f"paths must be a list of files, got the single path {paths!r}; "
                        "for one file pass [path]")
    if format not in FORMATS:
        raise ValueError(f"format={format!r} is not one of {', '.join(FORMATS)}")
    # A bad parameter would fail every file the same way: say it once, now.
    options = Options.from_kwargs(track_kwargs)
    if max_workers is not None:
        max_workers = _check_count(max_workers, "max_workers", "max_workers=2")
    if on_result is not None and not callable(on_result):
        raise TypeError(f"on_result={on_result!r} must be a function of one FileResult, or None")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor={executor!r} has no submit(); give a "
                        f"concurrent.futures.Executor (or a Dask Client), or None")
    out_dir, plot_dir = _folder_text(out_dir, "out_dir"), _folder_text(plot_dir, "plot_dir")
    if plot_dir is not None and executor is None and importlib.util.find_spec("matplotlib") is None:
        # Said now, not after every track is written and each file failed.
        raise ImportError("plot_dir needs matplotlib to draw the tracks: "
                          "pip install 'qesmorPitch[plot]', or leave plot_dir out")
    jobs = plan_jobs([_path_text(p) for p in paths], out_dir=out_dir, fmt=format,
                     plot_dir=plot_dir)
    for name, folder in (("out_dir", out_dir), ("plot_dir", plot_dir)):
        if folder is None:
            continue
        if not os.fspath(folder):
            raise ValueError(f"{name}='' is no directory; give one, e.g. {name}='.'")
        try:
            Path(folder).mkdir(parents=True, exist_ok=True)
        except FileExistsError:
            raise ValueError(f"{name}={str(folder)!r} is a file, not a directory; "
                             f"give a directory (it is created if missing)") from None
    return run_jobs(jobs, options, executor=executor, max_workers=max_workers,
                    return_tracks=return_tracks, on_result=on_result)
