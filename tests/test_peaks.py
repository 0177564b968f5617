"""Frame statistics and the three peak pickers."""

import math

import numpy as np
import pytest

import reference as ref
from conftest import assert_same, assert_unchanged, random_length, random_values, snapshot, strided

nan, inf = math.nan, math.inf

CHUNKS, PER_CHUNK = 10, 100

STATISTICS = [
    ("_mean_1d", ref.mean_1d),
    ("_min_1d", ref.min_1d),
    ("_sum_1d", ref.sum_1d),
    ("_calc_peak_max_value", ref.calc_peak_max_value),
]
INDICES = [
    ("_argmax_1d", ref.argmax_1d),
    ("_peak_detect_maximum_cy", ref.peak_detect_maximum),
]


def vec(*values):
    return np.array(values, dtype=np.float64)


def _check(kernels, name, args, expected, what):
    actual = getattr(kernels, name)(*args)
    if isinstance(expected, float):
        assert_same(actual, expected, f"{name} {what}")
    else:
        assert type(actual) is int, f"{name} {what}: {type(actual).__name__} is not an int"
        assert actual == expected, f"{name} {what}: {actual} != {expected}"


# --------------------------------------------------------------------------
# Known answers


@pytest.mark.parametrize(
    "name, args, expected",
    [
        ("_mean_1d", (vec(),), nan),
        ("_mean_1d", (vec(1e16, 1.0, -1e16, 1.0),), 0.25),  # left-to-right sum
        ("_mean_1d", (vec(1e308, 1e308),), inf),
        ("_mean_1d", (vec(1.0, nan),), nan),
        ("_min_1d", (vec(),), inf),
        ("_min_1d", (vec(nan, 2, 1),), 1.0),
        ("_min_1d", (vec(nan, nan),), inf),
        ("_min_1d", (vec(3, -inf, nan),), -inf),
        ("_sum_1d", (vec(),), 0.0),
        ("_sum_1d", (vec(1e16, 1.0, -1e16, 1.0),), 1.0),
        ("_sum_1d", (vec(inf, -inf),), nan),
        ("_argmax_1d", (vec(),), 0),
        ("_argmax_1d", (vec(7),), 0),
        ("_argmax_1d", (vec(1, 3, 3, 2),), 1),
        ("_argmax_1d", (vec(nan, 5, 7),), 0),
        ("_argmax_1d", (vec(1, nan, 7, inf),), 3),
        ("_argmax_1d", (vec(-inf, -inf, -5),), 2),
        ("_first_peak_above", (vec(0, 2, 1.5), 1.0), 1),
        # the right neighbour, not the peak, must exceed the threshold
        ("_first_peak_above", (vec(0, 2, 0.5), 1.0), 0),
        ("_first_peak_above", (vec(0, 2, 1.0), 1.0), 0),
        ("_first_peak_above", (vec(0, 1, 1, 0), 0.5), 1),  # plateau: its first sample
        ("_first_peak_above", (vec(0, 2, 0.5, 3, 2.5), 1.0), 3),  # skips the low one
        ("_first_peak_above", (vec(0, 1, 2, 3), -inf), 0),  # rising to the end: no peak
        ("_first_peak_above", (vec(5, 4, 3), -inf), 0),  # index 0 is never a peak
        ("_first_peak_above", (vec(0, 2, 1.5), nan), 0),
        ("_first_peak_above", (vec(0, 2, nan, 1), -inf), 0),  # NaN after a peak never exceeds
        ("_first_peak_above", (vec(0, 2, nan, 3, 1), 0.0), 0),  # NaN breaks the rise
        ("_first_peak_above", (vec(0, 2, nan, 3, 4, 1), 0.0), 4),
        ("_first_peak_above", (vec(), 0.0), 0),
        ("_first_peak_above", (vec(1), 0.0), 0),
        ("_peak_detect_maximum_cy", (vec(0, 3, 0, 2, 1),), 3),  # peak before an exact 0.0 is out
        ("_peak_detect_maximum_cy", (vec(0, 3, -0.0, 2, 1),), 3),
        ("_peak_detect_maximum_cy", (vec(0, 2, 1, 2, 1),), 1),  # equal peaks: first wins
        ("_peak_detect_maximum_cy", (vec(0, 1, 3, 5),), 0),
        ("_peak_detect_maximum_cy", (vec(5, 3, 1),), 0),
        ("_peak_detect_maximum_cy", (vec(0, 3, 0),), 0),
        ("_peak_detect_maximum_cy", (vec(0, 3, nan, 1, 4, 2),), 4),
        ("_peak_detect_maximum_cy", (vec(0, 5, nan, 1, 4, 2),), 1),  # NaN follower counts as non-zero
        ("_peak_detect_maximum_cy", (vec(0, inf, 1),), 1),
        ("_peak_detect_maximum_cy", (vec(),), 0),
        ("_calc_peak_max_value", (vec(0, 3, 0, 2, 1),), 3.0),  # no zero condition
        ("_calc_peak_max_value", (vec(0, 1, 3, 5),), nan),
        ("_calc_peak_max_value", (vec(5, 3, 1),), nan),
        ("_calc_peak_max_value", (vec(0, 2, 2, 1, 4, 4),), 4.0),  # plateau before the end
        ("_calc_peak_max_value", (vec(0, 2, 2, 1, 3, 4),), 2.0),  # rising into the end: no peak
        ("_calc_peak_max_value", (vec(-inf, -5, -7, nan, -1, -2),), -5.0),  # NaN breaks the rise
        ("_calc_peak_max_value", (vec(),), nan),
    ],
)
def test_known_answers(kernels, name, args, expected):
    if name == "_first_peak_above":
        reference = ref.first_peak_above
    else:
        reference = dict(STATISTICS + INDICES)[name]
    modelled = reference(*args)
    assert modelled == expected or (expected != expected and modelled != modelled), modelled
    _check(kernels, name, args, expected, repr(args))


