"""One successful call and every way of failing, for each exported function.

A path is (function name, path name, the exception it raises or None, a
function that builds fresh arguments). The leak and reference tests
(tests/test_leaks.py, tools/leaks.py), the untouched-input test and the
thread test walk this table; a new error path is one more row.
"""

import numpy as np

from functions import NAMES, params

F64, INTP = np.float64, np.intp


def lags(*values):
    return np.array(values, dtype=INTP)


def voiced(phase=0.0, n=60):
    """A rectified wave with a period of 6.5 samples: every frame finds a pitch."""
    return np.maximum(np.sin(2 * np.pi * np.arange(float(n)) / 6.5 + phase), 0.0) + 0.1


def wave(period, n, offset=1.5):
    return np.sin(2.0 * np.pi * np.arange(float(n)) / period) + offset


def voiced_then_zeros():
    """Voiced frames, then frames of zeros that stay on a voiced state: the
    Viterbi cores divide by their zero mean."""
    data = wave(5, 97)
    data[48:] = 0.0
    return data


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# Valid arguments, by position, of each function (tests/test_surface.py
# checks that there is one entry per function).
VALID = {
    "calc_qesmor_core_cy": lambda: (np.linspace(-1.0, 2.0, 23), 6, 4, lags(0, 3, 1, 5, 7)),
    "calc_qesmor_negaposi_core_cy": lambda: (np.linspace(-1.0, 2.0, 23), np.cos(np.arange(23.0)), 6, 4,
                                             lags(0, 3, 1, 5, 7)),
    "calc_Pitch_core_cy": lambda: (voiced(), 8000.0, 24, 7, np.arange(1, 12, dtype=INTP), "threshold_diff", 2,
                                   "score", 0.2, "centroid"),
    "calc_Pitch_negaposi_core_cy": lambda: (voiced(), voiced(2.0), 8000.0, 24, 7, np.arange(1, 12, dtype=INTP),
                                            "threshold_diff", 1, "peak", 0.5, "gaussian"),
    "_prev_first_up_zero": lambda: (np.array([5.0, 3.0, 2.0, 4.0, 6.0, 1.0]),),
    "create_transition_matrix_cy": lambda: (12, 8000.0, 0.3),
    "calc_Pitch_bayes_core_cy": lambda: (voiced(), 8000.0, 24, 7, np.arange(1, 12, dtype=INTP), "threshold_diff",
                                         1.0, 0.3, "parabolic"),
    "calc_Pitch_bayes_negaposi_core_cy": lambda: (voiced(), voiced(2.0), 8000.0, 24, 7, np.arange(1, 12, dtype=INTP),
                                                  None, 0.5, 1.0, "centroid"),
    "viterbi_cy": lambda: (np.log(np.random.default_rng(3).uniform(size=(6, 4))),
                           np.log(np.full((4, 4), 0.25)), 1.0),
    "calc_Pitch_viterbi_core_cy": lambda: (voiced(), 8000.0, 24, 7, np.arange(1, 12, dtype=INTP), None, 1.0, 0.3,
                                           "gaussian"),
    "calc_Pitch_viterbi_negaposi_core_cy": lambda: (voiced(), voiced(2.0), 8000.0, 24, 7,
                                                    np.arange(1, 12, dtype=INTP), "threshold_diff", 1.0, 0.3, "no"),
}

PARAMS = {name: params(name) for name in NAMES}


def with_args(name, **changes):
    """Valid arguments of `name` with some replaced by parameter name."""
    def make():
        args = dict(zip(PARAMS[name], VALID[name]()))
        for key, value in changes.items():
            args[key] = value() if callable(value) else value
        return tuple(args.values()), {}
    return make


def _positional(name, count):
    return lambda: (VALID[name]()[:count], {})


def _keywords(name, extra):
    def make():
        kwargs = dict(zip(PARAMS[name], VALID[name]()))
        kwargs.update(extra)
        return (), kwargs
    return make


def _first_array(name):
    for param, value in zip(PARAMS[name], VALID[name]()):
        if isinstance(value, np.ndarray):
            return param
    return None


