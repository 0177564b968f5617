"""The pruned decoder step: the same path as the full scan on every target,
with ties, non-finite steps and block edges."""
import numpy as np
import pytest

from conftest import assert_same

kernels = pytest.importorskip("qesmorPitch._kernels")
VECTOR_TARGETS = [t for t in kernels.targets() if t != "scalar"]


def _tracked(seconds=2.0, first=32, last=320):
    """Log-likelihoods and the log transition block as the Viterbi core
    builds them, from a gliding voice with pauses, on a 16-bit grid."""
    fs, n = 16000, int(seconds * 16000)
    t = np.arange(n) / fs
    f0 = 100 * 2.5 ** (0.5 - 0.5 * np.cos(2 * np.pi * t / 1.3))
    phase = 2 * np.pi * np.cumsum(f0) / fs
    voice = sum(np.sin(h * phase) / h for h in range(1, 6)) * (np.sin(2 * np.pi * t / 0.7) > -0.5)
    x = np.round(np.maximum(voice + 0.05 * np.random.default_rng(0).standard_normal(n), 0) * 8000) / 32768
    lags = np.arange(first, last + 1, dtype=np.intp)
    scores, _ = kernels.calc_qesmor_core_cy(x, 1024, 160, lags)
    flank = np.array([kernels._prev_first_up_zero(row) for row in scores])
    p = flank / flank.sum(axis=1, keepdims=True)
    block = kernels.create_transition_matrix_cy(512, float(fs), 0.05)[first:last + 1, first:last + 1]
    return np.log(1e-300 + p), np.log(1e-300 + block)


def _ties(states, frames=60, seed=0):
    rng = np.random.default_rng(seed)
    i = np.arange(states)
    return rng.integers(-3, 1, size=(frames, states)).astype(float), -np.abs(i[:, None] - i[None, :]) * 0.5


def _spoiled(where, value):
    ll, log_a = _tracked()
    ll, log_a = ll.copy(), log_a.copy()
    if where == "frame":
        ll[90, ::7] = value  # one step's previous scores fail the bound's premise
    else:
        log_a[3, 5] = value  # the whole call takes the full scan
    return ll, log_a


CASES = {
    "tracked": _tracked,
    "tracked-beta": lambda: _tracked(),
    "flat": lambda: (np.zeros((80, 289)), _tracked()[1]),  # nothing to prune: falls back for a while
    "nan-frame": lambda: _spoiled("frame", np.nan),
    "inf-frame": lambda: _spoiled("frame", np.inf),
    "-inf-frame": lambda: _spoiled("frame", -np.inf),
    "huge-a": lambda: _spoiled("a", 1e301),
    **{f"ties-{n}": (lambda n=n: _ties(n)) for n in (15, 16, 17, 31, 33, 64, 65, 100)},
}


@pytest.mark.parametrize("target", VECTOR_TARGETS)
@pytest.mark.parametrize("case", list(CASES))
def test_pruned_decoder_keeps_the_path(target, case):
    ll, log_a = CASES[case]()
    beta = 0.3 if case == "tracked-beta" else 1.0
    assert_same(kernels.viterbi(ll, log_a, beta, target), kernels.viterbi(ll, log_a, beta, "scalar"))


@pytest.mark.parametrize("target", VECTOR_TARGETS)
def test_pruned_decoder_on_a_strided_matrix(target):
    ll, log_a = _tracked(seconds=1.0)
    wide = np.zeros((log_a.shape[0], log_a.shape[1] + 3))
    wide[:, : log_a.shape[1]] = log_a  # rows contiguous, row stride larger than the width
    assert_same(kernels.viterbi(ll, wide, 1.0, target), kernels.viterbi(ll, log_a, 1.0, "scalar"))
    # At an odd address the rows were read through plain double pointers
    # (undefined behaviour the sanitizer build reports): now through the views.
    raw = bytearray(log_a.size * 8 + 1)
    odd = np.frombuffer(raw, np.float64, offset=1, count=log_a.size).reshape(log_a.shape)
    odd[...] = log_a
    assert_same(kernels.viterbi(ll, odd, 1.0, target), kernels.viterbi(ll, log_a, 1.0, "scalar"))
