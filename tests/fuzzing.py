"""Generated calls of every exported function, and the checks each call must pass.

Shared by tests/test_fuzz.py (short runs in a child process) and
tools/fuzz.py (long runs, batch by batch). Run directly, this file is the
child: it makes the calls and exits non-zero on the first broken promise;
a crash kills it, and the parent names the call that was being made from
the --progress file, which always holds it.

Every call either returns a well-formed result (type, dtype and shape family
of its function, shapes consistent with the arguments, a fresh array) or
raises an Exception other than SystemError. Afterwards every argument
buffer, gaps of strided views included, is byte for byte what it was, and
every argument object has the reference count it had.

    python tests/fuzzing.py --engine random --seed 3 --calls 20000
    python tests/fuzzing.py --engine hypothesis --derandomize --calls 2500
"""

import argparse
import array
import gc
import math
import operator
import os
import random
import struct
import sys
from dataclasses import dataclass

import numpy as np
from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

import qesmorPitch._kernels as kernels
import qesmorPitch.cy_impl as cy_impl

from functions import DOUBLE, NAMES, SIGNATURES

# Signals stay short so that a call costs microseconds; what matters is the
# seams (empty, one sample, the window length and one either side).
MAX_SIGNAL = 48
MAX_MATRIX = 10
I32_MAX, I32_MIN = 2**31 - 1, -(2**31)
IP_MAX, IP_MIN = int(np.iinfo(np.intp).max), int(np.iinfo(np.intp).min)
GAP = -7.0e300  # fills the gaps of strided views; a kernel that reads it goes far off
GAP_LAG = -5

SPECIAL_FLOATS = (math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                  1e-300, 1e300, 1.7976931348623157e308, -1.7976931348623157e308, 1.0, -1.0, 0.5)
# Bit patterns of NaNs with payloads: a copy through a float register keeps
# them, a kernel that writes back a recomputed NaN does not.
PAYLOAD_NANS = np.array([0x7FF8000000000001, 0xFFF0000000000ABC, 0x7FF4000000000000], dtype=np.uint64).view(np.float64)

KEYWORDS = {
    "pp_mode": ["threshold_diff", None, "none", "Threshold_diff", "threshold_diff ", ""],
    "pitch_detect_mode": ["score", "static", "maximum", "peak", None, "Score", "max", ""],
    "interpolator_mode": ["parabolic", "gaussian", "centroid", "no", None, "quadratic", "Parabolic", "",
                          "n\u00f6", "\ud800"],
}


# --------------------------------------------------------------------------
# Argument objects that are not plain numbers


class Index:
    """An integer by __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Floaty:
    """A number by __float__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"


class Broken:
    """Every conversion raises."""

    def __index__(self):
        raise KeyError("no index")

    def __float__(self):
        raise ArithmeticError("no float")

    def __repr__(self):
        return "Broken()"


class BadIndex:
    """__index__ returns something that is not an int."""

    def __index__(self):
        return 1.5

    def __repr__(self):
        return "BadIndex()"


class StrSub(str):
    pass


class Described:
    """A generated argument together with a readable account of how it was built.

    Hypothesis prints the falsifying call through these reprs, and the trace
    of a crashed child shows them, so the account names dtype, shape,
    strides and layout; values are printed exactly (floats by their hex form).
    """

    def __init__(self, value, text):
        self.value = value
        self.text = text

    def __repr__(self):
        return self.text


def _values_text(v):
    v = np.asarray(v)
    if v.dtype == np.float64:
        return "[" + ", ".join(float(x).hex() if not math.isnan(x) else
                               f"nan(0x{int(np.float64(x).view(np.uint64)):x})" for x in v.ravel()) + "]"
    return np.array2string(v.ravel(), threshold=10**6, max_line_width=10**6)


def _describe_array(a, how):
    return (f"<{how}: {a.dtype.str} shape={a.shape} strides={a.strides} "
            f"writeable={a.flags.writeable} values={_values_text(a) if a.dtype.kind in 'fiub' else '...'}>")


# --------------------------------------------------------------------------
# Values
#
# The generators below draw every choice through `d`, one of two sources:
# Hypothesis (the test run: reproducible, and a failure is shrunk to a small
# case), or a seeded random source (the long runs, where Hypothesis's own
# bookkeeping would cost far more than the calls under test). Every choice
# among fixed alternatives is an integer draw.


