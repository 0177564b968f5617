"""The qesmor function of one frame and the frame-by-lag periodicity map."""

import math

import numpy as np
import pytest

import reference as ref
from conftest import (
    assert_same,
    assert_unchanged,
    random_lags,
    random_length,
    random_nega,
    random_qesmor_case,
    random_signal,
    snapshot,
)

nan, inf = math.nan, math.inf

CHUNKS, PER_CHUNK = 20, 60  # 1200 seeded cases per differential test


def lags(*values):
    return np.array(values, dtype=np.intp)


def frame(*values):
    return np.array(values, dtype=np.float64)


# --------------------------------------------------------------------------
# Differential against the reference


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_map_matches_reference(cy_impl, chunk):
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        data, window, hop, search = random_qesmor_case(np.random.default_rng(seed))
        before = snapshot(data, search)
        expected = ref.calc_qesmor_core(data, window, hop, search)
        actual = cy_impl.calc_qesmor_core_cy(data, window, hop, search)
        assert_same(actual, expected, f"seed {seed} (W={window}, H={hop})")
        assert_unchanged(before, f"seed {seed} (data, search_sample)")


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_frame_core_matches_reference(kernels, chunk):
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        rng = np.random.default_rng([7, seed])
        x = random_signal(rng, random_length(rng, 40))
        search = random_lags(rng, x.shape[0])
        expected = ref.periodicity_1d(x, search)
        assert_same(kernels._periodicity_1d_core_cy(x, search), expected, f"seed {seed}")


def test_every_lag_count_and_frame_length(kernels):
    # Lag counts and frame lengths straddling any vector width a kernel may
    # process at once; each count is also run with its lags in reverse order.
    rng = np.random.default_rng(11)
    for n in range(0, 34):
        x = rng.normal(size=n)
        if n:
            x[rng.integers(n)] = nan
        for k in range(0, 18):
            search = rng.integers(0, n + 2, size=k).astype(np.intp)
            for s in (search, search[::-1]):
                assert_same(kernels._periodicity_1d_core_cy(x, s), ref.periodicity_1d(x, s), f"N={n} K={k}")


# --------------------------------------------------------------------------
# Known answers for one frame


@pytest.mark.parametrize(
    "x, search, expected",
    [
        # Lag 0 is the mean, summed left to right: any other order gives 0.0 here.
        (frame(1e16, 1.0, -1e16, 1.0), lags(0), [0.25]),
        (frame(0.1, 0.2, 0.3), lags(0), [(0.1 + 0.2 + 0.3) / 3]),
        # The sum itself overflows; a running mean would stay finite.
        (frame(1e308, 1e308, 1e308), lags(0), [inf]),
        # Constant frame: c below the frame length, exactly 0.0 from it on.
        (np.full(7, 2.5), lags(0, 1, 6, 7, 8, 100), [2.5, 2.5, 2.5, 0.0, 0.0, 0.0]),
        (np.full(7, -0.75), lags(3, 7), [-0.75, 0.0]),
        # No overlap is 0.0 even where the samples would give NaN.
        (frame(nan, nan, nan), lags(3, 4), [0.0, 0.0]),
        (frame(inf, -inf), lags(2), [0.0]),
        # A lone NaN takes its partner's value; only NaN against NaN is NaN.
        (frame(1, 2, nan, 4, 5), lags(1), [11 / 4]),
        (frame(1, 2, nan, 4, 5), lags(2), [(1 + 2 + 5) / 3]),
        (frame(1, 2, nan, 4, 5), lags(0), [nan]),
        (frame(nan, 1, nan, 3), lags(2), [nan]),
        (frame(nan, 1, 2, nan), lags(1), [(1 + 1 + 2) / 3]),
        # Infinities are ordinary values to the minimum; inf - inf appears only in the sum.
        (frame(inf, 1, inf), lags(1), [1.0]),
        (frame(inf, -inf), lags(1), [-inf]),
        (frame(inf, -inf), lags(0), [nan]),
        # Output follows the lag order, duplicates included.
        (frame(3, 1, 4, 1, 5), lags(4, 0, 4, 1, 9), [3.0, 14 / 5, 3.0, 4 / 4, 0.0]),
        # An empty frame gives zeros; no lags gives an empty vector.
        (frame(), lags(0, 1, 5), [0.0, 0.0, 0.0]),
        (frame(1, 2, 3), lags(), []),
    ],
)
def test_frame_known_answers(kernels, x, search, expected):
    expected = np.array(expected, dtype=np.float64)
    assert_same(ref.periodicity_1d(x, search), expected, "reference")
    assert_same(kernels._periodicity_1d_core_cy(x, search), expected)


