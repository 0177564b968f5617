"""The call contract shared by every exported function, and the module itself.

The argument tests are driven by FUNCTIONS, built from the module's own
signatures (tests/functions.py): a new function gets the whole hostile-input
treatment from its valid arguments (tests/call_paths.py) and failing ones.
"""

import gc
import importlib.util
import inspect
import sys
import traceback
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pytest

import qesmorPitch.cy_impl as cy_impl
from call_paths import VALID, lags, voiced
from conftest import assert_same, assert_unchanged, snapshot
from functions import (ARRAY_KINDS, DOUBLE, DOUBLE_MATRIX, DOUBLE_VECTOR, INDEX_VECTOR, INT, NAMES, SIGNATURES,
                       STR)

class StrSubclass(str):
    pass


# Per kind: (bad value, exception, regex or None). The first entry is the one
# used when several arguments are bad at once. "{name}" is the parameter name.
BAD_VALUES = {
    DOUBLE_VECTOR: [
        (np.zeros(3, np.float32), ValueError, r"^Buffer dtype mismatch, expected 'double' but got"),
        (np.zeros(3, np.int64), ValueError, r"^Buffer dtype mismatch, expected 'double' but got"),
        (np.zeros((2, 2)), ValueError, r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        (np.array(1.0), ValueError, r"^Buffer has wrong number of dimensions \(expected 1, got 0\)$"),
        ([1.0, 2.0], TypeError, None),
    ],
    INDEX_VECTOR: [
        (np.zeros(3, np.int32), ValueError, r"^Buffer dtype mismatch, expected 'Py_ssize_t' but got"),
        (np.zeros(3), ValueError, r"^Buffer dtype mismatch, expected 'Py_ssize_t' but got"),
        (np.zeros((2, 2), np.intp), ValueError, r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        ([0, 1], TypeError, None),
    ],
    DOUBLE_MATRIX: [
        (np.zeros((2, 2), np.float32), ValueError, r"^Buffer dtype mismatch, expected 'double' but got"),
        (np.zeros(3), ValueError, r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"),
    ],
    INT: [
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        ("4", TypeError, None),
        (None, TypeError, None),
    ],
    DOUBLE: [
        ("1.0", TypeError, None),
        (None, TypeError, None),
    ],
    STR: [
        (1, TypeError, r"^Argument '{name}' has incorrect type \(expected str, got int\)$"),
        (b"no", TypeError, r"^Argument '{name}' has incorrect type \(expected str, got bytes\)$"),
        (StrSubclass("no"), TypeError, r"^Argument '{name}' has incorrect type \(expected str, got StrSubclass\)$"),
    ],
}


@dataclass
class Function:
    name: str
    params: list  # (name, kind) in order
    valid: Callable[[], tuple]  # fresh arguments of a successful call
    failing: Callable[[], tuple]  # arguments that convert but make the core fail

    def __str__(self):
        return self.name

    @property
    def func(self):
        return getattr(cy_impl, self.name)

    @property
    def names(self):
        return [p for p, _ in self.params]


# Per function: arguments that convert but make the core fail.
FAILING = {
    "calc_qesmor_core_cy": lambda: (np.linspace(-1.0, 2.0, 23), 6, 0, lags(0, 3)),
    "calc_Pitch_core_cy": lambda: (voiced(), 8000.0, 24, 7, np.arange(1, 12, dtype=np.intp), None, 0,
                                   "score", 0.2, "centroid"),
    "calc_Pitch_negaposi_core_cy": lambda: (voiced(), voiced(2.0), 8000.0, 24, 7, np.arange(1, 12, dtype=np.intp),
                                            None, 1, "peak", 0.5, "quadratic"),
    "calc_qesmor_negaposi_core_cy": lambda: (np.linspace(-1.0, 2.0, 23), np.cos(np.arange(23.0)), 6, 0,
                                             lags(0, 3)),
    "_prev_first_up_zero": lambda: (None,),
    "create_transition_matrix_cy": lambda: (-1, 8000.0, 0.3),
    "calc_Pitch_bayes_core_cy": lambda: (voiced(), 8000.0, 24, 7, lags(1, 2, 4), None, 1.0, 0.3, "parabolic"),
    "calc_Pitch_bayes_negaposi_core_cy": lambda: (voiced(), voiced(2.0), 8000.0, 24, 7,
                                                  np.arange(1, 12, dtype=np.intp), None, 0.5, 1.0, "quadratic"),
    "viterbi_cy": lambda: (np.zeros((6, 4)), np.zeros((3, 3)), 1.0),
    # Frames of zeros after voiced ones stay voiced: a division by a zero mean.
    "calc_Pitch_viterbi_core_cy": lambda: (np.concatenate([voiced()[:48], np.zeros(49)]), 8000.0, 16, 16,
                                           np.arange(8, dtype=np.intp), None, 1.0, 0.3, "no"),
    "calc_Pitch_viterbi_negaposi_core_cy": lambda: (voiced(), voiced(2.0), 8000.0, 24, 7,
                                                    np.arange(1, 12, dtype=np.intp), "threshold_diff", 1.0, 0.3,
                                                    "Gaussian"),
}

FUNCTIONS = [Function(name, SIGNATURES[name], VALID[name], FAILING[name]) for name in NAMES]


def test_every_function_has_valid_and_failing_arguments():
    assert set(VALID) == set(FAILING) == set(NAMES)


def _cases(select):
    return [pytest.param(f, *rest, id=f"{f}-{tag}") for f in FUNCTIONS for tag, *rest in select(f)]


def _with(args, index, value):
    args = list(args)
    args[index] = value
    return tuple(args)


def _raises(exc, pattern, name, call):
    with pytest.raises(exc, match=None if pattern is None else pattern.format(name=name)) as info:
        call()
    return info


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# --------------------------------------------------------------------------
# Identity of the functions


@pytest.mark.parametrize("f", FUNCTIONS, ids=str)
def test_identity_and_signature(f):
    func = f.func
    assert func.__name__ == f.name
    assert func.__qualname__ == f.name
    assert func.__module__ == "qesmorPitch.cy_impl"
    params = list(inspect.signature(func).parameters.values())
    assert [p.name for p in params] == f.names
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert all(p.default is inspect.Parameter.empty for p in params)


# The kind each annotation of the type stub stands for.
STUB_KINDS = {
    "_Vec": DOUBLE_VECTOR, "_Lags": INDEX_VECTOR, "Optional[npt.NDArray[np.float64]]": DOUBLE_MATRIX,
    "int": INT, "float": DOUBLE, "Optional[str]": STR,
}


def test_the_type_stub_matches_the_module():
    import ast
    import pathlib

    stub = pathlib.Path(cy_impl.__file__).with_name("cy_impl.pyi")
    if not stub.exists():  # a source checkout over an installed build
        stub = pathlib.Path(__file__).parents[1] / "qesmorPitch" / "cy_impl.pyi"
    tree = ast.parse(stub.read_text())
    declared = {node.name: [(a.arg, STUB_KINDS[ast.unparse(a.annotation)]) for a in node.args.args]
                for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert declared == SIGNATURES


# --------------------------------------------------------------------------
# Collecting arguments


def _count_message(f, given):
    n = len(f.params)
    plural = "" if n == 1 else "s"
    return rf"^{f.name}\(\) takes exactly {n} positional argument{plural} \({given} given\)$"


@pytest.mark.parametrize("f", FUNCTIONS, ids=str)
def test_keyword_and_mixed_calls_match_positional(f):
    expected = f.func(*f.valid())
    args = f.valid()
    for split in range(len(args) + 1):
        kwargs = dict(zip(f.names[split:], args[split:]))
        assert_same(f.func(*args[:split], **kwargs), expected, f"{split} positional")


@pytest.mark.parametrize(
    "f, count",
    _cases(lambda f: [(f"{n}-positional", n) for n in (0, len(f.params) - 1, len(f.params) + 1)]),
)
def test_wrong_positional_count(f, count):
    args = (f.valid() + (None,))[:count]
    _raises(TypeError, _count_message(f, count), None, lambda: f.func(*args))


@pytest.mark.parametrize(
    "f, missing, split",
    _cases(lambda f: [(f"{f.names[m]}-after-{s}", m, s) for m in range(len(f.params)) for s in {0, m}]),
)
def test_missing_with_keywords_counts_up_to_the_gap(f, missing, split):
    args = f.valid()
    kwargs = {n: a for i, (n, a) in enumerate(zip(f.names, args)) if i >= split and i != missing}
    _raises(TypeError, _count_message(f, missing), None, lambda: f.func(*args[:split], **kwargs))


@pytest.mark.parametrize("f", FUNCTIONS, ids=str)
def test_unexpected_keyword(f):
    kwargs = dict(zip(f.names, f.valid()), foo=1)
    pattern = rf"^{f.name}\(\) got an unexpected keyword argument 'foo'$"
    _raises(TypeError, pattern, None, lambda: f.func(**kwargs))


@pytest.mark.parametrize("f, index", _cases(lambda f: [(n, i) for i, n in enumerate(f.names)]))
def test_keyword_repeating_a_positional(f, index):
    args = f.valid()
    kwargs = dict(zip(f.names[index + 1:], args[index + 1:]))
    kwargs[f.names[index]] = args[index]
    pattern = rf"^{f.name}\(\) got multiple values for keyword argument '{f.names[index]}'$"
    _raises(TypeError, pattern, None, lambda: f.func(*args[:index + 1], **kwargs))


# --------------------------------------------------------------------------
# Converting arguments


@pytest.mark.parametrize(
    "f, index, bad, exc, pattern",
    _cases(
        lambda f: [
            (f"{name}-{j}", i, *BAD_VALUES[kind][j])
            for i, (name, kind) in enumerate(f.params)
            for j in range(len(BAD_VALUES[kind]))
        ]
    ),
)
def test_bad_argument(f, index, bad, exc, pattern):
    args = _with(f.valid(), index, bad)
    _raises(exc, pattern, f.names[index], lambda: f.func(*args))


def _conversion_rank(f, i):
    # Arrays and numbers convert left to right; the str checks come last.
    return (f.params[i][1] == STR, i)


@pytest.mark.parametrize("f, first_bad", _cases(lambda f: [(f"from-{n}", i) for i, n in enumerate(f.names)]))
def test_first_failing_conversion_wins(f, first_bad):
    args = list(f.valid())
    for i in range(first_bad, len(args)):
        args[i] = BAD_VALUES[f.params[i][1]][0][0]
    culprit = min(range(first_bad, len(args)), key=lambda i: _conversion_rank(f, i))
    _, exc, pattern = BAD_VALUES[f.params[culprit][1]][0]
    _raises(exc, pattern, f.names[culprit], lambda: f.func(*args))


def _array_params(f):
    return [(n, i) for i, (n, kind) in enumerate(f.params) if kind in ARRAY_KINDS]


@pytest.mark.parametrize("f, index", _cases(_array_params))
def test_read_only_array_refused(f, index):
    args = f.valid()
    args[index].flags.writeable = False
    with pytest.raises(ValueError):
        f.func(*args)


def _strided_copy(a):
    base = np.full((2 * a.shape[0] + 1,) + a.shape[1:], -3, dtype=a.dtype)
    view = base[-2::-2]
    view[...] = a
    if a.ndim == 2:
        wide = np.full((a.shape[0], 3 * a.shape[1]), -3, dtype=a.dtype)
        view = wide[:, ::3]
        view[...] = a
    return view


@pytest.mark.parametrize("f, index", _cases(_array_params))
def test_strided_array_read_through_its_stride(f, index):
    args = f.valid()
    expected = f.func(*args)
    strided = _strided_copy(args[index])
    assert not strided.flags.c_contiguous
    assert_same(f.func(*_with(args, index, strided)), expected)


def _int_params(f):
    return [(n, i) for i, (n, kind) in enumerate(f.params) if kind == INT]


@pytest.mark.parametrize("f, index", _cases(_int_params))
def test_int_accepts_integer_like_objects(f, index):
    args = f.valid()
    expected = f.func(*args)
    for like in (np.int64(args[index]), np.int32(args[index]), Index(args[index])):
        assert_same(f.func(*_with(args, index, like)), expected, type(like).__name__)


# --------------------------------------------------------------------------
# Failures name the function; references are neither leaked nor stolen


def _failing_calls(f):
    return [
        ("core", f.failing),
        ("conversion", lambda: _with(f.valid(), len(f.params) - 1, BAD_VALUES[f.params[-1][1]][0][0])),
        ("count", lambda: f.valid()[:-1]),
    ]


@pytest.mark.parametrize("f, make_args", _cases(_failing_calls))
def test_failure_adds_traceback_entry(f, make_args):
    args = make_args()
    with pytest.raises(Exception) as info:
        f.func(*args)
    entries = [(fs.name, fs.filename) for fs in traceback.extract_tb(info.value.__traceback__)]
    assert (f"qesmorPitch.cy_impl.{f.name}", "qesmorPitch/cy_impl") in entries, entries


def _refcount_calls(f):
    return [("success", f.valid)] + _failing_calls(f)


@pytest.mark.parametrize("f, make_args", _cases(_refcount_calls))
def test_reference_counts_unchanged(f, make_args):
    # Small ints are shared singletons whose counts move for unrelated
    # reasons; pass int arguments as objects of their own instead.
    args = tuple(Index(a) if type(a) is int else a for a in make_args())
    watched = [a for a in args if a is not None]
    # Cycles left by earlier tests may hold shared objects (interned strings)
    # and be collected during the loop: collect them first.
    gc.collect()
    before = [sys.getrefcount(a) for a in watched]
    for _ in range(300):
        try:
            result = f.func(*args)
        except Exception:
            pass
        else:
            # Counted outside the asserts: assertion rewriting keeps its own
            # references to the subexpressions.
            counts = [sys.getrefcount(result)]
            if isinstance(result, tuple):
                counts += [sys.getrefcount(result[i]) for i in range(len(result))]
            del result
            assert counts == [2] * len(counts)
    after = [sys.getrefcount(a) for a in watched]
    assert after == before


@pytest.mark.parametrize("f, make_args", _cases(lambda f: [("success", f.valid), ("core", f.failing)]))
def test_arguments_are_never_written(f, make_args):
    # Strided views whose gaps hold a byte pattern (a NaN with a payload as a
    # double): a core that wrote anything back, into the view or past it,
    # even an equal value through a float register, would show here.
    args = []
    for a in make_args():
        if isinstance(a, np.ndarray):
            base = np.empty((2 * a.shape[0] + 1,) + a.shape[1:], dtype=a.dtype)
            base.view(np.uint8)[...] = 0xFF
            view = base[1::2]
            view[...] = a
            a = view
        args.append(a)
    before = snapshot(*[a for a in args if isinstance(a, np.ndarray)])
    try:
        f.func(*args)
    except Exception:
        pass
    assert_unchanged(before)


# --------------------------------------------------------------------------
# The module


def test_module_globals():
    assert cy_impl.np is np
    assert cy_impl.__test__ == {}
    assert not hasattr(cy_impl, "EPS")
    for f in FUNCTIONS:
        assert callable(f.func)


def test_second_execution_refused():
    spec = cy_impl.__spec__
    second = importlib.util.module_from_spec(spec)
    with pytest.raises(RuntimeError) as info:
        spec.loader.exec_module(second)
    assert str(info.value) == "Module 'cy_impl' has already been imported. Re-initialisation is not supported."
    assert sys.modules["qesmorPitch.cy_impl"] is cy_impl
