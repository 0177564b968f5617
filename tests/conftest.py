"""Shared helpers: bit-exact comparison and seeded random inputs."""

import contextlib
import importlib.machinery

import numpy as np
import pytest

# Values placed in the gaps of strided views: a kernel that ignores the
# stride reads them and its result moves far away (or, for lags, it sees a
# negative lag and raises).
GAP_DOUBLE = -1.0e300
GAP_INDEX = -3


def require_extension(module):
    """Fail unless `module` was loaded from a compiled extension file."""
    path = getattr(module, "__file__", None) or ""
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    if not path.endswith(suffixes):
        pytest.fail(
            f"{module.__name__} is not a compiled extension (loaded from {path!r}); "
            "build and install the package before running the tests",
            pytrace=False,
        )


@pytest.fixture(autouse=True, scope="session")
def _compiled_core():
    import qesmorPitch.cy_impl

    require_extension(qesmorPitch.cy_impl)


# --------------------------------------------------------------------------
# Comparison


def _canonical_bits(a):
    a = np.array(a, dtype=np.float64)  # copy
    a[np.isnan(a)] = np.nan
    a += 0.0  # -0.0 becomes +0.0; the sign of zero is not part of the contract
    return a.view(np.int64)


def assert_same(actual, expected, what="result"):
    """Bit-identical float64 results, any NaN matching any NaN.

    Arrays must agree in type, shape and dtype; Python floats must both be
    floats; tuples are compared element by element.
    """
    if isinstance(expected, tuple):
        assert isinstance(actual, tuple), f"{what}: {type(actual).__name__} is not a tuple"
        assert len(actual) == len(expected), f"{what}: tuple length {len(actual)} != {len(expected)}"
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_same(a, e, f"{what}[{i}]")
        return
    if isinstance(expected, np.ndarray):
        assert type(actual) is np.ndarray, f"{what}: {type(actual).__name__} is not an ndarray"
        assert actual.shape == expected.shape, f"{what}: shape {actual.shape} != {expected.shape}"
        assert actual.dtype == expected.dtype, f"{what}: dtype {actual.dtype} != {expected.dtype}"
    elif isinstance(expected, float):
        assert type(actual) is float, f"{what}: {type(actual).__name__} is not a float"
    else:
        raise TypeError(f"cannot compare {type(expected).__name__}")
    if isinstance(expected, np.ndarray) and expected.dtype != np.float64:
        assert np.array_equal(actual, expected), f"{what}: {actual!r} != {expected!r}"
        return
    a, e = _canonical_bits(actual), _canonical_bits(expected)
    if not np.array_equal(a, e):
        bad = np.flatnonzero(a.ravel() != e.ravel())
        af = np.ravel(np.asarray(actual, dtype=np.float64))
        ef = np.ravel(np.asarray(expected, dtype=np.float64))
        detail = ", ".join(f"[{i}] {af[i]!r} != {ef[i]!r}" for i in bad[:5])
        pytest.fail(f"{what}: {bad.size} element(s) differ: {detail}")


# --------------------------------------------------------------------------
# Inputs are never written


def _buffer_bytes(a):
    """The bytes of `a` and of the whole buffer it is a view of: a write into
    a gap of a strided view changes the second even when the first holds."""
    if a is None:
        return None
    root = a
    while isinstance(root, np.ndarray) and root.base is not None:
        root = root.base
    if isinstance(root, np.ndarray):
        whole = root.tobytes()
    elif isinstance(root, (bytes, bytearray, memoryview)):
        whole = bytes(memoryview(root).cast("B"))
    else:  # an exporter seen only through its array interface
        whole = None
    return a.tobytes(), whole


def snapshot(*arrays):
    """Byte images of the arguments of a call, for assert_unchanged."""
    return [(a, _buffer_bytes(a)) for a in arrays]


def assert_unchanged(snapshots, what="input"):
    """Every array is byte for byte what it was (NaN payloads and the sign
    of zero included), and so is every buffer it is a view of."""
    for i, (a, image) in enumerate(snapshots):
        assert _buffer_bytes(a) == image, f"{what}: argument {i} was modified"


# --------------------------------------------------------------------------
# Random inputs


def strided(values, rng, gap=GAP_DOUBLE):
    """`values` laid out as a fresh writable 1-D array, often non-contiguous.

    Layouts: contiguous, every second or third element, reversed, reversed
    with step 2, or a view starting one element into a larger buffer.
    """
    values = np.asarray(values)
    n = values.shape[0]
    step = (1, 1, 2, 3, -1, -2, 0)[rng.integers(7)]
    if step == 1:
        return values.copy()
    if step == 0:
        base = np.full(n + 2, gap, dtype=values.dtype)
        view = base[1:n + 1]
    else:
        base = np.full(n * abs(step) + 1, gap, dtype=values.dtype)
        view = base[::step][:n]
    view[...] = values
    return view


def random_values(rng, n):
    """n doubles mixing ordinary values, ties, exact zeros, NaN and infinities."""
    style = rng.integers(4)
    if style == 0:
        v = rng.normal(size=n)
    elif style == 1:  # small integers: plateaus, ties and exact zeros
        v = rng.integers(-2, 4, size=n).astype(np.float64)
    elif style == 2:  # half-wave rectified, as the callers feed it
        v = np.maximum(rng.normal(size=n), 0.0)
    else:
        v = rng.uniform(-1e3, 1e3, size=n)
    if n and rng.random() < 0.4:  # a constant run
        i = rng.integers(n)
        j = rng.integers(i, n + 1)
        v[i:j] = v[i]
    if n and rng.random() < 0.35:
        for _ in range(rng.integers(1, 4)):
            v[rng.integers(n)] = (np.nan, np.inf, -np.inf, np.nan)[rng.integers(4)]
    return v


