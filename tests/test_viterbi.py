"""The log-domain decoder and the globally decoded pitch cores."""

import math

import numpy as np
import pytest

import reference_tracking as rt
from conftest import GAP_DOUBLE, GAP_INDEX, assert_same, strided
from reference_tracking import random_nega, wave

nan, inf = math.nan, math.inf
LN_EPS = -690.7755278982137  # ln(0 + 1e-300): the log floor of a zero probability

CHUNKS, PER_CHUNK = 20, 50  # 1000 seeded cases per differential test

LOG_A = np.log([[0.9, 0.1], [0.1, 0.9]])


def lags(*values):
    return np.array(values, dtype=np.intp)


def path(*values):
    return np.array(values, dtype=np.intp)


# --------------------------------------------------------------------------
# Decoder


@pytest.mark.parametrize(
    "ll, beta, expected",
    [
        # The first frame alone favours state 0; the later ones pull it to 1.
        ([[0, -1], [-1, 0], [-1, 0]], 1.0, path(1, 1, 1)),
        ([[0, -1], [-3, 0], [0, -1]], 1.0, path(1, 1, 1)),
        ([[0, -1], [-3, 0], [0, -1]], 0.0, path(0, 0, 0)),  # only frame 0 and the moves count
        ([[0, -1], [-3, 0], [0, -1]], 10.0, path(1, 1, 0)),
        ([[0, 0], [0, 0]], 1.0, path(0, 0)),  # ties go to the smaller index
        ([[-2, -1, -1]], 7.0, path(1)),  # one frame: the first maximum of row 0
        ([[nan, 0, 1]], 1.0, path(0)),
        ([[-inf, -inf]], 1.0, path(0)),
        ([[0, -1], [-1, 0], [-3, 0]], -1.0, path(0, 0, 0)),
    ],
)
def test_decoder_known_paths(cy_impl, ll, beta, expected):
    ll = np.array(ll, dtype=np.float64)
    # A single frame never reads log_A: its NaN entries must not matter.
    log_a = LOG_A if ll.shape[0] > 1 else np.full((3, 3), nan)
    assert_same(cy_impl.viterbi_cy(ll, log_a, beta), expected)
    assert_same(rt.viterbi(ll, log_a, beta), expected)


def test_decoder_nan_scores(cy_impl):
    ll = np.array([[0, -1], [-1, 0], [-1, 0], [-1, 0]], dtype=np.float64)
    # A NaN score of state 0 wins every later maximum: the whole path is 0.
    bad0 = ll.copy()
    bad0[1, 0] = nan
    assert_same(cy_impl.viterbi_cy(bad0, LOG_A, 1.0), path(0, 0, 0, 0))
    # Elsewhere NaN is skipped: a NaN state of frame 0 is never a
    # predecessor, and the other scores stay finite.
    ll3 = np.array([[-1, nan, 0], [0, 0, 0], [0, 0, 0]], dtype=np.float64)
    la3 = np.log(np.full((3, 3), 1.0 / 3))
    la3[2, 2] = 0.0
    assert_same(cy_impl.viterbi_cy(ll3, la3, 1.0), path(2, 2, 2))
    ll3[0, 2] = nan
    assert_same(cy_impl.viterbi_cy(ll3, la3, 1.0), path(0, 2, 2))


@pytest.mark.parametrize("t", [1, 2, 5])
def test_decoder_single_state(cy_impl, t):
    assert_same(cy_impl.viterbi_cy(np.full((t, 1), -3.0), np.full((1, 1), nan), 2.0), np.zeros(t, np.intp))


def test_decoder_ignores_extra_transitions(cy_impl):
    rng = np.random.default_rng(4)
    ll = rng.normal(size=(6, 3))
    small = np.log(rng.uniform(size=(3, 3)))
    big = np.full((5, 7), inf)
    big[3:, :] = nan
    big[:3, :3] = small
    want = cy_impl.viterbi_cy(ll, small, 1.5)
    assert_same(cy_impl.viterbi_cy(ll, big, 1.5), want)
    assert_same(cy_impl.viterbi_cy(ll, np.ascontiguousarray(big.T).T, 1.5), want)