class HypothesisDraw:
    def __init__(self, draw):
        self._draw = draw

    def integer(self, lo, hi):
        return self._draw(st.integers(lo, hi))

    def any_float(self):
        return self._draw(ANY_FLOAT)

    def uniform(self, lo, hi):
        return self._draw(st.floats(min_value=lo, max_value=hi))


class RandomDraw:
    def __init__(self, seed_value):
        self._random = random.Random(seed_value)

    def integer(self, lo, hi):
        return self._random.randint(lo, hi)

    def any_float(self):
        # Any bit pattern: every NaN payload, subnormal and infinity can come up.
        return struct.unpack("<d", self._random.getrandbits(64).to_bytes(8, "little"))[0]

    def uniform(self, lo, hi):
        return self._random.uniform(lo, hi)


def pick(d, options):
    return options[d.integer(0, len(options) - 1)]


def chance(d, one_in):
    return d.integer(0, one_in - 1) == 0


def gen_length(d, near=None):
    """Short lengths: 0, 1, 2 and the values next to `near` well represented."""
    r = d.integer(0, 9)
    if r == 0:
        return d.integer(0, 2)
    if r <= 2 and near is not None:
        return max(0, near + d.integer(-2, 2))
    return d.integer(0, MAX_SIGNAL)


ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
ODD_FLOATS = SPECIAL_FLOATS + tuple(float(x) for x in PAYLOAD_NANS)


def gen_floats(d, n):
    """n doubles: noise, ties, rectified and periodic signals, with special values."""
    style = d.integer(0, 6)
    rng = np.random.default_rng(d.integer(0, 2**32 - 1))
    if style == 0:
        v = rng.normal(size=n)
    elif style == 1:  # plateaus, ties, exact zeros
        v = rng.integers(-2, 3, size=n).astype(np.float64)
    elif style == 2:  # half-wave rectified periodic signal, as the callers feed it
        t = np.arange(n, dtype=np.float64)
        v = np.maximum(np.sin(2 * np.pi * t / rng.uniform(2.0, 12.0)) + rng.normal(scale=0.1, size=n), 0.0)
    elif style == 3:
        v = np.full(n, pick(d, SPECIAL_FLOATS))
    elif style == 4:  # every order of magnitude, subnormals included
        v = rng.choice([-1.0, 1.0], size=n) * 10.0 ** rng.uniform(-320, 308, size=n)
    elif style == 5:
        v = np.abs(rng.normal(size=n)) + 0.1
    else:
        v = np.zeros(n)
    for _ in range(d.integer(0, 3) if n else 0):
        i = d.integer(0, n - 1)
        if chance(d, 3):
            v[i] = d.any_float()
        else:
            v[i:i + 1] = np.array([pick(d, ODD_FLOATS)])
            if chance(d, 2):  # keep the NaN payload bits exactly
                v[i:i + 1] = PAYLOAD_NANS[d.integer(0, len(PAYLOAD_NANS) - 1)]
    return v


HUGE_LAGS = (-1, -2, IP_MIN, IP_MAX, IP_MAX - 1, I32_MAX, I32_MIN, 2**32 + 1, -(2**40))