def _common_paths(name):
    """Paths every function has: the call contract of the surface."""
    n = len(PARAMS[name])
    paths = [
        ("success", None, with_args(name)),
        ("too few", TypeError, _positional(name, n - 1)),
        ("too many", TypeError, lambda: (VALID[name]() + (None,), {})),
        ("unknown keyword", TypeError, _keywords(name, {"nonsense": 1})),
        ("mixed call", None, lambda: (VALID[name]()[:1], dict(list(zip(PARAMS[name], VALID[name]()))[1:]))),
    ]
    array_param = _first_array(name)
    if array_param:
        dtype_bad = lambda: np.zeros(3, np.float32) if array_param != "search_sample" else np.zeros(3, np.int32)
        paths += [
            ("wrong dtype", ValueError, with_args(name, **{array_param: dtype_bad})),
            ("wrong kind", TypeError, with_args(name, **{array_param: [1.0, 2.0]})),
            ("read-only", ValueError,
             lambda: with_args(name, **{array_param: read_only(VALID[name]()[PARAMS[name].index(array_param)])})()),
        ]
    for param in ("window_size", "n_periods"):
        if param in PARAMS[name]:
            paths += [
                ("int overflow", OverflowError, with_args(name, **{param: 2**31})),
                ("int of wrong kind", TypeError, with_args(name, **{param: "4"})),
            ]
    if "pp_mode" in PARAMS[name]:
        paths.append(("str of wrong kind", TypeError, with_args(name, pp_mode=1)))
    if "fs" in PARAMS[name]:
        paths.append(("double of wrong kind", TypeError, with_args(name, fs="8000")))
    return paths


def _framed_paths(name):
    """Size errors shared by the framed cores."""
    return [
        ("negative window", ValueError, with_args(name, window_size=-1)),
        ("zero hop", ValueError, with_args(name, hop_size=0)),
        ("negative lag", ValueError, with_args(name, search_sample=lambda: lags(1, -2, 3))),
        ("no frame", None, with_args(name, window_size=10**6)),
    ]


def _specific_paths(name):
    if name.startswith("calc_qesmor"):
        return _framed_paths(name)
    if name.startswith("calc_Pitch_core") or name.startswith("calc_Pitch_negaposi"):
        return _framed_paths(name) + [
            ("smoothing too wide", ValueError, with_args(name, qesmor_smooth=13)),
            ("smoothing zero", Exception, with_args(name, qesmor_smooth=0)),
            ("detection mode", Exception, with_args(name, pitch_detect_mode="Score")),
            ("interpolator mode", Exception, with_args(name, interpolator_mode="quadratic")),
        ]
    if "bayes" in name:
        return _framed_paths(name) + [
            ("lags not consecutive", ValueError, with_args(name, search_sample=lambda: lags(1, 2, 4))),
            ("no lags", ValueError, with_args(name, search_sample=lambda: lags())),
            ("interpolator mode", Exception, with_args(name, interpolator_mode=None)),
        ]
    if name.startswith("calc_Pitch_viterbi"):
        two = "negaposi" in name
        zero_mean = (lambda: (wave(5, 64, 2.0), -wave(5, 64, 2.0), 8000.0, 16, 16, np.arange(8, dtype=INTP), None,
                              1.0, 0.3, "no")) if two else \
            (lambda: (voiced_then_zeros(), 8000.0, 16, 16, np.arange(8, dtype=INTP), None, 1.0, 0.3, "no"))
        return _framed_paths(name)[:3] + [
            ("no frame", None if two else ValueError, with_args(name, window_size=10**6)),
            ("zero mean", ZeroDivisionError, lambda: (zero_mean(), {})),
            ("block too small", ValueError, with_args(name, search_sample=lambda: lags(5, 6, 7, 8, 9, 10, 11, 12, 13))),
            ("interpolator mode", Exception, with_args(name, interpolator_mode="Gaussian")),
        ]
    if name == "viterbi_cy":
        return [
            ("transitions too small", ValueError, with_args(name, log_A=lambda: np.zeros((3, 3)))),
            ("no state", ValueError, with_args(name, log_likelihood=lambda: np.zeros((4, 0)))),
            ("no frame", None, with_args(name, log_likelihood=lambda: np.zeros((0, 4)))),
            ("matrix of wrong ndim", ValueError, with_args(name, log_A=lambda: np.zeros(16))),
        ]
    if name == "create_transition_matrix_cy":
        return [
            ("negative size", ValueError, with_args(name, n_periods=-1)),
            ("size too big", (ValueError, MemoryError), with_args(name, n_periods=2**31 - 1)),
        ]
    if name == "_prev_first_up_zero":
        return [("None", ValueError, with_args(name, data=None))]
    raise AssertionError(name)


PATHS = [(name, path, error, make) for name in NAMES for path, error, make in
         _common_paths(name) + _specific_paths(name)]