def test_frame_strided_inputs(kernels):
    base = np.arange(20, dtype=np.float64)
    x = base[::-3]  # 19, 16, ..., 1
    search = np.array([9, 0, 2, 0, 9, 1], dtype=np.intp)[::2]  # 9, 2, 9
    expected = ref.periodicity_1d(x.copy(), search.copy())
    assert_same(kernels._periodicity_1d_core_cy(x, search), expected)
    assert_same(expected, np.array([0.0, sum(x[2:]) / 5, 0.0]), "reference")


# --------------------------------------------------------------------------
# Known answers for the map


def test_map_small_example(cy_impl):
    qmap, means = cy_impl.calc_qesmor_core_cy(np.arange(10.0), 4, 2, lags(0, 1))
    assert_same(qmap, np.array([[1.5, 1.0], [3.5, 3.0], [5.5, 5.0]]))
    assert_same(means, np.array([1.5, 3.5, 5.5]))
    assert_same(qmap[:, 0].copy(), means, "lag-0 column")


@pytest.mark.parametrize(
    "n, window, hop, frames",
    [
        (10, 4, 2, 3),  # the frame ending on the last sample is not produced
        (10, 4, 3, 2),
        (10, 4, 6, 1),
        (10, 9, 1, 1),
        (10, 10, 1, 0),
        (10, 11, 1, 0),
        (6, 5, 5, 1),  # N = W + 1: one frame, last sample unused
        (10, 0, 3, 4),  # empty frames: ceil(N / H) of them
        (0, 0, 1, 0),
        (0, 3, 1, 0),
    ],
)
def test_map_frame_count_and_positions(cy_impl, n, window, hop, frames):
    # Every sample outside the frames is NaN, so using one would show up.
    data = np.full(n, nan)
    used = slice(0, (frames - 1) * hop + window) if frames else slice(0, 0)
    data[used] = np.arange(n, dtype=np.float64)[used] + 1.0
    qmap, means = cy_impl.calc_qesmor_core_cy(data, window, hop, lags(0, 1, window))
    assert means.shape == (frames,)
    assert qmap.shape == ((frames, 3) if frames else (0,))
    assert_same((qmap, means), ref.calc_qesmor_core(data, window, hop, lags(0, 1, window)))
    if window:
        assert not np.isnan(means).any()


def test_map_empty_frames_give_zero_scores_and_nan_means(cy_impl):
    qmap, means = cy_impl.calc_qesmor_core_cy(np.arange(7.0), 0, 2, lags(0, 3))
    assert_same(qmap, np.zeros((4, 2)))
    assert_same(means, np.full(4, nan))


@pytest.mark.parametrize(
    "data, search, map_shape, n_means",
    [
        (np.arange(10.0), lags(), (3, 0), 3),  # no lags: means still computed
        (np.arange(10.0), None, (3, 0), 3),
        (None, lags(0, 1), (0,), 0),
        (None, None, (0,), 0),
        (np.arange(4.0), lags(0, 1), (0,), 0),  # N == W
    ],
)
def test_map_empty_shapes(cy_impl, data, search, map_shape, n_means):
    qmap, means = cy_impl.calc_qesmor_core_cy(data, 4, 2, search)
    assert (qmap.shape, qmap.dtype) == (map_shape, np.float64)
    assert (means.shape, means.dtype) == ((n_means,), np.float64)
    if n_means:
        assert_same(means, np.array([1.5, 3.5, 5.5]))