# --------------------------------------------------------------------------
# Differential against the reference


def _random_vector(rng):
    return strided(random_values(rng, random_length(rng, 24)), rng)


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_matches_reference(kernels, chunk):
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        rng = np.random.default_rng([3, seed])
        v = _random_vector(rng)
        before = snapshot(v)
        what = f"seed {seed}"
        for name, reference in STATISTICS + INDICES:
            _check(kernels, name, (v,), reference(v), what)
        finite = v[np.isfinite(v)]
        thresholds = [nan, -inf, inf, 0.0, 1.0, -1.0]
        if finite.size:
            thresholds.append(float(finite[rng.integers(finite.size)]))
        for threshold in thresholds:
            expected = ref.first_peak_above(v, threshold)
            _check(kernels, "_first_peak_above", (v, threshold), expected, f"{what} thr={threshold}")
        assert_unchanged(before, what)


# --------------------------------------------------------------------------
# Sub-sample interpolators

INTERPOLATORS = [
    ("_interp_parabolic", ref.interp_parabolic),
    ("_interp_gaussian", ref.interp_gaussian),
    ("_interp_centroid", ref.interp_centroid),
]
E = math.e


@pytest.mark.parametrize(
    "name, v, a, expected",
    [
        ("_interp_parabolic", vec(1, 3, 2), 1, (-0.5 / -3, 3 - (-0.25) * (-0.5 / -3))),
        ("_interp_parabolic", vec(1, 2, 3, 4), 1, (0.0, 2.0)),  # collinear: degenerate
        ("_interp_parabolic", vec(1, 3, 3), 1, (0.5, 3.25)),  # a plateau gives exactly +0.5
        ("_interp_parabolic", vec(1, 1 + 1e-301, 1), 1, (0.0, 1.0)),  # |den| below EPS
        ("_interp_parabolic", vec(9, 3, 2, 7), 0, (0.0, 0.0)),  # no left neighbour: value 0, not v[a]
        ("_interp_parabolic", vec(9, 3, 2, 7), 3, (0.0, 0.0)),
        ("_interp_parabolic", vec(4), 0, (0.0, 0.0)),
        ("_interp_parabolic", vec(1, nan, 2), 1, (nan, nan)),  # NaN den is not degenerate
        ("_interp_parabolic", vec(1, inf, 2), 1, (0.0, inf)),
        ("_interp_gaussian", vec(0, 5, 0), 1, (0.0, math.exp(math.log(5.0)))),  # zeros floored, symmetric
        ("_interp_gaussian", vec(2, 2, 2), 1, (0.0, math.exp(math.log(2.0)))),  # flat: exp(L0)
        ("_interp_gaussian", vec(-1, -2, 0), 1, (0.0, math.exp(math.log(1e-300)))),  # all floored
        ("_interp_gaussian", vec(9, 3, 2, 7), 3, (0.0, 0.0)),
        ("_interp_gaussian", vec(1, nan, 2), 1, (nan, nan)),
        ("_interp_centroid", vec(1, 2, 1), 1, (0.0, 2.0)),
        ("_interp_centroid", vec(0, 2, 2), 1, (0.5, 2.0)),
        ("_interp_centroid", vec(-1, -2, -1), 1, (0.0, 0.0)),  # no positive weight
        ("_interp_centroid", vec(0, 4, 1), 2, (-0.8, 1.0)),  # window cut at the end; not clamped here
        ("_interp_centroid", vec(3, 1, 100), 0, (0.25, 3.0)),  # only v[0] and v[1]
        ("_interp_centroid", vec(100, 1, 3), 2, (-0.25, 3.0)),
        ("_interp_centroid", vec(nan, 2, 2), 1, (0.5, 2.0)),  # NaN and negative weights are skipped
        ("_interp_centroid", vec(-5, 2, 2), 1, (0.5, 2.0)),
        ("_interp_centroid", vec(7, -3, 1), 1, (-0.75, -3.0)),  # the value is v[a] as it is
        ("_interp_centroid", vec(5), 0, (0.0, 5.0)),
    ],
)
def test_interpolator_known_answers(kernels, name, v, a, expected):
    assert_same(dict(INTERPOLATORS)[name](v, a), expected, "reference")
    assert_same(getattr(kernels, name)(v, a), expected, name)


