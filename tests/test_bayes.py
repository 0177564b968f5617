"""The transition model and the forward-filtered pitch cores."""

import math

import numpy as np
import pytest

import reference_tracking as rt
from conftest import GAP_INDEX, assert_same, strided
from reference_tracking import random_nega, wave

nan, inf = math.nan, math.inf

CHUNKS, PER_CHUNK = 20, 50  # 1000 seeded cases per differential test


def lags(*values):
    return np.array(values, dtype=np.intp)


# --------------------------------------------------------------------------
# Transition model


def test_three_state_matrix(cy_impl):
    a = cy_impl.create_transition_matrix_cy(3, 8000, 1)
    assert a.shape == (3, 3) and a.dtype == np.float64 and a.flags.c_contiguous
    assert a[:, 0] == pytest.approx([0.52874, 0.32069, 0.15057], abs=5e-6)
    assert a[0, 1] == pytest.approx(0.24764, abs=5e-6)
    assert a[1, 0] == pytest.approx(0.32069, abs=5e-6)
    # The unnormalised kernel, recovered from the column sums.
    k = a / a[np.arange(3), np.arange(3)][None, :]
    assert k[0, 1] == pytest.approx(math.exp(-0.5), rel=1e-12)
    assert k[1, 2] == pytest.approx(0.84275, abs=5e-6)
    assert k[0, 2] == pytest.approx(0.28478, abs=5e-6)
    assert a.sum(axis=0) == pytest.approx(np.ones(3), abs=1e-15)
    assert_same(a, rt.create_transition_matrix(3, 8000, 1))


@pytest.mark.parametrize(
    "n, fs, sigma, expected",
    [
        (0, 8000.0, 1.0, np.zeros((0, 0))),
        (1, 8000.0, 1.0, np.ones((1, 1))),
        (1, 8000.0, 0.0, np.full((1, 1), nan)),
        (4, 8000.0, 0.0, np.full((4, 4), nan)),  # 0/0 on the diagonal spoils every column
        (3, 0.0, 1.0, np.full((3, 3), nan)),  # log2(0) = -inf, -inf - -inf = NaN
        (3, -8000.0, 1.0, np.full((3, 3), nan)),
        (3, nan, 1.0, np.full((3, 3), nan)),
        (3, 8000.0, nan, np.full((3, 3), nan)),
    ],
)
def test_matrix_known_answers(cy_impl, n, fs, sigma, expected):
    assert_same(cy_impl.create_transition_matrix_cy(n, fs, sigma), expected)


@pytest.mark.parametrize("n, sigma", [(5, 1.0), (12, 0.3), (30, 2.0), (7, 1e-3), (9, 1e3)])
def test_matrix_sign_of_sigma_and_fs(cy_impl, n, sigma):
    a = cy_impl.create_transition_matrix_cy(n, 8000.0, sigma)
    assert_same(cy_impl.create_transition_matrix_cy(n, 8000.0, -sigma), a)
    assert np.allclose(cy_impl.create_transition_matrix_cy(n, 16000.0, sigma), a, rtol=1e-12, atol=1e-300)
    assert np.allclose(a.sum(axis=0), 1.0, rtol=0, atol=1e-14)
    if sigma == 1e-3:  # the off-diagonal entries underflow: the identity
        assert_same(a, np.eye(n))


def test_matrix_negative_size(cy_impl):
    with pytest.raises(ValueError, match="negative dimensions are not allowed"):
        cy_impl.create_transition_matrix_cy(-1, 8000.0, 1.0)


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_matrix_matches_reference(cy_impl, chunk):
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        rng = np.random.default_rng([51, seed])
        n = int(rng.integers(0, 3)) if rng.random() < 0.1 else int(rng.integers(3, 33))
        fs, sigma, _, _, _ = rt.tracking_params(rng)
        if rng.random() < 0.3:
            sigma = float(rng.uniform(-3.0, 3.0))
        if rng.random() < 0.2:
            fs = float(rng.uniform(1.0, 5e4))
        assert_same(cy_impl.create_transition_matrix_cy(n, fs, sigma),
                    rt.create_transition_matrix(n, fs, sigma), f"seed {seed}: n={n} fs={fs} sigma={sigma}")


# --------------------------------------------------------------------------
# Differential: the forward-filtered cores


