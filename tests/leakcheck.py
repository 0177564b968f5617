"""Memory and reference-count accounting around repeated calls.

Three measures, each blind where another sees: the interpreter's count of
allocated object blocks (every Python object, exact), the C heap's bytes in
use (array data and the extension's own buffers, exact with glibc), and the
resident set size (everything, page-grained). Reference counts of the
arguments and of the shared objects a careless extension touches must come
back to where they were.
"""

import ctypes
import ctypes.util
import gc
import os
import sys

import numpy as np

PAGE = os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_counter():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    return mallinfo2


_MALLINFO2 = _heap_counter()


def under_sanitizer():
    """True when a sanitizer runtime owns the allocator: freed memory then
    waits in quarantine, and neither the C heap figures nor the resident
    size mean what they do otherwise."""
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as f:
        return any("libasan" in line or "libtsan" in line for line in f)


def rss_bytes():
    with open("/proc/self/statm", encoding="ascii") as f:
        return int(f.read().split()[1]) * PAGE


def heap_bytes():
    if _MALLINFO2 is None:
        return 0
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def usage():
    gc.collect()
    return {"blocks": sys.getallocatedblocks(), "heap": heap_bytes(), "rss": rss_bytes()}


# Shared objects a careless extension touches: the dtypes it creates arrays
# with and the exception types it raises. (None is left out: the collector
# moves its count whenever it frees anything.)
SHARED = [np.dtype(np.float64), np.dtype(np.intp), Exception, TypeError, ValueError, OverflowError,
          ZeroDivisionError, MemoryError]


def _exclusive(obj):
    # Small ints, floats and interned strings are shared with unrelated code.
    return not isinstance(obj, (bool, int, float, str, bytes, type(None)))


def repeat(func, args, kwargs, calls, warmup=200):
    """Calls func(*args, **kwargs) `warmup` times, then `calls` times.

    Returns the growth of each measure over the second run, and the objects
    whose reference counts moved, as (object, before, after): any move for
    the arguments and the function, which nothing else touches; a move of
    a tenth of the calls for the shared objects, which is a reference taken
    by every call and never given back.
    """

    def call():
        try:
            func(*args, **kwargs)
        except Exception:
            pass

    for _ in range(warmup):
        call()
    exclusive = [func] + [a for a in list(args) + list(kwargs.values()) if _exclusive(a)]
    watched = exclusive + SHARED
    # Everything alive now is out of the collector's sight, so that each
    # measurement collects only what the calls left behind, and quickly.
    gc.collect()
    gc.freeze()
    try:
        usage()  # the first measurement of a process allocates for itself
        start = usage()
        counts = [sys.getrefcount(w) for w in watched]
        for _ in range(calls):
            call()
        end = usage()
        # Counted the same way as before the calls, so both include the
        # same temporary references.
        after = [sys.getrefcount(w) for w in watched]
    finally:
        gc.unfreeze()
    slack = [0] * len(exclusive) + [calls // 10] * len(SHARED)
    moved = [(w, c, a) for w, c, a, s in zip(watched, counts, after, slack) if abs(a - c) > s]
    return {k: end[k] - start[k] for k in start}, moved