def test_map_lag_at_or_beyond_window_is_zero(cy_impl):
    data = np.linspace(-1, 1, 30)
    qmap, _ = cy_impl.calc_qesmor_core_cy(data, 8, 3, lags(7, 8, 9, 50))
    assert_same(qmap[:, 1:].copy(), np.zeros((qmap.shape[0], 3)))
    assert (qmap[:, 0] != 0).all()


def test_map_accepts_integer_like_sizes(cy_impl):
    data = np.arange(12.0)
    expected = cy_impl.calc_qesmor_core_cy(data, 4, 3, lags(0, 2))
    assert_same(cy_impl.calc_qesmor_core_cy(data, np.int64(4), np.int32(3), lags(0, 2)), expected)


# --------------------------------------------------------------------------
# Rejected values


@pytest.mark.parametrize(
    "window, hop, search, match",
    [
        (4, 0, lags(0), r"^range\(\) arg 3 must not be zero$"),
        (4, -1, lags(0), "hop_size"),
        (-1, 1, lags(0), "^negative dimensions are not allowed$"),
        # checked in the order window_size, hop_size, lags
        (-1, 0, lags(-1), "^negative dimensions are not allowed$"),
        (4, 0, lags(-1), r"^range\(\) arg 3 must not be zero$"),
        (4, -2, lags(-1), "hop_size"),
    ],
)
def test_map_rejects_bad_sizes(cy_impl, window, hop, search, match):
    with pytest.raises(ValueError, match=match):
        cy_impl.calc_qesmor_core_cy(np.arange(10.0), window, hop, search)


def test_map_rejects_negative_lag_naming_it(cy_impl):
    search = lags(0, 3, 1, -2, -5)
    with pytest.raises(ValueError) as info:
        cy_impl.calc_qesmor_core_cy(np.arange(10.0), 4, 2, search)
    message = str(info.value)
    assert "search_sample" in message and "[3]" in message and "-2" in message, message


# --------------------------------------------------------------------------
# Two-polarity map


def _len(a):
    return None if a is None else a.shape[0]


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_pair_map_matches_reference(cy_impl, chunk):
    for seed in range(chunk * PER_CHUNK, (chunk + 1) * PER_CHUNK):
        rng = np.random.default_rng([13, seed])
        posi, window, hop, search = random_qesmor_case(rng)
        nega = random_nega(rng, posi)
        before = snapshot(posi, nega, search)
        expected = ref.calc_qesmor_negaposi_core(posi, nega, window, hop, search)
        actual = cy_impl.calc_qesmor_negaposi_core_cy(posi, nega, window, hop, search)
        what = f"seed {seed} (W={window}, H={hop}, N+={_len(posi)}, N-={_len(nega)})"
        assert_same(actual, expected, what)
        assert_unchanged(before, f"{what} (data_posi, data_nega, search_sample)")


def test_pair_map_small_example(cy_impl):
    posi = np.arange(10.0)
    nega = np.array([0.0, 4, 0, 4, 0, 4, 0, 4, 0, 4])
    qmap, means = cy_impl.calc_qesmor_negaposi_core_cy(posi, nega, 4, 2, lags(0, 1, 2))
    # lag 1 of nega's frames is always 0; lag 2 pairs equal samples
    assert_same(qmap, np.array([[3.5, 1.0, 2.5], [5.5, 3.0, 4.5], [7.5, 5.0, 6.5]]))
    assert_same(means, np.array([3.5, 5.5, 7.5]))


