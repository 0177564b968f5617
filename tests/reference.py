"""Slow, literal Python model of the extension's numeric routines.

Everything here works on plain Python floats in explicit loops so that the
order of every floating-point operation is the one the extension must
reproduce; the tests compare the extension with these functions bit for bit.
Python floats are IEEE doubles, but Python raises on 0.0/0.0, so the few
places where the extension divides by a zero count return NaN explicitly.
"""

import math

import numpy as np

INF = math.inf
NAN = math.nan


def _floats(v):
    """Plain Python floats of a 1-D array-like; None counts as empty."""
    return [] if v is None else [float(e) for e in v]


def _ints(v):
    return [] if v is None else [int(e) for e in v]


# --------------------------------------------------------------------------
# Platform helpers


def fmin(a, b):
    """IEEE minNum: a single NaN operand yields the other one."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return a if a < b else b


# --------------------------------------------------------------------------
# Frame statistics


def mean_1d(v):
    v = _floats(v)
    s = 0.0
    for e in v:
        s += e
    if not v:
        return NAN  # 0.0 / 0.0
    return s / float(len(v))


def min_1d(v):
    m = INF
    for e in _floats(v):
        if m > e:
            m = e
    return m


def sum_1d(v):
    s = 0.0
    for e in _floats(v):
        s += e
    return s


def argmax_1d(v):
    v = _floats(v)
    if len(v) <= 1:
        return 0
    best, idx = v[0], 0
    for i in range(1, len(v)):
        if v[i] > best:
            best, idx = v[i], i
    return idx


# --------------------------------------------------------------------------
# Peak pickers


def _peak_steps(v):
    """Yield (i, d) for every step at which i - 1 is a peak.

    The direction state only remembers whether the previous difference was
    positive; NaN differences count as not rising.
    """
    rising = False
    for i in range(1, len(v)):
        d = v[i] - v[i - 1]
        if rising and not d > 0:
            yield i
        rising = d > 0


def first_peak_above(v, threshold):
    v = _floats(v)
    threshold = float(threshold)
    for i in _peak_steps(v):
        if v[i] > threshold:
            return i - 1
    return 0


def peak_detect_maximum(v):
    v = _floats(v)
    candidates = [i - 1 for i in _peak_steps(v) if v[i] != 0.0]
    if not candidates:
        return 0
    best, idx = -INF, candidates[0]
    for p in candidates:
        if v[p] > best:
            best, idx = v[p], p
    return idx


def calc_peak_max_value(v):
    v = _floats(v)
    candidates = [i - 1 for i in _peak_steps(v)]
    if not candidates:
        return NAN
    best = -INF
    for p in candidates:
        if v[p] > best:
            best = v[p]
    return best


# --------------------------------------------------------------------------
# Periodicity


def _periodicity(x, lags):
    n = len(x)
    out = []
    for lag in lags:
        m = n - lag
        if m <= 0:
            out.append(0.0)
            continue
        s = 0.0
        for j in range(m):
            s += fmin(x[j], x[j + lag])
        out.append(s / float(m))
    return out


def periodicity_1d(x, lags):
    """Qesmor vector of one frame, float64 of length len(lags)."""
    return np.array(_periodicity(_floats(x), _ints(lags)), dtype=np.float64)


def calc_qesmor_core(data, window_size, hop_size, search_sample):
    """(map, means) of a signal; the map is (0,) rather than (0, K) with no frames."""
    x = _floats(data)
    lags = _ints(search_sample)
    rows, means = [], []
    for end in range(window_size, len(x), hop_size):
        frame = x[end - window_size:end]
        rows.append(_periodicity(frame, lags))
        means.append(mean_1d(frame))
    return np.array(rows, dtype=np.float64), np.array(means, dtype=np.float64)
