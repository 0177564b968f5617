"""The direct pitch cores: one signal, and a positive/negative half-wave pair."""

import itertools
import math

import numpy as np
import pytest

import reference as ref
from conftest import (
    assert_same,
    assert_unchanged,
    random_lag_grid,
    random_length,
    random_nega,
    random_periodic_values,
    random_values,
    snapshot,
    strided,
)

nan, inf = math.nan, math.inf

CHUNKS, PER_CHUNK = 20, 60  # 1200 seeded cases per differential test

DETECT = ("score", "static", "maximum", "peak")
INTERP = ("parabolic", "gaussian", "centroid", "no")
PP = ("threshold_diff", None, "other")
COMBOS = list(itertools.product(DETECT, INTERP, PP))

SINGLE_INTERP = "interpolator_mode is parabolic,centroid,gaussian or no"
NEGAPOSI_INTERP = "interpolator_mode is quadratic,centroid,gaussian or no"
SMOOTH_ERROR = "qesmor_smooth > 0 and int"
DETECT_ERROR = "pitch_detect_mode is score,static,maximum,peak."

PARAMS = ("fs", "window_size", "hop_size", "search_sample", "pp_mode", "qesmor_smooth",
          "pitch_detect_mode", "pitch_detect_thre", "interpolator_mode")


def lags(*values):
    return np.array(values, dtype=np.intp)


def single(cy_impl, data, **kw):
    return cy_impl.calc_Pitch_core_cy(data, *(kw[p] for p in PARAMS))


def pair(cy_impl, posi, nega, **kw):
    return cy_impl.calc_Pitch_negaposi_core_cy(posi, nega, *(kw[p] for p in PARAMS))


def settings(**changes):
    kw = dict(fs=8000.0, window_size=64, hop_size=16, search_sample=np.arange(2, 40, dtype=np.intp),
              pp_mode=None, qesmor_smooth=1, pitch_detect_mode="maximum", pitch_detect_thre=0.5,
              interpolator_mode="parabolic")
    kw.update(changes)
    return kw


def pulses(n, period, phase=0):
    """Rounded pulses with one period: a clean, symmetric qesmor peak at `period`."""
    t = np.arange(n, dtype=np.float64) + phase
    return np.maximum(np.cos(2 * np.pi * t / period), 0.0) ** 2


def outcome(call):
    try:
        return call()
    except Exception as e:  # compared with the reference's exception below
        return e


def assert_same_outcome(actual, expected, what):
    if isinstance(expected, Exception):
        assert isinstance(actual, Exception), f"{what}: returned instead of raising {expected!r}"
        assert (type(actual), str(actual)) == (type(expected), str(expected)), f"{what}: {actual!r} != {expected!r}"
    else:
        assert not isinstance(actual, Exception), f"{what}: raised {actual!r}"
        assert_same(actual, expected, what)


