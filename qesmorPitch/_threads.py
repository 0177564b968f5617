"""How many threads track() computes on, and the pool they belong to.

The count is process-wide state rather than an option: it describes the
machine, not the analysis, and no result depends on it. track() cuts a
signal into the same blocks whatever the count and each block's channels are
analysed by the same calls, so a pool only changes when each job runs.
"""
from __future__ import annotations

import collections
import concurrent.futures as cf
import numbers
import os
import threading
from typing import Any, Callable, Iterable, Iterator, Optional, TypeVar

__all__ = ["set_num_threads", "get_num_threads"]

ENV_VAR = "QESMORPITCH_NUM_THREADS"

T = TypeVar("T")

_lock = threading.Lock()
_chosen: Optional[int] = None
_pool: Optional[cf.ThreadPoolExecutor] = None
_pool_size = 0


def _usable_cpus() -> int:
    """CPUs this process may run on (its affinity mask, which a container or
    `taskset` narrows), where the platform tells; else all of them."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _check_count(n: Any, what: str, example: str) -> int:
    """`n` as a count >= 1; NumPy's integers count as integers (its bool is
    no Integral)."""
    if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 1:
        raise ValueError(f"{what}={n!r} must be an integer >= 1, e.g. {example}")
    return int(n)


# Threads beyond this (or beyond the CPUs, on a larger machine) are refused.
# The pool keeps two blocks per thread in flight, each with its samples and
# working set, so a count far above the CPUs only costs memory: at 10**9,
# every block of a long file was read and analysed at once, a thread each.
MAX_THREADS = 1024


def _check_threads(n: Any, what: str, example: str) -> int:
    count = _check_count(n, what, example)
    cpus = _usable_cpus()
    limit = max(MAX_THREADS, cpus)
    if count > limit:
        raise ValueError(f"{what}={n!r} is more threads than are of use: at most {limit} "
                         f"(this process may use {cpus} CPU(s), and each thread holds blocks "
                         f"of the signal in memory); e.g. {example}")
    return count


def set_num_threads(n: Optional[int]) -> None:
    """Set how many threads :func:`track` analyses a signal on.

    Parameters
    ----------
    n : int >= 1 or None
        The thread count for every later call in this process, at most
        MAX_THREADS (1024) or the number of CPUs where that is more; None returns
        to the default, ``QESMORPITCH_NUM_THREADS`` if set, else the number
        of CPUs this process may use. Results do not depend on it.

    Examples
    --------
    >>> import qesmorPitch
    >>> qesmorPitch.set_num_threads(2)
    >>> qesmorPitch.get_num_threads()
    2
    >>> qesmorPitch.set_num_threads(None)  # back to the default
    """
    global _chosen
    value = None if n is None else _check_threads(n, "n", "set_num_threads(1)")
    with _lock:
        _chosen = value


def get_num_threads() -> int:
    """The number of threads :func:`track` analyses a signal on.

    The value given to :func:`set_num_threads`, else the environment variable
    ``QESMORPITCH_NUM_THREADS``, else the number of CPUs this process may use
    (``os.sched_getaffinity``).

    Returns
    -------
    int >= 1

    Raises
    ------
    ValueError
        ``QESMORPITCH_NUM_THREADS`` is set to anything but an integer from 1
        to MAX_THREADS (or the number of CPUs, where that is more).
    """
    if _chosen is not None:
        return _chosen
    env = os.environ.get(ENV_VAR, "").strip()
    if not env:
        return _usable_cpus()
    try:
        value = int(env)
    except ValueError:
        value = 0
    return _check_threads(value if value >= 1 else env, ENV_VAR, f"{ENV_VAR}=1 or leave it unset")


def _shared_pool(size: int) -> cf.ThreadPoolExecutor:
    """The process's pool of `size` threads. A pool of another size is only
    dropped, not shut down: calls still running on it finish there, and its
    threads end once the last of them lets it go."""
    global _pool, _pool_size
    with _lock:
        if _pool is None or _pool_size != size:
            _pool = cf.ThreadPoolExecutor(max_workers=size, thread_name_prefix="qesmorPitch")
            _pool_size = size
        return _pool


def _forget_pool() -> None:
    # A forked child has none of its parent's threads; a pool copied over
    # would wait forever on workers that do not exist, and a lock held by
    # one of them at the fork would never be released.
    global _lock, _pool, _pool_size
    _lock = threading.Lock()
    _pool, _pool_size = None, 0


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pool)


def ordered_map(jobs: Iterable[Callable[[], T]], threads: int) -> Iterator[T]:
    """The results of `jobs`, in order, computed on `threads` threads.

    Jobs are taken from the iterable (which may read a file) only as the
    pool frees up, at most two per thread ahead of the result being handed
    back, so memory holds a bounded number of jobs' inputs and outputs. One
    thread runs every job here, in order, without a pool. A job that raises
    raises here; the jobs queued behind it are cancelled.
    """
    if threads <= 1:
        for job in jobs:
            yield job()
        return
    pool = _shared_pool(threads)
    pending: collections.deque = collections.deque()
    try:
        for job in jobs:
            pending.append(pool.submit(job))
            if len(pending) >= 2 * threads:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()