def test_decoder_degenerate_shapes(cy_impl):
    assert_same(cy_impl.viterbi_cy(np.zeros((0, 3)), np.zeros((3, 3)), 1.0), np.zeros(0, np.intp))
    assert_same(cy_impl.viterbi_cy(np.zeros((0, 0)), np.zeros((0, 0)), 1.0), np.zeros(0, np.intp))
    for ll, la in [((2, 0), (2, 2)), ((1, 0), (0, 0)), ((2, 3), (2, 3)), ((2, 3), (3, 2)), ((1, 2), (0, 0))]:
        with pytest.raises(ValueError):
            cy_impl.viterbi_cy(np.zeros(ll), np.zeros(la), 1.0)


def random_matrix(rng, rows, cols):
    """A (rows, cols) float64 matrix, often transposed, sliced or reversed."""
    style = rng.integers(3)
    if style == 0:
        v = rng.normal(scale=3.0, size=(rows, cols))
    elif style == 1:  # ties
        v = rng.integers(-3, 1, size=(rows, cols)).astype(np.float64)
    else:
        v = np.log(rng.uniform(size=(rows, cols)))
    if v.size and rng.random() < 0.25:
        for _ in range(rng.integers(1, 3)):
            v[rng.integers(rows), rng.integers(cols)] = rt._pick(rng, (nan, -inf, inf, nan))
    layout = rng.integers(4)
    if layout == 1:
        return np.ascontiguousarray(v.T).T
    if layout == 2:
        base = np.full((rows * 2 + 1, cols + 1), GAP_DOUBLE)
        base[1::2, :cols] = v
        return base[1::2, :cols]
    if layout == 3:
        return np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1]
    return v


def decoder_case(rng):
    t = int(rng.integers(0, 3)) if rng.random() < 0.15 else int(rng.integers(3, 9))
    n = int(rng.integers(1, 7)) if rng.random() > 0.03 else 0
    extra = (int(rng.integers(0, 3)), int(rng.integers(0, 3))) if rng.random() < 0.3 else (0, 0)
    if rng.random() < 0.03:
        extra = (-1, 0) if rng.random() < 0.5 else (0, -1)
    la = random_matrix(rng, max(n + extra[0], 0), max(n + extra[1], 0))
    beta = rt._pick(rng, rt.WEIGHT_VALUES + (-1.0, nan))
    return random_matrix(rng, t, n), la, beta


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_decoder_matches_reference(cy_impl, chunk):
    seeds = range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK)
    rt.check_seeded_cases(cy_impl.viterbi_cy, rt.viterbi, lambda seed: decoder_case(np.random.default_rng([61, seed])),
                          seeds)


# --------------------------------------------------------------------------
# Differential: the Viterbi cores


def viterbi_lags(rng, window):
    states = window // 2
    r = rng.random()
    if r < 0.02:
        return None if rng.random() < 0.5 else lags()
    if r < 0.04:
        return lags(-1, 0, 1)[int(rng.integers(2)):]
    if r < 0.08:  # a block smaller than K x K: past the matrix end, or decreasing
        s0 = int(rng.integers(0, 3))
        return (np.arange(s0, max(states, s0) + 2, dtype=np.intp), lags(s0 + 2, s0))[int(rng.integers(2))]
    if r < 0.2 and states >= 2:
        # Gaps, repeats or disorder inside a block that is still >= K x K: the
        # decoder reads its top-left K x K corner.
        s0 = int(rng.integers(0, states - 1))
        s_last = int(rng.integers(s0 + 1, states + 3))
        size = min(s_last + 1, states) - s0
        k = int(rng.integers(2, size + 1)) if size >= 2 else 1
        middle = rng.integers(0, window + 3, size=k - 2) if k > 2 else []
        search = np.array([s0, *middle, s_last][:k], dtype=np.intp) if k > 1 else lags(s0)
        return strided(search, rng, gap=GAP_INDEX)
    s0 = int(rt._pick(rng, (0, 0, 1, 1, 2)))
    k = int(rng.integers(1, max(2, min(12, states - s0) + 1)))
    return strided(np.arange(s0, s0 + k, dtype=np.intp), rng, gap=GAP_INDEX)