def assert_raises_exactly(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message, repr(info.value)


# --------------------------------------------------------------------------
# Differential against the reference


def _random_threshold(rng, mode, data):
    r = rng.random()
    if r < 0.08:
        return (nan, inf, -inf, 1e300)[rng.integers(4)]
    if r < 0.2:
        return (0.0, 1.0)[rng.integers(2)]
    if mode == "static" and data is not None:
        finite = np.abs(data[np.isfinite(data)])
        scale = float(finite.mean()) if finite.size else 1.0
        return float(rng.uniform(-0.2, 0.3)) * scale
    return float(rng.uniform(-0.2, 0.6))


def random_pitch_case(rng, seed):
    """The signal and the remaining keyword arguments of one direct-core call.

    Mode combinations cycle with the seed so every one is covered evenly;
    a few cases carry unknown mode strings, widths outside 1 ... K + 1 or a
    negative window, which must fail exactly as the reference fails.
    """
    n = random_length(rng, 10) if rng.random() < 0.15 else int(rng.integers(12, 64))
    r = rng.random()
    if r < 0.03:
        window = 0
    elif r < 0.04:
        window = -1
    elif r < 0.14:
        window = n + int(rng.integers(-1, 2))  # one frame or none
    else:  # mostly long enough to hold a few periods of the pattern
        longest = max(2, min(n, 32))
        window = int(rng.integers(longest // 2 if rng.random() < 0.7 else 1, longest))
    window = max(window, -1)
    if n > window >= 0 and rng.random() < 0.8:
        hop = max(1, -(-(n - window) // int(rng.integers(1, 7))))  # one to six frames
    else:
        hop = int(rng.integers(1, 4))
    data = None if rng.random() < 0.02 else strided(
        random_periodic_values(rng, n) if rng.random() < 0.7 else random_values(rng, n), rng)
    search = random_lag_grid(rng, max(window, 0))
    k = 0 if search is None else search.shape[0]
    r = rng.random()
    if r < 0.4:
        smooth = 1
    elif r < 0.75:
        smooth = int(rng.integers(2, min(k, 4) + 2)) if k else 1
    elif r < 0.9:
        smooth = int(rng.integers(2, k + 2)) if k else 1
    elif r < 0.95:
        smooth = k + 1
    elif r < 0.98:
        smooth = int(rng.integers(-1, 1))
    else:
        smooth = k + 2
    detect, interp, pp = COMBOS[seed % len(COMBOS)]
    if rng.random() < 0.04:
        detect = (None, "Score", "")[rng.integers(3)]
    if rng.random() < 0.04:
        interp = (None, "quadratic", "Parabolic")[rng.integers(3)]
    fs = (1.0, float(rng.uniform(100, 48000)), 0.0, -1.0, nan, inf)[rng.integers(6)] if rng.random() < 0.3 else 8000.0
    kw = dict(fs=fs, window_size=window, hop_size=hop, search_sample=search, pp_mode=pp,
              qesmor_smooth=smooth, pitch_detect_mode=detect,
              pitch_detect_thre=_random_threshold(rng, detect, data), interpolator_mode=interp)
    return data, kw


def _found_pitch(result):
    return isinstance(result, np.ndarray) and result.ndim == 2 and not np.isnan(result).all()


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_single_matches_reference(cy_impl, chunk):
    found = 0
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        data, kw = random_pitch_case(np.random.default_rng([41, seed]), seed)
        inputs = (data, kw["search_sample"])
        before = snapshot(*inputs)
        expected = outcome(lambda: ref.calc_Pitch_core(data, *(kw[p] for p in PARAMS)))
        actual = outcome(lambda: single(cy_impl, data, **kw))
        what = f"seed {seed} " + ", ".join(f"{p}={kw[p]!r}" for p in PARAMS if p != "search_sample")
        assert_same_outcome(actual, expected, what)
        assert_unchanged(before, f"seed {seed}")
        found += _found_pitch(expected)
    # The generator has to reach refinement often, or the comparison proves little.
    assert found >= PER_CHUNK // 10, found


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_pair_matches_reference(cy_impl, chunk):
    found = 0
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        rng = np.random.default_rng([43, seed])
        posi, kw = random_pitch_case(rng, seed)
        nega = random_nega(rng, posi)
        inputs = (posi, nega, kw["search_sample"])
        before = snapshot(*inputs)
        expected = outcome(lambda: ref.calc_Pitch_negaposi_core(posi, nega, *(kw[p] for p in PARAMS)))
        actual = outcome(lambda: pair(cy_impl, posi, nega, **kw))
        what = f"seed {seed} " + ", ".join(f"{p}={kw[p]!r}" for p in PARAMS if p != "search_sample")
        assert_same_outcome(actual, expected, what)
        assert_unchanged(before, f"seed {seed}")
        found += _found_pitch(expected)
    assert found >= PER_CHUNK // 10, found


# --------------------------------------------------------------------------
# Known answers


@pytest.mark.parametrize("smooth", [1, 3, 5])
@pytest.mark.parametrize("interp", INTERP)
def test_clean_period_is_reported_at_the_centre_of_the_smoothing_window(cy_impl, smooth, interp):
    # A near-symmetric peak at lag 25 over consecutive lags from 20: the smoothed
    # peak starts at index 25 - 20 - (s - 1) // 2 and is reported back at 25.
    kw = settings(window_size=300, hop_size=150, search_sample=np.arange(20, 32, dtype=np.intp),
                  qesmor_smooth=smooth, interpolator_mode=interp, pitch_detect_mode="maximum")
    rows = single(cy_impl, pulses(600, 25), **kw)
    assert rows.shape == (2, 2)
    if interp == "no":
        assert_same(rows[:, 0].copy(), np.full(2, 8000.0 / 25))
    else:  # a shift by whole samples would move the lag by at least 0.5
        assert (np.abs(8000.0 / rows[:, 0] - 25) < 0.5).all(), rows


def test_no_interpolator_reports_the_grid_lag_and_the_raw_strength(cy_impl, kernels):
    x = pulses(121, 25, phase=0.3)
    kw = settings(window_size=100, hop_size=50, search_sample=np.arange(20, 32, dtype=np.intp),
                  interpolator_mode="no")
    frame = x[:100]
    q = kernels._periodicity_1d_core_cy(frame, kw["search_sample"])
    idx = int(np.argmax(q))
    assert 0 < idx < q.size - 1
    assert_same(single(cy_impl, x, **kw), np.array([[8000.0 / (20 + idx), q[idx] / kernels._mean_1d(frame)]]))


def test_pitch_and_strength_divide_as_ieee(cy_impl):
    # Lag 0 wins at index 1: an infinite pitch rather than an error, and
    # 0 / 0 with fs = 0 keeps the strength of the row.
    x = pulses(9, 4) + 1.0
    kw = settings(window_size=8, hop_size=8, search_sample=lags(1, 0, 1), interpolator_mode="no")
    assert_same(single(cy_impl, x, **kw), np.array([[inf, 1.0]]))
    assert_same(single(cy_impl, x, **dict(kw, fs=0.0)), np.array([[nan, 1.0]]))
    # A frame whose mean is exactly 0 under a negative peak value.
    x = np.array([2.0, -1.0, 0.0, -1.0, 0.0, -2.0, 2.0, 9.0])
    kw = settings(window_size=7, hop_size=7, search_sample=lags(1, 2, 3), interpolator_mode="no")
    assert_same(single(cy_impl, x, **kw), np.array([[4000.0, -inf]]))


@pytest.mark.parametrize("detect", DETECT)
@pytest.mark.parametrize("value", [0.0, 2.5])
def test_flat_signal_has_no_pitch(cy_impl, detect, value):
    kw = settings(pitch_detect_mode=detect, pitch_detect_thre=0.0, interpolator_mode="bogus")
    assert_same(single(cy_impl, np.full(300, value), **kw), np.full((15, 2), nan))


@pytest.mark.parametrize(
    "n, shape",
    [(64, (0,)), (65, (1, 2)), (80, (1, 2)), (81, (2, 2)), (0, (0,))],
)
def test_frame_count(cy_impl, n, shape):
    result = single(cy_impl, pulses(n, 10), **settings())
    assert (result.shape, result.dtype) == (shape, np.float64)


@pytest.mark.parametrize(
    "detect, thre, found",
    [
        ("static", 1e9, False),  # above every score
        ("static", 0.0, True),
        ("score", 0.0, True),
        ("score", 2.0, False),  # far above every score of this signal
        ("peak", 1.0, False),  # the sample after a peak never exceeds the highest peak
        ("peak", 0.5, True),
        ("peak", nan, False),
        ("maximum", nan, True),  # the threshold is not used
        ("maximum", inf, True),
    ],
)
def test_detection_thresholds(cy_impl, detect, thre, found):
    kw = settings(pitch_detect_mode=detect, pitch_detect_thre=thre)
    rows = single(cy_impl, pulses(300, 12), **kw)
    assert np.isfinite(rows).all() if found else np.isnan(rows).all(), rows


def test_maximum_skips_a_peak_followed_by_exact_zero(cy_impl):
    # Impulses every 6 samples: the score is non-zero only at multiples of 6,
    # so every peak is followed by an exact 0.0 and none is a candidate.
    x = np.zeros(200)
    x[::6] = 1.0
    kw = settings(window_size=60, hop_size=60, search_sample=np.arange(1, 20, dtype=np.intp))
    assert_same(single(cy_impl, x, **kw), np.full((3, 2), nan))
    assert np.isfinite(single(cy_impl, x, **dict(kw, pitch_detect_mode="static", pitch_detect_thre=-1.0))).all()


def test_smoothing_width_limits(cy_impl):
    kw = settings(search_sample=np.arange(2, 12, dtype=np.intp))
    x = pulses(200, 5)
    assert_same(single(cy_impl, x, **dict(kw, qesmor_smooth=11)), np.full((9, 2), nan))  # K + 1
    for data in (x, None):
        with pytest.raises(ValueError, match="^negative dimensions are not allowed$"):
            single(cy_impl, data, **dict(kw, qesmor_smooth=12))  # K + 2, even without frames


def test_threshold_diff_shifts_only_for_gaussian_and_centroid(cy_impl):
    x = pulses(300, 12, phase=0.4) + 0.5  # a raised baseline under every score
    results = {}
    for interp, pp in itertools.product(INTERP, PP):
        results[interp, pp] = single(cy_impl, x, **settings(interpolator_mode=interp, pp_mode=pp))
        assert np.isfinite(results[interp, pp]).all()
    for interp in INTERP:
        assert_same(results[interp, "other"], results[interp, None])
        shifted = not np.array_equal(results[interp, "threshold_diff"], results[interp, None])
        assert shifted == (interp in ("gaussian", "centroid")), interp


# --------------------------------------------------------------------------
# Errors: exact class, exact text, raised only when a frame reaches them


@pytest.mark.parametrize("core, message", [("single", SINGLE_INTERP), ("pair", NEGAPOSI_INTERP)])
@pytest.mark.parametrize("interp", ["quadratic", None, "Parabolic", "gaussian "])
def test_unknown_interpolator(cy_impl, core, message, interp):
    def call(data, **changes):
        kw = settings(interpolator_mode=interp, **changes)
        if core == "single":
            return single(cy_impl, data, **kw)
        return pair(cy_impl, data, None if data is None else np.zeros_like(data), **kw)

    assert_raises_exactly(lambda: call(pulses(300, 12)), Exception, message)
    # Only a frame with a peak examines the keyword.
    assert_same(call(np.zeros(300)), np.full((15, 2), nan))
    assert_same(call(pulses(300, 12), pitch_detect_mode="static", pitch_detect_thre=inf), np.full((15, 2), nan))
    assert_same(call(None), np.empty(0))


@pytest.mark.parametrize("core", ["single", "pair"])
@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(qesmor_smooth=0), SMOOTH_ERROR),
        (dict(qesmor_smooth=-3), SMOOTH_ERROR),
        (dict(pitch_detect_mode=None), DETECT_ERROR),
        (dict(pitch_detect_mode="Maximum"), DETECT_ERROR),
        # the smoothing width is checked before the detection rule, which is
        # checked before the interpolator
        (dict(qesmor_smooth=0, pitch_detect_mode=None, interpolator_mode=None), SMOOTH_ERROR),
        (dict(pitch_detect_mode="x", interpolator_mode=None), DETECT_ERROR),
    ],
)
def test_lazy_core_errors(cy_impl, core, changes, message):
    def call(data):
        kw = settings(**changes)
        return single(cy_impl, data, **kw) if core == "single" else pair(cy_impl, data, data, **kw)

    assert_raises_exactly(lambda: call(np.zeros(65)), Exception, message)  # one flat frame is enough
    for no_frames in (np.zeros(64), None):
        assert_same(call(no_frames), np.empty(0))


@pytest.mark.parametrize("core", ["single", "pair"])
@pytest.mark.parametrize(
    "window, hop, smooth, search, match",
    [
        (64, 16, 40, lags(1, 2), "^negative dimensions are not allowed$"),
        (-1, 16, 1, lags(1, 2), "^negative dimensions are not allowed$"),
        (64, 0, 1, lags(1, 2), r"^range\(\) arg 3 must not be zero$"),
        (64, -1, 1, lags(1, 2), "hop_size"),
        (64, 16, 1, lags(1, -2), r"search_sample\[1\] = -2"),
        # checked in this order: smoothing width, window, hop, lags
        (-1, 0, 4, lags(-1, 1), "^negative dimensions are not allowed$"),
        (-1, 0, 1, lags(-1), "^negative dimensions are not allowed$"),
        (64, 0, 1, lags(-1), r"^range\(\) arg 3 must not be zero$"),
        (64, -2, 1, lags(-1), "hop_size"),
    ],
)
def test_rejected_sizes_before_any_frame(cy_impl, core, window, hop, smooth, search, match):
    kw = settings(window_size=window, hop_size=hop, qesmor_smooth=smooth, search_sample=search)
    for data in (pulses(200, 8), None):
        with pytest.raises(ValueError, match=match):
            single(cy_impl, data, **kw) if core == "single" else pair(cy_impl, data, data, **kw)


@pytest.mark.parametrize("core", ["single", "pair"])
def test_none_inputs(cy_impl, core):
    def call(data, search, smooth):
        kw = settings(search_sample=search, qesmor_smooth=smooth)
        return single(cy_impl, data, **kw) if core == "single" else pair(cy_impl, data, data, **kw)

    assert_same(call(None, lags(1, 2, 3), 1), np.empty(0))
    assert_same(call(pulses(100, 8), None, 1), np.full((3, 2), nan))
    with pytest.raises(ValueError, match="^negative dimensions are not allowed$"):
        call(pulses(100, 8), None, 2)


# --------------------------------------------------------------------------
# The two-polarity core against the single-signal one


@pytest.mark.parametrize("detect, interp, pp", COMBOS)
def test_zero_negative_half_gives_the_single_result(cy_impl, detect, interp, pp):
    rng = np.random.default_rng(5)
    x = pulses(400, 13, phase=0.2) + 0.05 * rng.random(400)
    for smooth in (1, 2, 3):
        kw = settings(pitch_detect_mode=detect, interpolator_mode=interp, pp_mode=pp, qesmor_smooth=smooth,
                      pitch_detect_thre=0.1)
        expected = single(cy_impl, x, **kw)
        assert np.isfinite(expected).any()
        assert_same(pair(cy_impl, x, np.zeros(400), **kw), expected, f"s={smooth}")


@pytest.mark.parametrize(
    "detect, interp", list(itertools.product(("score", "maximum", "peak"), ("parabolic", "centroid", "no")))
)
def test_equal_halves_double_score_and_level_alike(cy_impl, detect, interp):
    # Doubling every score and the level is exact, and these rules and
    # interpolators are invariant under it; an absolute threshold or a
    # logarithm would not be.
    x = pulses(400, 13, phase=0.2)
    kw = settings(pitch_detect_mode=detect, interpolator_mode=interp)
    assert_same(pair(cy_impl, x, x, **kw), single(cy_impl, x, **kw))


def test_half_waves_of_a_sine_give_its_period(cy_impl):
    x = np.sin(2 * np.pi * np.arange(400) / 17)
    kw = settings(search_sample=np.arange(5, 30, dtype=np.intp))
    rows = pair(cy_impl, np.maximum(x, 0.0), np.maximum(-x, 0.0), **kw)
    assert rows.shape == (21, 2)
    assert np.allclose(rows[:, 0], 8000.0 / 17, rtol=0.01)


def test_short_negative_half_is_cut_at_its_end(cy_impl):
    # Frames past the end of data_nega see no negative samples: their level
    # is NaN (mean of an empty frame), so the strength is NaN too.
    x = pulses(200, 12)
    kw = settings(window_size=48, hop_size=48)
    rows = pair(cy_impl, x, x[:96].copy(), **kw)
    assert rows.shape == (4, 2)
    assert np.isfinite(rows[:2]).all()
    assert np.isfinite(rows[2:, 0]).all() and np.isnan(rows[2:, 1]).all()
