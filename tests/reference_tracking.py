"""Slow, literal Python model of the tracking routines.

The transition model, the observation probability, the forward filter, the
log-domain decoder and the four tracking cores, written with plain Python
floats in explicit loops so that every floating-point operation happens in
the order the extension must reproduce. Python raises where C returns an IEEE
special value (division by zero, log of 0, pow of 0 to a negative power, ...),
so those few operations go through helpers that return the C result instead.
The frame statistics, the periodicity function, the interpolation step and
the flank suppression are shared with `reference`. The last section holds the
seeded inputs and the comparison the tracking tests share.
"""

import math

import numpy as np

from conftest import assert_same, assert_unchanged, snapshot
from reference import (
    EPS,
    INF,
    NAN,
    NEGAPOSI_INTERP_MESSAGE,
    _check_framing,
    _exp,
    _floats,
    _ints,
    _periodicity,
    argmax_1d,
    ieee_div,
    interpolation_step,
    mean_1d,
    prev_first_up_zero,
    sum_1d,
)

# Every tracking core reports an unknown refinement keyword with this text.
INTERP_MESSAGE = NEGAPOSI_INTERP_MESSAGE


# --------------------------------------------------------------------------
# C mathematics with IEEE results where Python raises


def _c_logarithm(log):
    """C's log/log2: -inf at 0 and NaN below it instead of Python's ValueError."""
    def c_version(x):
        if x != x or x < 0.0:
            return NAN
        if x == 0.0:
            return -INF
        return log(x)
    return c_version


c_log = _c_logarithm(math.log)
c_log2 = _c_logarithm(math.log2)


def _is_odd_integer(y):
    return math.isfinite(y) and y == math.floor(y) and math.fmod(y, 2.0) != 0.0


def c_pow(x, y):
    """C pow(): pow(x, 0) = 1 and pow(1, y) = 1 even for NaN; no exceptions.

    math.pow already follows C for the other special values, except that it
    raises for a zero base with a negative power (a pole: infinity, signed
    like the base when the power is an odd integer), for a finite negative
    base with a non-integer power (NaN) and on overflow.
    """
    try:
        return math.pow(x, y)
    except ValueError:
        if x == 0.0:
            return math.copysign(INF, x) if _is_odd_integer(y) else INF
        return NAN
    except OverflowError:
        return -INF if x < 0.0 and _is_odd_integer(y) else INF


# --------------------------------------------------------------------------
# Transition model and observation probability


def transition_matrix(n_periods, fs, sigma):
    """Column-stochastic (n_periods, n_periods) matrix as a list of row lists."""
    if n_periods < 0:
        raise ValueError("negative dimensions are not allowed")
    fs, sigma = float(fs), float(sigma)
    x = [c_log2(ieee_div(fs, float(r + 1))) for r in range(n_periods)]
    den = (sigma + sigma) * sigma
    a = []
    for i in range(n_periods):
        row = []
        for j in range(n_periods):
            d = x[i] - x[j]
            row.append(_exp(ieee_div(-(d * d), den)))
        a.append(row)
    for j in range(n_periods):
        s = 0.0
        for i in range(n_periods):
            s += a[i][j]
        for i in range(n_periods):
            a[i][j] = ieee_div(a[i][j], s)
    return a


def create_transition_matrix(n_periods, fs, sigma):
    a = transition_matrix(n_periods, fs, sigma)
    return np.array(a, dtype=np.float64).reshape(n_periods, n_periods)


def probability(x):
    s = 0.0
    for e in x:
        s += e
    return [ieee_div(e, s) for e in x]


def matvec(a, v, out):
    """out[i] = sum_j a[i][j] * v[j] over the row count of a, in place."""
    n = len(a)
    for i in range(n):
        acc = 0.0
        for j in range(n):
            acc += a[i][j] * v[j]
        out[i] = acc


def _block(a, lo, hi):
    """a[lo:hi, lo:hi] with slice clipping at the matrix end."""
    return [row[lo:hi] for row in a[lo:hi]]


# --------------------------------------------------------------------------
# Logarithms and the decoder


def log_dim1(x):
    return [c_log(EPS + e) for e in x]


def log_dim2(x):
    return [log_dim1(row) for row in x]


