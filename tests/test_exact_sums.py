"""The running-sum path: taken only where the certificate proves every partial
sum exact, and then bit-identical to the frame-by-frame sums on every target."""
import numpy as np
import pytest

from conftest import assert_same

kernels = pytest.importorskip("qesmorPitch._kernels")
TARGETS = kernels.targets()
VECTOR_TARGETS = [t for t in TARGETS if t != "scalar"]

# One block: window 1024, hop 128, 9 frames read exactly samples 0 .. 2047.
WINDOW, HOP, SPAN = 1024, 128, 2048
LAGS = np.arange(20, 301, dtype=np.intp)


def _grid_signal(rng, n, peak, step):
    """Multiples of `step` up to `peak`, a half-wave with plateaus and zeros."""
    x = np.round(np.maximum(rng.standard_normal(n), 0.0) * peak / 4.0 / step) * step
    x = np.minimum(x, peak)
    x[rng.integers(0, n)] = peak
    x[rng.integers(0, n)] = step  # the grid's finest point is present
    return x


def _one_block(peak, step, seed=0):
    x = _grid_signal(np.random.default_rng(seed), SPAN + 1, peak, step)
    x[SPAN] = 0.0  # never read: the last frame ends one sample short
    return x


def _scalar(function, *args):
    kernels.use_target("scalar")
    try:
        return getattr(kernels, function)(*args)
    finally:
        kernels.use_target(None)


@pytest.mark.parametrize(
    "make, exact",
    [
        (lambda: _one_block(2.0**15 - 1, 1.0), True),            # 16-bit integers
        (lambda: _one_block(1.0 - 2.0**-23, 2.0**-23), True),    # 24-bit full scale
        (lambda: _one_block(2.0**42 - 1, 1.0), True),            # (A / q) * n = 2^53 - 2048
        (lambda: _one_block(2.0**42, 1.0), False),               # (A / q) * n = 2^53
        (lambda: _one_block(2.0**-1044, 2.0**-1074), True),      # subnormal grid
        (lambda: np.zeros(SPAN), True),
        (lambda: np.full(SPAN, 2.0**511), True),
        (lambda: np.full(SPAN, 2.0**512), False),                # sums could overflow
        # A ratio of 2^99, which a 64-bit shift wraps round to 0.
        (lambda: np.concatenate(([1.0, 2.0**-99], np.zeros(SPAN - 2))), False),
    ],
    ids=["int16", "pcm24", "bound-met", "bound-missed", "subnormal", "zeros", "large-ok", "too-large",
         "ratio-past-64-bits"],
)
def test_certificate_boundaries(make, exact):
    x = make()
    assert kernels._running_sums_exact(x[:SPAN]) is exact


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 0.5 + 2.0**-45, -(2.0**-60)])
def test_one_bad_sample_fails_the_certificate(value):
    # In the part scanned in vector lanes and in the few samples after it.
    for at in (1234, SPAN + 2):
        x = np.round(np.random.default_rng(3).standard_normal(SPAN + 3) * 1000) / 32768
        assert kernels._running_sums_exact(x)
        x[at] = value
        assert not kernels._running_sums_exact(x)


def test_certificate_is_its_definition_near_the_bound():
    # The scan finds each sample's lowest set bit from the bits of the
    # sample with that bit cleared; checked against the definition with
    # exact integers, on samples of every binade (subnormals, powers of
    # two, zeros of both signs) whose largest ratio lands near 2^53 / n.
    from fractions import Fraction

    def exact(x):
        nonzero = [Fraction(float(v)) for v in x if v != 0.0]
        if not nonzero:
            return True
        if any(abs(v) >= 2 ** 512 for v in nonzero):
            return False
        q = min(Fraction(1, v.denominator) if v.denominator > 1 else
                Fraction(2 ** ((v.numerator & -v.numerator).bit_length() - 1)) for v in map(abs, nonzero))
        return max(abs(v) for v in nonzero) / q * len(x) < 2 ** 53

    rng = np.random.default_rng(21)
    for trial in range(600):
        n = int(rng.integers(1, 40))
        e = int(rng.integers(-1120, 460))
        bits = int(rng.integers(40, 54)) - int(np.log2(n))
        k = rng.integers(-(2 ** bits), 2 ** bits, size=n).astype(np.float64)
        k[rng.random(n) < 0.2] = 2.0 ** int(rng.integers(0, bits))
        x = np.ldexp(k, e + rng.integers(0, 3, size=n))
        x[rng.random(n) < 0.1] = -0.0
        assert kernels._running_sums_exact(x) is exact(x), (trial, x)