def gen_lags(d, window, fit=False):
    """Candidate lags relative to the window: consecutive runs, the seams
    around the window and its half, negative, decreasing, duplicated,
    empty, and values at the limits of the index type."""
    half = window // 2
    style = 0 if fit else d.integer(0, 11)
    if style <= 1:  # consecutive, increasing and inside the transition block
        start = d.integer(0, min(3, max(half - 1, 0)))
        return np.arange(start, start + d.integer(1, min(max(half - start, 1), 40)), dtype=np.intp)
    if style <= 3:  # consecutive and increasing, near the start or the end of the block
        start = d.integer(0, 3) if chance(d, 2) else max(half + d.integer(-4, 2), 0)
        count = d.integer(1, 24)
        return np.arange(start, start + count, dtype=np.intp)
    if style == 4:
        return np.zeros(0, dtype=np.intp)
    if style == 5:  # runs ending at or near the largest index
        top = pick(d, (IP_MAX, IP_MAX - 1, IP_MAX - 31, IP_MAX - 64, I32_MAX, 2**32, 2**62))
        count = d.integer(1, 40)
        return np.arange(top - count + 1, top + 1, dtype=np.intp)
    if style == 6:  # short runs starting at the limits
        start = pick(d, (IP_MAX, IP_MAX - 3, IP_MIN, -1, I32_MAX))
        count = d.integer(1, 3)
        return np.array([min(max(start + c, IP_MIN), IP_MAX) for c in range(count)], dtype=np.intp)
    seams = (0, 1, half - 1, half, half + 1, window - 1, window, window + 1, window + 64)
    values = []
    for _ in range(d.integer(1, 16)):
        r = d.integer(0, 2 if style >= 10 else 1)
        values.append(pick(d, seams) if r == 0 else d.integer(0, window + 4) if r == 1
                      else pick(d, HUGE_LAGS))
    if style == 8:
        values.sort(reverse=True)
    if style == 9:
        values = values + values[: d.integer(1, len(values))]
    return np.array([max(v, 0) if style < 10 else v for v in values], dtype=np.intp)


# --------------------------------------------------------------------------
# Layouts: how the values are laid out in memory

VECTOR_LAYOUTS = ("contiguous", "contiguous", "step", "step", "offset", "zero", "misaligned")
STEPS = (2, 3, -1, -2, -3)


def lay_out_vector(d, values, gap):
    """`values` as a writable 1-D array: contiguous, strided forwards or
    backwards inside a larger buffer, with a zero stride, or misaligned."""
    n = values.shape[0]
    dtype = values.dtype
    layout = pick(d, VECTOR_LAYOUTS)
    if layout == "contiguous":
        return values.copy(), layout
    if layout == "step":
        step = pick(d, STEPS)
        base = np.full(n * abs(step) + 2, gap, dtype=dtype)
        view = base[1:-1][::step][:n]
        view[...] = values
        return view, f"step {step}"
    if layout == "offset":
        base = np.full(n + 3, gap, dtype=dtype)
        view = base[2:n + 2]
        view[...] = values
        return view, "offset 2"
    if layout == "zero":
        # Every element is the one sample.
        base = np.full(2, gap, dtype=dtype)
        base[0] = values[0] if n else 0
        view = np.lib.stride_tricks.as_strided(base, shape=(n,), strides=(0,), writeable=True)
        return view, "zero stride"
    shift = d.integer(1, 7)
    raw = bytearray(n * dtype.itemsize + 8)
    view = np.frombuffer(raw, dtype=dtype, count=n, offset=shift)
    view[...] = values
    return view, f"misaligned by {shift}"


MATRIX_LAYOUTS = ("C", "C", "F", "rows", "cols", "reversed", "zero", "misaligned")


def lay_out_matrix(d, values):
    rows, cols = values.shape
    layout = pick(d, MATRIX_LAYOUTS)
    if layout == "C":
        return values.copy(), layout
    if layout == "F":
        return np.asfortranarray(values), layout
    if layout in ("rows", "cols"):
        step = pick(d, STEPS)
        if layout == "rows":
            base = np.full((rows * abs(step) + 2, cols + 1), GAP)
            view = base[1:-1][::step][:rows, :cols]
        else:
            base = np.full((rows + 1, cols * abs(step) + 2), GAP)
            view = base[:rows, 1:-1][:, ::step][:, :cols]
        view[...] = values
        return view, f"{layout} step {step}"
    if layout == "reversed":
        base = np.full((rows + 1, cols + 1), GAP)
        view = base[:rows, :cols][::-1, ::-1]
        view[...] = values
        return view, layout
    if layout == "zero":
        base = np.full((2, max(cols, 1)), GAP)
        base[0, :cols] = values[0] if rows else 0.0
        view = np.lib.stride_tricks.as_strided(base, shape=(rows, cols), strides=(0, 8), writeable=True)
        return view, "zero row stride"
    shift = d.integer(1, 7)
    raw = bytearray(values.size * 8 + 8)
    view = np.frombuffer(raw, dtype=np.float64, count=values.size, offset=shift).reshape(rows, cols)
    view[...] = values
    return view, f"misaligned by {shift}"


def _readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


