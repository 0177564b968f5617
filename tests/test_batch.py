"""track_files: parallel batches on the default pool, on any executor and on
a Dask cluster; failures stay with their file."""
import concurrent.futures as cf
import os
import re
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import qesmorPitch
from qesmorPitch import _audio, _batch

from test_cli import voice, write_wav

SR = 8000


@pytest.fixture
def corpus(tmp_path):
    """Three good files (one stereo), one that is not audio, one missing."""
    write_wav(tmp_path / "low.wav", voice(f0=110.0))
    write_wav(tmp_path / "high.wav", voice(f0=290.0))
    write_wav(tmp_path / "st.wav", np.stack([voice(f0=150.0), voice(f0=200.0)], 1),
              channels=2)
    (tmp_path / "bad.wav").write_bytes(b"RIFF1234WAVEnothing")
    names = ["low.wav", "bad.wav", "high.wav", "missing.wav", "st.wav"]
    return [tmp_path / n for n in names]


def check(results, paths, out_dir, fmt="csv"):
    assert [r.path for r in results] == [str(p) for p in paths]
    ok = {p.name for p, r in zip(paths, results) if r.ok}
    assert ok == {"low.wav", "high.wav", "st.wav"}
    failed = {p.name: r.error for p, r in zip(paths, results) if not r.ok}
    assert "not a readable" in failed["bad.wav"] and failed["missing.wav"] == "no such file"
    assert all(r.output is None for r in results if not r.ok)
    # Each written track is what track() gives in this process.
    for p, r in zip(paths, results):
        if r.ok:
            y, sr = _audio.read_audio(p)
            expected = _audio.track_to_csv(qesmorPitch.track(y, sr))
            assert open(r.output).read() == expected
            assert r.n_frames > 0 and r.duration == pytest.approx(1.0)
    assert sorted(x.name for x in out_dir.iterdir()) == ["high.csv", "low.csv", "st.csv"]


def test_default_process_pool(corpus, tmp_path):
    seen = []
    results = qesmorPitch.track_files(corpus, out_dir=tmp_path / "out", max_workers=2,
                                      on_result=seen.append)
    check(results, corpus, tmp_path / "out")
    assert sorted(r.path for r in seen) == sorted(str(p) for p in corpus)


_PROCESS_FILE = _batch._process_file


def _dies_on_high(job, *args):
    if job.path.endswith("high.wav"):
        # Killed half-way through writing its track (as the out-of-memory
        # killer would end it), which leaves the temporary file behind.
        from qesmorPitch import _audio
        with _audio.atomic_output(job.output, tag=job.tag) as fh:
            fh.write("time,f0\n")
            os._exit(1)
    return _PROCESS_FILE(job, *args)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="a worker forked by the sanitizer's runtime from a process with "
                           "threads can wait forever on the runtime's allocator lock")
@pytest.mark.parametrize("callers_pool", [False, True])
def test_a_worker_that_dies_fails_its_own_file_only(corpus, tmp_path, monkeypatch, callers_pool):
    # One dead worker broke the pool, and every file not finished by then
    # failed with it, tracked or not (on a caller's pool too).
    import multiprocessing

    monkeypatch.setattr(_batch, "_process_file", _dies_on_high)
    paths = [corpus[0], corpus[2], corpus[4]]
    pool = (cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork"))
            if callers_pool else None)
    try:
        results = qesmorPitch.track_files(paths, out_dir=tmp_path / "out", max_workers=2,
                                          executor=pool)
    finally:
        if pool is not None:
            pool.shutdown()
    assert [r.ok for r in results] == [True, False, True]
    assert "worker process tracking it died" in results[1].error
    assert sorted(x.name for x in (tmp_path / "out").iterdir()) == ["low.csv", "st.csv"]