def _signs(n, magnitude, seed=0):
    """+-magnitude at random, and one sample of 1 (the grid's step): frame
    sums reach about window * magnitude steps."""
    x = np.where(np.random.default_rng(seed).random(n) < 0.5, -1.0, 1.0) * magnitude
    x[n // 2] = 1.0
    return x


FRAMES, DOUBLES, INTEGERS = 0, 1, 2  # how _running_map says a frame was summed


def _cases():
    rng = np.random.default_rng(5)
    speech = _grid_signal(rng, 40000, 1.0, 2.0**-15)
    yield "met", _one_block(2.0**42 - 1, 1.0), WINDOW, HOP, LAGS, DOUBLES
    yield "missed", _one_block(2.0**42, 1.0), WINDOW, HOP, LAGS, FRAMES
    yield "speech", speech, 1024, 160, np.arange(32, 321, dtype=np.intp), INTEGERS
    yield "strided", np.repeat(speech, 2)[::-2][:20000], 1024, 160, np.arange(32, 321, dtype=np.intp), INTEGERS
    # Half-waves take a minimum on the samples' bits, signed signals the plain
    # one; a -0.0 must not leave the half-wave's path or change a bit.
    yield "signed", speech[:20000] - 0.25, 644, 160, np.arange(15, 322, dtype=np.intp), INTEGERS
    yield ("minus-zero", np.where(speech[:20000] == 0.0, -0.0, speech[:20000]), 644, 160,
           np.arange(15, 322, dtype=np.intp), INTEGERS)
    # Integer sums: frame sums up to window * (2^21 - 1) < 2^31 (running sums
    # that wrap around many times), then one step more, which must take the
    # doubles; a constant half-wave at the bound; grids at the ends of the
    # exponent range the integers allow (2^-1074 is outside, in doubles).
    yield "int-met", _signs(40000, 2.0**21 - 1), 1024, 160, np.arange(20, 400, dtype=np.intp), INTEGERS
    yield "int-missed", _signs(40000, 2.0**21), 1024, 160, np.arange(20, 400, dtype=np.intp), DOUBLES
    yield "int-flat", np.full(40000, 2.0**21 - 1), 1024, 160, np.arange(0, 40, dtype=np.intp), INTEGERS
    yield "int-large", _signs(9000, 2.0**10) * 2.0**500, 300, 64, np.arange(0, 120, dtype=np.intp), INTEGERS
    yield "int-low", _signs(9000, 2.0**10) * 2.0**-1000, 300, 64, np.arange(0, 120, dtype=np.intp), INTEGERS
    yield "int-lower", _signs(9000, 2.0**10) * 2.0**-1001, 300, 64, np.arange(0, 120, dtype=np.intp), DOUBLES
    yield "int-subnormal", _one_block(2.0**-1064, 2.0**-1074), WINDOW, HOP, LAGS, DOUBLES
    # Lag runs ending at, below and past window - chunk, lags past the window,
    # a gap inside a run; hops at and below the widest chunk.
    yield "edges", speech[:9000], 300, 64, np.r_[0:40, 41:200, 230:299, 300, 301, 5000].astype(np.intp), INTEGERS
    yield "hop63", speech[:9000], 300, 63, np.arange(0, 120, dtype=np.intp), INTEGERS
    yield "tiny", speech[:50], 7, 64, np.arange(0, 9, dtype=np.intp), None


CASES = list(_cases())


@pytest.mark.parametrize("target", VECTOR_TARGETS)
@pytest.mark.parametrize("name, x, window, hop, lags, path", CASES, ids=[c[0] for c in CASES])
def test_running_path_matches_frame_sums(target, name, x, window, hop, lags, path):
    map_, means, paths = kernels._running_map(x, window, hop, lags, target)
    taken = paths != FRAMES
    expected_map, expected_means = _scalar("calc_qesmor_core_cy", x, window, hop, lags)
    assert_same(map_[taken], expected_map[taken])
    assert_same(means[taken], expected_means[taken])
    if path is not None:
        # The path under test really ran (the signal's last frames may fall
        # back when cut short).
        assert (paths == path).mean() > 0.9, np.unique(paths)


def _core_calls(spoil):
    rng = np.random.default_rng(9)
    x = _grid_signal(rng, 36000, 1.0, 2.0**-15)
    if spoil is not None:
        x[17000] = spoil  # the first block falls back, the second does not
    posi, nega = np.maximum(x, 0.0), np.maximum(-(x - 0.25), 0.0)[:-700]
    lags = np.arange(32, 200, dtype=np.intp)
    fs, w, h = 16000.0, 1024, 160
    return {
        "calc_qesmor_core_cy": (x, w, h, lags),
        "calc_qesmor_negaposi_core_cy": (posi, nega, w, h, lags),
        "calc_Pitch_core_cy": (x, fs, w, h, lags, None, 1, "score", 0.5, "parabolic"),
        "calc_Pitch_negaposi_core_cy": (posi, nega, fs, w, h, lags, None, 1, "maximum", 0.0, "gaussian"),
        "calc_Pitch_bayes_negaposi_core_cy": (posi, nega, fs, w, h, lags, None, 1.0, 0.05, "parabolic"),
        "calc_Pitch_viterbi_core_cy": (x, fs, w, h, lags, None, 1.0, 0.05, "parabolic"),
    }


SPOILS = [None, np.nan, np.inf, -np.inf, 2.0**-40]
_REFERENCE = {}


@pytest.mark.parametrize("spoil", SPOILS)
@pytest.mark.parametrize("forced", VECTOR_TARGETS, indirect=True)
def test_every_core_keeps_its_bits(forced, spoil):
    calls = _core_calls(spoil)
    if spoil not in _REFERENCE:
        _REFERENCE[spoil] = {name: _scalar(name, *args) for name, args in calls.items()}
    for name, args in calls.items():
        assert_same(getattr(forced, name)(*args), _REFERENCE[spoil][name], name)


@pytest.fixture
def forced(request):
    kernels.use_target(request.param)
    yield kernels
    kernels.use_target(None)


def _halves_signals():
    """Signed signals as the layer conditions them, and the ways off its
    path: off the grid, a NaN (0.0 in both half-waves, so only x fails the
    certificate), positive samples on a grid so much coarser that only the
    half-waves pass it, runs of +0.0 and -0.0, a strided view. Two blocks of
    the default frames, the second one clean."""
    rng = np.random.default_rng(12)
    t = np.arange(70000) / 16000.0
    voice = 0.5 * np.sin(2 * np.pi * 150 * t) + 0.2 * np.sin(2 * np.pi * 450 * t) + 0.05 * rng.standard_normal(t.size)
    on_grid = np.rint(voice * 2.0**20) * 2.0**-20
    yield "grid", on_grid
    yield "off-grid", voice
    nan = on_grid.copy()
    nan[20000] = np.nan
    yield "nan", nan
    yield "polar-grids", np.where(on_grid > 0, np.rint(on_grid * 2.0**30), on_grid)
    zeros = on_grid.copy()
    zeros[30000:30400], zeros[30400:30600] = 0.0, -0.0  # shorter than a frame
    yield "zeros", zeros
    yield "strided", np.repeat(on_grid, 2)[::-2]


HALVES = list(_halves_signals())


# The running sums on every target that has them; the frame-by-frame path
# (half-wave frames built one at a time) on a stretch, on the scalar target.
@pytest.mark.parametrize("target, shortcuts", [(t, True) for t in VECTOR_TARGETS] + [("scalar", False)])
def test_halves_cores_are_the_half_waves_cores(target, shortcuts):
    # The tracking cores that read both half-waves off the signal itself
    # give the bits of the two-polarity cores on the half-waves built from it.
    lags = np.arange(15, 322, dtype=np.intp)
    kernels.use_target(target)
    kernels.use_shortcuts(shortcuts)
    try:
        for name, x in HALVES:
            x = x if shortcuts else x[19000:31000]
            waves = kernels._half_waves(x)
            for halves, both, tail in (
                    (kernels._viterbi_both_core, kernels.calc_Pitch_viterbi_negaposi_core_cy, (16.0, 0.1, "gaussian")),
                    (kernels._bayes_both_core, kernels.calc_Pitch_bayes_negaposi_core_cy, (1.0, 0.1, "parabolic"))):
                with np.errstate(all="ignore"):
                    got = halves(x, 16000.0, 644, 160, lags, "threshold_diff", *tail)
                    want = both(*waves, 16000.0, 644, 160, lags, "threshold_diff", *tail)
                assert got.shape == want.shape and got.tobytes() == want.tobytes(), (name, halves.__name__)
    finally:
        kernels.use_target(None)
        kernels.use_shortcuts(True)
