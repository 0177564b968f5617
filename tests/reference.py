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


def _check_framing(window_size, hop_size, search_sample):
    """The argument checks every framed core makes before its first frame.

    A zero hop fails where the frame-end range is formed; negative hops and
    lags are refused rather than left to run backwards or off the frame.
    """
    range(window_size, 0, hop_size)
    if hop_size < 0:
        raise ValueError(f"hop_size must be >= 1 (frames advance forwards), got {hop_size}")
    for i, lag in enumerate(_ints(search_sample)):
        if lag < 0:
            raise ValueError(f"search_sample[{i}] = {lag} is negative; lags must be >= 0")


def calc_qesmor_negaposi_core(data_posi, data_nega, window_size, hop_size, search_sample):
    """(map, means) of a two-polarity pair, framed by the length of data_posi.

    Each polarity's frame is cut with slice rules against its own length, so
    a short data_nega gives short or empty negative frames.
    """
    np.zeros(window_size)  # frame holders: where a negative window fails
    np.zeros(window_size)
    _check_framing(window_size, hop_size, search_sample)
    posi, nega = _floats(data_posi), _floats(data_nega)
    lags = _ints(search_sample)
    rows, means = [], []
    for end in range(window_size, len(posi), hop_size):
        fp = posi[end - window_size:end]
        fn = nega[end - window_size:end]
        qp, qn = _periodicity(fp, lags), _periodicity(fn, lags)
        rows.append([a + b for a, b in zip(qp, qn)])
        means.append(mean_1d(fp) + mean_1d(fn))
    return np.array(rows, dtype=np.float64), np.array(means, dtype=np.float64)


# --------------------------------------------------------------------------
# Refinement

EPS = 1e-300


def ieee_div(a, b):
    """a / b with IEEE results where Python would raise ZeroDivisionError."""
    if b == 0.0:
        if a != a or a == 0.0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def _exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def _log_floored(x):
    return math.log(EPS if EPS > x else x)


def interp_parabolic(v, a):
    v = _floats(v)
    if a < 1 or a >= len(v) - 1:
        return (0.0, 0.0)
    ym, y0, yp = v[a - 1], v[a], v[a + 1]
    den = (ym - (y0 + y0)) + yp
    if EPS > abs(den):
        return (0.0, y0)
    offset = ((ym - yp) * 0.5) / den
    value = y0 - ((ym - yp) * 0.25) * offset
    return (offset, value)


def interp_gaussian(v, a):
    v = _floats(v)
    if a < 1 or a >= len(v) - 1:
        return (0.0, 0.0)
    lm, l0, lp = _log_floored(v[a - 1]), _log_floored(v[a]), _log_floored(v[a + 1])
    den = (lm - (l0 + l0)) + lp
    if 1e-300 > abs(den):
        return (0.0, _exp(l0))
    offset = ((lm - lp) * 0.5) / den
    value = _exp(l0 - ((lm - lp) * 0.25) * offset)
    return (offset, value)


def interp_centroid(v, a):
    v = _floats(v)
    lo = max(a - 1, 0)
    hi = a + 2 if a + 1 < len(v) else len(v)
    s = t = 0.0
    for i in range(lo, hi):
        if v[i] > 0:
            s += v[i]
            t += float(i) * v[i]
    if s <= 0:
        return (0.0, 0.0)
    return (t / s - a, v[a])


def _shift_baseline(v):
    m = min_1d(v)
    for i in range(len(v)):
        v[i] = v[i] - m


def interpolation_step(v, idx, interpolator_mode, pp_mode, message):
    """Clamped (offset, value) at peak idx of the list v, which it may shift in place."""
    if interpolator_mode == "parabolic":
        offset, value = interp_parabolic(v, idx)
    elif interpolator_mode == "gaussian":
        if pp_mode == "threshold_diff":
            _shift_baseline(v)
        offset, value = interp_gaussian(v, idx)
    elif interpolator_mode == "centroid":
        if pp_mode == "threshold_diff":
            _shift_baseline(v)
        offset, value = interp_centroid(v, idx)
    elif interpolator_mode == "no":
        offset, value = 0.0, v[idx]
    else:
        raise Exception(message)
    if -0.5 > offset:
        offset = -0.5
    if offset > 0.5:
        offset = 0.5
    return offset, value


