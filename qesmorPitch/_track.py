"""From samples to a pitch track: parameter checks, framing, the call into
the compiled core and the voicing decision."""
from __future__ import annotations

import functools
import inspect
import math
from dataclasses import dataclass, field, fields, replace
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from . import _frontend, _hum, _kernels, _voicing
from ._highrate import (POLARITY_CODES, Resampled, analysis_ratio, centred_windows, glide_windows,
                        refine_frames, refine_periods)
from ._options import (DEFAULTS, DETECT_MODES, INTERPOLATORS, MAX_SAMPLES, METHODS,
                       POLARITIES, Options, _number)
from ._reverb import Dereverberated
from ._threads import get_num_threads, ordered_map

__all__ = ["PitchTrack", "track", "DEFAULTS", "Options"]

# A 2-D array with more rows than this, and fewer columns than rows, is
# ambiguous: more channels than recordings have, or samples by channels.
MAX_CHANNELS = 32

# The tracking cores build a (frame_length // 2)**2 transition matrix per
# call; 4096 states is a 128 MiB matrix, far beyond any useful voice range.
MAX_TRACKING_STATES = 4096

# Long signals are analysed in blocks so that memory stays bounded (the
# Viterbi core keeps every frame's candidate vectors until it decodes),
# progress can be reported and blocks run on several threads. Tracking
# methods see MARGIN_FRAMES extra frames on each side of a block, which are
# dropped again: a decoded path forgets its start within a few frames, so the
# seams match a single pass. 1536 frames (about 15 s at the default hop)
# split a minute into four blocks and 30 s into two, which two threads share
# evenly, and the margins add an eighth to the work (a fifth with 1024, which
# split 30 s into three blocks: two threads then gave at most 1.5x); the
# Viterbi core's per-frame state still stays near the cache (blocks of 2048
# were as fast on one thread, but split a minute 3 : 2 between two threads).
BLOCK_FRAMES = 1536
MARGIN_FRAMES = 100

# The default high-pass cutoff (highpass="fmin"), in units of fmin.
HIGHPASS_ABOVE_FMIN = 1.1

# Each channel is rounded to multiples of 2**-GRID_BITS after its scaling to
# a peak in [0.5, 1): an error of at most 2**-21 of full scale (-126 dB),
# far below the noise of any recording (16-bit PCM: -98 dB), that makes every
# block's running sums provably exact (src/exact_sums.hpp: all samples on one
# power-of-two grid, (peak / step) * length < 2**53), so the cores take them
# instead of summing frame by frame. On this grid a frame of up to 2047
# samples (every default frame: 642 at 16 kHz) also has each sum below 2**31
# steps, and the running sums run in 32-bit integers, twice the lanes.
GRID_BITS = 20

# Finiteness is checked this many samples at a time, so that no mask of the
# whole signal is ever allocated.
CHECK_CHUNK = 1 << 16

# Columns of the rows the analysis produces per frame: the core's three (the
# strength replaced by the bounded check of _voicing, the f0 by its harmonic
# correction), then the frame's RMS level relative to its channel's peak
# (within a factor of two: channels are scaled by a power of two), then the
# bounded strength on the frame's centred window (offline tracking methods
# only, else NaN), which the voicing model weighs at the edges of voiced runs.
F0, STRENGTH, PROBABILITY, LEVEL, CENTRE = range(5)
N_COLUMNS = 5

# A pitch this close outside [fmin, fmax] (20 cents) is reported at the edge.
EDGE_TOLERANCE = 2.0 ** (20 / 1200)

# A filtered frame this far below its channel's peak (-200 dB) holds only the
# rounding left by the high-pass of a constant: it is treated as silence.
LEVEL_FLOOR = 1e-10
# A frame left below this share of its level by the hum's subtraction
# (-40 dB) was hum alone.
HUM_RESIDUE = 0.01

# A gliding frame's period is measured again on its centre (see
# _highrate.glide_windows) among the whole lags within GLIDE_REACH of it
# (about a semitone): the whole frame's period is that of the glide's
# average, which a curved glide leaves several lags from its centre's. A lag
# beyond the nearest four wins only by _highrate.WIDE_MARGIN (the centre's
# few periods are noisy). On the tuning part (viterbi) clean speech went
# from 0.9420 to 0.9435, babble at 20 dB 0.8764 to 0.8785, the mean over
# the conditions 0.8649 to 0.8658, no condition lower by more than 0.001
# (white noise at 0 dB; music unchanged).
GLIDE_REACH = 0.06

# Offline, the tracking methods report each voiced frame's f0 as the
# (1, 2, 1) weighted mean, in cents, of its own and its two neighbours',
# where both neighbours are voiced and within SMOOTH_CENTS of it. A frame's period is measured on its
# own window, and a breathy or hoarse voice's aperiodic part moves it by tens
# of cents from one frame to the next, while the voice's own pitch moves
# smoothly: the mean takes out much of that scatter, and a symmetric kernel
# leaves a steady glide where it was. Further than a whole tone apart, the
# frames hold different notes or an octave error, and are left as they are;
# so is a run's first and last frame, whose one neighbour lies on one side.
# On the tuning part (viterbi) clean speech went from 0.9435 to 0.9472, the
# mean over the speech conditions from 0.8658 to 0.8700 (white noise at
# 0 dB 0.7912 to 0.8011; babble at 0 dB 0.3870 to 0.3872). A one-sided mean
# at a run's ends scored 0.0012 lower, and with it a limit of a semitone or
# of four octaves lower still; equal weights, or five frames weighted
# 1, 2, 2, 2, 1, lower; five weighted 1, 4, 6, 4, 1 within 0.0005 (0.8705),
# not worth reaching a frame further. A stream reports each frame when it
# is complete, without waiting for the next: its f0 is the frame's own; so
# is the direct method's, whose frames are independent by design (the mean
# took its held-out clean speech from 0.898 to 0.908, but a caller picks it
# for that independence). smooth_f0=False turns the mean off, for a caller
# who measures the scatter itself (jitter, a period's perturbation).
SMOOTH_CENTS = 200.0


