"""The parameters of :func:`qesmorPitch.track`: each one's default and check,
written once and shared by track(), track_files, the command line and the
evaluation.

Everything checked here holds whatever the sampling rate; the limits that
depend on it (fmax below sr / 2, the frame length, the number of states) are
checked by the plan built for each signal.
"""
from __future__ import annotations

import difflib
import math
import numbers
import reprlib
import types
from dataclasses import dataclass, field, fields
from typing import Any, Callable, Dict, Mapping, Optional, Tuple

import numpy as np

__all__ = ["Options", "DEFAULTS", "METHODS", "POLARITIES", "INTERPOLATORS", "DETECT_MODES"]

METHODS = ("direct", "bayes", "viterbi")
POLARITIES = ("both", "positive", "negative")
INTERPOLATORS = ("parabolic", "gaussian", "centroid", "none")
DETECT_MODES = ("score", "static", "maximum", "peak")

# Measured defaults, checked on the tuning part of the real recordings (README
# "How the defaults were chosen"): bayes's alpha 0.5 to 0.35 took the mean
# overall accuracy over the speech conditions from 0.8536 to 0.8546 and
# causal tracking from 0.8588 to 0.8633, for 0.0004 of music. Viterbi keeps
# sigma 0.1: 0.05-0.07 scored up to 0.002 higher on speech, but kept the
# path of a note with a DC offset on a wrong octave (music with DC 2 % lost
# 0.004-0.009 on the tuning part at 0.05-0.06, and 0.002 held out at 0.07).
# A voicing_threshold of None means the voicing model decides (_voicing.py).
# Read-only at both levels: every call takes its method's values from here
# unchecked, so a value written into it would reach every later call (and
# only the calls of this process, not those of a batch's workers).
DEFAULTS: Mapping[str, Mapping[str, Any]] = types.MappingProxyType({
    "direct": types.MappingProxyType({"voicing_threshold": None, "pitch_detect_mode": "peak",
                                      "pitch_detect_threshold": 0.7, "smooth": 1}),
    "bayes": types.MappingProxyType({"voicing_threshold": None, "alpha": 0.35, "sigma": 0.05,
                                     "smooth_f0": True}),
    "viterbi": types.MappingProxyType({"voicing_threshold": None, "beta": 16.0, "sigma": 0.1,
                                       "smooth_f0": True}),
})

DEFAULT_HOP_SECONDS = 0.010

# Sample counts reach the compiled core as C ints.
MAX_SAMPLES = 2 ** 31 - 1

Check = Callable[[str, Any], Any]


def _scalar(value: Any, kinds: str) -> Any:
    """A 0-d array of one of the dtype `kinds` as its Python number (as an
    NPZ file's fields come back), anything else unchanged."""
    if isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind in kinds:
        return value.item()
    return value


_REPR = reprlib.Repr()
_REPR.maxstring = _REPR.maxother = 60
_REPR.maxlong = 40


def _shown(value: Any) -> str:
    """`value` as an error quotes it: repr() cut short, since a list of a
    million samples given for a number made a message of megabytes."""
    return _REPR.repr(value)


def _number(*, gt: Optional[float] = None, ge: Optional[float] = None,
            le: Optional[float] = None, example: Optional[str] = None, why: str = "") -> Check:
    """A finite real number (not a bool or a string), above `gt` or from `ge`,
    and up to `le`; `why` says what breaks beyond the bounds."""
    def check(name: str, value: Any) -> float:
        value = _scalar(value, "iuf")
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
            raise TypeError(f"{name} must be a number, got {_shown(value)} "
                            f"({type(value).__name__})")
        try:
            out = float(value)
        except OverflowError:  # an integer beyond every double (10**400)
            raise ValueError(f"{name} is an integer of {len(str(abs(int(value))))} digits, "
                             f"beyond every finite number") from None
        hint = f", e.g. {name}={example}" if example else ""
        if not math.isfinite(out):
            raise ValueError(f"{name}={out!r} must be finite{hint}")
        # Enough digits that a value just past a bound does not read as it.
        if gt is not None and not out > gt:
            raise ValueError(f"{name}={out:.12g} must be > {gt:g}{hint}")
        if ge is not None and not out >= ge:
            raise ValueError(f"{name}={out:.12g} must be >= {ge:g}{why}{hint}")
        if le is not None and not out <= le:
            raise ValueError(f"{name}={out:.12g} must be <= {le:g}{why}{hint}")
        return out
    return check


def _unit_interval(name: str, value: Any) -> float:
    """A number in [0, 1]: the strength a threshold is compared with lies there."""
    out = _number(example="0.5")(name, value)
    if not 0.0 <= out <= 1.0:
        raise ValueError(f"{name}={out:g} must be in [0, 1], the range of the strength; "
                         f"e.g. {name}=0.5, or None for the voicing model")
    return out