def random_signal(rng, n):
    return strided(random_values(rng, n), rng)


def random_length(rng, high=40):
    """Mostly moderate lengths, with 0, 1 and 2 well represented."""
    if rng.random() < 0.2:
        return int(rng.integers(0, 3))
    return int(rng.integers(3, high + 1))


def random_lags(rng, frame_length, k=None):
    """intp lags, unsorted, with duplicates, 0 and the values around frame_length."""
    if k is None:
        k = 0 if rng.random() < 0.05 else int(rng.integers(1, 8))
    seams = [0, frame_length - 1, frame_length, frame_length + 1]
    lags = []
    for _ in range(k):
        if rng.random() < 0.4:
            lags.append(max(0, seams[rng.integers(len(seams))]))
        else:
            lags.append(int(rng.integers(0, frame_length + 3)))
    if lags and rng.random() < 0.2:
        lags.append(lags[rng.integers(len(lags))])
    return strided(np.array(lags, dtype=np.intp), rng, gap=GAP_INDEX)


def random_qesmor_case(rng):
    """(data, window_size, hop_size, search_sample) for the periodicity map."""
    n = random_length(rng, 64)
    r = rng.random()
    if r < 0.05:
        window = 0
    elif r < 0.15:
        window = n + int(rng.integers(-1, 2))  # zero or one frame
    else:
        window = int(rng.integers(1, max(2, n)))
    window = max(window, 0)
    # Small hops give many frames; hops beyond the window skip samples.
    hop = int(rng.integers(1, 4)) if rng.random() < 0.5 else int(rng.integers(1, window + 3))
    data = None if rng.random() < 0.02 else random_signal(rng, n)
    lags = None if rng.random() < 0.02 else random_lags(rng, window)
    return data, window, hop, lags


@pytest.fixture(scope="session")
def kernels():
    """The private module exposing the internal routines for direct testing."""
    import qesmorPitch._kernels

    require_extension(qesmorPitch._kernels)
    return qesmorPitch._kernels


@contextlib.contextmanager
def forced_target(module, target):
    """Runs the block with `module`'s kernels forced to `target` (and the
    layer's vector loops at that target's width)."""
    module.use_target(target)
    try:
        yield
    finally:
        module.use_target(None)


@pytest.fixture(scope="session")
def cy_impl():
    import qesmorPitch.cy_impl

    return qesmorPitch.cy_impl


def random_periodic_values(rng, n):
    """n samples of a noisy repeating signal: qesmor vectors with real peaks.

    Either a few harmonics of a (possibly fractional) period or a repeated
    random pattern; mostly half-wave rectified, sometimes coarsely
    quantised (plateaus and ties in the scores), sometimes with a NaN or an
    infinite sample.
    """
    t = np.arange(n, dtype=np.float64)
    if rng.random() < 0.5:
        period = float(rng.uniform(2.0, 12.0))
        v = np.zeros(n)
        for h in range(1, int(rng.integers(1, 4)) + 1):
            v += rng.uniform(0.2, 1.0) * np.cos(2 * np.pi * h * t / period + rng.uniform(0, 2 * np.pi))
    else:
        v = np.resize(rng.normal(size=int(rng.integers(2, 13))), n)
    v = v + rng.normal(scale=(0.0, 0.05, 0.3)[rng.integers(3)], size=n)
    if rng.random() < 0.8:  # half-wave rectified, as the callers feed it
        v = np.maximum(v + rng.uniform(-0.3, 0.6), 0.0)
    if rng.random() < 0.2:
        v = np.round(v * 2.0) / 2.0
    if n and rng.random() < 0.15:
        v[rng.integers(n)] = (np.nan, np.inf, -np.inf)[rng.integers(3)]
    return v


def random_lag_grid(rng, window):
    """Candidate lags as the callers build them (ascending runs), or unsorted ones."""
    r = rng.random()
    if r < 0.15:
        return random_lags(rng, window)
    if r < 0.18:
        return None
    start = int(rng.integers(0, 4))
    step = 1 if rng.random() < 0.8 else 2
    k = int(rng.integers(1, min(window + 3, 24) + 1))
    return strided(np.arange(start, start + step * k, step, dtype=np.intp), rng, gap=GAP_INDEX)


def random_nega(rng, posi):
    """A negative-polarity partner for `posi`: the same array, a copy, zeros,
    shorter, longer, None, or an independent signal of the same length."""
    n = 0 if posi is None else posi.shape[0]
    r = rng.random()
    if r < 0.08:
        return posi
    if r < 0.16:
        return None if posi is None else posi.copy()
    if r < 0.28:
        return strided(np.zeros(n), rng)
    if r < 0.40:
        return random_signal(rng, int(rng.integers(0, n + 1)))
    if r < 0.50:
        return random_signal(rng, n + int(rng.integers(1, 6)))
    if r < 0.54:
        return None
    values = random_periodic_values(rng, n) if rng.random() < 0.6 else random_values(rng, n)
    return strided(values, rng)