def prev_first_up_zero(data):
    """Copy of data with everything before the start of its first rise zeroed."""
    if data is None:
        raise ValueError("_prev_first_up_zero() needs a 1-D float64 array, got None")
    x = _floats(data)
    out = list(x)
    n = len(x)
    for i in range(1, n):
        if x[i] - x[i - 1] > 0:
            for j in range(i - 1):
                out[j] = 0.0
            return np.array(out, dtype=np.float64)
    for j in range(n):
        out[j] = 1.0 / float(n)
    return np.array(out, dtype=np.float64)


# --------------------------------------------------------------------------
# Direct pitch cores

SINGLE_INTERP_MESSAGE = "interpolator_mode is parabolic,centroid,gaussian or no"
NEGAPOSI_INTERP_MESSAGE = "interpolator_mode is quadratic,centroid,gaussian or no"


def _direct_core(frames, k, fs, qesmor_smooth, search_sample, pp_mode, pitch_detect_mode,
                 pitch_detect_thre, interpolator_mode, message):
    """Rows of a direct core; `frames` yields (score list, frame level) lazily."""
    s = qesmor_smooth
    lags = _ints(search_sample)
    fs, thre = float(fs), float(pitch_detect_thre)
    rows = []
    for score, level in frames:
        if s > 1:
            v = []
            for j in range(k - s + 1):
                acc = 0.0
                for i in range(s):
                    acc = acc + score[j + i] / s  # divided before it is added
                v.append(acc)
        elif s == 1:
            v = score
        else:
            raise Exception("qesmor_smooth > 0 and int")
        if pitch_detect_mode == "score":
            idx = first_peak_above(v, level * thre)
        elif pitch_detect_mode == "static":
            idx = first_peak_above(v, thre)
        elif pitch_detect_mode == "maximum":
            idx = peak_detect_maximum(v)
        elif pitch_detect_mode == "peak":
            idx = first_peak_above(v, calc_peak_max_value(v) * thre)
        else:
            raise Exception("pitch_detect_mode is score,static,maximum,peak.")
        if idx != 0:
            offset, value = interpolation_step(v, idx, interpolator_mode, pp_mode, message)
            value = ieee_div(value, level)
            lag = (lags[idx] + offset) + (s - 1) // 2
        else:
            lag = value = NAN
        rows.append([NAN, NAN] if lag != lag else [ieee_div(fs, lag), value])
    return np.array(rows, dtype=np.float64)


def _prepare_direct(k, qesmor_smooth, window_size, hop_size, search_sample, polarities):
    np.zeros(k - qesmor_smooth + 1)  # smoothing buffer: K + 2 fails before any frame
    np.zeros(k)
    for _ in range(polarities):
        np.zeros(window_size)
    _check_framing(window_size, hop_size, search_sample)


def calc_Pitch_core(data, fs, window_size, hop_size, search_sample, pp_mode, qesmor_smooth,
                    pitch_detect_mode, pitch_detect_thre, interpolator_mode):
    k = len(_ints(search_sample))
    _prepare_direct(k, qesmor_smooth, window_size, hop_size, search_sample, 1)
    x, lags = _floats(data), _ints(search_sample)

    def frames():
        for end in range(window_size, len(x), hop_size):
            frame = x[end - window_size:end]
            yield _periodicity(frame, lags), mean_1d(frame)

    return _direct_core(frames(), k, fs, qesmor_smooth, search_sample, pp_mode, pitch_detect_mode,
                        pitch_detect_thre, interpolator_mode, SINGLE_INTERP_MESSAGE)


def calc_Pitch_negaposi_core(data_posi, data_nega, fs, window_size, hop_size, search_sample, pp_mode,
                             qesmor_smooth, pitch_detect_mode, pitch_detect_thre, interpolator_mode):
    k = len(_ints(search_sample))
    _prepare_direct(k, qesmor_smooth, window_size, hop_size, search_sample, 2)
    posi, nega, lags = _floats(data_posi), _floats(data_nega), _ints(search_sample)

    def frames():
        for end in range(window_size, len(posi), hop_size):
            fp = posi[end - window_size:end]
            fn = nega[end - window_size:end]
            level = mean_1d(fp) + mean_1d(fn)
            score = [a + b for a, b in zip(_periodicity(fp, lags), _periodicity(fn, lags))]
            yield score, level

    return _direct_core(frames(), k, fs, qesmor_smooth, search_sample, pp_mode, pitch_detect_mode,
                        pitch_detect_thre, interpolator_mode, NEGAPOSI_INTERP_MESSAGE)
