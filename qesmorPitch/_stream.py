"""Pitch of audio that arrives in chunks: :class:`PitchStream`, and
``track(..., causal=True)``, the same analysis of a whole signal.

Both feed the signal through one :class:`_Causal` analyser, so a frame's row
does not depend on how the signal was cut: frames are analysed once all their
samples (and the one after, which marks the frame as complete as it does for
:func:`track`) have arrived, the Bayesian filter's belief and the voicing
chain's state are carried from call to call, and nothing uses a statistic of
the whole signal. The analyser keeps the samples of the frames not yet
complete and, per channel, one belief and one chain state.
"""
from __future__ import annotations

import math
from typing import Any, Callable, List, Optional, Tuple

import numpy as np

from . import _frontend, _hum, _kernels, _voicing, cy_impl
from ._options import Options
from ._track import (BLOCK_FRAMES, LEVEL, LEVEL_FLOOR, N_COLUMNS, PROBABILITY, STRENGTH,
                     ArraySource, PitchTrack, _analyse_block, _frame_levels, _half_waves, _Plan, _silent,
                     check_rows, make_plan, track_from_rows)

__all__ = ["PitchStream", "causal_rows"]

# Causal analysis reads samples as fractions of full scale, with no peak of
# the whole signal to scale by; beyond this magnitude the energy of a block
# of frames would overflow, so such samples are refused.
LARGEST_SAMPLE = 1e140


def full_scale(dtype: np.dtype) -> float:
    """The factor that reads samples of `dtype` as fractions of full scale:
    a power of two, so the scaling is exact."""
    if dtype.kind in "iu":
        if dtype.itemsize > 4:
            # Read against 2**63, 16-bit samples lie 230 dB down: every frame
            # silent, without a word.
            raise TypeError(f"samples of dtype {dtype} have no full scale that audio uses "
                            f"(a list of Python ints becomes int64), and causal analysis "
                            f"reads integers as fractions of full scale; pass int16 or int32 "
                            f"samples or floats, e.g. np.asarray(y, dtype=np.int16)")
        return 2.0 ** -(8 * dtype.itemsize - 1)
    return 1.0


def condition(x: np.ndarray, state: Any, plan: _Plan) -> Tuple[np.ndarray, Optional[np.ndarray], Any]:
    """The causal conditioning of one chunk, shape (channels, n) float64; the
    hum taken out of it, conditioned alike (what the conditioned samples
    would hold more without the hum's removal; None: nothing); and the
    state to carry to the next chunk (None before the first).

    Every stage here must run forward only, its state carried across chunks,
    so that any split of a signal conditions it identically: the hum found
    in the input before the chunk is taken out of it (see _HumRemoval), and
    the high-pass runs forward from the filter state the previous chunk left.
    """
    if state is None:
        state = (None, None, _HumRemoval.start(x.shape[0], plan.sr))
    filter_state, hum_state, removal = state
    y, hum, removal = removal.apply(x)
    if plan.highpass is not None and x.shape[1]:
        y, filter_state = _frontend.highpass_forward(y, plan.sos, filter_state)
        if hum is None and hum_state is not None and hum_state.any():
            hum = np.zeros(x.shape)   # the filter still rings with the hum before
        if hum is not None:
            # From rest: no hum is taken out before the first search.
            if hum_state is None:
                hum_state = np.zeros((x.shape[0], plan.sos.shape[0], 2))
            hum, hum_state = _frontend.highpass_forward(hum, plan.sos, hum_state)
    return y, hum, (filter_state, hum_state, removal)