def viterbi_case(rng, two):
    window, hop, n = rt.tracking_framing(rng)
    if rng.random() < 0.02:
        window = -int(rng.integers(1, 4))
    if rng.random() < 0.02:
        hop = -int(rng.integers(0, 3))
    values = rt.tracking_values(rng, n)
    fs, sigma, beta, pp_mode, interp = rt.tracking_params(rng)
    search = viterbi_lags(rng, max(window, 0))
    data = None if rng.random() < 0.01 else strided(values, rng)
    if not two:
        return (data, fs, window, hop, search, pp_mode, beta, sigma, interp)
    r = rng.random()
    if r < 0.05:  # the halves cancel: a zero mean in every frame
        nega = -values
    else:
        nega = random_nega(rng, values, n)
    nega = None if nega is None else strided(nega, rng)
    return (data, nega, fs, window, hop, search, pp_mode, beta, sigma, interp)


@pytest.mark.parametrize("two", [False, True], ids=["single", "negaposi"])
@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_core_matches_reference(cy_impl, two, chunk):
    fn = cy_impl.calc_Pitch_viterbi_negaposi_core_cy if two else cy_impl.calc_Pitch_viterbi_core_cy
    ref = rt.calc_Pitch_viterbi_negaposi_core if two else rt.calc_Pitch_viterbi_core
    seeds = range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK)
    rt.check_seeded_cases(fn, ref, lambda seed: viterbi_case(np.random.default_rng([62, two, seed]), two), seeds)


# --------------------------------------------------------------------------
# Known answers and invariants


def single(cy_impl, data, window, hop, search, beta=1.0, sigma=1.0, interp="parabolic", pp_mode=None,
           fs=8000.0):
    return cy_impl.calc_Pitch_viterbi_core_cy(data, fs, window, hop, search, pp_mode, beta, sigma, interp)


def both(cy_impl, posi, nega, window, hop, search, beta=1.0, sigma=1.0, interp="parabolic", pp_mode=None,
         fs=8000.0):
    return cy_impl.calc_Pitch_viterbi_negaposi_core_cy(posi, nega, fs, window, hop, search, pp_mode, beta,
                                                       sigma, interp)


@pytest.mark.parametrize("n, frames", [(10, 3), (11, 4), (5, 1)])
def test_frame_count(cy_impl, n, frames):
    data = np.arange(1.0, n + 1.0)
    assert single(cy_impl, data, 4, 2, lags(0, 1)).shape == (frames, 3)
    assert both(cy_impl, data, data, 4, 2, lags(0, 1)).shape == (frames, 3)


@pytest.mark.parametrize("n", [0, 16, 9])
@pytest.mark.parametrize("interp", ["parabolic", "quadratic"])
def test_no_frame(cy_impl, n, interp):
    data = None if n == 0 else wave(5, n)
    with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"):
        single(cy_impl, data, 16, 4, lags(0, 1, 2, 3), interp=interp)
    assert_same(both(cy_impl, data, np.arange(40.0), 16, 4, lags(0, 1, 2, 3), interp=interp), np.array([]))