def test_a_stopped_pool_leaves_no_thread_for_exit_to_race():
    # Exit writes to the wakeup pipe of every pool thread still running, and
    # one closing that pipe at the same moment made it print "Bad file
    # descriptor" after an interrupted run's last line.
    pool = cf.ProcessPoolExecutor(max_workers=1)
    pool.submit(time.sleep, 30).running() or time.sleep(0.2)
    manager = pool._executor_manager_thread
    _batch._stop_pool(pool)
    assert not manager.is_alive()


def test_any_executor_and_tracks_returned(corpus, tmp_path):
    threads = set()

    class Recording(cf.ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            def wrapped(*a, **k):
                threads.add(threading.get_ident())
                return fn(*a, **k)
            return super().submit(wrapped, *args, **kwargs)

    with Recording(max_workers=2) as pool:
        results = qesmorPitch.track_files(corpus, out_dir=tmp_path / "out", executor=pool,
                                          return_tracks=True)
    check(results, corpus, tmp_path / "out")
    assert threading.get_ident() not in threads
    stereo = results[-1].track
    assert stereo.f0.shape[0] == 2
    assert abs(np.nanmedian(stereo.f0[1]) - 200.0) < 2.0


def test_an_executor_that_returns_no_result_fails_the_file(corpus, tmp_path):
    # Its file was dropped: fewer results than inputs, none of them failed.
    class Stub(cf.Executor):
        def submit(self, fn, *args, **kwargs):
            future = cf.Future()
            future.set_result(None)
            return future

    results = qesmorPitch.track_files(corpus[:1], out_dir=tmp_path / "out", executor=Stub())
    assert [r.ok for r in results] == [False]
    assert "the executor returned NoneType" in results[0].error

    # A submit() that returns no future failed with an AttributeError.
    class NoFuture(cf.Executor):
        def submit(self, fn, *args, **kwargs):
            return None

    with pytest.raises(TypeError, match=r"executor.submit\(\) returned None, not a future"):
        qesmorPitch.track_files(corpus[:1], out_dir=tmp_path / "out", executor=NoFuture())


def test_files_a_caller_s_pool_cancels_fail_instead_of_hanging(corpus, tmp_path):
    # A future cancelled by a shutdown(cancel_futures=True) is never handed
    # to as_completed()'s waiters: the batch waited for it forever. A bare
    # CancelledError was reported as "CancelledError: ".
    submitted, released = threading.Semaphore(0), threading.Event()

    def slow(*args):
        released.wait(10)
        return _batch._process_file(*args)

    class Slow(cf.ThreadPoolExecutor):
        def submit(self, fn, *args, **kwargs):
            future = super().submit(slow, *args, **kwargs)
            submitted.release()
            return future

    def stop():
        submitted.acquire(timeout=10) and submitted.acquire(timeout=10)
        pool.shutdown(wait=False, cancel_futures=True)
        released.set()

    pool = Slow(max_workers=1)
    paths = [corpus[0], corpus[2]]
    stopper = threading.Thread(target=stop)
    stopper.start()
    results = []
    worker = threading.Thread(target=lambda: results.extend(qesmorPitch.track_files(
        paths, out_dir=tmp_path / "out", executor=pool)), daemon=True)
    worker.start()
    worker.join(30)
    stopper.join()
    assert not worker.is_alive(), "track_files waited for a cancelled file forever"
    assert [r.ok for r in results] == [True, False]
    assert results[1].error.startswith("cancelled by the executor before it finished")
    assert not (tmp_path / "out" / "high.csv").exists()

def test_dask_cluster_executor(corpus, tmp_path):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        results = qesmorPitch.track_files(corpus, out_dir=tmp_path / "out",
                                          executor=client.get_executor(), method="bayes")
    assert [r.ok for r in results] == [True, False, True, False, True]
    y, sr = _audio.read_audio(corpus[0])
    expected = _audio.track_to_csv(qesmorPitch.track(y, sr, method="bayes"))
    assert open(results[0].output).read() == expected


def test_parameter_errors_come_before_any_file(corpus, tmp_path):
    with pytest.raises(ValueError, match="sigma"):
        qesmorPitch.track_files(corpus, out_dir=tmp_path / "out", sigma=-1.0)
    with pytest.raises(TypeError, match="unexpected parameter 'fmn'"):
        qesmorPitch.track_files(corpus, out_dir=tmp_path / "out", fmn=80)
    with pytest.raises(ValueError, match="format"):
        qesmorPitch.track_files(corpus, format="xlsx")
    assert not (tmp_path / "out").exists()
    (tmp_path / "out").write_text("a file")
    with pytest.raises(ValueError, match="out_dir=.* is a file, not a directory"):
        qesmorPitch.track_files(corpus, out_dir=tmp_path / "out")


@pytest.mark.parametrize("kwargs, kind, text", [
    ({"on_result": 5}, TypeError, "must be a function of one FileResult"),
    ({"executor": 5}, TypeError, "has no submit()"),
    ({"max_workers": 0}, ValueError, "max_workers=0 must be an integer >= 1"),
    ({"plot_dir": 5}, TypeError, "plot_dir=5 must be a folder name"),
    # Python's "embedded null byte" named no file.
    ({"plot_dir": "fig\0s"}, ValueError, "plot_dir is 'fig\\x00s', whose NUL character"),
])
def test_bad_batch_arguments_are_refused_before_any_file(corpus, tmp_path, kwargs, kind, text):
    # They failed after the first track had been written.
    with pytest.raises(kind, match=re.escape(text)):
        qesmorPitch.track_files(corpus, out_dir=tmp_path / "o", **kwargs)
    assert not (tmp_path / "o").exists()
    qesmorPitch.track_files(corpus[:1], out_dir=tmp_path / "n", max_workers=np.int64(1))


def test_plots_without_matplotlib_are_refused_first_and_bytes_folders_are_names(corpus, tmp_path,
                                                                              monkeypatch):
    # Without matplotlib every file failed after its track was written; a
    # folder given as bytes was a TypeError.
    with monkeypatch.context() as m:
        m.setitem(sys.modules, "matplotlib", None)
        with pytest.raises(ImportError, match="plot_dir needs matplotlib"):
            qesmorPitch.track_files(corpus[:1], out_dir=tmp_path / "o", plot_dir=tmp_path / "p")
    assert not (tmp_path / "o").exists()
    [result] = qesmorPitch.track_files(corpus[:1], out_dir=os.fsencode(tmp_path / "b"), max_workers=1)
    assert result.ok and Path(result.output).parent == tmp_path / "b"


def test_a_limit_broken_by_one_file_fails_that_file_only(corpus, tmp_path):
    write_wav(tmp_path / "fast.wav", voice(), sr=48000)
    results = qesmorPitch.track_files([corpus[0], tmp_path / "fast.wav"], fmax=6000,
                                      format="json", out_dir=tmp_path / "o", max_workers=1)
    assert results[0].error == "fmax=6000 Hz needs sr >= 2 * fmax = 12000 Hz, got sr=8000; " \
                               "use fmax <= 4000 or a higher sampling rate"
    assert results[1].ok and results[1].output.endswith("fast.json")


def test_colliding_names_get_distinct_outputs(tmp_path):
    for d in ("a", "b"):
        (tmp_path / d).mkdir()
        write_wav(tmp_path / d / "take.wav", voice(0.3))
    paths = [tmp_path / "a" / "take.wav", tmp_path / "b" / "take.wav"]
    outs = _batch.output_paths(paths, tmp_path / "out", ".csv")
    assert len(set(outs)) == 2
    results = qesmorPitch.track_files(paths, out_dir=tmp_path / "out", max_workers=1)
    assert all(r.ok for r in results) and len(list((tmp_path / "out").iterdir())) == 2
    beside = _batch.output_paths(paths, None, ".f0.csv")
    assert beside[0] == tmp_path / "a" / "take.f0.csv"
    # A longer name that is a third input's own name: that input keeps it.
    parent = tmp_path.name
    third = tmp_path / "c" / f"{parent}_a_take.wav"
    outs = _batch.output_paths(paths + [third], tmp_path / "out", ".csv")
    assert [o.name for o in outs] == [f"{parent}_a_take-2.csv", f"{parent}_b_take.csv",
                                      f"{parent}_a_take.csv"]
    here = [tmp_path / n for n in ("take.wav", "take.flac", "take.wav.wav")]
    assert len(set(_batch.output_paths(here, None, ".csv"))) == 3
    # A name as bytes is the same file.
    again = qesmorPitch.track_files([os.fsencode(paths[0])], out_dir=tmp_path / "bytes")
    assert again[0].ok and again[0].output.endswith("take.csv")


@pytest.mark.parametrize("paths", ["a.wav", b"a.wav", "PATH"])
def test_a_single_path_is_refused(tmp_path, paths):
    paths = tmp_path / "a.wav" if paths == "PATH" else paths
    with pytest.raises(TypeError, match=r"for one file pass \[path\]"):
        qesmorPitch.track_files(paths)


def test_one_file_given_twice_is_refused_before_any_work(tmp_path):
    write_wav(tmp_path / "a.wav", voice(0.3))
    with pytest.raises(ValueError, match="a.wav and .*a.wav are the same file; give it once"):
        qesmorPitch.track_files([tmp_path / "a.wav", tmp_path / "a.wav"],
                                out_dir=tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_same_stem_in_one_folder_gets_distinct_outputs(tmp_path):
    sf = pytest.importorskip("soundfile")
    write_wav(tmp_path / "good.wav", voice(0.3))
    sf.write(tmp_path / "good.flac", voice(0.3, f0=250.0), SR)
    results = qesmorPitch.track_files([tmp_path / "good.wav", tmp_path / "good.flac"],
                                      max_workers=1)
    assert [r.output for r in results] == [str(tmp_path / "good.wav.f0.csv"),
                                           str(tmp_path / "good.flac.f0.csv")]
    assert open(results[0].output).read() != open(results[1].output).read()


@pytest.mark.parametrize("workers", [1, 2])
def test_an_interrupt_stops_the_batch_and_leaves_no_partial_file(corpus, tmp_path,
                                                                 workers):
    seen = []

    def interrupt(result):
        seen.append(result)
        raise KeyboardInterrupt

    paths = []
    for i in range(12):
        paths.append(tmp_path / f"v{i}.wav")
        paths[-1].write_bytes(corpus[0].read_bytes())
    # Someone else's file named like a temporary one is not the run's to remove.
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / ".v3.json.notes.part").write_text("mine")
    with pytest.raises(KeyboardInterrupt):
        qesmorPitch.track_files(paths, out_dir=tmp_path / "out", max_workers=workers,
                                on_result=interrupt, format="json")
    assert len(seen) == 1
    left = sorted(p.name for p in (tmp_path / "out").iterdir())
    # The first result's file, and what the other worker finished meanwhile;
    # the queued files never start.
    assert [n for n in left if n.startswith(".")] == [".v3.json.notes.part"]
    left.remove(".v3.json.notes.part")
    if workers == 1:
        assert left == ["v0.json"]
    else:
        # The other worker may race ahead while the first starts (slowly on
        # a loaded machine), but the queue behind them never runs out.
        assert 1 <= len(left) <= len(paths) - 4


def test_workers_are_capped_at_the_number_of_files(corpus, tmp_path, monkeypatch):
    sizes = []

    class Pool(cf.ProcessPoolExecutor):
        def __init__(self, max_workers=None, **kwargs):
            sizes.append(max_workers)
            super().__init__(max_workers=max_workers, **kwargs)

    monkeypatch.setattr(_batch.cf, "ProcessPoolExecutor", Pool)
    results = qesmorPitch.track_files(corpus[:2], out_dir=tmp_path / "out", max_workers=100)
    assert sizes == [2] and [r.ok for r in results] == [True, False]


def test_docstring_example_runs():
    import doctest

    result = doctest.testmod(_batch)
    assert result.attempted > 0 and result.failed == 0