def bayes_lags(rng, window):
    r = rng.random()
    if r < 0.02:
        return None if rng.random() < 0.5 else lags()
    if r < 0.04:
        return lags(-1, 0, 1)[int(rng.integers(2)):]
    if r < 0.06:  # a gap, a repeat or a step down
        return _pick_bad(rng)
    return strided(rt.consecutive_lags(rng, window), rng, gap=GAP_INDEX)


def _pick_bad(rng):
    return (lags(1, 3), lags(2, 2), lags(3, 2), lags(0, 1, 2, 4))[int(rng.integers(4))]


def bayes_case(rng, two):
    window, hop, n = rt.tracking_framing(rng)
    if rng.random() < 0.03:
        window = -int(rng.integers(1, 4))
    if rng.random() < 0.02:
        hop = -int(rng.integers(0, 3))
    values = rt.tracking_values(rng, n)
    fs, sigma, alpha, pp_mode, interp = rt.tracking_params(rng)
    search = bayes_lags(rng, max(window, 0))
    data = strided(values, rng)
    if rng.random() < 0.01:
        data = None
    if not two:
        return (data, fs, window, hop, search, pp_mode, alpha, sigma, interp)
    nega = random_nega(rng, values, n)
    nega = None if nega is None else strided(nega, rng)
    return (data, nega, fs, window, hop, search, pp_mode, alpha, sigma, interp)


@pytest.mark.parametrize("two", [False, True], ids=["single", "negaposi"])
@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_core_matches_reference(cy_impl, two, chunk):
    fn = cy_impl.calc_Pitch_bayes_negaposi_core_cy if two else cy_impl.calc_Pitch_bayes_core_cy
    ref = rt.calc_Pitch_bayes_negaposi_core if two else rt.calc_Pitch_bayes_core
    seeds = range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK)
    rt.check_seeded_cases(fn, ref, lambda seed: bayes_case(np.random.default_rng([52, two, seed]), two), seeds)


# --------------------------------------------------------------------------
# Known answers and invariants


def single(cy_impl, data, window, hop, search, alpha=1.0, sigma=1.0, interp="parabolic", pp_mode=None,
           fs=8000.0):
    return cy_impl.calc_Pitch_bayes_core_cy(data, fs, window, hop, search, pp_mode, alpha, sigma, interp)


def both(cy_impl, posi, nega, window, hop, search, alpha=1.0, sigma=1.0, interp="parabolic", pp_mode=None,
         fs=8000.0):
    return cy_impl.calc_Pitch_bayes_negaposi_core_cy(posi, nega, fs, window, hop, search, pp_mode, alpha,
                                                     sigma, interp)


@pytest.mark.parametrize("n", [0, 15, 16])
@pytest.mark.parametrize("interp", ["quadratic", None])
def test_no_frame_examines_no_keyword(cy_impl, n, interp):
    data = None if n == 0 else wave(5, n)
    empty = np.zeros(0)
    assert_same(single(cy_impl, data, 16, 4, lags(0, 1, 2, 3), interp=interp), empty)
    assert_same(both(cy_impl, data, np.arange(40.0), 16, 4, lags(0, 1, 2, 3), interp=interp), empty)


def test_frame_count_and_voiced_track(cy_impl):
    # L = 100, W = 10, H = 10: nine frames; samples 90..99 are never read.
    data = wave(4, 100)
    data[90:] = nan
    out = single(cy_impl, data, 10, 10, lags(0, 1, 2, 3, 4))
    assert out.shape == (9, 3)
    assert np.all(np.abs(out[:, 0] - 2000.0) <= 2000.0 - 8000.0 / 4.5)  # lag 4 within +-0.5
    assert np.all((out[:, 2] > 0) & (out[:, 2] <= 1))
    assert_same(out, rt.calc_Pitch_bayes_core(data, 8000.0, 10, 10, lags(0, 1, 2, 3, 4), None, 1.0, 1.0,
                                              "parabolic"))


@pytest.mark.parametrize("interp", ["quadratic", None, "parabolic"])
def test_candidate_zero_is_unvoiced(cy_impl, interp):
    # A constant frame scores the same at every lag: the observation is
    # uniform, so without memory the first candidate wins every frame (even
    # though the others are as probable) and no keyword is read.
    out = single(cy_impl, np.full(40, 3.0), 8, 4, lags(0, 1, 2, 3), alpha=0.0, interp=interp)
    assert_same(out, np.full((8, 3), nan))


