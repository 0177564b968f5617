"""The module's functions, read from the module itself, and the kind of
each argument.

SIGNATURES maps every function of qesmorPitch.cy_impl to its parameters in
order, each with its kind, from the functions' text signatures; KINDS gives
the kind of every parameter name. The surface, fuzz and leak tests are all
driven by SIGNATURES, so a new function is covered by giving its new
parameter names a kind (and its valid arguments, in tests/call_paths.py).
"""

import inspect

import qesmorPitch.cy_impl as cy_impl

DOUBLE_VECTOR = "double vector"
INDEX_VECTOR = "index vector"
DOUBLE_MATRIX = "double matrix"
INT = "int"
DOUBLE = "double"
STR = "str"
ARRAY_KINDS = (DOUBLE_VECTOR, INDEX_VECTOR, DOUBLE_MATRIX)

KINDS = {
    "data": DOUBLE_VECTOR, "data_posi": DOUBLE_VECTOR, "data_nega": DOUBLE_VECTOR,
    "search_sample": INDEX_VECTOR,
    "log_likelihood": DOUBLE_MATRIX, "log_A": DOUBLE_MATRIX,
    "window_size": INT, "hop_size": INT, "qesmor_smooth": INT, "n_periods": INT,
    "fs": DOUBLE, "pitch_detect_thre": DOUBLE, "alpha": DOUBLE, "beta": DOUBLE, "sigma": DOUBLE,
    "pp_mode": STR, "pitch_detect_mode": STR, "interpolator_mode": STR,
}


def _exported(module):
    return {name: f for name, f in vars(module).items()
            if callable(f) and getattr(f, "__module__", None) == module.__name__}


def signature(func):
    """[(parameter name, kind)] of a function, from its text signature."""
    return [(name, KINDS[name]) for name in inspect.signature(func).parameters]


SIGNATURES = {name: signature(f) for name, f in sorted(_exported(cy_impl).items())}
NAMES = sorted(SIGNATURES)


def params(name):
    return [p for p, _ in SIGNATURES[name]]
