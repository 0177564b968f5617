"""Frame statistics and the three peak pickers."""

import math

import numpy as np
import pytest

import reference as ref
from conftest import assert_same, random_length, random_values, strided

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
        before = v.copy()
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
        assert np.array_equal(v, before, equal_nan=True), f"{what}: input modified"