WRONG_DTYPES = (np.float32, np.float16, np.longdouble, np.complex128, np.int64, np.int32, np.uint64, np.uint8,
                np.bool_, np.float64, np.intp)
NOT_BUFFERS = (1.0, 3, "abc", b"", (), {}, object(), Broken())


def wrong_buffer(d, v):
    """Something in place of the array of `v` that may or must be refused:
    read-only, another byte order or dtype, another number of dimensions,
    other buffer exporters, or no buffer at all."""
    kind = d.integer(0, 15)
    if kind == 0:
        return _readonly(v), "read-only"
    if kind == 1:
        return v.astype(v.dtype.newbyteorder(">")), "big-endian"
    if kind == 2:
        dtype = pick(d, WRONG_DTYPES)
        with np.errstate(all="ignore"):
            return v.astype(dtype), f"as {np.dtype(dtype).name}"
    if kind == 3:
        return v.astype(object), "object dtype"
    if kind == 4:
        return np.zeros(v.shape, dtype="M8[s]"), "datetime64"
    if kind == 5:
        return np.zeros(v.shape, dtype=[("a", "f8")]), "structured"
    if kind == 6:
        return np.zeros(v.shape, dtype="V8"), "void8"
    if kind == 7:  # one dimension too many or too few
        if v.ndim == 1:
            return (v.reshape(1, -1).copy() if chance(d, 2) else np.float64(1.5).reshape(())), "wrong ndim"
        return (v.reshape(-1).copy() if chance(d, 2) else v.reshape(v.shape + (1,)).copy()), "wrong ndim"
    if kind == 8:
        return v.tolist(), "list"
    if kind == 9:
        return bytes(8 * v.size), "bytes"
    if kind == 10:
        return bytearray(8 * v.size), "bytearray"
    if kind == 11:
        return memoryview(v.copy()), "memoryview"
    if kind == 12:
        fmt = "d" if v.dtype.kind == "f" else "q"
        return array.array(fmt, v.ravel().tolist()), f"array.array({fmt!r})"
    if kind == 13:
        m = memoryview(v.copy())
        m.release()
        return m, "released memoryview"
    if kind == 14:
        return pick(d, NOT_BUFFERS), "not a buffer"
    if v.ndim == 1 and v.size:
        return memoryview(v.copy())[::-1], "reversed memoryview"
    return v[..., None][..., 0], "plain view"


def _described(obj, how, values):
    if isinstance(obj, np.ndarray):
        return Described(obj, _describe_array(obj, how))
    if isinstance(obj, (memoryview, bytes, bytearray, array.array, list)):
        return Described(obj, f"<{how} of {values.shape} values {_values_text(values)}>")
    return Described(obj, f"<{how}: {obj!r}>")


# Each generator below makes a value its parameter accepts, or, when `wild`,
# one that it may or must refuse.


def gen_vector(d, values, gap, wild=False):
    if wild:
        return _described(*wrong_buffer(d, values), values)
    if chance(d, 20):
        return Described(None, "None")
    return _described(*lay_out_vector(d, values, gap), values)


def gen_matrix(d, rows, cols, wild=False):
    values = gen_floats(d, rows * cols).reshape(rows, cols)
    if wild:
        return _described(*wrong_buffer(d, values), values)
    if chance(d, 20):
        return Described(None, "None")
    return _described(*lay_out_matrix(d, values), values)


INT_LIMITS = (I32_MAX, I32_MIN, I32_MAX + 1, I32_MIN - 1, 2**63, -(2**63) - 1, 10**30)
NOT_INTS = (None, "4", 4.5, math.nan, math.inf, 1j, Broken(), BadIndex(), Index(2**40), np.uint64(2**63),
            np.array([3]))


def gen_int(d, value, wild=False):
    """`value`, often as another integer-like object; when wild, beyond the
    limits of the 32-bit conversion or no integer at all."""
    if wild:
        return pick(d, INT_LIMITS) if chance(d, 2) else pick(d, NOT_INTS)
    if d.integer(0, 3):
        return value
    like = (np.int64(value), np.int32(max(min(value, I32_MAX), I32_MIN)), Index(value), float(value),
            np.float64(value), bool(value))
    return pick(d, like)