def _viterbi(ll, log_a, beta):
    """State path (list of ints) of the T x N list ll under log_a (>= N x N)."""
    t_count = len(ll)
    if t_count == 0:
        return []
    n = len(ll[0])
    d = [[0.0] * n for _ in range(t_count)]
    back = [[0] * n for _ in range(t_count)]
    for j in range(n):
        d[0][j] = ll[0][j]
    for t in range(1, t_count):
        for j in range(n):
            best, arg = d[t - 1][0] + log_a[0][j], 0
            for i in range(1, n):
                v = d[t - 1][i] + log_a[i][j]
                if v > best:
                    best, arg = v, i
            d[t][j] = beta * ll[t][j] + best
            back[t][j] = arg
    last = d[t_count - 1]
    best, arg = last[0], 0
    for i in range(1, n):
        if last[i] > best:
            best, arg = last[i], i
    path = [0] * t_count
    path[t_count - 1] = arg
    for t in range(t_count - 2, -1, -1):
        path[t] = back[t + 1][path[t + 1]]
    return path


def viterbi(log_likelihood, log_A, beta):
    t_count, n = np.shape(log_likelihood)
    if t_count and (n == 0 or np.shape(log_A)[0] < n or np.shape(log_A)[1] < n):
            raise ValueError(
                f"viterbi_cy needs at least one state and a log_A of at least {n} x {n}, "
                f"got {np.shape(log_likelihood)} and {np.shape(log_A)}")
    ll = [_floats(row) for row in log_likelihood]
    la = [_floats(row) for row in log_A]
    return np.array(_viterbi(ll, la, float(beta)), dtype=np.intp)


# --------------------------------------------------------------------------
# Shared framing of the tracking cores


# Stands for "no data_nega" in the shared cores; None is a valid (empty) signal.
SINGLE = object()


def _frames(data_posi, data_nega, window_size, hop_size, lags):
    """Yield (score list, frame mean) per frame, lazily, in frame order.

    With data_nega given, the negative frame is cut at the same positions with
    slice rules against its own length and both contributions are added.
    """
    posi = _floats(data_posi)
    nega = None if data_nega is SINGLE else _floats(data_nega)
    for end in range(window_size, len(posi), hop_size):
        fp = posi[end - window_size:end]
        if nega is None:
            yield _periodicity(fp, lags), mean_1d(fp)
        else:
            fn = nega[end - window_size:end]
            q = [a + b for a, b in zip(_periodicity(fp, lags), _periodicity(fn, lags))]
            yield q, mean_1d(fp) + mean_1d(fn)


def _check_tracking_args(window_size, hop_size, search_sample):
    if window_size < 0:
        raise ValueError("negative dimensions are not allowed")
    _check_framing(window_size, hop_size, search_sample)
    if not _ints(search_sample):
        raise ValueError("search_sample is empty")


def _rows(rows):
    return np.array(rows, dtype=np.float64)


# --------------------------------------------------------------------------
# Bayesian cores


