"""Generated calls of every exported function must answer or raise, never crash.

The calls run in a child process (tests/fuzzing.py), so a crash fails one
test with the call that caused it instead of ending the test session. The
long runs are tools/fuzz.py, best under the sanitizer build
(tools/sanitize.sh).
"""

import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

import fuzzing

HERE = os.path.dirname(os.path.abspath(__file__))


def test_the_private_copies_take_the_same_parameters():
    # The generator calls the private module's copies with the public table.
    for name, params in fuzzing.SIGNATURES.items():
        assert list(inspect.signature(getattr(fuzzing.kernels, name)).parameters) == [p for p, _ in params], name


def _run_child(tmp_path, *options):
    progress = tmp_path / "progress"
    child = subprocess.run(
        [sys.executable, os.path.join(HERE, "fuzzing.py"), "--progress", str(progress), *options],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600,
    )
    output = child.stdout.decode("utf-8", "replace")
    if child.returncode != 0:
        last = progress.read_text(encoding="utf-8", errors="replace") if progress.exists() else "?"
        if last.startswith("random "):
            _, seed_value, index = last.split()
            last = repr(fuzzing.random_call(int(seed_value), int(index)))
        pytest.fail(f"fuzz child ended with status {child.returncode} while making\n  {last}\n"
                    f"output (end):\n{output[-6000:]}", pytrace=False)
    return output


def test_hypothesis_run(tmp_path):
    # The same calls every run; a failure is shrunk to a small case.
    output = _run_child(tmp_path, "--engine", "hypothesis", "--derandomize", "--calls", "2500")
    assert "no fault" in output


def test_random_run(tmp_path):
    output = _run_child(tmp_path, "--engine", "random", "--seed", "0", "--calls", "20000")
    assert "20000 calls" in output and "no fault" in output


def test_the_checks_catch_what_they_are_for():
    args = [fuzzing.Described(v, repr(v)) for v in (np.zeros(10), 4, 2, np.arange(3))]
    call = fuzzing.Call("cy_impl", "calc_qesmor_core_cy", args)
    fuzzing.check_result(call, (np.zeros((3, 3)), np.zeros(3)))
    with pytest.raises(fuzzing.Fault, match="not a pair"):
        fuzzing.check_result(call, np.zeros(3))
    with pytest.raises(fuzzing.Fault, match="expected"):
        fuzzing.check_result(call, (np.zeros((2, 3)), np.zeros(2)))
    with pytest.raises(fuzzing.Fault, match="fresh"):
        fuzzing.check_result(call, (np.zeros((3, 3)), args[0].value[:3]))

    data = np.arange(4.0)
    snapshot = fuzzing._bytes_of(data[::2])
    data[1] = -1.0  # a gap of the strided view
    assert fuzzing._bytes_of(data[::2]) != snapshot


# --------------------------------------------------------------------------
# Inputs at the limits of the index types, which once overflowed or crashed

IP_MAX = np.iinfo(np.intp).max


def _signal(n=40):
    return np.abs(np.sin(np.arange(n) * 0.7)) + 0.1


def lags(*values):
    return np.array(values, dtype=np.intp)


@pytest.mark.parametrize("two", [False, True], ids=["single", "negaposi"])
@pytest.mark.parametrize("search", [lags(IP_MAX), lags(IP_MAX - 1, IP_MAX), lags(*range(IP_MAX - 30, IP_MAX + 1))],
                         ids=["max", "run-to-max", "31-to-max"])
def test_bayes_lags_at_the_largest_index(cy_impl, two, search):
    # Lags past the transition matrix are never predicted; their scores are 0.
    data = (_signal(), _signal()) if two else (_signal(),)
    f = cy_impl.calc_Pitch_bayes_negaposi_core_cy if two else cy_impl.calc_Pitch_bayes_core_cy
    rows = f(*data, 8000.0, 8, 4, search, None, 1.0, 0.3, "parabolic")
    assert rows.shape == (8, 3)
    assert np.isnan(rows).all()


def test_bayes_consecutive_check_at_the_largest_index(cy_impl):
    with pytest.raises(ValueError, match="consecutive increasing"):
        cy_impl.calc_Pitch_bayes_core_cy(_signal(), 8000.0, 8, 4, lags(IP_MAX, 0), None, 1.0, 0.3, "no")


@pytest.mark.parametrize("search", [lags(IP_MAX), lags(IP_MAX - 1, IP_MAX)], ids=["max", "run-to-max"])
def test_viterbi_lags_at_the_largest_index(cy_impl, search):
    with pytest.raises(ValueError, match="transition block"):
        cy_impl.calc_Pitch_viterbi_core_cy(_signal(), 8000.0, 8, 4, search, None, 1.0, 0.3, "no")


@pytest.mark.parametrize("window", [0, 1, 8, 39])
@pytest.mark.parametrize("top", [IP_MAX, IP_MAX - 31, IP_MAX - 64])
def test_periodicity_lags_at_the_largest_index(kernels, window, top):
    # Runs long enough for every vector target, all far beyond any frame.
    search = np.arange(top - 63, top + 1, dtype=np.intp)
    for target in kernels.targets():
        kernels.use_target(target)
        try:
            qmap, _ = kernels.calc_qesmor_core_cy(_signal(), window, 3, search)
        finally:
            kernels.use_target(None)
        assert qmap.shape[1] == 64 and not qmap.any(), target


@pytest.mark.parametrize("frames", [0, 3])
def test_smallest_smoothing_width(cy_impl, frames):
    data = _signal(8 + 4 * frames - 3 if frames else 8)
    call = lambda: cy_impl.calc_Pitch_core_cy(data, 8000.0, 8, 4, lags(1, 2, 3), None, -(2**31), "score", 0.1, "no")
    if frames:
        with pytest.raises(Exception, match="qesmor_smooth > 0 and int"):
            call()
    else:
        assert call().shape == (0,)


FRAMED = ["calc_qesmor_core_cy", "calc_qesmor_negaposi_core_cy", "calc_Pitch_core_cy", "calc_Pitch_negaposi_core_cy",
          "calc_Pitch_bayes_core_cy", "calc_Pitch_bayes_negaposi_core_cy", "calc_Pitch_viterbi_core_cy",
          "calc_Pitch_viterbi_negaposi_core_cy"]


@pytest.mark.parametrize("name", FRAMED)
@pytest.mark.parametrize("window", [2**31 - 1, 2**30])
def test_huge_window_without_frames_allocates_nothing(cy_impl, name, window):
    # The transition model of window // 2 states alone would take gigabytes;
    # a signal shorter than the window has no frame to use it for.
    from call_paths import PARAMS, VALID
    from leakcheck import rss_bytes

    args = dict(zip(PARAMS[name], VALID[name]()))
    args["window_size"] = window
    args["search_sample"] = np.arange(window // 2 - 8, window // 2, dtype=np.intp)
    before = rss_bytes()
    try:
        result = getattr(cy_impl, name)(*args.values())
    except ValueError as e:  # the single-signal Viterbi core refuses to decode no frame
        assert name == "calc_Pitch_viterbi_core_cy", e
    else:
        assert all(r.shape == (0,) for r in (result if isinstance(result, tuple) else (result,)))
    assert rss_bytes() - before < (16 << 20)