ODD_DOUBLES = (0, 1, -1, True, np.float32(0.1), np.float64(-2.0), Floaty(0.25), Floaty(math.nan), Index(3),
               np.int64(2**62))
NOT_DOUBLES = (None, "1.0", 1j, 10**400, Broken(), Floaty("no"), np.array([1.0, 2.0]), [])


def gen_double(d, usual, wild=False):
    if wild:
        return pick(d, NOT_DOUBLES)
    r = d.integer(0, 8)
    if r <= 3:
        return pick(d, usual)
    if r <= 5:
        return pick(d, SPECIAL_FLOATS)
    if r == 6:
        return d.any_float()
    if r == 7:
        return pick(d, ODD_DOUBLES)
    return d.uniform(-1e6, 1e6)


NOT_STRS = (1, b"score", StrSub("peak"), StrSub("gaussian"), 0.0, ["no"], Broken())


def gen_str(d, name, wild=False):
    return pick(d, NOT_STRS) if wild else pick(d, KEYWORDS[name])


# --------------------------------------------------------------------------
# Calls


@dataclass(repr=False)
class Call:
    module: str  # "cy_impl", or "_kernels/<target>"
    name: str
    args: list  # Described, in parameter order
    form: str = "positional"  # how the arguments are passed
    mangle: tuple = ()

    def __repr__(self):
        shown = ", ".join(f"{p}={a!r}" for p, a in zip(self.parameters(), self.args))
        extra = f", misuse={self.mangle!r}" if self.mangle else ""
        return f"{self.module}.{self.name}({shown}) [{self.form}{extra}]"

    def _repr_pretty_(self, printer, cycle):  # how Hypothesis prints a falsifying call
        printer.text(repr(self))

    def values(self):
        return [a.value for a in self.args]

    def parameters(self):
        return [p for p, _ in SIGNATURES[self.name]]

    def function(self):
        if self.module == "cy_impl":
            return getattr(cy_impl, self.name)
        kernels.use_target(self.module.split("/", 1)[1])
        return getattr(kernels, self.name)

    def arguments(self):
        """(positional, keywords) of the call, misuse included."""
        values = self.values()
        params = self.parameters()
        if self.form == "positional":
            args, kwargs = list(values), {}
        elif self.form == "keywords":
            args, kwargs = [], dict(zip(params, values))
        else:  # "split at k"
            k = int(self.form.split()[-1])
            args, kwargs = list(values[:k]), dict(zip(params[k:], values[k:]))
        what = self.mangle[0] if self.mangle else None
        if what == "drop":
            if kwargs:
                kwargs.pop(next(reversed(kwargs)))
            elif args:
                args.pop()
        elif what == "extra":
            args.append(self.mangle[1])
        elif what == "unknown":
            kwargs[self.mangle[1]] = 0
        elif what == "repeat" and args:
            kwargs[params[len(args) - 1]] = args[-1]
        return args, kwargs


USUAL = {
    "fs": (8000.0, 16000.0, 1.0),
    "alpha": (1.0, 0.5, 2.0, 0.0, -1.0),
    "beta": (1.0, 0.5, 2.0, 0.0, -1.0),
    "sigma": (0.3, 1.0, 1e-3, 0.0, -0.5),
    "pitch_detect_thre": (0.2, 0.5, 0.0, -1.0, 0.9),
}


