"""Repeated calls on every path, successful or failing, keep memory and
reference counts where they were.

Each path of tests/call_paths.py is first checked to end as intended (so
the loop exercises the path it is named for), then called a few thousand
times after a warm-up. tools/leaks.py runs the same paths 100,000 times.
"""

import numpy as np
import pytest

import qesmorPitch.cy_impl as cy_impl
from call_paths import PATHS
from leakcheck import repeat, under_sanitizer

CALLS = 2000
# A leak of one object or one small buffer per call grows these by at least
# CALLS blocks or 16 * CALLS bytes; the allowance covers caches that fill once.
MAX_BLOCKS = CALLS // 10
MAX_HEAP = 16 * 1024
MAX_RSS = 256 * 1024

CASES = [pytest.param(name, error, make, id=f"{name}-{path}") for name, path, error, make in PATHS]


@pytest.mark.parametrize("name, error, make", CASES)
def test_path_ends_as_intended(name, error, make):
    args, kwargs = make()
    func = getattr(cy_impl, name)
    if error is None:
        func(*args, **kwargs)
    else:
        with pytest.raises(error):
            func(*args, **kwargs)


@pytest.mark.parametrize("name, error, make", CASES)
def test_repeated_calls_leak_nothing(name, error, make):
    args, kwargs = make()
    growth, moved = repeat(getattr(cy_impl, name), args, kwargs, CALLS)
    assert not moved, f"reference counts moved (object, before, after): {moved}"
    if under_sanitizer():
        return  # freed memory waits in quarantine: the sizes say nothing
    assert growth["blocks"] < MAX_BLOCKS, growth
    assert growth["heap"] < MAX_HEAP, growth
    assert growth["rss"] < MAX_RSS, growth


def test_the_accounting_sees_each_kind_of_leak():
    import ctypes

    array = np.zeros(3)
    growth, moved = repeat(lambda x: ctypes.pythonapi.Py_IncRef(ctypes.py_object(x)), (array,), {}, CALLS, warmup=0)
    assert [m[0] is array for m in moved] == [True]
    if under_sanitizer():
        return  # the sanitizer's allocator keeps no such accounts

    kept = []
    growth, moved = repeat(lambda x: kept.append(object()), (np.zeros(3),), {}, CALLS, warmup=0)
    assert growth["blocks"] >= CALLS and not moved

    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    growth, _ = repeat(lambda: libc.malloc(64), (), {}, CALLS, warmup=0)
    assert growth["heap"] >= 64 * CALLS