def test_gaussian_fits_a_parabola_to_logarithms(kernels):
    v = vec(1.0, E * E, E)  # logarithms 0, 2, 1
    offset, value = kernels._interp_gaussian(v, 1)
    assert offset == pytest.approx(1 / 6, rel=1e-12)
    assert value == pytest.approx(math.exp(2 + 0.25 / 6), rel=1e-12)
    assert_same((offset, value), ref.interp_gaussian(v, 1))


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_interpolators_match_reference(kernels, chunk):
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        rng = np.random.default_rng([17, seed])
        v = strided(random_values(rng, int(rng.integers(1, 12))), rng)
        if rng.random() < 0.3:  # tiny and huge magnitudes around the floor and exp's range
            v = v * (1e-300, 1e-290, 1e300)[rng.integers(3)]
        before = snapshot(v)
        for name, reference in INTERPOLATORS:
            for a in range(v.shape[0]):
                assert_same(getattr(kernels, name)(v, a), reference(v, a), f"seed {seed} {name} a={a}")
        assert_unchanged(before, f"seed {seed}")


# --------------------------------------------------------------------------
# Leading-flank suppression


@pytest.mark.parametrize(
    "data, expected",
    [
        ([5, 3, 2, 4, 6], [0, 0, 2, 4, 6]),  # the valley before the first rise stays
        ([1, 2, 3], [1, 2, 3]),  # rises at once: nothing before it
        ([4, 4, 5], [0, 4, 5]),  # a flat step is not a rise
        ([3, 2, 1], [1 / 3, 1 / 3, 1 / 3]),  # never rises: uniform
        ([2.5] * 4, [0.25] * 4),
        ([7], [1.0]),
        ([], []),
        ([3, nan, 1, 2], [0, 0, 1, 2]),  # steps into and out of NaN are not rises
        ([nan, nan], [0.5, 0.5]),
        ([inf, inf, 1, 2], [0, 0, 1, 2]),  # inf - inf is NaN, not a rise
        ([-inf, -inf, 0], [0, -inf, 0]),
        ([9, 8, 8, -1e300, 1e300], [0, 0, 0, -1e300, 1e300]),
    ],
)
def test_flank_known_answers(cy_impl, data, expected):
    x = np.array(data, dtype=np.float64)
    expected = np.array(expected, dtype=np.float64)
    assert_same(ref.prev_first_up_zero(x), expected, "reference")
    assert_same(cy_impl._prev_first_up_zero(x), expected)


def test_flank_reads_through_the_stride_into_a_new_array(cy_impl):
    base = np.array([5.0, -1, 3, -1, 2, -1, 4, -1, 6])
    x = base[::2]
    out = cy_impl._prev_first_up_zero(x)
    assert_same(out, np.array([0.0, 0, 2, 4, 6]))
    assert out.flags.c_contiguous and out.flags.owndata and out.flags.writeable
    assert_same(base, np.array([5.0, -1, 3, -1, 2, -1, 4, -1, 6]), "input")
    out = cy_impl._prev_first_up_zero(base[::-2])  # 6, 4, 2, 3, 5
    assert_same(out, np.array([0.0, 0, 2, 3, 5]))


def test_flank_refuses_none(cy_impl):
    with pytest.raises(ValueError):
        cy_impl._prev_first_up_zero(None)


def _random_flank_input(rng):
    n = random_length(rng, 24)
    v = random_values(rng, n)
    r = rng.random()
    if r < 0.2:  # never rising, so the uniform path is taken
        v = -np.sort(-v)
    elif r < 0.4:  # a long falling flank before the first rise
        i = int(rng.integers(0, n + 1))
        v[:i] = -np.sort(-v[:i])
    return strided(v, rng)


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_flank_matches_reference(cy_impl, chunk):
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        x = _random_flank_input(np.random.default_rng([19, seed]))
        before = snapshot(x)
        assert_same(cy_impl._prev_first_up_zero(x), ref.prev_first_up_zero(x), f"seed {seed}")
        assert_unchanged(before, f"seed {seed}")
