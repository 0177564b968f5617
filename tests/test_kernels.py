"""Every vector target this CPU runs must give the scalar target's bits."""
import numpy as np
import pytest

from conftest import assert_same, random_values, strided

kernels = pytest.importorskip("qesmorPitch._kernels")
TARGETS = kernels.targets()
VECTOR_TARGETS = [t for t in TARGETS if t != "scalar"]


def test_active_target_is_supported():
    assert TARGETS[0] == "scalar"
    assert kernels.active_target() in TARGETS


def _signal(rng, n, special):
    x = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4)
    if special and n:
        k = rng.integers(1, max(2, n // 4))
        x[rng.integers(0, n, size=k)] = rng.choice([np.nan, np.inf, -np.inf, 0.0, -0.0], size=k)
    if rng.random() < 0.2:
        x = np.round(x)  # ties and plateaus
    return x


@pytest.mark.parametrize("target", VECTOR_TARGETS)
@pytest.mark.parametrize("seed", range(8))
def test_periodicity_targets_match_scalar(target, seed):
    rng = np.random.default_rng(seed)
    for case in range(60):
        # Frame lengths and lag runs around every chunk width (8 to 64 lags).
        n = int(rng.integers(0, 300))
        x = _signal(rng, n, special=case % 2 == 0)
        if case % 4 == 1 and n:
            # A half-wave with +inf and -0.0 takes the minimum on the bits.
            x = np.abs(x)
            x[rng.integers(0, n, size=3)] = rng.choice([np.inf, -0.0, 0.0], size=3)
        start = int(rng.integers(0, 80))
        count = int(rng.choice([0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 130]))
        lags = np.arange(start, start + count, dtype=np.intp)
        if case % 5 == 0:
            lags = rng.permutation(lags)
        if case % 7 == 0 and count:
            lags[rng.integers(0, count)] += int(rng.integers(1, 5))  # a gap inside a run
        frame = x if case % 3 else np.repeat(x, 2)[::2]  # strided view of the same samples
        assert_same(kernels._periodicity_1d_core_cy(frame, lags, target),
                    kernels._periodicity_1d_core_cy(x, lags, "scalar"))


def _frame_value_written(x, window, start, lag, polarity):
    """One frame value as its sums are written: each half-wave's whole
    16-sample blocks in 16 sums by position, those added as four vectors of
    four lanes, then the rest of the overlap in order."""
    n = window - lag
    if n <= 0:
        return 0.0
    frame = [float(v) for v in x[start: start + window]]
    sums = []
    for half in ([v if v > 0 else 0.0 for v in frame], [-v if v < 0 else 0.0 for v in frame]):
        whole = n - n % 16
        partial = [0.0] * 16
        for j in range(whole):
            partial[j % 16] += half[j + lag] if half[j + lag] < half[j] else half[j]
        lane = [(partial[i] + partial[4 + i]) + (partial[8 + i] + partial[12 + i]) for i in range(4)]
        s = (lane[0] + lane[1]) + (lane[2] + lane[3])
        for j in range(whole, n):
            s += half[j + lag] if half[j + lag] < half[j] else half[j]
        sums.append(s)
    up, down = float(polarity >= 0), float(polarity <= 0)
    return (up * sums[0] + down * sums[1]) / n


def _frame_value_calls(rng):
    # Frames that overlap, repeat, go backwards and leave gaps (the
    # half-waves are split once per stretch of overlapping frames), windows
    # around a 16-sample block, runs of adjacent lags of every length up to
    # and past the four measured together, lags at the window and past it.
    n = int(rng.integers(200, 900))
    x = random_values(rng, n)
    if rng.random() < 0.5:
        x[rng.integers(0, n, size=3)] = rng.choice([np.nan, np.inf, -np.inf, -0.0], size=3)
    frames = int(rng.integers(1, 12))
    windows = rng.choice([1, 15, 16, 17, 31, 32, 33, 47, 64, 65, 150], size=frames)
    windows = np.minimum(windows, n)
    starts = np.array([rng.integers(0, n - w + 1) for w in windows])
    if rng.random() < 0.5:
        order = np.argsort(starts)
        starts, windows = starts[order], windows[order]
    per_frame = int(rng.integers(1, 9))
    first = np.minimum(rng.integers(0, 70, size=frames), windows + 1)
    lags = first[:, None] + np.arange(per_frame)
    gaps = rng.random(lags.shape) < 0.15
    lags = lags + np.cumsum(gaps, axis=1)
    one_window = rng.random() < 0.3
    if one_window:
        windows = np.full(frames, windows.min())
    return (strided(x, rng), windows[:1] if one_window else windows, starts,
            lags.ravel().astype(np.intp), int(rng.integers(-1, 2)))


@pytest.mark.parametrize("target", TARGETS)
def test_frame_values_are_the_written_sums_on_every_target(target):
    rng = np.random.default_rng(21)
    kernels.use_target(target)
    try:
        for _ in range(40):
            x, windows, starts, lags, polarity = _frame_value_calls(rng)
            got = kernels._qesmor_frames_at(x, windows, starts, lags, polarity)
            per = lags.size // starts.size
            window = np.broadcast_to(windows, starts.shape)
            want = [_frame_value_written(x, int(window[t]), int(starts[t]), int(lags[t * per + k]), polarity)
                    for t in range(starts.size) for k in range(per)]
            assert_same(got, np.array(want))
    finally:
        kernels.use_target(None)


@pytest.mark.parametrize("target", VECTOR_TARGETS)
def test_frame_values_of_long_stretches_match_scalar(target):
    # Frames over a signal longer than one stretch of split half-waves,
    # overlapping across its end, and with a gap between them.
    rng = np.random.default_rng(22)
    x = rng.normal(size=60000)
    starts = np.r_[np.arange(0, 30000, 441), np.arange(40000, 58000, 300)]
    windows = rng.integers(1700, 1800, size=starts.size)
    lags = (rng.integers(80, 600, size=starts.size)[:, None] + np.arange(4)).ravel().astype(np.intp)
    kernels.use_target(target)
    try:
        got = kernels._qesmor_frames_at(x, windows, starts, lags, 0)
    finally:
        kernels.use_target(None)
    kernels.use_target("scalar")
    try:
        assert_same(got, kernels._qesmor_frames_at(x, windows, starts, lags, 0))
    finally:
        kernels.use_target(None)


@pytest.mark.parametrize("target", VECTOR_TARGETS)
@pytest.mark.parametrize("seed", range(8))
def test_decoder_targets_match_scalar(target, seed):
    rng = np.random.default_rng(100 + seed)
    for case in range(40):
        frames = int(rng.integers(0, 20))
        states = int(rng.choice([1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 65]))
        log_likelihood = _signal(rng, frames * states, case % 2 == 0).reshape(frames, states)
        log_a = _signal(rng, (states + 2) * (states + 1), case % 3 == 0).reshape(states + 2, states + 1)
        if case % 4 == 0:
            log_a = np.asfortranarray(log_a)  # columns not contiguous: the scalar path
        beta = float(rng.choice([0.0, 1.0, 0.3, -2.0]))
        assert_same(kernels.viterbi(log_likelihood, log_a, beta, target),
                    kernels.viterbi(log_likelihood, log_a, beta, "scalar"))


@pytest.mark.parametrize("target", VECTOR_TARGETS)
def test_prediction_targets_match_scalar(target):
    rng = np.random.default_rng(7)
    for n in [0, 1, 7, 8, 9, 16, 17, 31, 33, 64, 65, 100]:
        for special in (False, True):
            a = _signal(rng, n * n, special).reshape(n, n)
            v = _signal(rng, n, special)
            assert_same(kernels.matvec(a, v, target), kernels.matvec(a, v, "scalar"))


def test_prediction_sums_each_row_in_order():
    # 1e16 + 1 - 1e16 + 1 is 1.0 in order, 2.0 or 0.0 in other orders.
    a = np.array([[1e16, 1.0, -1e16, 1.0]] * 4)
    v = np.ones(4)
    for target in TARGETS:
        assert_same(kernels.matvec(a, v, target), np.full(4, 1.0))


def test_unknown_target_is_refused():
    # A NUL inside a name was read as the end of it.
    for name in ("no-such-target", kernels.targets()[0] + "\x00junk"):
        with pytest.raises(ValueError, match="is not supported here"):
            kernels._periodicity_1d_core_cy(np.zeros(4), np.zeros(1, dtype=np.intp), name)


@pytest.fixture
def forced(request):
    """The private copy of the public functions, running on one target."""
    kernels.use_target(request.param)
    yield kernels
    kernels.use_target(None)


def _estimator_calls(rng):
    # Periodic half-wave signals with NaN and zeros mixed in; lag runs long
    # enough to fill several vector chunks.
    n = int(rng.integers(200, 700))
    period = rng.uniform(9, 30)
    x = np.maximum(np.sin(2 * np.pi * np.arange(n) / period) + 0.3 * rng.standard_normal(n), 0.0)
    if rng.random() < 0.3:
        x[rng.integers(0, n, size=3)] = np.nan
    nega = np.maximum(-x, 0.0)[: n - int(rng.integers(0, 50))]
    lags = np.arange(int(rng.integers(1, 6)), int(rng.integers(40, 64)), dtype=np.intp)
    w, h = 128, int(rng.integers(20, 60))
    fs = 8000.0
    return {
        "calc_qesmor_core_cy": (x, w, h, lags),
        "calc_qesmor_negaposi_core_cy": (x, nega, w, h, lags),
        "calc_Pitch_core_cy": (x, fs, w, h, lags, "threshold_diff", 3, "score", 0.4, "gaussian"),
        "calc_Pitch_negaposi_core_cy": (x, nega, fs, w, h, lags, None, 1, "maximum", 0.0, "parabolic"),
        "calc_Pitch_bayes_core_cy": (x, fs, w, h, lags, None, 0.7, 0.1, "parabolic"),
        "calc_Pitch_bayes_negaposi_core_cy": (x, nega, fs, w, h, lags, "threshold_diff", 1.0, 0.3, "centroid"),
        "calc_Pitch_viterbi_core_cy": (x, fs, w, h, lags, None, 1.0, 0.1, "no"),
        "calc_Pitch_viterbi_negaposi_core_cy": (x, nega, fs, w, h, lags, None, 0.5, 0.2, "parabolic"),
    }


@pytest.mark.parametrize("forced", TARGETS, indirect=True)
def test_estimators_give_the_same_bits_on_every_target(forced, cy_impl):
    rng = np.random.default_rng(11)
    for _ in range(25):
        for name, args in _estimator_calls(rng).items():
            assert_same(getattr(forced, name)(*args), getattr(cy_impl, name)(*args))


def test_each_kernel_group_runs_a_supported_target():
    chosen = kernels.kernel_targets()
    assert set(chosen) == {"periodicity", "running_sums", "decoder"}
    assert set(chosen.values()) <= set(TARGETS)
    assert kernels.active_target() == chosen["periodicity"]