def gen_framed(d, name, wild):
    """Arguments of the framed cores: a signal, a window and hop related to
    its length, lags related to the window, and the modes and numbers; the
    parameters at the indices in `wild` get values they may refuse."""
    n = gen_length(d)
    r = d.integer(0, 19)
    if r == 0:
        window = pick(d, (-1, -2, I32_MIN))
    elif r <= 2:
        # Huge windows leave short signals without frames: nothing may be
        # allocated for them.
        window = pick(d, (0, 1, 2, I32_MAX, 2**20, 2**30))
    elif r <= 5:
        window = gen_length(d, near=n)
    else:  # at least one frame
        window = d.integer(0, max(n - 1, 0))
    r = d.integer(0, 9)
    hop = d.integer(1, 4) if r <= 5 else d.integer(1, 60) if r <= 7 else \
        pick(d, (0, -1, I32_MIN, I32_MAX))
    tracking = "bayes" in name or "viterbi" in name
    lags = gen_lags(d, max(window, 0), fit=tracking and chance(d, 2))
    args = []
    for i, (pname, kind) in enumerate(SIGNATURES[name]):
        w = i in wild
        if pname in ("data", "data_posi"):
            args.append(gen_vector(d, gen_floats(d, n), GAP, w))
        elif pname == "data_nega":
            m = n if chance(d, 2) else gen_length(d, near=n)
            args.append(gen_vector(d, gen_floats(d, m), GAP, w))
        elif pname == "window_size":
            args.append(gen_int(d, window, w))
        elif pname == "hop_size":
            args.append(gen_int(d, hop, w))
        elif pname == "search_sample":
            args.append(gen_vector(d, lags, GAP_LAG, w))
        elif pname == "qesmor_smooth":
            k = len(lags)
            smooth = d.integer(1, 3) if chance(d, 2) else pick(d, (0, -1, k, k + 1, k + 2, I32_MIN))
            args.append(gen_int(d, smooth, w))
        elif kind == DOUBLE:
            args.append(gen_double(d, USUAL[pname], w))
        else:
            args.append(gen_str(d, pname, w))
    return args


def gen_call(d):
    name = pick(d, NAMES)
    # Most calls pass values every parameter accepts, so that they reach the
    # cores; the others spoil one or two parameters.
    count = len(SIGNATURES[name])
    wild = set() if d.integer(0, 9) <= 5 else {d.integer(0, count - 1) for _ in range(d.integer(1, 2))}
    if name == "_prev_first_up_zero":
        args = [gen_vector(d, gen_floats(d, gen_length(d)), GAP, 0 in wild)]
    elif name == "create_transition_matrix_cy":
        # Sizes stay small or are refused outright: the matrix is n x n.
        r = d.integer(0, 9)
        n = d.integer(0, 40) if r <= 6 else d.integer(40, 200) if r <= 8 else \
            pick(d, (-1, I32_MIN, 2**26, 2**30, I32_MAX))
        args = [gen_int(d, n, 0 in wild), gen_double(d, (8000.0, 1.0, 44100.0), 1 in wild),
                gen_double(d, (1.0, 0.3, 1e-3, 0.0, 1e3), 2 in wild)]
    elif name == "viterbi_cy":
        t = d.integer(0, MAX_MATRIX)
        n = d.integer(0, MAX_MATRIX)
        extra = pick(d, ((0, 0), (0, 0), (0, 0), (1, 2), (-1, 0), (0, -1), (3, 0)))
        args = [gen_matrix(d, t, n, 0 in wild), gen_matrix(d, max(n + extra[0], 0), max(n + extra[1], 0), 1 in wild),
                gen_double(d, (1.0, 0.0, -1.0, 2.5), 2 in wild)]
    else:
        args = gen_framed(d, name, wild)
    args = [a if isinstance(a, Described) else Described(a, repr(a)) for a in args]
    module = pick(d, MODULES)
    r = d.integer(0, 9)
    form = "positional" if r <= 6 else "keywords" if r == 7 else f"split at {d.integer(0, len(args))}"
    r = d.integer(0, 24)
    mangle = ()
    if r == 0:
        mangle = ("drop",)
    elif r == 1:
        mangle = ("extra", pick(d, (None, 0, "x")))
    elif r == 2:
        mangle = ("unknown", pick(d, ("foo", "Data", "window", "search_sample_", "\u00e9")))
    elif r == 3:
        mangle = ("repeat",)
    return Call(module, name, args, form, mangle)


@st.composite
def calls(draw):
    return gen_call(HypothesisDraw(draw))


# The public module most of the time; the private copy on each kernel target
# this CPU runs, so that every vector kernel meets the same inputs.
MODULES = ("cy_impl",) * 3 + tuple(f"_kernels/{t}" for t in kernels.targets())


# --------------------------------------------------------------------------
# Checks


class Fault(AssertionError):
    pass


def _root(obj):
    while isinstance(obj, np.ndarray) and obj.base is not None:
        obj = obj.base
    return obj