def test_alpha_zero_forgets(cy_impl):
    # With alpha = 0 every frame is its own first frame, bit for bit.
    data = np.concatenate([wave(5, 40), wave(3, 40, 1.0)])
    data[50] = nan
    out = single(cy_impl, data, 16, 6, lags(0, 1, 2, 3, 4, 5, 6), alpha=0.0, sigma=0.05)
    for k in range(out.shape[0]):
        one = single(cy_impl, data[6 * k:6 * k + 17], 16, 6, lags(0, 1, 2, 3, 4, 5, 6), alpha=0.0, sigma=0.05)
        assert_same(one, out[k:k + 1], f"frame {k}")


@pytest.mark.parametrize("how", ["sigma", "fs"])
@pytest.mark.parametrize("alpha", [0.0, 1.0, 0.5])
def test_nan_transitions(cy_impl, how, alpha):
    # A NaN matrix spoils the belief from the second frame on, unless alpha
    # is 0: pow(NaN, 0) is 1.
    data = wave(5, 60)
    kw = {"sigma": 0.0} if how == "sigma" else {"fs": 0.0}
    out = single(cy_impl, data, 16, 8, lags(0, 1, 2, 3, 4, 5, 6, 7), alpha=alpha, **kw)
    ok = single(cy_impl, data, 16, 8, lags(0, 1, 2, 3, 4, 5, 6, 7), alpha=0.0)
    if how == "fs":  # fs / lag with fs = 0
        ok[:, 0] = np.where(np.isnan(ok[:, 0]), nan, 0.0)
    assert_same(out[:1], ok[:1])
    assert_same(out[1:], ok[1:] if alpha == 0.0 else np.full_like(out[1:], nan))


def _pulses(period, n):
    x = np.zeros(n)
    x[::period] = 1.0
    return x


@pytest.mark.parametrize("alpha", [1.0, 2.0, 0.0])
def test_posterior_without_support(cy_impl, alpha):
    # sigma = 1e-3 makes the block the identity. Pulse trains leave qesmor
    # values of exactly 0 off their period, so frame 0 supports lags 3 and 6
    # only (6 scores higher) and frame 1 lag 5 only: the product sums to 0
    # and the belief turns NaN for good, unless alpha = 0.
    data = np.concatenate([_pulses(3, 16), _pulses(5, 16), _pulses(3, 16), [0.0]])
    search = lags(0, 1, 2, 3, 4, 5, 6, 7)
    out = single(cy_impl, data, 16, 16, search, alpha=alpha, sigma=1e-3, interp="no")
    assert out[0, 0] == 8000.0 / 6
    if alpha == 0.0:
        assert out[1, 0] == 8000.0 / 5
        assert out[2, 0] == 8000.0 / 6
    else:
        assert_same(out[1:], np.full((2, 3), nan))
    assert_same(out, rt.calc_Pitch_bayes_core(data, 8000.0, 16, 16, search, None, alpha, 1e-3, "no"))


def test_nan_frame_keeps_the_belief(cy_impl):
    # An all-NaN frame never rises: a uniform observation, so the belief stays
    # finite and the next voiced frame is tracked again.
    data = np.concatenate([wave(5, 32), np.full(16, nan), wave(5, 33)])
    out = single(cy_impl, data, 16, 16, lags(0, 1, 2, 3, 4, 5, 6, 7), interp="no")
    assert np.all(np.isfinite(out[:, 2]))
    assert np.isnan(out[2, 1]) and out[2, 0] == pytest.approx(1600.0)
    assert out[3, 0] == pytest.approx(1600.0)


def test_zero_frame_divides_as_ieee(cy_impl):
    # A zero mean is no error here (unlike the Viterbi cores): 0 / 0 is NaN.
    data = np.concatenate([wave(5, 32), np.zeros(17)])
    out = single(cy_impl, data, 16, 16, lags(0, 1, 2, 3, 4, 5, 6, 7), interp="no")
    assert out[2, 0] == pytest.approx(1600.0) and np.isnan(out[2, 1])


def test_block_cut_at_matrix_end(cy_impl):
    # W = 16: 8 states, so lags 8..11 have no rows: their prediction stays 0
    # and, with alpha > 0, their posterior is 0 after the first frame.
    data = wave(10, 80)
    search = lags(*range(12))
    out = single(cy_impl, data, 16, 8, search, interp="no")
    assert out[0, 0] == pytest.approx(800.0)
    assert np.all(out[1:, 0] > 8000.0 / 8)
    for alpha in (0.0, 1.0, 0.5):
        for s in (search, lags(*range(2, 12)), lags(*range(8, 11)), lags(9)):
            assert_same(single(cy_impl, data, 16, 8, s, alpha=alpha),
                        rt.calc_Pitch_bayes_core(data, 8000.0, 16, 8, s, None, alpha, 1.0, "parabolic"))