@dataclass(frozen=True, eq=False)
class PitchTrack:
    """A pitch track: one value per frame, frames centred at `times`.

    Attributes
    ----------
    times : ndarray, shape (n_frames,)
        Frame centres in seconds: ``(t * hop_length + frame_length / 2) / sr``.
    f0 : ndarray, shape (n_frames,) or (n_channels, n_frames)
        Fundamental frequency in Hz, NaN where the frame is unvoiced.
        Offline, the tracking methods report, for a frame whose two
        neighbours are voiced and within a whole tone of it, the mean of
        the three in cents, weighted 1, 2, 1 (it takes out frame-to-frame
        scatter). With ``smooth_f0=False``, in a causal track and with the
        direct method, each frame reports its own.
    strength : ndarray, same shape as `f0`
        How periodic the frame is at its own period, in [0, 1]:
        ``1 - sum|a - b| / sum(|a| + |b|)`` over the frame `a` and its copy
        `b` one period later; 1 for a strictly periodic frame, about 0.5 for
        white noise. NaN where the core found no candidate or the frame is
        digital silence.
    probability : ndarray, same shape as `f0`
        The tracking methods' probability of the chosen candidate; all NaN
        for ``method="direct"``.
    voiced : ndarray of bool, same shape as `f0`
        True where `f0` holds a pitch.
    confidence : ndarray, same shape as `f0`
        The voicing model's probability that the frame is voiced, in [0, 1]
        (never NaN); `voiced` is ``confidence >= 0.5`` unless a
        `voicing_threshold` was given.
    sr : float
        Sampling rate in Hz.
    hop_length, frame_length : int
        Frame advance and frame length in samples.
    fmin, fmax : float
        The searched pitch range in Hz.
    method, polarity, interpolator : str
        The estimator, the half-waves analysed and the peak refinement.
    params : dict
        The method's remaining parameters as used (thresholds, alpha, beta,
        sigma, ...).
    """

    times: np.ndarray
    f0: np.ndarray
    strength: np.ndarray
    probability: np.ndarray
    voiced: np.ndarray
    confidence: np.ndarray
    sr: float
    hop_length: int
    frame_length: int
    fmin: float
    fmax: float
    method: str
    polarity: str
    interpolator: str
    params: Dict[str, Any] = field(default_factory=dict)

    def __setstate__(self, state: Dict[str, Any]) -> None:
        # Unpickled (from a worker process, a Dask cluster, a deep copy), the
        # arrays come back writeable: read-only again, as the track's own.
        for name, value in state.items():
            if isinstance(value, np.ndarray):
                value.flags.writeable = False
            object.__setattr__(self, name, value)

    @property
    def n_frames(self) -> int:
        return int(self.times.shape[0])

    @property
    def n_channels(self) -> Optional[int]:
        """Number of channels, or None for a track of a one-dimensional signal."""
        return None if self.f0.ndim == 1 else int(self.f0.shape[0])

    def __len__(self) -> int:
        return self.n_frames

    def __repr__(self) -> str:
        chans = "" if self.n_channels is None else f", channels={self.n_channels}"
        voiced = float(np.mean(self.voiced)) if self.voiced.size else 0.0
        return (f"PitchTrack(frames={self.n_frames}{chans}, method={self.method!r}, "
                f"sr={self.sr:g}, hop_length={self.hop_length}, "
                f"frame_length={self.frame_length}, voiced={voiced:.0%})")

    def plot(self, y: Optional[np.ndarray] = None, *, channel: int = 0,
             path: Any = None, title: Optional[str] = None,
             max_freq: Optional[float] = None) -> Any:
        """Draw the track over a spectrogram of `y`, with strength and probability below.

        Needs matplotlib (``pip install 'qesmorPitch[plot]'``).

        Parameters
        ----------
        y : ndarray, optional
            The analysed signal, shape (n,) or (n_channels, n); without it the
            upper panel shows the track alone.
        channel : int >= 0
            Which channel of a multichannel track to draw.
        path : str or path-like, optional
            Where to save the figure (format from the suffix, e.g. ``.png``).
        title : str, optional
        max_freq : float > 0, optional
            Upper edge of the spectrogram in Hz; by default 4 * fmax, at most
            sr / 2.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from ._plot import plot_track

        return plot_track(self, y, channel=channel, path=path, title=title,
                          max_freq=max_freq)


# --------------------------------------------------------------------------
# Parameter checks

_check_sr = _number(gt=0, example="16000")


def _as_signal(y: Any, channels: Optional[int] = None) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """`y` as an array with channels first, checked, and the peaks of its
    channels when the check found them (see ArraySource.peaks); raise on
    what can't be a signal. `channels`, when known (a track's), are rows
    of `y` that cannot be read as samples by channels.

    No copy is made of an array: the blocks read from it are converted to
    float64 one at a time (see ArraySource), so a long signal costs its own
    memory only. Callers must not write into the result.
    """
    if isinstance(y, np.ma.MaskedArray) and np.ma.getmaskarray(y).any():
        # np.asarray would drop the mask and analyse what lies under it.
        raise ValueError("y is a masked array with masked samples; fill them first, "
                         "e.g. y.filled(0.0)")
    try:
        arr = np.asarray(y)
    except ValueError:
        # NumPy's "inhomogeneous shape" for a list of lists of unequal lengths.
        raise ValueError("y is a list of rows of unequal lengths; give every channel "
                         "the same number of samples (e.g. trim them to the shortest)") from None
    if arr.dtype.kind == "c":
        raise TypeError("y is complex; pass a real signal (e.g. y.real)")
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"y must be an array of real numbers, got dtype {arr.dtype}")
    if arr.ndim not in (1, 2):
        raise ValueError(f"y must have shape (n,) or (channels, n), got shape {arr.shape}")
    rows, cols = arr.shape if arr.ndim == 2 else (1, arr.shape[0])
    # More rows than columns and more rows than any recording has channels:
    # the array is most likely samples by channels.
    if rows > MAX_CHANNELS and cols < rows and rows != channels:
        raise ValueError(
            f"y has shape {arr.shape}, which reads as {rows} channels of {cols} sample(s); "
            f"if it holds {cols} channels of {rows} samples, pass y.T")
    if arr.size == 0:
        raise ValueError(f"y is empty (shape {arr.shape}); pass at least one sample")
    if arr.dtype.kind == "f":
        return arr, _check_finite(arr)
    return arr, None


def _check_finite(arr: np.ndarray) -> np.ndarray:
    """The peaks of the rows of `arr`; raise on the first NaN or infinity of
    `arr` in C order."""
    grid = arr.reshape(-1, arr.shape[-1])
    # A row's maximum and minimum are NaN or infinite if any of its samples
    # is, so the peaks the analysis needs anyway are the check; only a
    # signal that fails it is searched, a chunk at a time, for the message.
    peaks = _row_peaks(grid)
    if np.isfinite(peaks).all():
        return peaks
    count, first = 0, None
    for r in range(grid.shape[0]):
        for lo in range(0, grid.shape[1], CHECK_CHUNK):
            chunk = grid[r, lo: lo + CHECK_CHUNK]
            finite = np.isfinite(chunk)
            if finite.all():
                continue
            bad = np.flatnonzero(~finite)
            count += bad.size
            if first is None:
                first = lo + int(bad[0]) if arr.ndim == 1 else (r, lo + int(bad[0]))
    if count == 0:
        # Every sample finite in a wider float (np.longdouble), but some
        # beyond what the float64 analysis can hold: "0 non-finite samples".
        raise ValueError(f"y ({arr.dtype}) holds samples beyond the largest double, "
                         f"{np.finfo(np.float64).max:.4g}, and the analysis computes in "
                         f"doubles; scale y down, e.g. y / np.abs(y).max()")
    raise ValueError(
        f"y contains {count} non-finite sample(s) (NaN or inf), the first "
        f"at index {first}; remove or replace them, e.g. np.nan_to_num(y)")


@dataclass(frozen=True)
class _Plan:
    """Everything the core calls need, derived once from the options and a sampling rate."""

    sr: float
    fmin: float
    fmax: float
    # The periods of fmax and fmin in samples, rounded outwards.
    shortest: int
    longest: int
    frame_length: int
    hop_length: int
    method: str
    polarity: str
    interpolator: str
    pp_mode: Optional[str]
    voicing_threshold: Optional[float]
    params: Dict[str, Any]
    # The high-pass cutoff in Hz, or None for no filter.
    highpass: Optional[float] = None
    # Samples read on each side of a block beyond those its frames cover, for
    # a stage before the cores that needs context (a filter's settling).
    sample_margin: int = 0
    # Analyse frames as a stream does (see _stream.py), not by blocks with margins.
    causal: bool = False
    # The plan at the lower rate the cores search at (see _highrate.py), and
    # that rate's ratio (up, down) to `sr`; None at the full rate.
    coarse: Optional["_Plan"] = None
    ratio: Optional[Tuple[int, int]] = None

    @functools.cached_property
    def lags(self) -> np.ndarray:
        """The candidate periods, built when a core first needs them: a tiny
        fmin with method="direct" is allowed, and a signal shorter than its
        frame never needs them."""
        return np.arange(self.shortest - 1, self.longest + 2, dtype=np.intp)

    @functools.cached_property
    def sos(self) -> np.ndarray:
        """The high-pass filter's second-order sections."""
        assert self.highpass is not None
        return _design(self.highpass, self.sr)

    def n_frames(self, n_samples: int) -> int:
        # Frames end at frame_length, frame_length + hop, ... strictly before
        # the last sample, so a signal of exactly frame_length samples has none.
        if n_samples <= self.frame_length:
            return 0
        return -(-(n_samples - self.frame_length) // self.hop_length)


def _design(cutoff: float, sr: float) -> np.ndarray:
    # Designing the sections costs a few milliseconds, as much as filtering
    # several seconds of audio: once per cutoff and rate, not once per call.
    return _designed(cutoff, sr).copy()


@functools.lru_cache(maxsize=16)
def _designed(cutoff: float, sr: float) -> np.ndarray:
    return _frontend.design(cutoff, sr)


def lag_range(sr: float, fmin: float, fmax: float) -> np.ndarray:
    """Candidate periods in samples covering [fmin, fmax], with one guard lag each side.

    The first lag is the tracking cores' unvoiced state and can never be
    reported; the last keeps the period of fmin an interior point, so the
    peak pickers (which never pick an end) and the three-point refinement
    both reach it.
    """
    shortest, longest = _periods(sr, fmin, fmax)
    return np.arange(shortest - 1, longest + 2, dtype=np.intp)


def _periods(sr: float, fmin: float, fmax: float) -> Tuple[int, int]:
    return int(math.floor(sr / fmax)), int(math.ceil(sr / fmin))


def _least_frame(sr: float, o: Options) -> int:
    """The shortest frame `o.method` accepts at `sr`."""
    last = _periods(sr, o.fmin, o.fmax)[1] + 1
    # Tracking cores index the transition matrix by lag: the last lag must be
    # below frame_length // 2. The direct core only needs the lag inside the
    # frame with a little overlap left to compare.
    return 2 * (last + 1) if o.method != "direct" else last + 2


def make_plan(sr: Any, options: Options) -> _Plan:
    """Check what depends on the sampling rate and derive the core calls' arguments.

    Every limit is checked on numbers before anything is allocated.
    """
    o = options
    sr = _check_sr("sr", sr)
    if 2 * o.fmax > sr:
        # A lower fmax is no way out where it would fall below fmin.
        way_out = (f"use fmax <= {sr / 2:g} or a higher sampling rate" if o.fmin < sr / 2 else
                   f"the range fmin={o.fmin:g} to fmax={o.fmax:g} Hz needs a sampling rate of "
                   f"at least {2 * o.fmax:g} Hz")
        raise ValueError(f"fmax={o.fmax:g} Hz needs sr >= 2 * fmax = {2 * o.fmax:g} Hz, "
                         f"got sr={sr:g}; {way_out}")
    period = sr / o.fmin  # may be inf for a tiny fmin
    if not period < MAX_SAMPLES / 2:
        least = math.ceil(sr / MAX_SAMPLES * 20) / 10
        # A higher fmin is no way out where it would pass fmax.
        way_out = (f"use fmin >= {least:g} Hz" if least <= o.fmax else
                   f"resample the signal to below {o.fmin * MAX_SAMPLES / 2:.3g} Hz")
        raise ValueError(f"fmin={o.fmin:g} Hz at sr={sr:g} is a period of {period:.3g} "
                         f"samples, longer than a frame can be; {way_out}")
    shortest, longest = _periods(sr, o.fmin, o.fmax)
    last = longest + 1
    tracking = o.method != "direct"
    needed = _least_frame(sr, o)
    # By default two periods of fmin for every method, which the tracking
    # methods need and the direct one profits from.
    frame_length = 2 * (last + 1) if o.frame_length is None else o.frame_length
    if frame_length < needed:
        raise ValueError(
            f"frame_length={frame_length} is too short for fmin={o.fmin:g} Hz at "
            f"sr={sr:g}: method {o.method!r} needs frame_length >= {needed} "
            f"(the longest period searched is {last} samples); use "
            f"frame_length={needed} or raise fmin")
    hop_length = o.hop_for(sr)
    cutoff = o.highpass
    if cutoff == "fmin":
        # A little above the range's floor: a voice at fmin keeps its
        # harmonics, while noise that rises towards low frequencies (wind,
        # traffic, ventilation) loses more of what it puts near fmin. On the
        # tuning part, 1.1 fmin took speech under brown noise at 0 dB from
        # 0.656 to 0.690 and moved no other condition by more than 0.0005.
        # 1.2 fmin gained more there (0.712) but left a faint frame at the
        # end of a voice over hum 6 cents off where the hum's estimate moved
        # by a percent; 1.4 fmin cost up to 0.002 elsewhere.
        cutoff = HIGHPASS_ABOVE_FMIN * o.fmin if HIGHPASS_ABOVE_FMIN * o.fmin < sr / 2 else o.fmin
    if cutoff is not None and not cutoff < sr / 2:
        raise ValueError(f"highpass={cutoff:g} Hz must be below sr / 2 = {sr / 2:g} Hz; "
                         f"use highpass='fmin' (the default) or None")
    params = o.method_params()
    if o.causal and "smooth_f0" in params:
        params["smooth_f0"] = False  # (the default; True was refused with causal)
    n_lags = longest - shortest + 3
    if o.method == "direct" and not params["smooth"] <= n_lags - 2:
        raise ValueError(f"smooth={params['smooth']} must be between 1 and {n_lags - 2} "
                         f"(the number of candidate periods), e.g. smooth=1")
    # Above the analysis rate the tracking core runs on the resampled signal,
    # whose plan checks its own states; the full rate only refines periods.
    coarse, ratio = _coarse_plan(sr, o, hop_length, frame_length, cutoff)
    if tracking and coarse is None and frame_length // 2 > MAX_TRACKING_STATES:
        lowest = sr / (MAX_TRACKING_STATES - 3)
        raise ValueError(
            f"fmin={o.fmin:g} Hz with frame_length={frame_length} at sr={sr:g} needs "
            f"{frame_length // 2} period states; method {o.method!r} allows at most "
            f"{MAX_TRACKING_STATES}: use fmin >= {math.ceil(lowest * 10) / 10:g} Hz, "
            f"a shorter frame_length or method='direct'")
    return _Plan(sr=sr, fmin=o.fmin, fmax=o.fmax, shortest=shortest, longest=longest,
                 frame_length=frame_length, hop_length=hop_length, method=o.method,
                 polarity=o.polarity, interpolator=o.interpolator,
                 pp_mode="threshold_diff" if o.subtract_minimum else None,
                 voicing_threshold=params["voicing_threshold"], params=params,
                 highpass=cutoff, causal=o.causal, coarse=coarse, ratio=ratio,
                 sample_margin=0 if cutoff is None else _frontend.settle_samples(cutoff, sr))


# The shortest period, in samples of the analysis rate (see _coarse_plan).
LEAST_PERIOD = 4.0


def _coarse_plan(sr: float, o: Options, hop_length: int, frame_length: int,
                 cutoff: Optional[float]) -> Tuple[Optional[_Plan], Optional[Tuple[int, int]]]:
    """The plan at about `o.analysis_sr` when the signal's rate is above it;
    `cutoff` is the full rate's high-pass (None: none).

    The rate never goes below LEAST_PERIOD * fmax: the shortest period then
    spans LEAST_PERIOD samples there, fmax lies inside the resampler's
    passband, and the search does not choose among periods of two or three
    samples, where a clean tone's multiples measure as periodic as itself.
    """
    if o.analysis_sr is None or o.causal:
        return None, None
    ratio = analysis_ratio(sr, hop_length, max(o.analysis_sr, LEAST_PERIOD * o.fmax))
    if ratio is None:
        return None, None
    up, down = ratio
    rate = sr * up / down
    if cutoff is not None and not cutoff < 0.45 * rate:
        # A high-pass this close to the lower rate's Nyquist frequency is
        # served only at the full rate.
        return None, None
    # A frame given in samples keeps its duration, or the least frame the
    # lower rate accepts when rounding would cut it below that.
    frame = None if o.frame_length is None else max(round(frame_length * up / down),
                                                     _least_frame(rate, o))
    low = replace(o, analysis_sr=None, hop_length=hop_length * up // down, hop_seconds=None,
                  frame_length=frame)
    return make_plan(rate, low), ratio


# --------------------------------------------------------------------------
# Signal sources: the block loop reads samples through `n_samples`,
# `n_channels`, `peaks()` and `read(start, stop)`, so a signal in memory and a
# file read block by block are analysed by the same code.


class ArraySource:
    """A checked signal in memory of any real dtype, shape (n,) or (channels, n),
    read as float64 a block at a time; `peaks`, when known, are its peaks()."""

    def __init__(self, signal: np.ndarray, peaks: Optional[np.ndarray] = None) -> None:
        self.n_channels: Optional[int] = None if signal.ndim == 1 else int(signal.shape[0])
        self.n_samples = int(signal.shape[-1])
        self._rows = signal[None, :] if signal.ndim == 1 else signal
        self._peaks = peaks

    def peaks(self) -> np.ndarray:
        """Largest absolute sample of each channel, as float64."""
        # Two passes over the signal, asked for by the hum's search, the
        # scaling and the full-rate measurement alike: found once.
        if self._peaks is None:
            self._peaks = _row_peaks(self._rows)
        return self._peaks.copy()

    def read(self, start: int, stop: int) -> np.ndarray:
        """Samples [start, stop) of every channel as float64, shape (channels, stop - start)."""
        block = np.asarray(self._rows[:, start:stop], dtype=np.float64)
        # The compiled kernels take writable buffers only (they write into
        # none of their inputs): a read-only signal, a memmap opened "r" or
        # np.frombuffer of bytes, is read through a copy of each block.
        return block if block.flags.writeable else block.copy()


def _row_peaks(rows: np.ndarray) -> np.ndarray:
    """Largest absolute sample of each row of `rows` (channels, n), as float64."""
    if rows.shape[1] == 0:
        return np.zeros(rows.shape[0])
    # The larger of max and -min is max(abs) without a copy of the signal;
    # in float64, since abs of the most negative integer overflows.
    with np.errstate(over="ignore"):  # a wider float's beyond the doubles: inf, told by the caller
        high = rows.max(axis=1).astype(np.float64)
        low = rows.min(axis=1).astype(np.float64)
    return np.maximum(high, -low)


def read_block(source: Any, start: int, stop: int, margin: int = 0) -> Tuple[np.ndarray, int]:
    """Samples [start - margin, stop + margin) of `source`, clipped to the signal,
    and the index of sample `start` in them."""
    lo, hi = max(0, start - margin), min(source.n_samples, stop + margin)
    return source.read(lo, hi), start - lo


# --------------------------------------------------------------------------
# Analysis


def _half_waves(x: np.ndarray, polarity: str) -> Tuple[np.ndarray, ...]:
    if polarity == "both":
        return _kernels._half_waves(x)
    if polarity == "positive":
        return (np.maximum(x, 0.0),)
    return (_negative_part(x),)


def _negative_part(x: np.ndarray) -> np.ndarray:
    # np.maximum(-x, 0.0) bit for bit, in one array instead of two.
    out = np.negative(x)
    return np.maximum(out, 0.0, out=out)


def _silent_frames(waves: Optional[Tuple[np.ndarray, ...]], plan: _Plan, n_frames: int,
                   x: Optional[np.ndarray] = None) -> np.ndarray:
    """Frames in which every analysed sample is exactly zero; with both
    half-waves (or None for them, unbuilt) and their signal `x` given, found
    from the runs of zeros of `x`."""
    starts = np.arange(n_frames) * plan.hop_length
    if x is not None and (waves is None or len(waves) == 2):
        hop, width = plan.hop_length, plan.frame_length
        first, stop = _frontend.zero_runs(x, width)
        # Frames t with first <= t * hop and t * hop + width <= stop.
        lo = -(-first // hop)
        hi = np.minimum((stop - width) // hop + 1, n_frames)
        marks = np.zeros(n_frames + 1, dtype=np.intp)
        np.add.at(marks, lo[lo < hi], 1)
        np.add.at(marks, hi[lo < hi], -1)
        return np.cumsum(marks[:-1]) > 0
    loud = np.zeros(n_frames, dtype=bool)
    for w in waves:
        nonzero = np.concatenate(([0], np.cumsum(w > 0)))
        loud |= nonzero[starts + plan.frame_length] > nonzero[starts]
    return ~loud


def _silent(x: np.ndarray, waves: Optional[Tuple[np.ndarray, ...]], plan: _Plan, level: np.ndarray,
            floor: Optional[np.ndarray] = None) -> np.ndarray:
    """The frames with nothing to analyse, one per entry of `level` (their
    levels): every analysed sample zero, a level below LEVEL_FLOOR or
    `floor` (one per frame), or one constant value throughout. `waves` are
    the analysed half-waves of `x`, or None for both of them, unbuilt."""
    n_frames = level.shape[0]
    silent = (_silent_frames(waves, plan, n_frames, x) | (level < LEVEL_FLOOR)
              | _constant_frames(x, plan, n_frames))
    if floor is not None:
        silent |= level < floor
    return silent


def _constant_frames(x: np.ndarray, plan: _Plan, n_frames: int) -> np.ndarray:
    """Frames of `x` that hold one value throughout. Without the front end
    (which leaves a constant as zeros) such a frame is periodic at every
    period and has no pitch, though a filter's belief would still pick one."""
    if plan.highpass is not None or n_frames == 0:
        return np.zeros(n_frames, dtype=bool)
    frames = np.lib.stride_tricks.sliding_window_view(x, plan.frame_length)[::plan.hop_length]
    frames = frames[:n_frames]
    return frames.min(axis=1) == frames.max(axis=1)


def _frame_levels(x: np.ndarray, plan: _Plan, n_frames: int) -> np.ndarray:
    """RMS of each frame of `x`, over the whole hops that cover the frame
    (a level for the voicing decision needs no finer edge); for causal
    analysis over the frame's own samples (see _own_levels)."""
    if plan.causal:
        return _own_levels(x, plan, n_frames)
    hop = plan.hop_length
    hops = -(-plan.frame_length // hop)
    whole = x.shape[0] // hop
    n_hops = min(n_frames - 1 + hops, whole)
    chunk = np.einsum("ij,ij->i", *(x[: n_hops * hop].reshape(n_hops, hop),) * 2)
    if n_hops < n_frames:
        # A frame shorter than the hop can end inside the last, partial hop:
        # that hop counts with the samples there are.
        rest = x[n_hops * hop: n_frames * hop]
        chunk = np.append(chunk, np.dot(rest, rest))
    counts = np.full(chunk.shape[0], float(hop))
    counts[n_hops:] = x.shape[0] - n_hops * hop
    # Each frame adds its own hops, in order (zeros past the last): a
    # difference of running sums would round by where the block starts,
    # and a causal track must not depend on how its signal was cut into
    # chunks; it would also cancel a quiet frame after a loud stretch to
    # nothing.
    padded = np.zeros((2, n_frames + hops))
    padded[0, : chunk.shape[0]] = chunk
    padded[1, : counts.shape[0]] = counts
    total = padded[:, :n_frames].copy()
    for k in range(1, hops):
        total += padded[:, k: k + n_frames]
    return np.sqrt(total[0] / total[1])


def _own_levels(x: np.ndarray, plan: _Plan, n_frames: int) -> np.ndarray:
    """RMS of each frame of `x` (which holds every sample of the frames) over
    its own samples. A causal frame is decided once the sample after it has
    come: a level that also counted later samples would depend on where the
    signal was cut into chunks."""
    hop = plan.hop_length
    whole, rest = divmod(plan.frame_length, hop)
    total = np.zeros(n_frames)
    if n_frames == 0:
        return total
    if x.shape[0] < (n_frames - 1) * hop + plan.frame_length:
        # The strided view below would read past the array.
        raise RuntimeError(f"{x.shape[0]} samples hold no {n_frames} frames")
    # Frame t: hops t .. t + whole - 1, each added in order as in
    # _frame_levels, then the first `rest` samples of hop t + whole.
    n_hops = n_frames - 1 + whole
    if n_hops > 0:
        chunk = np.einsum("ij,ij->i", *(x[: n_hops * hop].reshape(n_hops, hop),) * 2)
        for k in range(whole):
            total += chunk[k: k + n_frames]
    if rest:
        tail = np.lib.stride_tricks.as_strided(x[whole * hop:], shape=(n_frames, rest),
                                               strides=(hop * x.strides[0], x.strides[0]),
                                               writeable=False)
        total += np.einsum("ij,ij->i", tail, tail)
    return np.sqrt(total / plan.frame_length)


# (method, both polarities) -> the core that analyses the signals
# _core_signals gives it: the private module's copies of cy_impl's
# functions, which answer bit for bit as they do but release the interpreter
# lock while they compute, so that blocks run side by side on the thread
# pool. The tracking methods take both polarities as the one conditioned
# signal, whose half-waves their core derives as it reads it, the same bits
# as the two-polarity core on the half-waves: two arrays of the block's
# length fewer to write, fault in and scan for the running sums' certificate
# (track() of a minute at 16 kHz on one thread: 4 % faster).
_CORES: Dict[Tuple[str, bool], Callable[..., np.ndarray]] = {
    ("direct", True): _kernels.calc_Pitch_negaposi_core_cy,
    ("direct", False): _kernels.calc_Pitch_core_cy,
    ("bayes", True): _kernels._bayes_both_core,
    ("bayes", False): _kernels.calc_Pitch_bayes_core_cy,
    ("viterbi", True): _kernels._viterbi_both_core,
    ("viterbi", False): _kernels.calc_Pitch_viterbi_core_cy,
}


def _core_signals(x: np.ndarray, plan: _Plan) -> Tuple[np.ndarray, ...]:
    """What the plan's core takes of the conditioned `x`: its analysed
    half-waves, or `x` itself for both polarities with a tracking method."""
    if plan.polarity == "both" and plan.method != "direct":
        return (x,)
    return _half_waves(x, plan.polarity)


def _call_core(waves: Tuple[np.ndarray, ...], plan: _Plan,
               mode: Optional[str] = None) -> np.ndarray:
    """The plan's core on `waves` (see _core_signals); for direct, with peak
    rule `mode` when given."""
    p = plan.params
    interp = "no" if plan.interpolator == "none" else plan.interpolator
    tail: Tuple[Any, ...]
    if plan.method == "direct":
        tail = (p["smooth"], mode or p["pitch_detect_mode"], p["pitch_detect_threshold"], interp)
    elif plan.method == "bayes":
        tail = (p["alpha"], p["sigma"], interp)
    else:
        tail = (p["beta"], p["sigma"], interp)
    core = _CORES[plan.method, plan.polarity == "both"]
    return core(*waves, plan.sr, plan.frame_length, plan.hop_length, plan.lags,
                plan.pp_mode, *tail)


def _analyse_block(x: np.ndarray, plan: _Plan, n_frames: int,
                   keep: Optional[Tuple[int, int]] = None,
                   floor: Optional[np.ndarray] = None) -> np.ndarray:
    """Rows (n_frames, N_COLUMNS) for the `n_frames` frames of the conditioned `x`;
    with `keep`, only frames [keep[0], keep[1]) get the period check (the
    caller drops the others); frames whose level is below `floor` (one per
    frame) are silent.

    The core divides a frame's periodicity by the frame mean, so an all-zero
    frame on a tracking method's path would raise. The runs of non-silent
    frames are analysed one by one instead: silence starts a new path, and
    the path on either side of it does not depend on how long it lasts.
    """
    rows = np.full((n_frames, N_COLUMNS), np.nan)
    rows[:, LEVEL] = _frame_levels(x, plan, n_frames)
    waves = _core_signals(x, plan)
    # The zero runs of x tell the silent frames of both polarities.
    silent = _silent(x, None if plan.polarity == "both" else waves, plan, rows[:, LEVEL], floor)
    highest = None
    if plan.method == "direct":
        # Frames are independent: one call, silent frames blanked after it.
        if not silent.all():
            out = _call_core(waves, plan)
            rows[:, : out.shape[1]] = out
            if plan.params["pitch_detect_mode"] == "peak":
                # The highest peak too, for the check to weigh (see check_rows).
                highest = _call_core(waves, plan, "maximum")[:, F0]
                highest[silent] = np.nan
        rows[silent, :LEVEL] = np.nan
    else:
        edges = np.diff(np.concatenate(([0], (~silent).view(np.int8), [0])))
        for first, stop in zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)):
            _track_run(waves, plan, int(first), int(stop), rows)
    del waves
    check_rows(x, plan, rows, keep, highest)
    return rows


def _period_bounds(plan: _Plan) -> Tuple[float, float]:
    """The shortest and longest period (samples) a frame may report: the
    range asked for, widened by EDGE_TOLERANCE."""
    return plan.sr / plan.fmax / EDGE_TOLERANCE, plan.sr / plan.fmin * EDGE_TOLERANCE


def check_rows(x: np.ndarray, plan: _Plan, rows: np.ndarray,
               keep: Optional[Tuple[int, int]] = None,
               highest: Optional[np.ndarray] = None) -> None:
    """Replace the cores' f0 and strength in `rows` by the harmonic
    correction and the bounded check of _voicing, on the frames that have
    a candidate (among frames [keep[0], keep[1]) and one frame on each side
    only, when given: the others are dropped by the caller, and each frame's
    check is its own but for a glide, which looks at its neighbours); and,
    offline for the tracking methods, fill the CENTRE column.

    The centred strength is measured for every frame although only the
    edges of voiced runs use it: the edges are known only after the voicing
    decision over the whole signal, when this block's conditioned samples
    are gone (about 1 ms per minute, against conditioning them again).

    `highest` (direct, peak rule "peak" only) is each frame's f0 at its
    highest periodicity peak: where the first peak's period, corrected, is
    not clearly periodic, the more periodic of the two is kept, the highest
    peak's searched down to an eighth of it (_voicing.DIRECT_FACTORS). The
    first peak misses voices whose peaks after it fall below its threshold;
    the highest one lands on far multiples of strictly periodic tones."""
    cand = np.isfinite(rows[:, F0])
    if highest is not None:
        cand |= np.isfinite(highest)
    if keep is not None:
        cand[: max(keep[0] - 1, 0)] = False
        cand[keep[1] + 1:] = False
    cand = np.flatnonzero(cand)
    if cand.size == 0:
        return
    bounds = _period_bounds(plan)
    period, strength = _voicing.correct_periods(
        x, cand * plan.hop_length, plan.sr / rows[cand, F0], plan.frame_length, *bounds)
    if highest is not None:
        # Only the frames the first peak leaves in doubt are measured again.
        first = np.nan_to_num(strength, nan=-1.0)
        doubt = np.flatnonzero(first < 1.0 - _voicing.OCTAVE_TOLERANCE)
        other, other_strength = _voicing.correct_periods(
            x, cand[doubt] * plan.hop_length, plan.sr / highest[cand[doubt]],
            plan.frame_length, *bounds, factors=_voicing.DIRECT_FACTORS)
        take = np.nan_to_num(other_strength, nan=-1.0) > first[doubt]
        period[doubt[take]] = other[take]
        strength[doubt[take]] = other_strength[take]
    if not plan.causal:
        # Offline, a frame's neighbours are known: a gliding pitch is measured
        # again at the frame's centre. (A stream decides each frame as it
        # completes, before the next one is known.)
        periods = np.full(rows.shape[0], np.nan)
        periods[cand] = period
        windows = glide_windows(periods, plan.frame_length, plan.sr)[cand]
        again = np.flatnonzero(windows < plan.frame_length)
        if again.size:
            period[again] = refine_periods(x, cand[again] * plan.hop_length, period[again],
                                           plan.frame_length, plan.polarity,
                                           plan.interpolator, bounds, windows[again],
                                           reach=np.ceil(GLIDE_REACH * period[again]).astype(np.intp))
    rows[cand, F0] = plan.sr / period
    rows[cand, STRENGTH] = strength
    if not plan.causal and plan.method != "direct":
        # The strength at the frame's centre, for the voicing model's edges
        # (see _voicing.confidence); the whole frame's where it is short.
        windows = centred_windows(period, plan.frame_length, plan.sr)
        rows[cand, CENTRE] = strength
        part = np.flatnonzero(windows < plan.frame_length)
        if part.size:
            rows[cand[part], CENTRE] = _voicing.check(
                x, cand[part] * plan.hop_length + (plan.frame_length - windows[part]) // 2,
                period[part][None, :], windows[part])[0]


def _track_run(waves: Tuple[np.ndarray, ...], plan: _Plan, first: int, stop: int,
               rows: np.ndarray) -> None:
    """Rows of frames [first, stop) of `waves` (see _core_signals), none of
    them silent, by a tracking core; written into `rows`."""
    hop, width = plan.hop_length, plan.frame_length
    while first < stop:
        # The last frame ends strictly before the samples given to the core.
        out = _call_core(tuple(w[first * hop: (stop - 1) * hop + width + 1] for w in waves),
                         plan)
        n = min(out.shape[0], stop - first)
        rows[first: first + n, : out.shape[1]] = out[:n]
        # The forward filter never re-initialises a belief that became NaN
        # (an overflow on a frame that is nearly all zeros), so every later
        # row would be NaN: restart it after the frame where that happened.
        lost = np.isnan(out[:n, PROBABILITY])
        if plan.method != "bayes" or not lost[-1]:
            return
        tail = n - int(np.argmin(lost[::-1])) if not lost.all() else 0
        rows[first + tail, :LEVEL] = np.nan
        first += tail + 1


def _conditioned(x: np.ndarray, offset: int, length: int, exponent: int,
                 plan: _Plan, on_grid: bool = False) -> np.ndarray:
    """Samples x[offset: offset + length] of one channel as the cores see
    them: scaled by the channel's peak exponent and high-passed, the samples
    around them being the filter's context, then rounded to the grid when
    `on_grid` (see _on_grid). An array of its own."""
    # Every core is scale-invariant; a power-of-two scale is exact, and a peak
    # near 1 keeps sums away from overflow.
    x = _frontend.scaled(x, -exponent)
    if plan.highpass is None:
        x = x[offset: offset + length]
        return _on_grid(x) if on_grid else x
    # The filter rounds its output as it writes it, the same bits as
    # _on_grid after it.
    x = _frontend.highpass(x, plan.sos, plan.frame_length, plan.sample_margin,
                           GRID_BITS if on_grid else 0)
    return x[offset: offset + length]


def _analyse_channel(x: np.ndarray, offset: int, length: int, exponent: int, plan: _Plan,
                     n_frames: int, keep: Optional[Tuple[int, int]] = None,
                     hum: Optional[_hum.Hum] = None, first: int = 0,
                     removed: bool = False) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """One channel of one block: samples x[offset: offset + length], with the
    samples around them as the filter's context; x[0] is sample `first` of
    the signal, whose hum is `hum` (None: none found). The rows, and with
    `removed` what the conditioning took out of the scaled samples before
    the grid (None without a filter, or without `removed`)."""
    y, floor, taken = _condition(x, offset, length, exponent, plan, n_frames, hum, first,
                                 removed)
    return _analyse_block(y, plan, n_frames, keep, floor), taken


def _condition(x: np.ndarray, offset: int, length: int, exponent: int, plan: _Plan,
               n_frames: int, hum: Optional[_hum.Hum], first: int, removed: bool = False
               ) -> Tuple[np.ndarray, Optional[np.ndarray], Optional[np.ndarray]]:
    """Samples x[offset: offset + length] of one channel as the cores see
    them (see _analyse_channel); the level below which each of the
    `n_frames` frames was hum alone (None without hum); and with `removed`
    what the conditioning took out before the grid."""
    # Rounded after the filter, whose output lies on no grid: the half-waves
    # and the cores then see samples whose running sums are exact.
    if hum is None and not (removed and plan.highpass is not None):
        return _conditioned(x, offset, length, exponent, plan, on_grid=True), None, None
    y = _conditioned(x, offset, length, exponent, plan)
    floor = None
    if hum is not None:
        # A frame that was all hum is left with what the subtraction missed,
        # which is as periodic as the hum (quantised hum repeats exactly):
        # far below the frame's level before, it is no voice.
        floor = HUM_RESIDUE * _frame_levels(y, plan, n_frames)
        _remove_hum(y, hum, first + offset, exponent, plan)
    taken = (_frontend.scaled(x[offset: offset + length], -exponent) - y
             if removed and plan.highpass is not None else None)
    return _on_grid(y), floor, taken


def _remove_hum(y: np.ndarray, hum: _hum.Hum, first: int, exponent: int, plan: _Plan) -> None:
    """Subtract from `y` (conditioned samples from sample `first` on, in
    place) its channel's hum as the high-pass has left it; runs of digital
    silence stay exact zeros."""
    gains = _hum.gains(hum, plan.sos if plan.highpass is not None else None, plan.sr)
    quiet = _frontend.zero_runs(y, plan.frame_length)
    y -= _frontend.scaled(hum.at(first, y.shape[0], plan.sr, gains), -exponent)
    for a, b in zip(*quiet):
        y[a:b] = 0.0


def _on_grid(x: np.ndarray) -> np.ndarray:
    """`x` (a scaled channel of its own, peak below 1) rounded in place to
    multiples of 2**-GRID_BITS. Each step is exact: the scaling by a power of
    two can neither overflow (|x| < 1) nor lose a bit (scaling up is exact,
    and what is scaled down is a whole number of steps), and as a product it
    runs at vector speed where ldexp does not."""
    x *= 2.0 ** GRID_BITS
    np.rint(x, out=x)
    x *= 2.0 ** -GRID_BITS
    return x


def peak_exponents(peaks: np.ndarray) -> List[Optional[int]]:
    """Each channel's scaling exponent: its peak scaled by 2**-e lies in
    [0.5, 1). None for a silent channel."""
    return [math.frexp(float(p))[1] if p > 0 else None for p in peaks]


def _analyse_source(source: Any, plan: _Plan,
                    progress: Optional[Callable[[int], None]] = None,
                    hums: Optional[List[Optional[_hum.Hum]]] = None,
                    full: Optional[_Plan] = None,
                    only: Optional[np.ndarray] = None) -> np.ndarray:
    """Rows (see N_COLUMNS), shape (channels, n_frames, N_COLUMNS), of the
    channels where `only` (one bool each) holds, or of all; the others' rows
    are NaN.

    Each (block, channel) is one job on the thread pool; blocks are read in
    order on this thread (a file source is not shared between threads) and
    cut the same way whatever the thread count, so the result does not
    depend on it. With `full`, the plan of the full rate `source` (a
    Resampled view) was made from, each job resamples its channel itself
    and measures its frames' periods again at that rate (see
    _highrate.refine_frames); frames are then the full rate's.
    """
    n_frames = plan.n_frames(source.n_samples)
    peaks = source.peaks()
    rows = np.full((len(peaks), n_frames, N_COLUMNS), np.nan)
    exponents = [e if only is None or only[c] else None for c, e in enumerate(peak_exponents(peaks))]
    # The direct core's frames are independent, but a glide is told from a
    # frame's neighbours (see check_rows).
    margin = 1 if plan.method == "direct" else MARGIN_FRAMES
    hop, width = plan.hop_length, plan.frame_length
    blocks = [(start, min(start + BLOCK_FRAMES, n_frames))
              for start in range(0, n_frames, BLOCK_FRAMES)]
    refine = None if full is None else functools.partial(
        refine_frames, n_frames=full.n_frames(source.source.n_samples), plan=full)

    def jobs():
        for start, stop in blocks:
            lo = max(0, start - margin)
            hi = min(n_frames, stop + margin)
            if all(e is None for e in exponents):
                yield functools.partial(_block_done, start, stop)
                continue
            # Frame t ends at t * hop + width, which must be strictly below
            # the block's length for the core to produce it.
            length = (hi - 1 - lo) * hop + width + 1
            if full is None:
                block, offset = read_block(source, lo * hop, lo * hop + length,
                                           plan.sample_margin)
                channel = block.__getitem__
            else:
                block, offset = read_block(_Parts(source), lo * hop, lo * hop + length,
                                           plan.sample_margin)
                channel = block.channel
            for c, exponent in enumerate(exponents):
                if exponent is not None:
                    yield functools.partial(_block_part, channel, offset, length,
                                            exponent, plan, lo, hi, c, start, stop,
                                            None if hums is None else hums[c],
                                            lo * hop - offset, refine, block)
            del block, channel
            yield functools.partial(_block_done, start, stop)

    for c, start, stop, out in ordered_map(jobs(), get_num_threads()):
        if c is not None:
            rows[c, start:stop] = out
        elif progress is not None:
            progress((stop - start) * len(peaks))
    return rows


def _block_part(channel: Callable[[int], np.ndarray], offset: int, length: int, exponent: int,
                plan: _Plan, lo: int, hi: int, c: int, start: int, stop: int,
                hum: Optional[_hum.Hum] = None, first: int = 0,
                refine: Optional[Callable[..., None]] = None,
                part: Any = None) -> Tuple[Optional[int], int, int, np.ndarray]:
    out, removed = _analyse_channel(channel(c), offset, length, exponent, plan, hi - lo,
                                    (start - lo, stop - lo), hum, first, refine is not None)
    if refine is not None:
        # x[offset] is sample lo * hop = first + offset of the lower rate.
        # The margins' frames go too: a glide is told from a frame's neighbours.
        refine(out, lo, part=part, c=c, exponent=exponent, removed=removed,
               removed_first=first + offset, keep=(start - lo, stop - lo))
    return c, start, stop, out[start - lo: stop - lo]


class _Parts:
    """A Resampled source read as blocks that keep their full-rate samples
    (see _highrate.Part), for the jobs that measure periods at that rate."""

    def __init__(self, source: Resampled) -> None:
        self.n_samples, self._source = source.n_samples, source

    def read(self, start: int, stop: int) -> Any:
        return self._source.part(start, stop)


def _block_done(start: int, stop: int) -> Tuple[Optional[int], int, int, None]:
    # A marker after a block's channels: progress is reported in order, once
    # per block, when every channel of it is in.
    return None, start, stop, None


def run_plan(y: Any, plan: _Plan,
             progress: Optional[Callable[[int], None]] = None,
             peaks: Optional[np.ndarray] = None) -> PitchTrack:
    """Analyse a checked signal (1-D or channels-first 2-D, any real dtype),
    or a source read block by block, with `plan`; `peaks` are the signal's
    channels' (see ArraySource), when known."""
    source = y if hasattr(y, "read") else ArraySource(y, peaks)
    if plan.causal:
        from ._stream import causal_rows

        rows, confidence = causal_rows(source, plan, progress)
        return track_from_rows(rows, plan, source.n_channels, confidence=confidence)
    if plan.n_frames(source.n_samples) == 0:
        # Nothing to search, so nothing to resample: the resampler's filter
        # grows with the hop, and a file whose header claims a rate of
        # 2**31 - 1 Hz took 4 GB and 20 s (2**32 - 1, the process) to give
        # this empty track.
        rows = np.full((len(source.peaks()), 0, N_COLUMNS), np.nan)
        return track_from_rows(rows, plan, source.n_channels, confidence=_confidence(rows, plan))
    source = _within_headroom(source)
    return _run_offline(source, plan, progress, _find_hum(source, plan), ())


def _run_offline(source: Any, plan: _Plan, progress: Optional[Callable[[int], None]],
                 hums: Optional[List[Optional[_hum.Hum]]], again: Tuple[str, ...],
                 first: Optional[np.ndarray] = None,
                 fresh: Optional[np.ndarray] = None) -> PitchTrack:
    """run_plan's offline analysis of `source`, whose hum is `hums`; `again`
    names the second analyses already run ("rescaled", "dereverberated"):
    each runs at most once, without progress (every frame was reported).
    `first`: the rows of the analysis before the dereverberation, and
    `fresh` (one bool per channel) the channels it changed: only those are
    analysed again, the others keep their rows in `first`."""
    if plan.coarse is not None:
        rows, confidence = _coarse_rows(source, plan, progress, hums, fresh, first)
    else:
        rows = _analyse_source(source, plan, progress, hums, only=fresh)
        _reuse(rows, fresh, first)
        confidence = _confidence(rows, plan)
    if first is not None:
        _keep_octaves(rows, first)
    robust = None if "rescaled" in again else _robustly_scaled(source, rows)
    if robust is not None:
        scaled = _within_headroom(robust)
        return _run_offline(scaled, plan, None, _find_hum(scaled, plan), again + ("rescaled",))
    # A reverberant room's channels again without their late reverberation
    # (see _reverb), but not where mains hum was found; the others, read as
    # they were, keep their hum.
    if "dereverberated" in again:
        rooms = np.zeros(0, dtype=bool)
    else:
        voiced = _voiced(rows, plan, confidence)
        rooms = np.array([(hums is None or hums[c] is None)
                          and _voicing.reverberant(rows[c, :, LEVEL], rows[c, voiced[c], STRENGTH])
                          for c in range(rows.shape[0])])
    if rooms.any():
        return _run_offline(Dereverberated(source, plan.sr, rooms), plan, None, hums,
                            again + ("rescaled", "dereverberated"), rows, rooms)
    if _check_range(source, plan, rows, confidence, hums):
        confidence = _confidence(rows, plan)
    return track_from_rows(rows, plan, source.n_channels, confidence=confidence)


# A channel whose peak lies above 2**HEADROOM_EXPONENT is read scaled down
# to that, by a power of two, before anything sums its samples at their own
# scale: the resampler's filter (taps of both signs, their magnitudes summing
# past 1) took a 200 Hz tone of 1.7e308 to infinities. Every other stage
# scales each channel by its own peak first, and is the same at any power of
# two, so no result changes but those that overflowed.
HEADROOM_EXPONENT = 1000


def _within_headroom(source: Any) -> Any:
    """`source`, or a ScaledDown view of it if a channel's peak exceeds
    2**HEADROOM_EXPONENT."""
    shifts = [max(0, e - HEADROOM_EXPONENT) if e is not None else 0
              for e in peak_exponents(source.peaks())]
    return ScaledDown(source, shifts) if any(shifts) else source


class ScaledDown:
    """`source` with each channel c read times 2**-shifts[c], exactly (the
    samples lie far above the subnormal range)."""

    def __init__(self, source: Any, shifts: List[int]) -> None:
        self._source = source
        self.n_samples, self.n_channels = source.n_samples, source.n_channels
        self._factors = np.array([2.0 ** -s for s in shifts])[:, None]

    def peaks(self) -> np.ndarray:
        return self._source.peaks() * self._factors[:, 0]

    def read(self, start: int, stop: int) -> np.ndarray:
        return self._source.read(start, stop) * self._factors


# A channel whose active level lies more than this many octaves of
# amplitude below its largest sample is analysed again scaled by a peak that
# ignores a few outlying samples (see RobustlyScaled): on the grid of
# 2**-GRID_BITS of the largest sample it would keep too few steps (one
# corrupt sample of 1e38 in a float file rounded all else to zero).
OUTLIER_OCTAVES = 14


def _robustly_scaled(source: Any, rows: np.ndarray) -> Optional["RobustlyScaled"]:
    """`source` robustly scaled in the channels whose active level (among
    their frame levels, which are on the scale where the peak lies in
    [0.5, 1)) lies OUTLIER_OCTAVES below their peak; None if there are none.

    The frames holding one corrupt sample are loud themselves: in a signal
    of fewer than about 200 frames they reach the active percentile. So a
    channel with half its frames that far down is scaled again as well, if
    its peak lies OUTLIER_OCTAVES above its robust one: a few outlying
    samples, not the pauses of a quiet recording."""
    # Frames the grid left silent count, at level 0.
    levels = np.nan_to_num(rows[..., LEVEL], nan=0.0)
    if levels.shape[1] == 0:
        return None
    sound = levels.max(axis=1) > 0
    floor = 2.0 ** -OUTLIER_OCTAVES
    active = np.array([_voicing.percentiles(row, (_voicing.ACTIVE_PERCENTILE,))[0]
                       for row in levels])
    lost = (active < floor) & sound
    if lost.any():
        return RobustlyScaled(source, lost)
    half = (np.median(levels, axis=1) < floor) & sound
    if half.any():
        robust = RobustlyScaled(source, half, OUTLIER_OCTAVES)
        if robust.rescaled.any():
            return robust
    return None


class RobustlyScaled:
    """`source` with peaks() that leave out a few outlying samples per
    channel: the least power of two that at most OUTLIER_SHARE of the
    samples (at least one) reach; and read() limiting those outliers to
    OUTLIER_REACH times that peak. The outliers then lie above full scale,
    where the cores' certificate fails for the blocks that hold them and
    those are summed frame by frame, exactly; the rest keeps its
    resolution.

    Outliers are limited before any filter: a corrupt sample left at its
    own size rings in the high-pass in proportion to it, far beyond the
    frames that hold it, and its square overflows the frame levels; limited,
    one costs only the frames near it, whatever its size.
    """

    OUTLIER_SHARE = 1e-4
    # As a multiple of the robust peak: a few times the loudest of the
    # ordinary samples, so the limit never reaches into the signal, and so
    # small that neither the grid nor the sums of squares (frame levels, the
    # hum's energies) can overflow.
    OUTLIER_REACH = 4.0

    def __init__(self, source: Any, channels: np.ndarray, least: int = 0) -> None:
        """Channels where `channels` (one bool each) holds, and whose peak
        lies at least `least` octaves above their robust one, are rescaled
        (see `rescaled`); the others are read as they are."""
        self._source = source
        self.n_samples, self.n_channels = source.n_samples, source.n_channels
        true = peak_exponents(source.peaks())
        counts = np.zeros((len(true), 2200), dtype=np.int64)  # by frexp exponent + 1100
        for start in range(0, self.n_samples, CHECK_CHUNK):
            block = np.abs(source.read(start, min(self.n_samples, start + CHECK_CHUNK)))
            exponents = np.frexp(block)[1] + 1100
            for c in range(block.shape[0]):
                counts[c] += np.bincount(exponents[c][block[c] > 0], minlength=counts.shape[1])
        allowed = max(1, int(self.OUTLIER_SHARE * self.n_samples))
        peaks = source.peaks()
        limits = np.full(len(true), np.inf)
        self.rescaled = np.zeros(len(true), dtype=bool)
        for c, e in enumerate(true):
            # Samples of frexp exponent k lie in [2**(k-1), 2**k); the least
            # k with at most `allowed` samples above it.
            above = np.cumsum(counts[c][::-1])[::-1] - counts[c]
            fewer = np.flatnonzero((above <= allowed) & (counts[c] > 0))
            if e is not None and channels[c] and fewer.size:
                k = int(fewer[0]) - 1100
                if k < e and e - k >= least:
                    peaks[c] = math.ldexp(0.75, k)
                    # (The largest power of two a double holds, near its top.)
                    limits[c] = math.ldexp(self.OUTLIER_REACH, min(k, 1021))
                    self.rescaled[c] = True
        self._peaks = peaks
        self._limits = limits[:, None]

    def peaks(self) -> np.ndarray:
        return self._peaks.copy()

    def read(self, start: int, stop: int) -> np.ndarray:
        block = self._source.read(start, stop)
        if not self.rescaled.any():
            return block
        # A new array: the source's block may be the caller's own samples.
        return np.clip(block, -self._limits, self._limits)


def _check_range(source: Any, plan: _Plan, rows: np.ndarray, confidence: np.ndarray,
                 hums: Optional[List[Optional[_hum.Hum]]]) -> bool:
    """Search again, in place in `rows`, the voiced frames of a tracking
    method that lie far from the speaker's range (see _voicing.outliers), near the
    median period of the reliable frames around them, on the samples the
    cores saw (at the analysis rate). A frame's period and strength change,
    unless its own period is the more periodic by more than
    _voicing.RANGE_MARGIN; whether any did is returned, and the caller then
    decides the voicing again."""
    if plan.method == "direct":
        # Its frames are its own.
        return False
    changed = False
    view, at = (source, plan) if plan.coarse is None else (
        Resampled(source, *plan.ratio), plan.coarse)
    hop, width = at.hop_length, at.frame_length
    bounds = _period_bounds(at)
    voiced = _voiced(rows, plan, confidence)
    reach = max(1, round(_voicing.RANGE_SECONDS * plan.sr / plan.hop_length))
    n_frames = at.n_frames(view.n_samples)
    # Frames further apart than the filter's context on both sides cost
    # less read apart than conditioned with everything between them.
    apart = min(max(1, (2 * at.sample_margin + width) // hop), BLOCK_FRAMES)
    for c, exponent in enumerate(peak_exponents(source.peaks())):
        if exponent is None:
            continue
        periods = at.sr / rows[c, :, F0]
        frames, centres = _voicing.outliers(periods, rows[c, :, STRENGTH], voiced[c], reach)
        single, between = _voicing.glitches(periods, rows[c, :, STRENGTH], voiced[c])
        # A frame both far from the speaker's range and from its neighbours
        # is searched near its neighbours, the nearer evidence.
        frames, first = np.unique(np.concatenate((single, frames)), return_index=True)
        centres = np.concatenate((between, centres))[first]
        inside = frames < n_frames
        frames, centres = frames[inside], centres[inside]
        # Whether each frame's own period goes on after it, from the rows as
        # the cores left them (as `periods`): once, not per run, since each
        # reads the whole channel.
        settles = _voicing.settling(periods, rows[c, :, STRENGTH], voiced[c], frames)
        for part in _runs(frames, apart, BLOCK_FRAMES):
            t = frames[part]
            lo, length = int(t[0]), int(t[-1] - t[0]) * hop + width
            block, offset = read_block(view, lo * hop, lo * hop + length, at.sample_margin)
            x = _condition(block[c], offset, length, exponent, at, int(t[-1] - t[0]) + 1,
                           None if hums is None else hums[c], lo * hop - offset)[0]
            starts = (t - lo) * hop
            period = _voicing.search_near(x, starts, centres[part], width, *bounds,
                                          POLARITY_CODES[at.polarity])
            found = np.flatnonzero(np.isfinite(period))
            if found.size == 0:
                continue
            period = refine_periods(x, starts[found], period[found], width, at.polarity,
                                    at.interpolator, bounds)
            strength = _voicing.check(x, starts[found], period[None, :], width)[0]
            better = _voicing.takes_range_period(period, strength, periods[t[found]],
                                                 rows[c, t[found], STRENGTH], settles[part][found])
            rows[c, t[found][better], F0] = at.sr / period[better]
            rows[c, t[found][better], STRENGTH] = strength[better]
            changed |= bool(better.any())
    return changed


def _runs(frames: np.ndarray, apart: int, longest: int) -> List[np.ndarray]:
    """Indices into the sorted `frames`, run by run: a run ends where the
    next frame lies more than `apart` frames on, and spans fewer than
    `longest` frames, so a run's samples are at most a block's even where
    frames close together go on through the whole signal."""
    if frames.size == 0:
        return []
    runs = np.split(np.arange(frames.size), np.flatnonzero(np.diff(frames) > apart) + 1)
    return [piece for run in runs
            for piece in np.split(run, np.flatnonzero(np.diff((frames[run] - frames[run[0]]) // longest)) + 1)]


def _find_hum(source: Any, plan: _Plan) -> Optional[List[Optional[_hum.Hum]]]:
    """Each channel's mains hum (see _hum.py), or None when no channel has
    any; only with the front end on. A hum is a function of time, so the
    model found at the full rate serves the lower rate's search as well."""
    if plan.highpass is None:
        return None
    hums = _hum.detect(source, plan.sr)
    return None if all(h is None for h in hums) else hums


# Periods of the dereverberated analysis this close (in cents) to an octave
# from the first analysis's are the first's (see _keep_octaves).
OCTAVE_CENTS = 100.0


def _keep_octaves(rows: np.ndarray, first: np.ndarray) -> None:
    """The f0 of `rows` (a dereverberated signal's), in place, the first
    analysis's where the two lie an octave apart. The subtraction's gains
    change from frame to frame and bin to bin, and can leave a note's
    alternate harmonics weaker than the rest: periodic at twice its period.
    It takes the room's tail away, not a voice's octave, and the first
    analysis had already chosen among the period's multiples (on the tuning
    part every such frame, 27 in music and 7 in the 0.5 s room's speech,
    was the first analysis's right; of the other frames where the two
    differ and one is right, the dereverberated one's was in 89 of 100)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        cents = np.abs(1200.0 * np.log2(rows[..., F0] / first[..., F0]))
    octave = np.abs(cents - 1200.0) < OCTAVE_CENTS
    rows[..., F0] = np.where(octave, first[..., F0], rows[..., F0])


def _reuse(rows: np.ndarray, fresh: Optional[np.ndarray], earlier: Optional[np.ndarray]) -> None:
    """Into `rows` (in place), the `earlier` rows of the channels not
    `fresh` (not analysed again); nothing when `fresh` is None."""
    if fresh is not None and earlier is not None:
        rows[~fresh] = earlier[~fresh]


def _coarse_rows(source: Any, plan: _Plan, progress: Optional[Callable[[int], None]] = None,
                 hums: Optional[List[Optional[_hum.Hum]]] = None,
                 fresh: Optional[np.ndarray] = None, earlier: Optional[np.ndarray] = None
                 ) -> Tuple[np.ndarray, np.ndarray]:
    """Rows of `plan`'s frames from its coarse plan, periods refined at
    `plan.sr`, and the voicing model's confidence; with `fresh`, only those
    channels analysed, the others' rows taken from `earlier` (see _reuse)."""
    assert plan.coarse is not None and plan.ratio is not None
    low = _analyse_source(Resampled(source, *plan.ratio), plan.coarse, progress, hums, plan,
                          only=fresh)
    # Frame t starts at the same instant at both rates; the two frame counts
    # may differ by one at the end, where the lower rate's frame is longer.
    n_frames = plan.n_frames(source.n_samples)
    rows = np.full((low.shape[0], n_frames, N_COLUMNS), np.nan)
    shared = min(n_frames, low.shape[1])
    rows[:, :shared] = low[:, :shared]
    _reuse(rows, fresh, earlier)
    # Strength and level, all the voicing decision weighs, are the lower
    # rate's: the full-rate measurement changes the f0 alone.
    return rows, _confidence(rows, plan)


def _confidence(rows: np.ndarray, plan: _Plan) -> np.ndarray:
    """The voicing model's confidence (channels, n_frames) of offline analysis rows."""
    confidence = np.zeros(rows.shape[:2])
    # The frames the strength was measured on (at the analysis rate).
    width = (plan if plan.coarse is None else plan.coarse).frame_length
    for c in range(rows.shape[0]):
        if plan.causal:
            confidence[c] = _voicing.causal_confidence(rows[c, :, STRENGTH], rows[c, :, LEVEL],
                                                       None, width)[0]
        else:
            # The direct method's frames are their own: the tuning part
            # lost accuracy in noise and on the telephone band when its
            # voicing was smoothed as the tracking methods' is.
            confidence[c] = _voicing.confidence(rows[c, :, STRENGTH], rows[c, :, LEVEL],
                                                smooth=plan.method != "direct",
                                                centred=rows[c, :, CENTRE], width=width,
                                                f0=rows[c, :, F0])
    return confidence


def _in_range(rows: np.ndarray, plan: _Plan) -> np.ndarray:
    """The frames with a period within the range asked for."""
    f0 = rows[..., F0]
    with np.errstate(invalid="ignore"):
        # The refinement may move a peak at an end lag past the range asked
        # for: by a few cents, the pitch is at the edge; further, it is
        # outside what was asked and not reported.
        lo, hi = plan.fmin / EDGE_TOLERANCE, plan.fmax * EDGE_TOLERANCE
        return np.isfinite(f0) & (f0 >= lo) & (f0 <= hi)


def _voiced(rows: np.ndarray, plan: _Plan, confidence: np.ndarray) -> np.ndarray:
    """The frames reported voiced: a period within the range asked for, and
    the voicing model's decision (or the strength's against the threshold)."""
    voiced = _in_range(rows, plan)
    with np.errstate(invalid="ignore"):
        if plan.voicing_threshold is None:
            voiced &= confidence >= 0.5
        else:
            voiced &= rows[..., STRENGTH] >= plan.voicing_threshold
    return voiced


def _smoothed(f0: np.ndarray, plan: _Plan) -> np.ndarray:
    """`f0` (channels, n_frames; NaN where unvoiced) with each frame whose two
    neighbours are voiced and within SMOOTH_CENTS of it replaced by the
    (1, 2, 1) mean of the three in cents (see SMOOTH_CENTS)."""
    if f0.shape[1] < 3:
        return f0
    octaves = np.log2(f0)
    mid, before, after = octaves[:, 1:-1], octaves[:, :-2], octaves[:, 2:]
    with np.errstate(invalid="ignore"):
        near = ((np.abs(before - mid) <= SMOOTH_CENTS / 1200)
                & (np.abs(after - mid) <= SMOOTH_CENTS / 1200))
    out = f0.copy()
    # As a step from the frame's own f0, so that a steady pitch keeps its
    # value to the bit; the mean of values within [fmin, fmax] stays within,
    # but for the last bit of the power.
    step = np.exp2(((before - mid) + (after - mid)) * 0.25)
    out[:, 1:-1] = np.where(near, np.clip(f0[:, 1:-1] * step, plan.fmin, plan.fmax), f0[:, 1:-1])
    return out


def track_from_rows(rows: np.ndarray, plan: _Plan, n_channels: Optional[int],
                    first_frame: int = 0,
                    confidence: Optional[np.ndarray] = None) -> PitchTrack:
    """The PitchTrack of analysis rows (see N_COLUMNS), shape
    (channels, n_frames, N_COLUMNS), for frames from `first_frame` on: the voicing
    decision, times and parameters. A 1-D track when `n_channels` is None.

    `confidence` (channels, n_frames) is the voicing model's, when the caller
    ran it (a stream carries the causal chain from call to call); by default
    it is run here, a causal plan's from the first of `rows`.
    """
    f0, strength, probability = rows[..., F0], rows[..., STRENGTH], rows[..., PROBABILITY]
    if confidence is None:
        confidence = _confidence(rows, plan)
    voiced = _voiced(rows, plan, confidence)
    # A frame without a period in the range is no voice the caller asked
    # for, whatever the model made of its periodicity: so that `voiced` is
    # `confidence >= 0.5` as documented. (A new array: a stream's chain
    # keeps the model's own.)
    confidence = np.where(_in_range(rows, plan), confidence, 0.0)
    with np.errstate(invalid="ignore"):
        f0 = np.where(voiced, np.clip(f0, plan.fmin, plan.fmax), np.nan)
    if plan.params.get("smooth_f0"):
        f0 = _smoothed(f0, plan)
    if n_channels is None:
        f0, strength, probability, voiced = f0[0], strength[0], probability[0], voiced[0]
        confidence = confidence[0]
    frames = np.arange(first_frame, first_frame + rows.shape[1])
    times = (frames * plan.hop_length + plan.frame_length / 2) / plan.sr
    arrays = [times, f0, np.ascontiguousarray(strength),
              np.ascontiguousarray(probability), voiced, confidence]
    for a in arrays:
        a.flags.writeable = False
    params = dict(plan.params)
    params["subtract_minimum"] = plan.pp_mode is not None
    return PitchTrack(times=arrays[0], f0=arrays[1], strength=arrays[2],
                      probability=arrays[3], voiced=arrays[4], confidence=arrays[5],
                      sr=plan.sr,
                      hop_length=plan.hop_length, frame_length=plan.frame_length,
                      fmin=plan.fmin, fmax=plan.fmax, method=plan.method,
                      polarity=plan.polarity, interpolator=plan.interpolator,
                      params=params)


def prepare(y: Any, sr: Any, options: Optional[Options] = None,
            **kwargs: Any) -> Tuple[np.ndarray, _Plan]:
    """Check `y` and the parameters of :func:`track`; return the signal and the plan.

    The parameters are an :class:`Options`, keywords of :func:`track`, or
    both (the keywords replace the options' values).
    """
    signal, plan, _ = _prepare(y, sr, options, **kwargs)
    return signal, plan


def _prepare(y: Any, sr: Any, options: Optional[Options] = None,
             **kwargs: Any) -> Tuple[np.ndarray, _Plan, Optional[np.ndarray]]:
    """prepare(), and the signal's peaks when the check found them."""
    options = Options.merged(options, kwargs)
    plan = make_plan(sr, options)
    signal, peaks = _as_signal(y)
    if options.mono and signal.ndim == 2:
        # Summed in float64 whatever the dtype, as the channels are analysed.
        signal, peaks = _frontend.mix_down(signal), None
    return signal, plan, peaks


def track(y: Any, sr: float, **options: Any) -> PitchTrack:
    """Estimate the fundamental frequency of `y`, frame by frame.

    The signal is high-pass filtered below the range, then each frame is
    compared with itself shifted by every candidate period between
    ``sr / fmax`` and ``sr / fmin`` samples (the mean of the pointwise
    minimum of the two); a period is chosen per frame, refined to a fraction
    of a sample, checked against its multiples and submultiples, and
    reported as ``sr / period``.

    Parameters
    ----------
    y : array_like, shape (n,) or (n_channels, n)
        Real samples, any real dtype (converted to float64; the scale does not
        matter). Multichannel input gives one track per channel unless `mono`.
    sr : float > 0
        Sampling rate in Hz.
    fmin, fmax : float, 0 < fmin < fmax <= sr / 2
        Pitch search range in Hz. The default frame length is a little over
        two periods of `fmin`, so a lower `fmin` costs time and resolution.
    hop_length : int >= 1, optional
        Frame advance in samples; default 10 ms, ``round(0.01 * sr)``.
    hop_seconds : float > 0, optional
        The frame advance as a duration instead, rounded to whole samples
        (for batches of several sampling rates); not with `hop_length`.
    frame_length : int, optional
        Frame length in samples; default ``2 * (ceil(sr / fmin) + 2)``, the
        least the tracking methods accept (two periods of `fmin` plus guard
        lags). ``method="direct"`` accepts down to one period plus three samples.
    method : {"viterbi", "bayes", "direct"}
        ``"viterbi"`` decodes the best period path over the whole signal;
        ``"bayes"`` filters forward in time (its periods are causal; with
        ``causal=True`` each frame is decided at once, otherwise the voicing
        is decided over the whole signal as for viterbi); ``"direct"`` picks
        a peak per frame with no tracking.
    polarity : {"both", "positive", "negative"}
        Analyse both half-waves of the signal (summed), or only one.
    interpolator : {"gaussian", "parabolic", "centroid", "none"}
        Sub-sample refinement of the chosen period: a parabola through the
        logarithms of the three periodicity values around the peak, through
        the values themselves, their centre of mass, or none.
    voicing_threshold : float, optional
        Instead of the voicing model, a frame is voiced when its strength
        (in [0, 1]) is at least this; 0 keeps every frame that has a
        candidate. By default (None) the model decides: strength, level
        against the signal's active level and its pauses, and continuity.
    highpass : {"fmin"} or float >= 0.1 or None
        Cutoff in Hz of the high-pass filter applied before framing, which
        removes DC offsets, hum and rumble below the range; "fmin" (the
        default) follows `fmin`, at 1.1 times it, None turns it off. Must
        be below sr / 2.
        With the filter, mains hum found in the signal (steady lines at 50
        or 60 Hz and their 2nd and 3rd harmonics) is subtracted as well,
        except with `causal`.
    mono : bool
        Average the channels of a multichannel `y` before the analysis.
    subtract_minimum : bool
        Before the "gaussian" or "centroid" refinement, subtract the
        periodicity minimum of the frame (no effect on the other two).
    pitch_detect_mode : {"score", "static", "maximum", "peak"}, optional
        ``method="direct"`` only: the first peak above
        ``pitch_detect_threshold * frame mean`` ("score"), above the absolute
        ``pitch_detect_threshold`` ("static"), the highest peak ("maximum"),
        or the first peak above ``pitch_detect_threshold * highest peak``
        ("peak").
    pitch_detect_threshold : float, optional
        ``method="direct"`` only: the factor or value of `pitch_detect_mode`.
    smooth : int >= 1, optional
        ``method="direct"`` only: moving average over this many neighbouring
        periods before the peak is picked.
    alpha : float in [0, 100], optional
        ``method="bayes"`` only: exponent on the predicted distribution; 0
        forgets the past, 1 is the plain forward filter.
    beta : float >= 0, optional
        ``method="viterbi"`` only: weight of the observations against the
        transition model.
    sigma : float >= 1e-150, optional
        Tracking methods: standard deviation in octaves of the frame-to-frame
        pitch change the transition model expects.
    smooth_f0 : bool, optional
        Tracking methods: report each voiced frame's f0 as the 1, 2, 1
        weighted mean in cents of its own and its two neighbours', where both
        are voiced and within a whole tone of it (default True; False with
        `causal`, which does not wait for the next frame). False reports each
        frame's own measurement, as for jitter and other measures of the
        scatter from one period to the next.
    causal : bool
        Decide each frame from the samples up to its end only, exactly as
        :class:`PitchStream` does on the same signal pushed in any chunks:
        the Bayesian filter runs once over the whole signal, integer samples
        are read as fractions of full scale and no statistic of the whole
        signal (such as its peak) is used. Needs ``method="bayes"`` or
        ``"direct"``; ``"viterbi"`` is refused, as it decodes the whole signal
        before deciding any frame.
    analysis_sr : float > 0 or None
        Above this rate (default 16000 Hz, never below ``4 * fmax``) the
        periods are searched on a resampled copy and each frame's period is
        then measured again on the original samples around the one found,
        its half and its third, so the result keeps the full rate's lag
        resolution at a fraction of the work. None searches at the full
        rate. Frames, times and `frame_length` stay those of `sr`. Not
        used with `causal`.

    Returns
    -------
    PitchTrack
        ``times`` has shape (n_frames,); ``f0``, ``strength``, ``probability``,
        ``voiced`` and ``confidence`` have shape (n_frames,), or
        (n_channels, n_frames) for multichannel input. A reported f0 always
        lies in [fmin, fmax]. A signal of at most `frame_length` samples gives
        ``n_frames == 0``.

    Raises
    ------
    TypeError
        `y` is not real-valued, or a parameter has the wrong type (a string
        or bool where a number is expected, a string where a flag is) or
        belongs to another method.
    ValueError
        `y` is empty, holds NaN/inf or is a 2-D array of more than 32 rows
        and fewer columns (which may be samples by channels), or a parameter
        breaks the limit named in the message. Every parameter is checked
        before anything is allocated.

    Notes
    -----
    A frame of digital silence is unvoiced, whatever the method, and silence
    does not change the frames away from it. Signals longer than 1024 frames
    are analysed in blocks; the tracking methods
    overlap the blocks by 100 frames on each side so the seams are not
    visible in the decoded path. Blocks and channels run on
    :func:`get_num_threads` threads (see :func:`set_num_threads`); the
    result is the same for every count. Each channel is scaled by a power
    of two to a peak below 1 and rounded to multiples of 2**-20, an error of
    at most 2**-21 of full scale (-126 dB), so that the core's exact running
    sums always apply; 16-bit audio is on that grid already.

    Examples
    --------
    >>> import numpy as np
    >>> import qesmorPitch
    >>> sr = 16000
    >>> t = np.arange(sr) / sr
    >>> y = np.sin(2 * np.pi * 220 * t) + 0.5 * np.sin(2 * np.pi * 440 * t)
    >>> pt = qesmorPitch.track(y, sr, fmin=80, fmax=400)
    >>> pt.frame_length, pt.hop_length, pt.f0.shape
    (404, 160, (98,))
    >>> float(pt.times[0])  # centre of the first frame: 202 / 16000
    0.012625
    >>> bool(abs(np.nanmedian(pt.f0) - 220) < 1)
    True
    """
    signal, plan, peaks = _prepare(y, sr, Options.from_kwargs(options))
    if plan.causal:
        from ._stream import full_scale

        # Integers as fractions of full scale, as a stream reads them: exact.
        signal, peaks = signal * full_scale(np.asarray(y).dtype), None
    return run_plan(signal, plan, peaks=peaks)


# The keywords, their defaults and their order come from Options, for help()
# and inspect.signature.
track.__signature__ = inspect.Signature(
    [inspect.Parameter("y", inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=Any),
     inspect.Parameter("sr", inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=float)]
    + [inspect.Parameter(f.name, inspect.Parameter.KEYWORD_ONLY, default=f.default,
                         annotation=f.type) for f in fields(Options)],
    return_annotation=PitchTrack)