# Mains hum in causal analysis: _hum's search, run on the last
# HUM_WINDOW_SECONDS of the input once every HUM_UPDATE_SECONDS of it, and
# the lines it finds subtracted from the input that follows, until the next
# search (an amplitude held at its last value, a phase advancing at the
# line's measured rate). The search needs a second and a quarter of input,
# so the first 1.5 s keep their hum. A stream's pauses are otherwise as
# periodic as the hum, and pass for voice: on the tuning part of the real
# corpus (utterances of about 3 s, causal bayes) 50 Hz hum at -20 dB scored
# 0.760 against clean speech's 0.919; with the removal 0.802, and 0.855 with
# HUM_RESIDUE below. A search every 0.25 s scored 0.865 (the first one
# sooner in utterances this short) at twice the cost, every second 0.849.
HUM_WINDOW_SECONDS = 2.0
HUM_UPDATE_SECONDS = 0.5
# Digital silence stays silence: a zero sample is left a zero once this many
# have come in a row (a zero between non-zero samples is a zero crossing).
HUM_ZERO_RUN = 16
# A frame the removal leaves below this share of its level (-6 dB) was hum
# alone, and what the removal missed is as periodic as the hum. Offline
# analysis takes 0.01, its lines being fitted over the whole signal; a
# stream's, from the past only, miss more. On the tuning part (causal
# bayes) the four hum conditions went from 0.769 (0.829 at 0.1; 0.858 at
# 0.7, where 60 Hz at -20 dB lost again), 50 Hz hum in music at -20 dB from
# 0.880 to 0.962 (clean music 0.970); speech and music without hum do not
# change (no line is found).
HUM_RESIDUE = 0.5


# The input the hum search reads is held in pieces of at least this many
# samples (the last one excepted).
PIECE_SAMPLES = 4096