def _integer(*, ge: int, example: str, unit: str = "") -> Check:
    """A whole number (not a bool or a float) from `ge` to the C int limit."""
    def check(name: str, value: Any) -> int:
        value = _scalar(value, "iu")
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name} must be an integer{unit}, got {_shown(value)} "
                            f"({type(value).__name__}), e.g. {name}={example}")
        out = int(value)
        if out < ge:
            raise ValueError(f"{name}={_shown(out)} must be >= {ge}, e.g. {name}={example}")
        if out > MAX_SAMPLES:
            raise ValueError(f"{name}={_shown(out)} is too large: at most {MAX_SAMPLES}")
        return out
    return check


def _flag(name: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {_shown(value)} "
                        f"({type(value).__name__})")
    return bool(value)


def _choice(allowed: Tuple[str, ...]) -> Check:
    def check(name: str, value: Any) -> str:
        value = _scalar(value, "U")
        if not isinstance(value, str) or value not in allowed:
            raise ValueError(f"{name}={_shown(value)} is not one of "
                             f"{', '.join(map(repr, allowed))}")
        # The allowed name itself: the compiled cores take a str and no
        # subclass of it, and a NumPy string (from an array or an NPZ
        # file) was refused there, naming the core's own argument.
        return allowed[allowed.index(value)]
    return check


def _optional(check: Check) -> Check:
    def optional(name: str, value: Any) -> Any:
        return None if value is None else check(name, value)
    return optional


LEAST_SIGMA = 1e-150

# The lowest cutoff: the filter's response to an edge lasts about 24 / cutoff
# seconds, and that much signal on each side of every block is its context;
# 0.1 Hz is also the lowest fmin.
LOWEST_HIGHPASS = 0.1


def _highpass(name: str, value: Any) -> Any:
    """None, "fmin", or a cutoff in Hz from LOWEST_HIGHPASS on."""
    if value is None or (isinstance(value, str) and value == "fmin"):
        return value
    if isinstance(value, (bool, np.bool_)):
        # A flag reads as "filter or not", which None and "fmin" say.
        raise TypeError(f"{name}={_shown(value)} is no cutoff: use None for no filter, or 'fmin' "
                        f"(the default) or a cutoff in Hz for one")
    if isinstance(value, str):
        raise ValueError(f"{name}={_shown(value)} must be a cutoff in Hz, 'fmin' or None")
    return _number(ge=LOWEST_HIGHPASS, example="'fmin' or None (no filter)")(name, value)


def _option(default: Any, check: Check, methods: Tuple[str, ...] = METHODS) -> Any:
    """A field: its default, its check, and the methods it applies to."""
    return field(default=default, metadata={"check": check, "methods": methods})