@pytest.mark.parametrize("interp", ["gaussian", "centroid"])
def test_threshold_diff_shifts_the_baseline(cy_impl, interp):
    data = wave(6, 90) + np.random.default_rng(3).normal(scale=0.2, size=90)
    a = single(cy_impl, data, 24, 7, lags(*range(12)), interp=interp, pp_mode="threshold_diff")
    b = single(cy_impl, data, 24, 7, lags(*range(12)), interp=interp, pp_mode=None)
    assert_same(a[:, 2], b[:, 2])  # the posterior never sees the shift
    assert not np.array_equal(a[:, 1], b[:, 1])


@pytest.mark.parametrize("interp", ["parabolic", "gaussian", "centroid", "no"])
@pytest.mark.parametrize("alpha, sigma", [(1.0, 1.0), (0.5, 0.3), (2.0, -1.0), (1.0, 1e3), (1.0, 1e-3)])
def test_modes_and_widths(cy_impl, interp, alpha, sigma):
    data = np.concatenate([wave(5, 50), wave(7, 50, 0.5)])
    search = lags(*range(1, 14))
    out = single(cy_impl, data, 30, 9, search, alpha=alpha, sigma=sigma, interp=interp)
    assert_same(out, rt.calc_Pitch_bayes_core(data, 8000.0, 30, 9, search, None, alpha, sigma, interp))
    if sigma < 0:
        assert_same(out, single(cy_impl, data, 30, 9, search, alpha=alpha, sigma=-sigma, interp=interp))
    voiced = ~np.isnan(out[:, 0])
    assert voiced.any()
    lag = 8000.0 / out[voiced, 0]
    assert np.all(np.abs(lag - np.round(lag)) <= 0.5 + 1e-12)  # the offset is clamped


def test_unknown_mode_raises_at_a_voiced_frame(cy_impl):
    for interp in ("quadratic", None, "Parabolic"):
        with pytest.raises(Exception) as info:
            single(cy_impl, wave(5, 40), 16, 4, lags(0, 1, 2, 3, 4, 5, 6), interp=interp)
        assert type(info.value) is Exception
        assert str(info.value) == rt.INTERP_MESSAGE


def test_strided_lags_read_through_their_stride(cy_impl):
    base = np.full(9, GAP_INDEX, dtype=np.intp)
    base[::2] = [0, 1, 2, 3, 4]
    data = np.full(160, -1e300)
    data[::2] = wave(5, 80)
    out = single(cy_impl, data[::2], 16, 8, base[::2])
    assert_same(out, single(cy_impl, wave(5, 80), 16, 8, lags(0, 1, 2, 3, 4)))
    rev = np.ascontiguousarray(wave(5, 80)[::-1])
    assert_same(single(cy_impl, rev[::-1], 16, 8, lags(0, 1, 2, 3, 4)), out)


# --------------------------------------------------------------------------
# The model's C arithmetic


@pytest.mark.parametrize(
    "x, y, expected",
    [
        (nan, 0.0, 1.0), (1.0, nan, 1.0), (0.0, -1.0, inf), (-0.0, -1.0, -inf), (-0.0, -2.0, inf),
        (0.0, -0.5, inf), (-2.0, 0.5, nan), (-2.0, 3.0, -8.0), (1e300, 2.0, inf), (-1e300, 3.0, -inf),
        (0.0, 0.0, 1.0), (inf, -1.0, 0.0), (nan, 1.0, nan), (0.5, inf, 0.0), (-1.0, inf, 1.0),
    ],
)
def test_c_pow(x, y, expected):
    # pow() as the filter sees it, where Python's own power raises instead.
    got = rt.c_pow(x, y)
    assert got == expected or (math.isnan(got) and math.isnan(expected))
    assert math.copysign(1.0, got) == math.copysign(1.0, expected)


@pytest.mark.parametrize(
    "x, expected",
    [([1.0, 1.0, 2.0], [0.25, 0.25, 0.5]), ([0.0, 0.0], [nan, nan]), ([1.0, 0.0, nan], [nan, nan, nan]),
     ([], []), ([2.0, -2.0], [inf, -inf]), ([1.0, -3.0], [-0.5, 1.5])],
)
def test_probability(x, expected):
    assert_same(np.array(rt.probability(x)), np.array(expected))