class _HumRemoval:
    """The state of causal hum removal: the input the next search reads, the
    hum of each channel as last found, and where the input stands."""

    def __init__(self, sr: float, pieces: List[Tuple[int, np.ndarray]], models: List[Any],
                 received: int, zeros: np.ndarray) -> None:
        self.sr, self.models = sr, models
        # (first sample, samples) of the input's last chunks, in order: kept
        # as they came, and joined only for a search, so that a stream of
        # short chunks copies no window of input per chunk.
        self.pieces = pieces
        self.received = received   # input samples before the next chunk
        self.zeros = zeros         # zeros in a row at the end of each channel's input

    @classmethod
    def start(cls, rows: int, sr: float) -> "_HumRemoval":
        return cls(sr, [], [None] * rows, 0, np.zeros(rows, dtype=np.int64))

    def apply(self, x: np.ndarray) -> Tuple[np.ndarray, Optional[np.ndarray], "_HumRemoval"]:
        """`x` (rows, n), the input after what came before, less its hum; the
        hum taken out (None: none); and the state after it. Searches fall on
        multiples of the update interval counted from the stream's start,
        each over the input before it, so the chunks' boundaries change
        nothing. `x` itself is never written to."""
        rows, n = x.shape
        sr = self.sr
        window = max(1, round(HUM_WINDOW_SECONDS * sr))
        update = max(1, round(HUM_UPDATE_SECONDS * sr))
        start, models, hum = self.received, list(self.models), None
        pos, point = start, (start // update + 1) * update
        while pos < start + n or point <= start + n:
            end = min(point, start + n)
            for c, model in enumerate(models):
                if model is not None and end > pos:
                    if hum is None:
                        hum = np.zeros((rows, n))
                    lines, first = model
                    hum[c, pos - start: end - start] = lines.at(pos - first, end - pos, sr,
                                                                np.ones(lines.freqs.shape[0]))
            pos = end
            if point > start + n:
                break
            lo = max(0, point - window)
            found = _hum.detect(ArraySource(_joined(self.pieces + [(start, x)], lo, point)), sr)
            models = [None if h is None else (h, lo) for h in found]
            point += update
        zeros, out = self.zeros, x
        if hum is not None:
            # The zeros in a row up to each sample, counting those before.
            index = np.arange(n)
            last = np.maximum.accumulate(np.where(x != 0.0, index[None, :], -1 - zeros[:, None]),
                                         axis=1)
            hum[index[None, :] - last >= HUM_ZERO_RUN] = 0.0
            out = x - hum
        if n:
            nonzero = x != 0.0
            tail = np.where(nonzero.any(axis=1), n - 1 - np.argmax(nonzero[:, ::-1], axis=1), -1)
            zeros = np.where(tail < 0, zeros + n, n - 1 - tail)
        # What the next search reads: from a window before it on. A copy of
        # the chunk, which may be the caller's own buffer, reused for the next;
        # joined to the last piece while that is short, so that the pieces
        # held stay few: one per chunk, a stream of one-sample chunks held
        # 40,000 of them, and every push went through them all.
        keep = (start + n) // update * update + update - window
        pieces = self.pieces
        if pieces and pieces[-1][1].shape[1] < PIECE_SAMPLES:
            pieces = pieces[:-1] + [(pieces[-1][0], np.concatenate((pieces[-1][1], x), axis=1))]
        else:
            pieces = pieces + [(start, x.copy())]
        pieces = [(a, p) for a, p in pieces if a + p.shape[1] > keep]
        return out, hum, _HumRemoval(sr, pieces, models, start + n, zeros)


def _joined(pieces: List[Tuple[int, np.ndarray]], lo: int, hi: int) -> np.ndarray:
    """Samples [lo, hi) of the input held as `pieces` ((first sample, samples), in order)."""
    parts = [p[:, max(lo - a, 0): hi - a] for a, p in pieces if a < hi and a + p.shape[1] > lo]
    return parts[0] if len(parts) == 1 else np.concatenate(parts, axis=1)


# How long an outlying sample raises the silence floor of a stream: in
# blocks of PEAK_BLOCK samples, PEAK_SECONDS and one block more at most.
PEAK_SECONDS = 1.0
PEAK_BLOCK = 1024


class _Causal:
    """Frames of a signal given piece by piece, for one plan and a fixed
    number of rows (channels)."""

    def __init__(self, plan: _Plan, rows: int) -> None:
        if plan.method not in ("bayes", "direct"):
            raise ValueError(f"method={plan.method!r} is not causal; use 'bayes' or 'direct'")
        self.plan = plan
        self.rows = rows
        if plan.method == "bayes":
            # The block the filter predicts through, built once: the same
            # slice of the transition matrix the one-pass core builds.
            n_periods = plan.frame_length // 2
            lags = plan.lags
            lo, hi = min(int(lags[0]), n_periods), min(int(lags[-1]) + 1, n_periods)
            matrix = cy_impl.create_transition_matrix_cy(n_periods, plan.sr,
                                                         plan.params["sigma"])
            self._transition_t = np.ascontiguousarray(matrix[lo:hi, lo:hi].T)
        self.reset()

    def reset(self) -> None:
        self.next_frame = 0          # the first frame not yet reported
        self.received = 0            # samples given so far
        # Samples from the start of the next frame on, up to `received`, and
        # the largest magnitude of each channel's input up to each of them.
        self.buffer = np.zeros((self.rows, 0))
        self.removed: Optional[np.ndarray] = None    # the hum taken out of them
        self.peaks = np.zeros((self.rows, 0))
        # The largest magnitude of each block of PEAK_BLOCK samples (counted
        # from the stream's start) among the last ones, the current block's last.
        self.recent = np.zeros((self.rows, 1))
        self.condition_state: Any = None
        self.beliefs = [np.zeros(len(self.plan.lags)) for _ in range(self.rows)]
        # The voicing chain's state after the last frame reported (None before the first).
        self.chains: List[Optional[np.ndarray]] = [None] * self.rows

    def _recent_peaks(self, magnitude: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """The largest of `magnitude` (rows, n: the samples after those
        received) at each sample, over its own block of PEAK_BLOCK samples
        up to it and the blocks of the last PEAK_SECONDS before; and the
        block maxima to keep for the next call. Blocks are counted from the
        stream's start, so how the stream was cut into chunks changes
        nothing."""
        rows, n = magnitude.shape
        if n == 0:
            return magnitude, self.recent
        before = max(1, math.ceil(PEAK_SECONDS * self.plan.sr / PEAK_BLOCK))
        skip = self.received % PEAK_BLOCK
        if 0 < skip and skip + n <= PEAK_BLOCK:
            # Inside the current block (most chunks of a live stream): the
            # blocks before it are as they were.
            within = np.maximum(np.maximum.accumulate(magnitude, axis=1), self.recent[:, -1:])
            recent = self.recent.copy()
            recent[:, -1] = within[:, -1]
            return np.maximum(within, recent[:, -before - 1:-1].max(axis=1, initial=0.0)[:, None]), recent
        # self.recent ends with the block of the last sample received (block
        # 0 before any): the first new sample continues it unless it starts
        # a block of its own.
        older = self.recent if skip == 0 and self.received > 0 else self.recent[:, :-1]
        current = np.zeros(rows) if skip == 0 and self.received > 0 else self.recent[:, -1]
        blocks = -(-(skip + n) // PEAK_BLOCK)
        padded = np.zeros((rows, blocks * PEAK_BLOCK))
        padded[:, skip: skip + n] = magnitude
        within = np.maximum.accumulate(padded.reshape(rows, blocks, PEAK_BLOCK), axis=2)
        within[:, 0] = np.maximum(within[:, 0], current[:, None])
        maxima = np.concatenate((older, within[:, :, -1]), axis=1)
        # Over the `before` blocks before each new one.
        earlier = np.zeros((rows, blocks))
        for k in range(1, before + 1):
            at = maxima.shape[1] - blocks - k    # block k before the first new one
            lo = max(0, -at)
            if lo < blocks:
                earlier[:, lo:] = np.maximum(earlier[:, lo:], maxima[:, at + lo: at + blocks])
        out = np.maximum(within, earlier[:, :, None]).reshape(rows, -1)[:, skip: skip + n]
        return out, maxima[:, -(before + 1):]

    def feed(self, x: np.ndarray) -> Tuple[int, np.ndarray, np.ndarray]:
        """Take the checked samples `x` (rows, n); return the index of the
        first frame completed by them, their rows (rows, frames, N_COLUMNS)
        and their voicing confidence (rows, frames)."""
        plan = self.plan
        peak = float(np.max(np.abs(x))) if x.size else 0.0
        if peak > LARGEST_SAMPLE:
            raise ValueError(f"a sample of magnitude {peak:.3g} is beyond {LARGEST_SAMPLE:g}, "
                             f"the largest causal analysis takes (it reads samples as "
                             f"fractions of full scale); scale the signal down, e.g. "
                             f"by 1 / its peak")
        # The input's largest magnitude over the last PEAK_SECONDS or so at
        # each sample: the level of a silence is what the high-pass leaves of
        # an offset, the offset's rounding (see LEVEL_FLOOR), which is
        # periodic for a constant of 1e14. An offset lasts; one outlying
        # sample is forgotten once the high-pass has long forgotten it too
        # (the largest so far kept a stream silent after one sample of 1e12).
        running, recent = self._recent_peaks(np.abs(x))
        peaks = np.concatenate((self.peaks, running), axis=1)
        x, hum, condition_state = condition(x, self.condition_state, plan)
        total = self.received + x.shape[1]
        buffer = np.concatenate((self.buffer, x), axis=1)
        # The hum taken out of the buffer's samples; None while there is none.
        removed = self.removed
        if hum is not None or removed is not None:
            removed = np.concatenate((np.zeros(self.buffer.shape) if removed is None else removed,
                                      np.zeros(x.shape) if hum is None else hum), axis=1)
        start = total - buffer.shape[1]          # sample index of buffer[:, 0]
        first, stop = self.next_frame, plan.n_frames(total)
        out = np.full((self.rows, max(stop - first, 0), N_COLUMNS), np.nan)
        confidence = np.zeros(out.shape[:2])
        beliefs, chains = list(self.beliefs), list(self.chains)
        if stop > first:
            lo = first * plan.hop_length - start
            # The last frame ends strictly before the block's end.
            block = buffer[:, lo: lo + (stop - 1 - first) * plan.hop_length + plan.frame_length + 1]
            # Silent below LEVEL_FLOOR of full scale, or of the input's peak
            # up to the frame's end where that is larger.
            ends = lo + np.arange(stop - first) * plan.hop_length + plan.frame_length - 1
            floors = LEVEL_FLOOR * np.maximum(peaks[:, ends], 1.0)
            taken = None if removed is None else removed[:, lo: lo + block.shape[1]]
            for c in range(self.rows):
                if taken is not None and taken[c].any():
                    # A frame that was hum alone keeps what the removal
                    # missed, as periodic as the hum: far below the frame's
                    # level before, it is no voice.
                    floors[c] = np.maximum(floors[c], HUM_RESIDUE * _frame_levels(
                        block[c] + taken[c], plan, stop - first))
                out[c], beliefs[c] = self._analyse(block[c], beliefs[c], stop - first, floors[c])
                confidence[c], chains[c] = _voicing.causal_confidence(
                    out[c, :, STRENGTH], out[c, :, LEVEL], chains[c], plan.frame_length)
        # Keep what the next frame needs (it may start beyond what came).
        keep_from = max(stop, first) * plan.hop_length
        buffer = buffer[:, max(keep_from - start, 0):]
        if removed is not None:
            removed = removed[:, max(keep_from - start, 0):]
            if not removed.any():
                removed = None
        peaks = peaks[:, max(keep_from - start, 0):]
        # Commit only once everything above has succeeded.
        self.buffer, self.received, self.next_frame = buffer, total, max(stop, first)
        self.removed = removed
        self.peaks, self.recent = peaks, recent
        self.condition_state, self.beliefs, self.chains = condition_state, beliefs, chains
        return first, out, confidence

    def _analyse(self, x: np.ndarray, belief: np.ndarray, n_frames: int,
                 floor: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        plan = self.plan
        if plan.method == "direct":
            return _analyse_block(x, plan, n_frames, floor=floor), belief
        # The filter runs over every frame, silent ones included, so the
        # belief after a block is that of one pass over the whole signal.
        waves = _half_waves(x, plan.polarity)
        p = plan.params
        interp = "no" if plan.interpolator == "none" else plan.interpolator
        resume = _kernels._bayes_negaposi_resume if len(waves) == 2 else _kernels._bayes_resume
        rows = np.full((n_frames, N_COLUMNS), np.nan)
        hop, first = plan.hop_length, 0
        while first < n_frames:
            part = [w[first * hop:] for w in waves]
            out, belief = resume(*part, plan.sr, plan.frame_length, hop, plan.lags,
                                 plan.pp_mode, p["alpha"], interp, self._transition_t, belief)
            rows[first: first + out.shape[0], : out.shape[1]] = out
            if not np.isnan(belief).any():
                break
            # A belief that became NaN is never re-initialised by the filter
            # (an overflow on a frame nearly all zeros): start afresh after
            # the frame where it was lost, which depends on no chunking.
            lost = np.isnan(out[:, PROBABILITY])
            tail = out.shape[0] - int(np.argmin(lost[::-1])) if not lost.all() else 0
            if not lost[-1]:
                tail = out.shape[0] - 1
            belief = np.zeros(len(plan.lags))
            first += tail + 1
        rows[:, LEVEL] = _frame_levels(x, plan, n_frames)
        silent = _silent(x, waves, plan, rows[:, LEVEL], floor)
        rows[silent, :LEVEL] = np.nan
        check_rows(x, plan, rows)
        return rows, belief


class PitchStream:
    """Pitch of audio that arrives in chunks, decided as each frame completes.

    Parameters
    ----------
    sr : float > 0
        Sampling rate in Hz.
    channels : int >= 1, optional
        Chunks have shape (channels, n); by default they are 1-D.
    options : Options, optional
        The analysis parameters; keywords replace its values.
    **kwargs
        The keywords of :func:`qesmorPitch.track` (``method`` defaults to
        ``"bayes"`` here; ``"viterbi"`` is refused, being non-causal).

    Notes
    -----
    ``push(y)`` for every chunk of a signal gives, frame for frame and bit for
    bit, ``track(signal, sr, causal=True, ...)``. A frame is reported once the
    sample after its end has arrived: at most one frame plus one hop after
    its first sample. The stream keeps only the samples of the frames not yet
    complete, the filter's belief and the voicing chain's state.

    Examples
    --------
    >>> import numpy as np
    >>> import qesmorPitch
    >>> sr = 16000
    >>> y = np.sin(2 * np.pi * 220 * np.arange(sr) / sr)
    >>> stream = qesmorPitch.PitchStream(sr, fmin=80, fmax=400)
    >>> tracks = [stream.push(chunk) for chunk in np.array_split(y, 100)]
    >>> tail = stream.flush()
    >>> sum(len(t) for t in tracks) + len(tail)
    98
    >>> bool(abs(np.nanmedian(tracks[-1].f0) - 220) < 1)
    True
    """

    def __init__(self, sr: float, *, channels: Optional[int] = None,
                 options: Optional[Options] = None, **kwargs: Any) -> None:
        if options is None and "method" not in kwargs:
            kwargs["method"] = "bayes"
        elif (isinstance(options, Options) and options.method == "viterbi"
              and kwargs.get("method", "viterbi") == "viterbi"):
            raise ValueError("a stream needs method='bayes' or 'direct', and the options give "
                             "method='viterbi' (the offline default), which decodes the whole "
                             "signal before deciding any frame: pass method='bayes' too")
        if not kwargs.get("causal", True):
            raise ValueError(f"causal={kwargs['causal']!r}: a stream is causal by nature; "
                             f"drop the argument, or use track() for offline analysis")
        opts = Options.merged(options, {**kwargs, "causal": True})
        if channels is not None and (isinstance(channels, bool)
                                     or not isinstance(channels, (int, np.integer))
                                     or not 1 <= channels <= 32):
            raise ValueError(f"channels={channels!r} must be an integer from 1 to 32, "
                             f"or None for 1-D chunks")
        self.channels = None if channels is None else int(channels)
        self.options = opts
        self.plan = make_plan(sr, opts)
        self.sr = self.plan.sr
        # mono averages the channels before the analysis, as track() does.
        out_rows = 1 if channels is None or opts.mono else self.channels
        self._n_channels = None if channels is None or opts.mono else self.channels
        self._causal = _Causal(self.plan, out_rows)
        self._ended = False

    @property
    def samples_received(self) -> int:
        return self._causal.received

    @property
    def frames_decided(self) -> int:
        return self._causal.next_frame

    def push(self, samples: Any) -> PitchTrack:
        """Add a chunk; return the frames it completes (possibly none).

        Parameters
        ----------
        samples : array_like, shape (n,) or (channels, n)
            Real samples, any length including 0; integers are read as
            fractions of their type's full scale.

        Raises
        ------
        ValueError
            The chunk holds NaN/inf (named by its index in the chunk) or has
            the wrong shape; the stream is unchanged and may go on.
        TypeError
            The chunk is not real numbers.
        RuntimeError
            The stream has been flushed.
        """
        if self._ended:
            raise RuntimeError("push() after flush(): the stream has ended; "
                               "call reset() to start a new one")
        x = self._check(samples)
        causal = self._causal
        step = BLOCK_FRAMES * self.plan.hop_length
        if x.shape[1] <= step:
            first, rows, confidence = causal.feed(x)
        else:
            # A long chunk block by block, as track(causal=True) reads a
            # signal: the same frames, in bounded memory (at once, the
            # analysis held some fifteen times the chunk). A block that
            # fails leaves the stream as it was before the chunk.
            saved = dict(vars(causal))
            try:
                parts = [causal.feed(x[:, a: a + step]) for a in range(0, x.shape[1], step)]
            except BaseException:
                vars(causal).update(saved)
                raise
            first = parts[0][0]
            rows = np.concatenate([p[1] for p in parts], axis=1)
            confidence = np.concatenate([p[2] for p in parts], axis=1)
        return track_from_rows(rows, self.plan, self._n_channels, first, confidence)

    def flush(self) -> PitchTrack:
        """End the stream; return the frames still undecided.

        A frame is decided as soon as the sample after it arrives, which is
        also where :func:`track` ends, so nothing is left at the end: the
        result is empty, and further pushes are refused until :meth:`reset`.
        """
        self._ended = True
        empty = np.full((self._causal.rows, 0, N_COLUMNS), np.nan)
        return track_from_rows(empty, self.plan, self._n_channels, self._causal.next_frame,
                               np.zeros(empty.shape[:2]))

    def reset(self) -> None:
        """Forget every sample; the next push starts a new signal at time 0."""
        self._causal.reset()
        self._ended = False

    def _check(self, samples: Any) -> np.ndarray:
        if isinstance(samples, np.ma.MaskedArray) and np.ma.getmaskarray(samples).any():
            # np.asarray would drop the mask and analyse what lies under it.
            raise ValueError("samples is a masked array with masked samples; the chunk was "
                             "refused and the stream is unchanged: fill them first, "
                             "e.g. samples.filled(0.0)")
        try:
            arr = np.asarray(samples)
        except ValueError:
            # NumPy's "inhomogeneous shape" for rows of unequal lengths.
            raise ValueError("samples is a list of rows of unequal lengths; give every channel "
                             "the same number of samples") from None
        if arr.dtype.kind not in "biuf":
            raise TypeError(f"samples must be real numbers, got dtype {arr.dtype}; "
                            f"pass a float or integer array")
        want = "(n,)" if self.channels is None else f"({self.channels}, n)"
        if self.channels is None:
            if arr.ndim != 1:
                raise ValueError(f"samples have shape {arr.shape}; this stream takes 1-D "
                                 f"chunks {want} (PitchStream(..., channels=N) takes 2-D)")
        elif arr.ndim != 2 or arr.shape[0] != self.channels:
            # An audio callback's block is (frames, channels): the layout
            # most chunks arrive in, refused without a word of what to do.
            hint = ("; if it holds the channels stored samples first, pass samples.T"
                    if arr.ndim == 2 and arr.shape[1] == self.channels else "")
            raise ValueError(f"samples have shape {arr.shape}; this stream takes "
                             f"{want} chunks of {self.channels} channel(s){hint}")
        with np.errstate(over="ignore"):  # a wider float's beyond the doubles: inf, told below
            x = np.array(arr, dtype=np.float64, ndmin=2) * full_scale(arr.dtype)
        finite = np.isfinite(x)
        if not finite.all():
            index = int(np.argwhere(~finite)[:, 1].min())
            if np.isfinite(np.atleast_2d(arr)[:, index]).all():
                # Finite in a wider float (np.longdouble), beyond every double.
                raise ValueError(f"samples[{index}] is beyond the largest double, which the "
                                 f"analysis computes in; the chunk was refused and the stream "
                                 f"is unchanged: scale the signal down")
            raise ValueError(f"samples[{index}] is not finite (NaN or inf); the chunk was "
                             f"refused and the stream is unchanged: replace them, "
                             f"e.g. np.nan_to_num(samples)")
        if self.options.mono and x.shape[0] > 1:
            x = _frontend.mix_down(x)[None, :]
        return x


def causal_rows(source: Any, plan: _Plan,
                progress: Optional[Callable[[int], None]] = None) -> Tuple[np.ndarray, np.ndarray]:
    """Rows [f0, strength, probability] of a whole signal or a file source,
    shape (channels, n_frames, N_COLUMNS), and their voicing confidence,
    shape (channels, n_frames): the source through the analyser a
    :class:`PitchStream` uses, block by block."""
    rows = 1 if source.n_channels is None else source.n_channels
    causal = _Causal(plan, rows)
    step = BLOCK_FRAMES * plan.hop_length
    parts: List[np.ndarray] = [np.zeros((rows, 0, N_COLUMNS))]
    confidence: List[np.ndarray] = [np.zeros((rows, 0))]
    for start in range(0, source.n_samples, step):
        stop = min(start + step, source.n_samples)
        _, out, conf = causal.feed(np.asarray(source.read(start, stop), dtype=np.float64))
        parts.append(out)
        confidence.append(conf)
        if progress is not None:
            progress(out.shape[1] * rows)
    return np.concatenate(parts, axis=1), np.concatenate(confidence, axis=1)