@dataclass(frozen=True)
class Options:
    """Every keyword of :func:`qesmorPitch.track`, checked on construction.

    A method's own parameters default to None, which means the measured
    value in ``DEFAULTS[method]``. ``hop_seconds`` gives the hop as a
    duration, for batches that mix sampling rates; it and ``hop_length``
    exclude each other, and without either the hop is 10 ms.
    """

    fmin: float = _option(50.0, _number(gt=0, example="50"))
    fmax: float = _option(1000.0, _number(gt=0, example="1000"))
    hop_length: Optional[int] = _option(None, _optional(_integer(ge=1, example="160",
                                                                  unit=" number of samples")))
    hop_seconds: Optional[float] = _option(None, _optional(_number(gt=0, example="0.01")))
    frame_length: Optional[int] = _option(None, _optional(_integer(ge=1, example="1024",
                                                                    unit=" number of samples")))
    method: str = _option("viterbi", _choice(METHODS))
    polarity: str = _option("both", _choice(POLARITIES))
    interpolator: str = _option("gaussian", _choice(INTERPOLATORS))
    voicing_threshold: Optional[float] = _option(None, _optional(_unit_interval))
    highpass: Any = _option("fmin", _highpass)
    mono: bool = _option(False, _flag)
    subtract_minimum: bool = _option(False, _flag)
    pitch_detect_mode: Optional[str] = _option(None, _optional(_choice(DETECT_MODES)),
                                               ("direct",))
    pitch_detect_threshold: Optional[float] = _option(None, _optional(_number(example="0.7")),
                                                      ("direct",))
    smooth: Optional[int] = _option(None, _optional(_integer(ge=1, example="1")), ("direct",))
    # The filter raises each prediction to the power alpha: beyond 100 the
    # prediction of a few hundred periods underflows to zero and the belief
    # is lost. Below LEAST_SIGMA, sigma**2 underflows and the transition
    # model divides zero by zero.
    alpha: Optional[float] = _option(None, _optional(_number(
        ge=0, le=100, example="1.0", why=" (larger powers of the prediction underflow to zero)")),
        ("bayes",))
    beta: Optional[float] = _option(None, _optional(_number(ge=0, example="1.0")),
                                    ("viterbi",))
    sigma: Optional[float] = _option(None, _optional(_number(
        gt=0, ge=LEAST_SIGMA, example="0.1", why=" (sigma**2 would underflow to zero)")),
        ("bayes", "viterbi"))
    # The tracking methods' f0 as the mean over each frame and its two
    # neighbours (see _track.SMOOTH_CENTS); False keeps each frame's own
    # measurement, for measures of the period's perturbation from frame to
    # frame. The direct method's frames are independent and never averaged.
    smooth_f0: Optional[bool] = _option(None, _optional(_flag), ("bayes", "viterbi"))
    causal: bool = _option(False, _flag)
    analysis_sr: Optional[float] = _option(16000.0, _optional(_number(gt=0, example="16000")))

    def __post_init__(self) -> None:
        for f in fields(self):
            value = f.metadata["check"](f.name, getattr(self, f.name))
            object.__setattr__(self, f.name, value)
        for f in fields(self):
            owners = f.metadata["methods"]
            if getattr(self, f.name) is not None and self.method not in owners:
                raise TypeError(f"{f.name} applies to method="
                                f"{' or '.join(map(repr, owners))}, not method={self.method!r}")
        if self.fmax <= self.fmin:
            raise ValueError(f"fmax={self.fmax:g} Hz must be greater than fmin={self.fmin:g} Hz, "
                             f"e.g. fmax={max(2 * self.fmin, 500.0):g}")
        if self.hop_length is not None and self.hop_seconds is not None:
            raise TypeError("give hop_length or hop_seconds, not both")
        if self.causal and self.method == "viterbi":
            raise ValueError("causal=True needs method='bayes' or 'direct': method='viterbi' "
                             "decodes the whole signal before deciding any frame")
        if self.causal and self.smooth_f0:
            raise ValueError("smooth_f0=True averages each frame with the next, which causal=True "
                             "reports before it exists: leave smooth_f0 out or use causal=False")

    @classmethod
    def from_kwargs(cls, kwargs: Mapping[str, Any]) -> "Options":
        """Options from keywords, naming an unknown one (and its likely spelling)."""
        names = [f.name for f in fields(cls)]
        for key in kwargs:
            if key not in names:
                close = difflib.get_close_matches(key, names, n=1)
                hint = f"; did you mean {close[0]!r}?" if close else ""
                raise TypeError(f"unexpected parameter {key!r}{hint}")
        return cls(**kwargs)

    @classmethod
    def merged(cls, options: Optional["Options"], kwargs: Mapping[str, Any]) -> "Options":
        """`options` (or the defaults) with the keywords in `kwargs` replaced."""
        if options is None:
            return cls.from_kwargs(kwargs)
        if not isinstance(options, cls):
            raise TypeError(f"options must be an Options, got {type(options).__name__}")
        if not kwargs:
            return options
        base = {f.name: getattr(options, f.name) for f in fields(cls)}
        # A keyword replaces what it stands for: a hop given either way drops
        # the other way's, and another method drops the settings of the
        # method it replaces (they would be refused as not applying).
        if "hop_length" in kwargs or "hop_seconds" in kwargs:
            base["hop_length"] = base["hop_seconds"] = None
        method = kwargs.get("method", options.method)
        for f in fields(cls):
            if method not in f.metadata["methods"] and f.name not in kwargs:
                base[f.name] = f.default
        return cls.from_kwargs({**base, **kwargs})

    def method_params(self) -> Dict[str, Any]:
        """The method's parameters, the measured defaults where none was given."""
        params = dict(DEFAULTS[self.method])
        for key in params:
            value = getattr(self, key)
            if value is not None:
                params[key] = value
        return params

    def hop_for(self, sr: float) -> int:
        """The hop in samples at `sr`: rounded from a duration, never truncated."""
        if self.hop_length is not None:
            return self.hop_length
        seconds = DEFAULT_HOP_SECONDS if self.hop_seconds is None else self.hop_seconds
        samples = seconds * sr  # inf when both are huge
        if not samples <= MAX_SAMPLES:
            raise ValueError(f"hop_seconds={seconds:g} is {samples:.3g} samples at sr={sr:g}: "
                             f"too large, at most {MAX_SAMPLES}")
        # 0.009 * 48000 is 431.99999999999994: round, or the hop loses a sample.
        hop = round(samples)
        if hop < 1:
            raise ValueError(f"hop_seconds={seconds:g} is {samples:.3g} samples at "
                             f"sr={sr:g}, less than one; use hop_seconds >= {1 / sr:.3g}")
        return hop