def _bytes_of(obj):
    """The bytes behind an argument: its own elements and, for a view, the
    whole buffer it lives in (a write into a gap of a strided view counts)."""
    if isinstance(obj, np.ndarray):
        own = obj.tobytes() if obj.dtype != object else None
        root = _root(obj)
        if isinstance(root, np.ndarray):
            whole = root.tobytes() if root.dtype != object else None
        elif isinstance(root, (bytes, bytearray)):
            whole = bytes(root)
        elif isinstance(root, memoryview) and root.obj is not None:
            whole = root.tobytes()
        else:
            whole = None
        return own, whole
    if isinstance(obj, (bytes, bytearray, array.array)):
        return bytes(obj), None
    if isinstance(obj, memoryview):
        try:
            return obj.tobytes(), (bytes(obj.obj) if isinstance(obj.obj, (bytes, bytearray)) else None)
        except ValueError:  # released
            return None, None
    return None


def _is_shared_singleton(obj):
    # Small ints, interned strings, None, True and the float cache have
    # counts that move with unrelated code.
    return obj is None or isinstance(obj, (bool, int, float, str, bytes, complex))


def _frame_count(length, window, hop):
    if length <= window:
        return 0
    return (length - window + hop - 1) // hop


def _as_int(obj):
    try:
        return operator.index(obj)
    except TypeError:
        return int(obj)


def _length(obj):
    return 0 if obj is None else len(obj)


def check_result(call, result):
    """A returned value is of its function's type, dtype and shape family,
    with shapes that agree with the arguments."""
    name = call.name
    values = dict(zip(call.parameters(), call.values()))

    def array(a, dtype, what):
        if type(a) is not np.ndarray:
            raise Fault(f"{what}: {type(a).__name__} is not an ndarray")
        if a.dtype != dtype:
            raise Fault(f"{what}: dtype {a.dtype} is not {np.dtype(dtype)}")
        if not (a.flags.c_contiguous and a.flags.owndata and a.flags.writeable):
            raise Fault(f"{what}: not a fresh writable C-contiguous array ({a.flags})")
        for v in values.values():
            if isinstance(v, np.ndarray) and np.may_share_memory(a, v):
                raise Fault(f"{what}: shares memory with an argument")
        return a.shape

    if name in ("calc_qesmor_core_cy", "calc_qesmor_negaposi_core_cy"):
        if type(result) is not tuple or len(result) != 2:
            raise Fault(f"result is {type(result).__name__}, not a pair")
        shape_map = array(result[0], np.float64, "map")
        shape_means = array(result[1], np.float64, "means")
    elif name == "viterbi_cy":
        shape = array(result, np.intp, "path")
        t, n = values["log_likelihood"].shape if values["log_likelihood"] is not None else (0, 0)
        if shape != (t,):
            raise Fault(f"path of shape {shape} for {t} frames")
        if t and not ((result >= 0) & (result < n)).all():
            raise Fault(f"path {result} leaves the states 0 .. {n - 1}")
        return
    elif name == "create_transition_matrix_cy":
        n = _as_int(values["n_periods"])
        if array(result, np.float64, "matrix") != (n, n):
            raise Fault(f"matrix of shape {result.shape} for {n} periods")
        return
    elif name == "_prev_first_up_zero":
        if array(result, np.float64, "result") != (len(values["data"]),):
            raise Fault(f"result of shape {result.shape} for {len(values['data'])} samples")
        return
    else:
        shape = array(result, np.float64, "track")

    data = values.get("data", values.get("data_posi"))
    frames = _frame_count(_length(data), _as_int(values["window_size"]), _as_int(values["hop_size"]))
    if name.startswith("calc_qesmor"):
        k = _length(values["search_sample"])
        want = ((frames, k), (frames,)) if frames else ((0,), (0,))
        if (shape_map, shape_means) != want:
            raise Fault(f"map and means of shapes {shape_map}, {shape_means}; expected {want}")
        return
    columns = 2 if name in ("calc_Pitch_core_cy", "calc_Pitch_negaposi_core_cy") else 3
    want = (frames, columns) if frames else (0,)
    if shape != want:
        raise Fault(f"track of shape {shape}; expected {want} ({frames} frames)")