@pytest.fixture
def signal():
    rng = np.random.default_rng(99)
    return np.maximum(rng.normal(size=37), 0.0), lags(0, 1, 2, 3, 5, 8, 9, 10)


def test_pair_map_of_equal_halves_is_twice_the_map(cy_impl, signal):
    x, search = signal
    qmap, means = cy_impl.calc_qesmor_core_cy(x, 9, 4, search)
    assert_same(cy_impl.calc_qesmor_negaposi_core_cy(x, x, 9, 4, search), (2 * qmap, 2 * means))


def test_pair_map_with_zero_negative_half_is_the_map(cy_impl, signal):
    x, search = signal
    expected = cy_impl.calc_qesmor_core_cy(x, 9, 4, search)
    assert_same(cy_impl.calc_qesmor_negaposi_core_cy(x, np.zeros_like(x), 9, 4, search), expected)


def test_pair_map_frames_follow_the_positive_half(cy_impl, signal):
    x, search = signal
    y = np.linspace(0.0, 3.0, 50)
    # A longer negative half is cut to the positive half's frames...
    assert_same(
        cy_impl.calc_qesmor_negaposi_core_cy(x, y, 9, 4, search),
        cy_impl.calc_qesmor_negaposi_core_cy(x, y[:37].copy(), 9, 4, search),
    )
    # ...and a shorter one ends early: frames past its end see only the
    # positive half's scores, and the mean of an empty frame is NaN.
    qmap, means = cy_impl.calc_qesmor_negaposi_core_cy(x, y[:10].copy(), 9, 4, search)
    single_map, single_means = cy_impl.calc_qesmor_core_cy(x, 9, 4, search)
    assert qmap.shape == single_map.shape == (7, 8)
    assert_same(qmap[3:], single_map[3:])
    assert_same(means[3:], np.full(4, nan))
    assert_same(float(means[2]), float(single_means[2] + (y[8] + y[9]) / 2), "frame cut short")
    empty = cy_impl.calc_qesmor_negaposi_core_cy(x, None, 9, 4, search)
    assert_same(empty, (single_map, np.full(7, nan)))


@pytest.mark.parametrize(
    "posi, window, search, map_shape, means",
    [
        (np.arange(4.0), 4, lags(0, 1), (0,), []),  # N == W
        (None, 4, lags(0, 1), (0,), []),
        (np.arange(7.0), 0, lags(0, 3), (4, 2), [nan] * 4),  # empty frames
        (np.arange(10.0), 4, lags(), (3, 0), [3.0, 7.0, 11.0]),
        (np.arange(10.0), 4, None, (3, 0), [3.0, 7.0, 11.0]),
    ],
)
def test_pair_map_shapes(cy_impl, posi, window, search, map_shape, means):
    qmap, got = cy_impl.calc_qesmor_negaposi_core_cy(posi, posi, window, 2, search)
    assert (qmap.shape, qmap.dtype) == (map_shape, np.float64)
    assert not qmap.any()  # all zeros, or empty
    assert_same(got, np.array(means, dtype=np.float64))


@pytest.mark.parametrize(
    "window, hop, search, match",
    [
        (4, 0, lags(0), r"^range\(\) arg 3 must not be zero$"),
        (4, -1, lags(0), "hop_size"),
        (-1, 1, lags(0), "^negative dimensions are not allowed$"),
        (4, 2, lags(1, -2), r"search_sample\[1\] = -2"),
        (-1, 0, lags(-1), "^negative dimensions are not allowed$"),
        (4, 0, lags(-1), r"^range\(\) arg 3 must not be zero$"),
        (4, -2, lags(-1), "hop_size"),
    ],
)
def test_pair_map_rejects_bad_sizes(cy_impl, window, hop, search, match):
    for posi in (np.arange(10.0), None):
        with pytest.raises(ValueError, match=match):
            cy_impl.calc_qesmor_negaposi_core_cy(posi, np.arange(10.0), window, hop, search)