@pytest.mark.parametrize("interp", ["quadratic", None, "parabolic"])
def test_all_frames_unvoiced(cy_impl, interp):
    # sigma = 0 makes every log transition NaN: from the second frame on the
    # first state wins every maximum, so the whole path is 0 and no keyword
    # is examined.
    out = single(cy_impl, wave(5, 60), 16, 8, lags(0, 1, 2, 3, 4, 5, 6, 7), sigma=0.0, interp=interp)
    assert_same(out, np.full((6, 3), nan))
    out = both(cy_impl, wave(5, 60), wave(5, 60), 16, 8, lags(0, 1, 2, 3, 4, 5, 6, 7), fs=0.0, interp=interp)
    assert_same(out, np.full((6, 3), nan))


def test_voiced_track_with_no_refinement(cy_impl):
    data = wave(5, 80)
    search = lags(*range(8))
    out = single(cy_impl, data, 16, 8, search, interp="no")
    scores, means = cy_impl.calc_qesmor_core_cy(data, 16, 8, search)
    assert_same(out[:, 0], np.full(8, 8000.0 / 5))
    assert_same(out[:, 1], scores[:, 5] / means)
    for k in range(out.shape[0]):
        p = rt.probability(rt._floats(rt.prev_first_up_zero(scores[k])))
        assert out[k, 2] == p[5]


@pytest.mark.parametrize("interp", ["parabolic", "gaussian", "centroid", "no"])
@pytest.mark.parametrize("beta, sigma", [(1.0, 1.0), (0.5, 0.3), (10.0, -1.0), (1.0, 1e3), (1.0, 1e-3), (0.0, 1.0)])
def test_modes_and_widths(cy_impl, interp, beta, sigma):
    rng = np.random.default_rng(5)
    data = np.concatenate([wave(5, 50), wave(7, 50, 0.5)]) + rng.normal(scale=0.1, size=100)
    search = lags(*range(1, 14))
    out = single(cy_impl, data, 30, 9, search, beta=beta, sigma=sigma, interp=interp)
    assert_same(out, rt.calc_Pitch_viterbi_core(data, 8000.0, 30, 9, search, None, beta, sigma, interp))
    if sigma < 0:
        assert_same(out, single(cy_impl, data, 30, 9, search, beta=beta, sigma=-sigma, interp=interp))
    voiced = ~np.isnan(out[:, 0])
    assert voiced.any()
    lag = 8000.0 / out[voiced, 0]
    assert np.all(np.abs(lag - np.round(lag)) <= 0.5 + 1e-12)  # the offset is clamped


@pytest.mark.parametrize("sigma", [0.05, 1.0])
def test_beta_zero_decides_by_the_first_frame(cy_impl, sigma):
    # With beta = 0 only frame 0 and the transitions count: the states, and
    # with "no" the frequencies, do not depend on the later frames.
    first = wave(5, 24)
    search = lags(*range(10))
    runs = [single(cy_impl, np.concatenate([first, tail]), 20, 8, search, beta=0.0, sigma=sigma, interp="no")
            for tail in (wave(7, 60), wave(3, 60, 0.2), np.full(60, nan))]
    for out in runs:
        assert_same(out[:, 0], runs[0][:, 0])
    if sigma == 0.05:  # a narrow kernel keeps the first frame's lag
        assert_same(runs[0][:, 0], np.full(8, 1600.0))


# --------------------------------------------------------------------------
# Zero means


def _voiced_then_zeros(zeros_from):
    data = wave(5, 97)
    data[zeros_from:] = 0.0
    return data


def test_zero_mean_frame_raises(cy_impl):
    # The zero frames keep the voiced state of the frames before them; their
    # strength is a host division by a zero mean.
    data = _voiced_then_zeros(48)
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        single(cy_impl, data, 16, 16, lags(*range(8)), sigma=0.3, interp="no")
    # The rows before the zero frames are fine.
    assert_same(single(cy_impl, data[:49], 16, 16, lags(*range(8)), sigma=0.3, interp="no")[:, 0],
                np.full(3, 1600.0))
    # A negative half that cancels the positive one gives a zero mean too.
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        both(cy_impl, wave(5, 64, 2.0), -wave(5, 64, 2.0), 16, 16, lags(*range(8)), sigma=0.3, interp="no")


