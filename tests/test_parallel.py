"""track() on a thread pool: the same answer on any number of threads, the
fast exact sums always taken, and no copy or mask of the whole signal."""

import doctest
import multiprocessing
import os
import re
import tracemalloc

import numpy as np
import pytest

import qesmorPitch
import qesmorPitch._kernels as kernels
from qesmorPitch import _corpus, _threads, _track
from qesmorPitch._options import METHODS


@pytest.fixture
def threads():
    """set_num_threads for one test; the process default again afterwards."""
    yield qesmorPitch.set_num_threads
    qesmorPitch.set_num_threads(None)


def _voice(sr=8000, duration=2.0, seed=0):
    ex = _corpus.make_example(f"p{seed}", sr=sr, duration=duration,
                              contour=_corpus.intonation(140, seed), source="vowel:a",
                              gaps=((0.8, 1.0),), snr_db=20)
    return ex.y


@pytest.mark.parametrize("method", METHODS)
def test_every_thread_count_gives_the_same_bits(monkeypatch, threads, method):
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 37)
    monkeypatch.setattr(_track, "MARGIN_FRAMES", 25)
    y = np.stack([_voice(seed=1), _voice(seed=2)[::-1], np.zeros(16000)])
    y[1, 5000:5600] = 0.0  # digital silence inside one channel's block
    runs = []
    for n in (1, 2, 3):
        threads(n)
        seen = []
        signal, plan = _track.prepare(y, 8000, method=method)
        pt = _track.run_plan(signal, plan, progress=seen.append)
        runs.append((pt, seen))
    (first, seen), others = runs[0], runs[1:]
    assert len(seen) == -(-first.n_frames // 37)
    for pt, other_seen in others:
        assert other_seen == seen
        for name in ("f0", "strength", "probability", "voiced"):
            assert getattr(pt, name).tobytes() == getattr(first, name).tobytes()


def test_a_failing_block_raises_in_the_caller(monkeypatch, threads):
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 20)
    real = _track._analyse_channel
    calls = []

    def fail_third(*args):
        calls.append(1)
        if len(calls) == 3:
            raise RuntimeError("block 3")
        return real(*args)

    monkeypatch.setattr(_track, "_analyse_channel", fail_third)
    threads(2)
    with pytest.raises(RuntimeError, match="block 3"):
        qesmorPitch.track(_voice(), 8000)


@pytest.mark.parametrize("method", METHODS)
def test_unquantised_input_takes_the_exact_running_sums(monkeypatch, method):
    # Float noise is on no grid of its own, and the Viterbi method adds an
    # offset to blocks with a silent frame: the waves must still pass the
    # certificate, or every frame is summed on its own (about 4x slower),
    # and on the layer's grid the default frames take the 32-bit sums (1.4x
    # faster again).
    y = _voice() + 1e-7 * np.random.default_rng(3).standard_normal(16000)
    y[6000:7000] = 0.0
    calls = []
    real = _track._call_core
    monkeypatch.setattr(_track, "_call_core", lambda w, plan, *mode: calls.append((w, plan)) or real(w, plan, *mode))
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 64)
    qesmorPitch.track(y, 8000, method=method)
    assert len(calls) > 2
    for block, plan in calls:
        for w in block:
            assert kernels._running_sums_exact(w)
            paths = kernels._running_map(w, plan.frame_length, plan.hop_length, plan.lags)[2]
            assert (paths == 2).all(), np.unique(paths)


def _f0_bytes(y):
    return qesmorPitch.track(y, 8000).f0.tobytes()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_a_forked_child_tracks_on_a_pool_of_its_own(threads):
    # The child inherits the parent's pool object but none of its threads.
    threads(2)
    y = np.stack([_voice(seed=4), _voice(seed=5)])
    ours = _f0_bytes(y)
    with multiprocessing.get_context("fork").Pool(1) as pool:
        assert pool.apply_async(_f0_bytes, (y,)).get(timeout=60) == ours


@pytest.mark.skipif(not hasattr(os, "sched_getaffinity"), reason="no CPU affinity here")
def test_the_thread_count_comes_from_the_call_the_environment_or_the_cpus(monkeypatch, threads):
    monkeypatch.delenv(_threads.ENV_VAR, raising=False)
    assert qesmorPitch.get_num_threads() == len(os.sched_getaffinity(0))
    monkeypatch.setenv(_threads.ENV_VAR, " 3 ")
    assert qesmorPitch.get_num_threads() == 3
    threads(5)
    assert qesmorPitch.get_num_threads() == 5
    threads(np.int64(2))  # NumPy's integers are integers
    assert qesmorPitch.get_num_threads() == 2
    threads(None)
    assert qesmorPitch.get_num_threads() == 3


@pytest.mark.parametrize("value", [0, -1, 1.5, True, "2"])
def test_a_bad_thread_count_is_refused(threads, value):
    with pytest.raises(ValueError, match=r"must be an integer >= 1, e\.g\. set_num_threads\(1\)"):
        threads(value)


def test_a_thread_count_beyond_any_use_is_refused(monkeypatch, threads):
    # 10**9 was taken: every block of a long signal then ran at once, a
    # thread and a working set each.
    for value in (10**9, 2**63):
        with pytest.raises(ValueError, match=r"more threads than are of use: at most 1024"):
            threads(value)
    monkeypatch.setenv(_threads.ENV_VAR, str(2**64))
    with pytest.raises(ValueError, match=r"QESMORPITCH_NUM_THREADS=18446744073709551616 is more"):
        qesmorPitch.get_num_threads()
    threads(_threads.MAX_THREADS)
    assert qesmorPitch.get_num_threads() == _threads.MAX_THREADS


@pytest.mark.parametrize("value", ["0", "two", "1.5"])
def test_a_bad_thread_count_in_the_environment_is_refused(monkeypatch, threads, value):
    monkeypatch.setenv(_threads.ENV_VAR, value)
    with pytest.raises(ValueError, match=f"QESMORPITCH_NUM_THREADS='{value}' must be an integer"):
        qesmorPitch.track(_voice(duration=0.5), 8000)


@pytest.mark.parametrize("where,first", [
    ([(0, 299), (1, 3)], "(0, 299)"),   # row-major order, not chunk order
    ([(1, 250), (1, 40)], "(1, 40)"),
])
def test_non_finite_samples_are_found_in_order_chunk_by_chunk(monkeypatch, where, first):
    monkeypatch.setattr(_track, "CHECK_CHUNK", 64)
    y = np.ones((2, 300))
    for r, c in where:
        y[r, c] = np.nan if c % 2 else np.inf
    with pytest.raises(ValueError, match=rf"contains 2 non-finite sample\(s\) \(NaN or inf\), "
                                         rf"the first at index {re.escape(first)};"):
        qesmorPitch.track(y, 8000)


@pytest.mark.parametrize("dtype", [np.float64, np.int16])
def test_a_long_signal_is_never_copied_whole(threads, dtype):
    # What grows with the signal beyond the output rows: a float64 copy of
    # it (or a scaled one) would add 8 bytes per sample.
    def peak(tiles):
        y = np.tile(np.round(_voice() * 8000), tiles).astype(dtype)
        tracemalloc.start()
        try:
            qesmorPitch.track(y, 8000, method="direct")
            return tracemalloc.get_traced_memory()[1], y.size
        finally:
            tracemalloc.stop()

    threads(1)
    (short, n), (long, _) = peak(40), peak(80)
    assert long - short < 4 * n


def test_docstring_examples_run(threads):
    result = doctest.testmod(_threads)
    assert result.attempted > 0 and result.failed == 0
