"""What the Bayesian and the Viterbi cores share: the two-polarity form, the
baseline shift of the refinement and the lag checks before any frame, each
test run on both cores."""

import math
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pytest

import reference_tracking as rt
from conftest import assert_same
from reference_tracking import assert_same_outcome, wave

nan = math.nan


def lags(*values):
    return np.array(values, dtype=np.intp)


@dataclass
class Core:
    name: str
    single_name: str
    both_name: str
    both_reference: Callable
    # Lags of a 16-sample window the core accepts: the Viterbi block has 8 states.
    short_search: np.ndarray
    refused: list  # (changed arguments, message pattern or None) only this core refuses

    def __str__(self):
        return self.name

    def single(self, cy_impl, data, window, hop, search, weight=1.0, sigma=1.0, interp="parabolic",
               pp_mode=None, fs=8000.0):
        return getattr(cy_impl, self.single_name)(data, fs, window, hop, search, pp_mode, weight, sigma, interp)

    def both(self, cy_impl, posi, nega, window, hop, search, weight=1.0, sigma=1.0, interp="parabolic",
             pp_mode=None, fs=8000.0):
        return getattr(cy_impl, self.both_name)(posi, nega, fs, window, hop, search, pp_mode, weight, sigma,
                                                interp)


CORES = [
    Core("bayes", "calc_Pitch_bayes_core_cy", "calc_Pitch_bayes_negaposi_core_cy",
         rt.calc_Pitch_bayes_negaposi_core, lags(*range(9)),
         [({"search": lags(1, 3)}, None), ({"search": lags(2, 1)}, None),
          ({"search": lags(1, 2, 3)[::-1]}, None)]),
    Core("viterbi", "calc_Pitch_viterbi_core_cy", "calc_Pitch_viterbi_negaposi_core_cy",
         rt.calc_Pitch_viterbi_negaposi_core, lags(*range(8)),
         [({"search": lags(0, 1, 2, 3, 4, 5, 6, 7, 8)}, None),  # 9 lags, 8 states
          ({"search": lags(8)}, None), ({"search": lags(3, 1)}, None), ({"search": lags(5, 7, 2)}, None),
          ({"window": 1, "search": lags(0)}, None)]),
]


@pytest.mark.parametrize("core", CORES, ids=str)
@pytest.mark.parametrize("interp", ["parabolic", "no"])
def test_threshold_diff_only_moves_gaussian_and_centroid(cy_impl, core, interp):
    data = wave(6, 90) + np.random.default_rng(3).normal(scale=0.2, size=90)
    runs = [core.single(cy_impl, data, 24, 7, lags(*range(12)), interp=interp, pp_mode=p)
            for p in ("threshold_diff", None, "other")]
    assert_same(runs[0], runs[1])
    assert_same(runs[0], runs[2])


# --------------------------------------------------------------------------
# Two polarities


@pytest.mark.parametrize("core", CORES, ids=str)
@pytest.mark.parametrize("interp", ["parabolic", "centroid", "no", "gaussian"])
@pytest.mark.parametrize("pp_mode", [None, "threshold_diff"])
def test_negaposi_matches_single(cy_impl, core, interp, pp_mode):
    rng = np.random.default_rng(8)
    x = wave(6, 120, 0.0) + rng.normal(scale=0.3, size=120)
    posi = np.maximum(x, 0.0)
    search = lags(*range(2, 15))
    kw = {"interp": interp, "pp_mode": pp_mode}
    ref = core.single(cy_impl, posi, 32, 11, search, **kw)
    # A silent negative half adds 0 to every score and to the mean.
    assert_same(core.both(cy_impl, posi, np.zeros(120), 32, 11, search, **kw), ref)
    # An equal negative half doubles score and mean exactly, which keeps the
    # probabilities; the logarithms of the Gaussian fit do not scale exactly.
    doubled = core.both(cy_impl, posi, posi.copy(), 32, 11, search, **kw)
    if interp == "gaussian":
        assert np.allclose(doubled, ref, rtol=1e-12, equal_nan=True)
    else:
        assert_same(doubled, ref)
    # Samples of data_nega beyond data_posi are never read, whether the call
    # succeeds or (the Viterbi cores, on the zero means of -posi) refuses.
    for nega in (-posi, np.maximum(-x, 0.0)):
        longer = np.concatenate([nega, np.full(9, nan)])
        assert_same_outcome(rt.outcome(lambda: core.both(cy_impl, posi, longer, 32, 11, search, **kw)),
                            rt.outcome(lambda: core.both(cy_impl, posi, nega, 32, 11, search, **kw)),
                            "longer nega")


@pytest.mark.parametrize("core", CORES, ids=str)
def test_negaposi_short_nega(cy_impl, core):
    posi = wave(5, 80)
    nega = np.maximum(-wave(5, 80, 0.2), 0.0)[:40]
    search = core.short_search
    out = core.both(cy_impl, posi, nega, 16, 8, search, interp="no")
    assert_same(out, core.both_reference(posi, nega, 8000.0, 16, 8, search, None, 1.0, 1.0, "no"))
    # Frames starting at or past sample 40 have an empty negative frame: NaN
    # mean. Frames that only straddle the end use the samples there are.
    past = np.arange(out.shape[0]) * 8 >= 40
    assert np.all(np.isnan(out[past, 1]))
    assert np.all(np.isfinite(out[past, 0])) and np.all(np.isfinite(out[past, 2]))
    assert np.all(np.isfinite(out[~past, 1]))


# --------------------------------------------------------------------------
# Refused arguments

REFUSED_BY_BOTH = [
    ({"window": -1}, "negative dimensions are not allowed"),
    ({"window": -1, "hop": 0}, "negative dimensions are not allowed"),
    ({"hop": 0}, r"range\(\) arg 3 must not be zero"),
    ({"hop": 0, "search": lags(-1)}, r"range\(\) arg 3 must not be zero"),
    ({"hop": -2}, "hop_size"),
    ({"search": lags()}, None),
    ({"search": None}, None),
    ({"search": lags(-1, 0)}, None),
    ({"search": lags(2, 2)}, None),
]


@pytest.mark.parametrize("two", [False, True], ids=["single", "negaposi"])
@pytest.mark.parametrize("core, bad, pattern", [
    pytest.param(core, bad, pattern, id=f"{core}-{i}")
    for core in CORES for i, (bad, pattern) in enumerate(REFUSED_BY_BOTH + core.refused)])
@pytest.mark.parametrize("n", [40, 3])
def test_refused_before_any_frame(cy_impl, core, two, bad, pattern, n):
    kw = {"window": 16, "hop": 4, "search": lags(0, 1, 2, 3)}
    kw.update(bad)
    data = wave(5, n)
    with pytest.raises(ValueError, match=pattern):
        if two:
            core.both(cy_impl, data, data.copy(), kw["window"], kw["hop"], kw["search"])
        else:
            core.single(cy_impl, data, kw["window"], kw["hop"], kw["search"])