@pytest.mark.parametrize("interp", ["quadratic", None, "no", "parabolic"])
@pytest.mark.parametrize("two", [False, True], ids=["single", "negaposi"])
def test_unknown_mode_wins_over_a_zero_mean(cy_impl, interp, two):
    # Every frame has a mean of exactly 0 (whole periods of integers, or two
    # halves that cancel), so the first voiced frame meets both faults: the
    # refinement runs, and fails, before the division.
    search = lags(*range(10))
    if two:
        x = wave(5, 64, 2.0)
        call = lambda: both(cy_impl, x, -x, 20, 5, search, interp=interp)  # noqa: E731
    else:
        x = np.tile([1.0, 3.0, 2.0, -2.0, -4.0], 12)
        call = lambda: single(cy_impl, x, 20, 5, search, interp=interp)  # noqa: E731
    with pytest.raises(Exception) as info:
        call()
    if interp in ("no", "parabolic"):
        assert type(info.value) is ZeroDivisionError and str(info.value) == "float division by zero"
    else:
        assert type(info.value) is Exception and str(info.value) == rt.INTERP_MESSAGE


def test_zero_mean_in_an_unvoiced_frame_is_fine(cy_impl):
    out = single(cy_impl, np.zeros(40), 16, 8, lags(*range(8)), sigma=0.0, interp="quadratic")
    assert_same(out, np.full((3, 3), nan))


# --------------------------------------------------------------------------
# Lag sets and refused arguments


@pytest.mark.parametrize(
    "search", [lags(1, 3), lags(0, 2, 3), lags(3, 1, 7), lags(1, 1, 4), lags(0, 9, 1, 5), lags(0, 7, 2)])
def test_lag_sets_with_a_large_enough_block(cy_impl, search):
    data = wave(5, 70) + np.random.default_rng(2).normal(scale=0.1, size=70)
    for interp in ("parabolic", "no"):
        assert_same(single(cy_impl, data, 16, 6, search, interp=interp),
                    rt.calc_Pitch_viterbi_core(data, 8000.0, 16, 6, search, None, 1.0, 1.0, interp))


def test_log_floor():
    # The floor is an addition: 0 becomes ln(1e-300), -1e-300 gives -inf.
    assert_same(np.array(rt.log_dim1([0.0, 1.0, 0.5, -1e-300, -1.0, nan, inf])),
                np.array([LN_EPS, 0.0, -0.6931471805599453, -inf, nan, nan, inf]))
    assert_same(np.array(rt.log_dim2([[0.0, 0.0], [0.0, 0.0]])), np.full((2, 2), LN_EPS))


def test_kept_transition_block_follows_every_parameter(cy_impl):
    # Each thread keeps its last log transition block; a call that changes any
    # of what the block depends on must not reuse it. Each reference runs on
    # a fresh thread, which keeps nothing.
    import threading

    data = wave(17, 1200) + np.random.default_rng(8).standard_normal(1200)
    calls = [(8000.0, 0.3, lags(*range(3, 40))), (8000.0, 0.05, lags(*range(3, 40))),
             (11025.0, 0.05, lags(*range(3, 40))), (11025.0, 0.05, lags(*range(4, 41))),
             (11025.0, 0.05, lags(*range(4, 30))), (8000.0, 0.3, lags(*range(3, 40)))]
    for fs, sigma, search in calls:
        fresh = []
        thread = threading.Thread(target=lambda: fresh.append(single(cy_impl, data, 128, 40, search, 0.5, sigma,
                                                                     fs=fs)))
        thread.start()
        thread.join()
        assert_same(single(cy_impl, data, 128, 40, search, 0.5, sigma, fs=fs), fresh[0])
