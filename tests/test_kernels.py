"""Every vector target this CPU runs must give the scalar target's bits."""
import numpy as np
import pytest

from conftest import assert_same

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
    with pytest.raises(ValueError):
        kernels._periodicity_1d_core_cy(np.zeros(4), np.zeros(1, dtype=np.intp), "no-such-target")


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
    assert set(chosen) == {"periodicity", "decoder"}
    assert set(chosen.values()) <= set(TARGETS)
    assert kernels.active_target() == chosen["periodicity"]