def _bayes(data_posi, data_nega, fs, window_size, hop_size, search_sample, pp_mode, alpha,
           sigma, interpolator_mode, reinit_below):
    _check_tracking_args(window_size, hop_size, search_sample)
    lags = _ints(search_sample)
    for k in range(1, len(lags)):
        if lags[k] != lags[0] + k:
            raise ValueError("search_sample must hold consecutive increasing lags")
    fs, alpha = float(fs), float(alpha)
    n = len(lags)
    full = transition_matrix(window_size // 2, fs, sigma)
    block = _block(full, lags[0], lags[-1] + 1)
    b = [0.0] * n
    prediction = [0.0] * n
    rows = []
    for q, m in _frames(data_posi, data_nega, window_size, hop_size, lags):
        o = probability(_floats(prev_first_up_zero(np.array(q, dtype=np.float64))))
        if sum_1d(b) < reinit_below:
            b = o
        else:
            matvec(block, b, prediction)
            b = [c_pow(prediction[k], alpha) * o[k] for k in range(n)]
        b = probability(b)
        idx = argmax_1d(b)
        if idx != 0:
            offset, value = interpolation_step(q, idx, interpolator_mode, pp_mode, INTERP_MESSAGE)
            lag = float(lags[idx]) + offset
            value = ieee_div(value, m)
            p = b[idx]
        else:
            lag = value = p = NAN
        rows.append([NAN, NAN, NAN] if lag != lag else [ieee_div(fs, lag), value, p])
    return _rows(rows)


def calc_Pitch_bayes_core(data, fs, window_size, hop_size, search_sample, pp_mode, alpha, sigma,
                          interpolator_mode):
    return _bayes(data, SINGLE, fs, window_size, hop_size, search_sample, pp_mode, alpha, sigma,
                  interpolator_mode, 0.5)


def calc_Pitch_bayes_negaposi_core(data_posi, data_nega, fs, window_size, hop_size, search_sample,
                                   pp_mode, alpha, sigma, interpolator_mode):
    return _bayes(data_posi, data_nega, fs, window_size, hop_size, search_sample, pp_mode, alpha,
                  sigma, interpolator_mode, 0.1)


# --------------------------------------------------------------------------
# Viterbi cores


def _viterbi_core(data_posi, data_nega, fs, window_size, hop_size, search_sample, pp_mode, beta,
                  sigma, interpolator_mode):
    _check_tracking_args(window_size, hop_size, search_sample)
    lags = _ints(search_sample)
    k_count = len(lags)
    full = transition_matrix(window_size // 2, fs, sigma)
    block = _block(full, lags[0], lags[-1] + 1)
    if len(block) < k_count:
        raise ValueError(f"the transition block of search_sample is smaller than {k_count} x {k_count}")
    log_a = log_dim2(block)
    fs, beta = float(fs), float(beta)
    means, scores, probs = [], [], []
    for q, m in _frames(data_posi, data_nega, window_size, hop_size, lags):
        means.append(m)
        scores.append(q)
        probs.append(probability(_floats(prev_first_up_zero(np.array(q, dtype=np.float64)))))
    if not probs:
        if data_nega is SINGLE:
            raise ValueError("Buffer has wrong number of dimensions (expected 2, got 1)")
        return np.array([])
    path = _viterbi([log_dim1(p) for p in probs], log_a, beta)
    rows = []
    for k, idx in enumerate(path):
        if idx == 0:
            rows.append([NAN, NAN, NAN])
            continue
        offset, value = interpolation_step(scores[k], idx, interpolator_mode, pp_mode, INTERP_MESSAGE)
        lag = float(lags[idx]) + offset
        ratio = value / means[k]  # a host float division: a zero mean raises
        prob = probs[k][idx]
        rows.append([NAN, NAN, NAN] if lag != lag else [ieee_div(fs, lag), ratio, prob])
    return _rows(rows)


def calc_Pitch_viterbi_core(data, fs, window_size, hop_size, search_sample, pp_mode, beta, sigma,
                            interpolator_mode):
    return _viterbi_core(data, SINGLE, fs, window_size, hop_size, search_sample, pp_mode, beta, sigma,
                         interpolator_mode)


def calc_Pitch_viterbi_negaposi_core(data_posi, data_nega, fs, window_size, hop_size, search_sample,
                                     pp_mode, beta, sigma, interpolator_mode):
    return _viterbi_core(data_posi, data_nega, fs, window_size, hop_size, search_sample, pp_mode, beta,
                         sigma, interpolator_mode)


# --------------------------------------------------------------------------
# Seeded inputs shared by the tracking tests

FS_VALUES = (8000.0, 16000.0, 44100.0, 1.0, 22050.5)
SIGMA_VALUES = (1.0, 0.3, 0.05, 2.0, -0.7, 1e-3, 1e3)
WEIGHT_VALUES = (1.0, 0.0, 0.5, 2.0, 1.7, 10.0, 0.25)
PP_MODES = ("threshold_diff", None, "none")
INTERP_MODES = ("parabolic", "gaussian", "centroid", "no")


def _pick(rng, values):
    return values[rng.integers(len(values))]


def tracking_values(rng, n):
    """n samples, mostly a noisy periodic wave so that tracks are voiced.

    The period sometimes jumps half-way, the wave is often half-wave
    rectified (as the callers feed it) or shifted positive, and stretches of
    zeros, NaN and single infinities appear now and then.
    """
    style = rng.integers(6)
    t = np.arange(n, dtype=np.float64)
    if style <= 3:
        period = rng.uniform(2.0, 14.0)
        phase = 2.0 * np.pi * t / period
        v = np.sin(phase) + rng.uniform(0.0, 0.8) * np.sin(2.0 * phase + rng.uniform(0, 6))
        if rng.random() < 0.3:  # the pitch moves half-way through
            half = n // 2
            v[half:] = np.sin(2.0 * np.pi * t[half:] / rng.uniform(2.0, 14.0))
        v = v + rng.normal(scale=rng.uniform(0.0, 0.5), size=n)
        if style == 0:
            v = np.maximum(v, 0.0)
        elif style == 1:
            v = v + 2.0
        elif style == 2:
            v = np.round(v * 2.0)  # plateaus and ties
    elif style == 4:
        v = rng.normal(size=n)
    else:
        v = rng.integers(-2, 4, size=n).astype(np.float64)
    if n and rng.random() < 0.2:
        i = int(rng.integers(n))
        j = int(rng.integers(i, n + 1))
        v[i:j] = _pick(rng, (0.0, 0.0, np.nan, 1.0))
    if n and rng.random() < 0.15:
        for _ in range(rng.integers(1, 3)):
            v[rng.integers(n)] = _pick(rng, (np.nan, np.inf, -np.inf))
    return v


def tracking_framing(rng, max_window=40):
    """(window_size, hop_size, signal length) giving 0 to about 8 frames."""
    r = rng.random()
    window = int(rng.integers(0, 4)) if r < 0.05 else int(rng.integers(4, max_window + 1))
    hop = int(rng.integers(1, 4)) if rng.random() < 0.4 else int(rng.integers(1, window + 4))
    if rng.random() < 0.1:
        n = window + int(rng.integers(-2, 2))  # no frame, or the seam of one
    else:
        n = window + int(rng.integers(1, 8 * hop + 2))
    return window, hop, max(n, 0)


def consecutive_lags(rng, window):
    """Consecutive increasing lags from 0, 1 or 2 up; sometimes past window // 2."""
    s0 = int(_pick(rng, (0, 0, 1, 1, 2, 3)))
    states = window // 2
    if rng.random() < 0.2:
        k = int(rng.integers(1, max(2, states + 3)))  # may reach past the matrix
    else:
        k = int(rng.integers(1, max(2, min(12, states - s0) + 1)))
    return np.arange(s0, s0 + k, dtype=np.intp)


def tracking_params(rng):
    """(fs, sigma, weight, pp_mode, interpolator_mode) with rare oddities."""
    fs = _pick(rng, FS_VALUES)
    sigma = _pick(rng, SIGMA_VALUES)
    weight = _pick(rng, WEIGHT_VALUES)
    r = rng.random()
    if r < 0.03:
        fs = _pick(rng, (0.0, -8000.0, np.nan))
    elif r < 0.06:
        sigma = _pick(rng, (0.0, 1e-160, np.nan, np.inf))
    elif r < 0.09:
        weight = _pick(rng, (-1.0, np.nan, 1e-300))
    interp = _pick(rng, INTERP_MODES) if rng.random() < 0.95 else _pick(rng, ("quadratic", None))
    return fs, sigma, weight, _pick(rng, PP_MODES), interp


# Error texts the module must reproduce word for word; for other refusals
# only the exception class is part of the contract.
FIXED_MESSAGES = frozenset({
    "negative dimensions are not allowed",
    "range() arg 3 must not be zero",
    "Buffer has wrong number of dimensions (expected 2, got 1)",
    "float division by zero",
    INTERP_MESSAGE,
})


def outcome(fn, *args):
    """(result, None) or (None, exception) of fn(*args)."""
    try:
        return fn(*args), None
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return None, exc


def assert_same_outcome(actual, expected, what):
    """Compare two outcome() pairs: equal results, or the same refusal."""
    (res, exc), (want, want_exc) = actual, expected
    if want_exc is not None:
        assert exc is not None, f"{what}: expected {want_exc!r}, got a result"
        assert type(exc) is type(want_exc), f"{what}: {exc!r} is not a {type(want_exc).__name__}"
        if str(want_exc) in FIXED_MESSAGES:
            assert str(exc) == str(want_exc), f"{what}: {exc!r}"
        return
    assert exc is None, f"{what}: unexpected {exc!r}"
    assert_same(res, want, what)


def check_seeded_cases(fn, reference, case, seeds):
    """fn and the reference answer each seeded case alike, and leave its
    arrays as they were. `case(seed)` builds the arguments."""
    for seed in seeds:
        args = case(seed)
        before = snapshot(*(a for a in args if isinstance(a, np.ndarray)))
        assert_same_outcome(outcome(fn, *args), outcome(reference, *args), f"seed {seed}")
        assert_unchanged(before, f"seed {seed}")


def wave(period, n, offset=1.5):
    """A positive periodic signal whose qesmor peak sits at lag `period`."""
    t = np.arange(n, dtype=np.float64)
    return np.sin(2.0 * np.pi * t / period) + offset


def random_nega(rng, posi_values, n):
    """data_nega: an equal or all-zero copy, a signal of its own, or a length mismatch."""
    style = rng.integers(7)
    if style == 0:
        return posi_values.copy()
    if style == 1:
        return np.zeros(n)
    if style == 2:
        return tracking_values(rng, max(n - int(rng.integers(1, 12)), 0))  # shorter
    if style == 3:
        return tracking_values(rng, n + int(rng.integers(1, 6)))  # longer
    if style == 4 and rng.random() < 0.2:
        return None
    return tracking_values(rng, n)