def check_call(call):
    """Makes the call; raises Fault when it breaks the module's promise.
    Returns the exception the call raised, or None."""
    func = call.function()
    args, kwargs = call.arguments()
    objects = args + list(kwargs.values())
    before = [_bytes_of(a) for a in objects]
    watched = [a for a in objects if not _is_shared_singleton(a)]
    # A collection during the call could free some earlier example's
    # garbage that still refers to an argument: no collections until the
    # counts are compared.
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        return _checked_call(call, func, args, kwargs, objects, before, watched)
    finally:
        if gc_was_enabled:
            gc.enable()


def _checked_call(call, func, args, kwargs, objects, before, watched):
    counts = [sys.getrefcount(a) for a in watched]
    outcome = None
    try:
        result = func(*args, **kwargs)
    except SystemError as e:
        raise Fault(f"SystemError: {e}") from e
    except Exception as e:  # any other error is an acceptable answer
        outcome = e
        del e
    else:
        check_result(call, result)
        del result
    after = [_bytes_of(a) for a in objects]
    for i, (b, a) in enumerate(zip(before, after)):
        if b != a:
            raise Fault(f"argument {i} ({type(objects[i]).__name__}) was modified")
    if outcome is not None:
        # The traceback of an error raised inside an argument's own
        # conversion keeps that argument alive; let it go before counting.
        outcome.__traceback__ = None
        outcome.__context__ = None
    now = [sys.getrefcount(a) for a in watched]
    if now != counts:
        raise Fault(f"reference counts of the arguments moved from {counts} to {now}")
    return outcome


# --------------------------------------------------------------------------
# The child process


class Progress:
    """The call about to be made, kept in a file that outlives a crash of
    this process (each write goes straight to the operating system)."""

    def __init__(self, path):
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC) if path else None

    def note(self, text):
        if self._fd is not None:
            data = text.encode("utf-8", "backslashreplace")
            os.pwrite(self._fd, data, 0)
            os.ftruncate(self._fd, len(data))

    def close(self):
        if self._fd is not None:
            os.close(self._fd)


def random_call(seed_value, index):
    """Call `index` of the random run `seed_value`: each is drawn from its own
    seed, so any one of them can be rebuilt without the others."""
    return gen_call(RandomDraw((seed_value << 40) | index))


def run_random(calls_wanted, seed_value=0, progress=None):
    """Makes the calls of a random run; raises Fault naming the first call
    that breaks the promise. Returns the number of calls made."""
    progress = Progress(progress)
    try:
        for index in range(calls_wanted):
            progress.note(f"random {seed_value} {index}")
            call = random_call(seed_value, index)
            try:
                check_call(call)
            except Fault as e:
                raise Fault(f"{e}\n  in call {index} of random run {seed_value}: {call!r}") from None
    finally:
        kernels.use_target(None)
        progress.close()
    return calls_wanted


def run_hypothesis(calls_wanted, seed_value=0, derandomize=False, progress=None):
    """Makes `calls_wanted` calls drawn by Hypothesis; a Fault is shrunk to a
    small case and re-raised. Returns the number of calls made."""
    made = [0]
    progress = Progress(progress)

    @settings(
        max_examples=calls_wanted,
        derandomize=derandomize,
        database=None,
        deadline=None,
        phases=[Phase.generate, Phase.shrink],
        suppress_health_check=list(HealthCheck),
        report_multiple_bugs=False,
    )
    @given(call=calls())
    def one(call):
        progress.note(repr(call))
        made[0] += 1
        check_call(call)

    if not derandomize:
        one = seed(seed_value)(one)
    try:
        one()
    finally:
        kernels.use_target(None)
        progress.close()
    return made[0]


def main(argv=None):
    parser = argparse.ArgumentParser(description="Fuzz every exported function (one child process).")
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--engine", choices=("hypothesis", "random"), default="random")
    parser.add_argument("--derandomize", action="store_true", help="hypothesis: the same calls every run")
    parser.add_argument("--progress", help="file that always holds the call being made")
    options = parser.parse_args(argv)
    import faulthandler

    faulthandler.enable()
    try:
        if options.engine == "random":
            made = run_random(options.calls, options.seed, options.progress)
        else:
            made = run_hypothesis(options.calls, options.seed, options.derandomize, options.progress)
    except Fault as e:
        print(f"FAULT: {e}", flush=True)
        sys.exit(1)
    print(f"fuzz: {made} calls ({options.engine}, seed {options.seed}), no fault", flush=True)


if __name__ == "__main__":
    main()
