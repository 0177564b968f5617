"""The voicing decision: a bounded periodicity check at the chosen period,
the period corrected to the best of its multiples and submultiples, and a
two-state voiced/unvoiced chain over the frames.

The cores' strength is the chosen periodicity peak over the frame mean: on
a frame that is mostly exact zeros it is unbounded, and it does not see
harmonic errors. The check here (src/voicing.cpp) compares the frame,
smoothed by [1, 2, 1], with its copy one fractional period later, both
sides linearly interpolated by half the fraction:

    strength = 1 - sum |a - b| / sum (|a| + |b|)

1 for a strictly periodic frame, about 0.3 for white noise, never outside
[0, 1]. It is computed at the chosen period P and at P * k for k in 1/3,
1/2, 2, 3 within the searched range; the shortest period whose strength is
within OCTAVE_TOLERANCE of the best is kept. That catches the cores' two
harmonic errors: 2 P where the true period lies half a sample from a whole
lag while its double lands on one (the fractional check at P is as good as
at 2 P), and P / 3 on voices whose third harmonic dominates. A multiple
kept is checked once more for its own fractions, which reaches 2/3 of P
where the cores took 3/2 of the period.

Each frame's evidence for "voiced" is a log-odds score of its strength
(bounded, so a perfectly periodic background cannot outweigh its level;
offline, against even odds that follow how periodic the quietest frames
are, so broadband noise does not reject the voice it weakens),
of its level against the signal's active level (a silence floor) and
against the level of its pauses (a steady background: hum, a noise floor,
distant talkers). A two-state chain whose switches cost SWITCH_COST in
log-odds turns the scores into each frame's posterior, the confidence:
forward and backward for offline analysis by the tracking methods, which
then weigh the first and last frame of each voiced run again by the
strength at its centre (see confidence); forward only (each frame from the
frames before it) for "direct", whose frames are their own. Causal analysis (a stream,
``track(causal=True)``) runs the forward chain on evidence that uses no
statistic of the whole signal, the level against full scale, and carries the
chain's state from call to call. Every setting here was chosen on the tuning
part of the real corpus.
"""
from __future__ import annotations

import math
from typing import List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from . import _kernels

# Periods tried besides the chosen one, as multiples of it.
FACTORS = (1.0 / 3.0, 0.5, 2.0, 3.0)
# A period of few samples lies up to half a sample from the nearest whole
# lag, which costs it far more than OCTAVE_TOLERANCE at whole lags (a sine
# of 9.25 samples checks at 0.92 at a period of 9 samples and 0.75 at 10),
# while a multiple of it landing on a whole lag scores as a perfect period:
# the cores then take 4, 5 or (with the direct method's first peak) a dozen
# times it, beyond FACTORS. Periods shorter than SHORT_PERIOD samples are
# also tried at every fraction of the chosen one from a quarter on (at
# 8 kHz with fmax=1000, tones above 800 Hz had come out at a half or a
# fifth, every frame voiced; from 16 kHz on with fmax up to 1000 Hz hardly
# any period is that short).
SHORT_PERIOD = 16.0
FAR_SHORT_PERIOD = 12.0
# The farthest fraction tried: the direct method's first peak lay up to 80
# times a tone's period at fmax=4000, four samples at 16 kHz; the rows
# tried stay bounded whatever the range (a signal tracked from 1 Hz would
# otherwise try thousands).
MOST_FRACTION = 96
# The direct method's highest peak is tried down to an eighth of its period
# at any length (see _track.check_rows): over 40-1000 Hz it often lies on a
# far multiple.
DIRECT_FACTORS = tuple(1.0 / k for k in range(8, 3, -1)) + FACTORS
# A shorter period wins when its strength is at most this below the best.
OCTAVE_TOLERANCE = 0.06
# Below this strength (white noise is about 0.3) the multiples are not tried.
SEARCH_FLOOR = 0.35

# The speaker's range (see outliers): a voiced frame at least RANGE_RATIO
# from the median period of the reliable voiced frames within RANGE_SECONDS
# (at least RANGE_LEAST of them, each of strength RELIABLE or more), and of
# strength below DOUBTFUL, is searched again within RANGE_SEARCH of that
# median; a period found there replaces its own unless its own is the more
# periodic by more than RANGE_MARGIN. A doubtful frame that far out is more
# often another talker, a formant or a creak than a leap of the voice (the
# tuning part gained most in babble and on the telephone band from taking
# the speaker's period even where it was somewhat less periodic; music,
# whose leaps are real, stayed within 0.0003). The voicing is then decided
# again on the strengths found (on the tuning part babble at 20 dB went from
# 0.8826 to 0.8887, at 10 dB from 0.7518 to 0.7555, the mean over the
# speech conditions from 0.8700 to 0.8705; brown noise at 0 dB lost 0.0032,
# babble at 0 dB 0.0010). Searching unvoiced frames as well (a formant's
# period too weak to be voiced) gained the telephone band another 0.0006,
# and 0.004 held out, but each frame searched alone costs its block's
# conditioning: 8 % of the time on a minute of speech with noisy pauses.
RANGE_RATIO = 1.5
RANGE_SECONDS = 1.0
RANGE_LEAST = 10
RELIABLE = 0.8
DOUBTFUL = 0.85
RANGE_SEARCH = 1.3
RANGE_MARGIN = 0.15
# A frame's period "goes on" where the first reliable voiced frame among the
# SETTLE_FRAMES after it holds it (see settling and takes_range_period).
SETTLE_FRAMES = 5
OUTLIER_ROWS = 4096         # doubtful frames whose neighbours are sorted at once

# A voice's period continues from frame to frame; a frame whose period lies
# more than JUMP_CENTS from both its neighbours' is a chance period of noise,
# of a resonance or of a tail, and its evidence falls by up to JUMP_WEIGHT
# (reached JUMP_SPAN cents further). Only where the pauses lie well below the
# active level (JUMP_SPREAD_DB, in full JUMP_SPREAD_SPAN_DB further): in
# broadband noise near the voice's level, a voice's own period wanders as
# much. Chosen on the tuning part of the real corpus.
JUMP_CENTS = 50.0
JUMP_SPAN = 100.0
JUMP_WEIGHT = 4.0
JUMP_SPREAD_DB = 15.0
JUMP_SPREAD_SPAN_DB = 10.0
# A voiced frame GLITCH_CENTS or more from both its neighbours, which agree
# within JUMP_CENTS, is searched again near them (see glitches): on the
# tuning part music gained 0.0001 to 0.0002 in four of six conditions, none
# lower, and speech moved by 0.0001 at most.
GLITCH_CENTS = 300.0

# A reverberant room: its levels never fall fast (in at most 1 % of the
# steps between frames by more than TAIL_DROP_DB, wholly below it by
# TAIL_DROP_SPAN_DB), since every sound ends in a tail that decays at the
# room's rate, while its pauses lie far below the active level (by
# TAIL_SPREAD_DB, wholly TAIL_SPREAD_SPAN_DB further). There a frame whose
# level has fallen for TAIL_FRAMES frames in a row, and lies TAIL_BELOW_DB
# below the loudest of the last TAIL_WINDOW frames (wholly TAIL_BELOW_SPAN_DB
# further), is the tail of a sound that has ended, periodic at its period,
# and loses up to TAIL_WEIGHT in log-odds. A dry recording's levels fall by
# 10 dB or more between frames where a voice stops, and keep every frame. On
# the tuning part the 0.5 s room went from 0.731 to 0.772 and no other
# condition moved by more than 0.0001 (music within 0.0003).
TAIL_DROP_DB = 4.5
TAIL_DROP_SPAN_DB = 1.5
TAIL_SPREAD_DB = 28.0
TAIL_SPREAD_SPAN_DB = 4.0
TAIL_FRAMES = 3
TAIL_BELOW_DB = 10.0
TAIL_BELOW_SPAN_DB = 10.0
TAIL_WINDOW = 30            # frames: 0.3 s at the default hop
TAIL_WEIGHT = 8.0
# The falls that tell a room are those from frames more than
# TAIL_ABOVE_PAUSE_DB above the pauses' level, not the background's own
# steps (on the tuning part the 0.5 s room went from 0.771 to 0.773, music
# in it from 0.974 to 0.980; a minute of steady noise around an utterance
# had opened the room's gate and cost it 0.01-0.02).
TAIL_ABOVE_PAUSE_DB = 3.0
# A recording whose room share reaches REVERB_SHARE is analysed again with
# its late reverberation taken out (see _reverb). Distant talkers and a
# noise floor as smooth as a tail open the room's gate a little (shares of
# 0.01-0.05 on the tuning part), rooms with a 0.5 s tail open it by 0.45-1.
REVERB_SHARE = 0.25
# ... unless its voiced frames are periodic enough that no tail disturbs
# them: a median strength of ROOM_PERIODIC or more. A room's tails lie
# under the voice that follows, and the 0.5 s room leaves the voiced frames
# of its speech a median of 0.63 to 0.89; legato instruments, whose long
# releases open the room's gate as a room's tails do, keep 0.87 to 0.98,
# and the second analysis, which with the resynthesis costs them two to
# three times one analysis (at 44.1 kHz up to six), changed none of those
# above 0.90 by more than 0.0013 (tuning part of the real corpus; in the
# 0.5 s room it cost them 0.014).
ROOM_PERIODIC = 0.90

# The voicing model (chosen on the tuning part of the real corpus).
STRENGTH_CENTRE = 0.50      # strength at even odds
# Offline, the even odds follow the background: BACKGROUND_MARGIN above the
# median strength of the quietest BACKGROUND_PERCENTILE % of the frames,
# between LEAST_CENTRE and STRENGTH_CENTRE (see strength_centre).
BACKGROUND_PERCENTILE = 25.0
BACKGROUND_MARGIN = 0.09
LEAST_CENTRE = 0.42
BACKGROUND_FRAMES = 20      # fewer frames with a strength tell no background
STRENGTH_SLOPE = 30.0       # log-odds per unit of strength
STRENGTH_CAP = 3.0          # most log-odds the strength alone gives either way
ACTIVE_PERCENTILE = 95.0    # the signal's active level among the frame levels
# ... unless the frames more than ACTIVE_ABOVE_DB above the pauses (at least
# ACTIVE_LEAST of them) reach a 95th percentile ACTIVE_JUMP_DB higher: then
# the voice is a small part of a long recording, and its level is theirs.
# (No item of the real corpus is such a recording; an utterance inside a
# minute of noise 40 dB down scored 0.940 instead of 0.935, alone 0.946.)
ACTIVE_ABOVE_DB = 10.0
ACTIVE_LEAST = 20
ACTIVE_JUMP_DB = 15.0
FLOOR_DB = -40.0            # below this, relative to the active level, evidence falls
FLOOR_SLOPE = 1.0           # log-odds per dB below the floor
SWITCH_COST = 4.0           # log-odds to switch state between frames
# Forward only (no later frame to confirm a change), the chain switches
# sooner and asks more strength of a voiced frame.
FORWARD_SWITCH_COST = 1.0
FORWARD_CENTRE = 0.50
PAUSE_PERCENTILE = 5.0      # the level of the pauses among the frame levels
PAUSE_SPREAD_DB = 12.0      # pauses this far below the active level are a background
PAUSE_MARGIN_DB = 4.0       # evidence falls below this far above the background
PAUSE_SLOPE = 2.0           # log-odds per dB below it
# The pause term is for a background the strength lets through: distant
# talkers, hum. Broadband noise, whose frames the strength already rejects,
# would only cost the quiet voiced sounds just above it. So the term counts
# in full where the median strength of the frames at the pauses' level is
# PERIODIC_BACKGROUND + PERIODIC_SPAN or more (below what a babble's pauses
# reach on the tuning part of the real corpus, 0.48 at their 10th
# percentile) and not at all below PERIODIC_BACKGROUND (white, pink and
# brown noise leave 0.31-0.44). On the tuning part white noise at 10 dB SNR
# went from 0.889 to 0.906 and pink noise from 0.865 to 0.876; babble and
# hum did not move.
PERIODIC_BACKGROUND = 0.40
PERIODIC_SPAN = 0.06
# Pauses only NEAR_SPREAD_DB to PAUSE_SPREAD_DB below the active level (talkers
# as loud as the voice) count as a background too, but only a clearly
# periodic one: the term grows from nothing at a median strength of
# NEAR_PERIODIC to its full weight PERIODIC_SPAN above. So close to the
# voice, the frames at the pauses' level include voiced frames that the
# noise has weakened, and white noise at 0 dB SNR reaches a median of 0.43
# there (babble at 0 dB 0.52 at its 10th percentile). On the tuning part
# babble at 0 dB went from 0.351 to 0.387 for viterbi (0.337 to 0.378 for
# bayes, 0.321 to 0.359 for direct) and no other condition moved.
NEAR_SPREAD_DB = 8.0
NEAR_PERIODIC = 0.46
# Pauses last: the frames at the pauses' level are a background only where
# they lie in runs of RUN_FRAMES or more (80 ms at the default hop). Where
# less than RUN_SHARE of them do (the term in full from RUN_SHARE +
# RUN_SPAN), they are the dips between the syllables of an utterance with
# few pauses, whose quietest frames a recording's quantisation leaves on
# what looks like a floor once the fades into silence below them have
# become exact zeros. On the tuning part the telephone band went from 0.923
# to 0.927 and babble did not move; clean speech read from 16-bit samples
# missed 0.26 % of the frames more than the float originals, not 0.54 %.
RUN_FRAMES = 8
RUN_SHARE = 0.3
RUN_SPAN = 0.1
# The pauses are a background only where the quietest frames sit on a
# floor: with frames well below them (LEAST_PERCENTILE of the levels more
# than PAUSE_FLAT_DB under PAUSE_PERCENTILE), the signal fades to nothing
# somewhere, its low percentiles are quiet voiced sounds of an utterance
# with few pauses, and a margin above them would reject those sounds. Hum,
# noise and distant talkers leave a floor within a few dB.
LEAST_PERCENTILE = 1.0
PAUSE_FLAT_DB = 20.0
CAUSAL_FLOOR_DB = -70.0     # the floor against full scale when no signal statistic is known
# Causal use: the forward chain on evidence without signal statistics. The
# tuning part scores the same for costs from 0.25 to 1.25 (overall accuracy
# within 0.001); above that, onsets come late enough to cost accuracy.
CAUSAL_SWITCH_COST = 0.75
CAUSAL_CENTRE = 0.50
# On a short frame noise scatters: white noise's strength at a given period
# is about NOISE_STRENGTH with a spread of NOISE_SPREAD / sqrt(frame
# samples), and the best of many candidate periods lies high in that
# spread. The even odds never lie below NOISE_SPREADS spreads above it
# (0.41 on the default 644-sample frames at 16 kHz; above the fixed 0.5
# only on frames under about 200 samples, fmin above about 160 Hz at
# 16 kHz), nor above NOISE_CENTRE_CAP (a tone of a few samples' period on
# a frame of twenty measures about 0.95).
NOISE_STRENGTH = 0.29
NOISE_SPREAD = 0.75
NOISE_SPREADS = 4.0
NOISE_CENTRE_CAP = 0.85


def check(x: np.ndarray, starts: np.ndarray, periods: np.ndarray,
          width: Union[int, np.ndarray]) -> np.ndarray:
    """The bounded strength of frames x[starts[i]: starts[i] + width],
    smoothed by [1, 2, 1], at the fractional periods ``periods[k, i]`` (NaN
    for a NaN period or one too long), shape of `periods`; `width` is one
    for every frame or one per frame."""
    return _kernels._periodicity_check(x, np.asarray(starts, dtype=np.intp),
                                       np.atleast_2d(periods),
                                       np.atleast_1d(np.asarray(width, dtype=np.intp)))


def correct_periods(x: np.ndarray, starts: np.ndarray, periods: np.ndarray, width: int,
                    shortest: float, longest: float,
                    factors: Tuple[float, ...] = FACTORS) -> Tuple[np.ndarray, np.ndarray]:
    """The period of each frame among `periods` and its multiples by
    `factors` (and by any fraction from a quarter on where that is shorter
    than SHORT_PERIOD samples) within [shortest, longest], and its strength;
    NaN where `periods` is NaN."""
    given = tuple(factors)
    base = check(x, starts, periods, width)[0]
    # A longer period wins only by more than the tolerance, beyond reach of
    # a frame already that periodic; a frame as aperiodic as noise is not
    # worth the search (whatever its period, it is not voiced).
    doubt = ~(base >= 1.0 - OCTAVE_TOLERANCE)
    worth = base >= SEARCH_FLOOR
    # Every fraction from a quarter on that can give a short period, down to
    # the shortest period (a tone's period can lie a dozen times over in
    # the longest), each tried only where the period it gives is short;
    # only the fractions that give one anywhere are measured.
    finite = periods[np.isfinite(periods)]
    most = min(max(8, int(finite.max() / max(shortest, 1.0))), MOST_FRACTION) if finite.size else 8
    extra = tuple(1.0 / k for k in range(most, 3, -1) if 1.0 / k not in factors)
    n_usual = len(factors)
    factors = np.array(tuple(factors) + extra)[:, None]
    P = periods[None, :] * factors
    tried = (P >= shortest) & (P <= longest) & (doubt | (factors < 1)) & worth
    short = (np.arange(factors.shape[0]) >= n_usual)[:, None]
    # Beyond an eighth, only the shortest periods (fewer than 12 samples):
    # a fifteenth of a bass note's period at 16 kHz, 1000 Hz, had measured as
    # periodic as the note in its attack.
    bound = np.where(factors < 1.0 / 8.5, FAR_SHORT_PERIOD, SHORT_PERIOD)
    P = np.where(tried & (~short | (P < bound)), P, np.nan)
    some = ~short[:, 0] | np.isfinite(P).any(axis=1)
    P = P[some]
    # Rows of Pm and Sm: the period itself, each of `factors`, then the
    # short fractions.
    usual = np.concatenate(([True], ~short[some, 0]))
    Pm = np.concatenate((periods[None, :], P))
    Sm = np.concatenate((base[None, :], check(x, starts, P, width)))
    with np.errstate(invalid="ignore"):
        # The best of the usual candidates sets the bar: a short one that
        # is more periodic still is near it, but does not raise it.
        top = np.max(np.where(np.isfinite(Sm[usual]), Sm[usual], -np.inf), axis=0)
        # A short period must itself be clearly periodic: in a weak frame (a
        # breathy voice on the telephone band) a formant's harmonic can
        # measure as periodic as the voice's own period.
        near = np.isfinite(Sm) & (Sm >= top - OCTAVE_TOLERANCE) & (usual[:, None] | (Sm >= RELIABLE))
    pick = np.argmin(np.where(near, Pm, np.inf), axis=0)
    cols = np.arange(periods.shape[0])
    found = near.any(axis=0)
    period = np.where(found, Pm[pick, cols], periods)
    strength = np.where(found, Sm[pick, cols], np.nan)
    # A multiple taken is checked again for its own fractions: the cores'
    # period can lie at 3/2 of the true one, where neither a half nor a
    # third of it is in range while its double, three true periods, is (an
    # oboe's 778 Hz read as 259 Hz).
    longer = np.flatnonzero(found & (Pm[pick, cols] > periods))
    fractions = tuple(f for f in given if f < 1)
    if longer.size and len(fractions) < len(given):
        again, again_strength = correct_periods(x, starts[longer], period[longer], width,
                                                shortest, longest, fractions)
        shorter = again < period[longer]
        period[longer[shorter]] = again[shorter]
        strength[longer[shorter]] = again_strength[shorter]
    return period, strength


def outliers(periods: np.ndarray, strength: np.ndarray, voiced: np.ndarray,
             reach: int) -> Tuple[np.ndarray, np.ndarray]:
    """Frames of one channel whose period lies far from the speaker's, and
    the median period of the reliable voiced frames within `reach` frames
    of each (see RANGE_RATIO).

    A weak voice leaves the cores a resonance that rings at a period of its
    own: runs of frames between voiceless stretches then sit at a formant,
    three to six times the pitch and at no whole multiple of its period, out
    of reach of the harmonic correction. The frames around it, a second
    either way, tell where the voice is."""
    with np.errstate(invalid="ignore"):
        reliable = voiced & (strength >= RELIABLE)
        doubtful = np.flatnonzero(voiced & ~(strength >= DOUBTFUL))
    if doubtful.size == 0 or np.count_nonzero(reliable) < RANGE_LEAST:
        return doubtful[:0], np.zeros(0)
    where = np.flatnonzero(reliable)
    logs = np.log2(periods[where])
    lo = np.searchsorted(where, doubtful - reach)
    count = np.searchsorted(where, doubtful + reach, side="right") - lo
    middle = np.empty(doubtful.size)
    # Each doubtful frame's reliable neighbours in a row, sorted, the row's
    # end filled with +inf: the median is read off the middle of each row.
    # OUTLIER_ROWS rows at a time, so that memory does not grow with the
    # signal (a noisy hour has doubtful frames all through).
    for a in range(0, doubtful.size, OUTLIER_ROWS):
        b = min(a + OUTLIER_ROWS, doubtful.size)
        take = lo[a:b, None] + np.arange(max(int(count[a:b].max()), 1))
        around = np.where(take < (lo[a:b] + count[a:b])[:, None],
                          logs[np.minimum(take, where.size - 1)], np.inf)
        around.sort(axis=1)
        rows = np.arange(b - a)
        n = count[a:b]
        middle[a:b] = 0.5 * (around[rows, np.maximum(n - 1, 0) // 2] + around[rows, n // 2])
    centre = np.where(count >= RANGE_LEAST, middle, np.nan)
    with np.errstate(invalid="ignore"):
        far = np.abs(np.log2(periods[doubtful]) - centre) >= math.log2(RANGE_RATIO)
    return doubtful[far], 2.0 ** centre[far]


def takes_range_period(found: np.ndarray, found_strength: np.ndarray, own: np.ndarray,
                       own_strength: np.ndarray, settles: np.ndarray) -> np.ndarray:
    """Whether each frame takes the period `found` near the speaker's range
    instead of its `own`: unless its own is the more periodic by more than
    RANGE_MARGIN; and where the one found is a whole multiple of its own
    (within JUMP_CENTS) while its own goes on in the reliable frames just
    after it (`settles`, see settling), only as the harmonic check would
    take it, by more than OCTAVE_TOLERANCE. Whatever repeats at a period
    repeats at its multiples too: at an octave leap up the new note's first
    frames, not yet strong, had been taken back to the old note's octave,
    where it still rang."""
    ratio = found / own
    whole = np.round(ratio)
    with np.errstate(invalid="ignore", divide="ignore"):
        multiple = settles & (whole >= 2) & (np.abs(1200.0 * np.log2(ratio / whole)) <= JUMP_CENTS)
    margin = np.where(multiple, -OCTAVE_TOLERANCE, RANGE_MARGIN)
    return found_strength > own_strength - margin


def settling(periods: np.ndarray, strength: np.ndarray, voiced: np.ndarray,
             frames: np.ndarray) -> np.ndarray:
    """Whether the period of each of `frames` lies within JUMP_CENTS of that
    of the first reliable voiced frame among the SETTLE_FRAMES after it."""
    with np.errstate(invalid="ignore"):
        reliable = np.flatnonzero(voiced & (strength >= RELIABLE))
    nxt = np.searchsorted(reliable, frames, side="right")
    has = nxt < reliable.size
    after = reliable[np.minimum(nxt, max(reliable.size - 1, 0))] if reliable.size else frames
    has &= after - frames <= SETTLE_FRAMES
    with np.errstate(invalid="ignore", divide="ignore"):
        near = np.abs(1200.0 * np.log2(periods[frames] / periods[after])) <= JUMP_CENTS
    return has & near


def glitches(periods: np.ndarray, strength: np.ndarray,
             voiced: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Voiced frames of one channel, of strength below DOUBTFUL, whose period
    lies GLITCH_CENTS or more from both neighbours' while the two
    neighbours, voiced and RELIABLE, agree within JUMP_CENTS; and the mean
    of the neighbours' periods. (A frame as periodic as its neighbours is a
    leap of its own, as outliers leaves it.)

    Between two distant lags the Viterbi path may step through a lag between
    them for a frame (two half jumps cost the transition model half of one
    whole), at a period the frame does not hold and no multiple of its own:
    an oboe's leap from 277 to 557 Hz passed through 376 Hz, read as 188."""
    with np.errstate(invalid="ignore"):
        cents = 1200.0 * np.log2(periods)
        sure = voiced & (strength >= RELIABLE)
        mid = cents[1:-1]
        t = np.flatnonzero(sure[:-2] & sure[2:] & voiced[1:-1] & ~(strength[1:-1] >= DOUBTFUL)
                           & (np.abs(cents[:-2] - cents[2:]) <= JUMP_CENTS)
                           & (np.abs(mid - cents[:-2]) >= GLITCH_CENTS)
                           & (np.abs(mid - cents[2:]) >= GLITCH_CENTS))
    return t + 1, np.sqrt(periods[t] * periods[t + 2])


def search_near(x: np.ndarray, starts: np.ndarray, centres: np.ndarray, width: int,
                shortest: float, longest: float, polarity: int) -> np.ndarray:
    """The whole lag of the highest qesmor value of each frame
    x[starts[i]: starts[i] + width] within RANGE_SEARCH of `centres[i]`
    (of the half-waves `polarity` selects, as _kernels._qesmor_frames_at);
    NaN where it lies at an end of the search, which is no peak."""
    n = centres.size
    first = np.maximum(np.floor(centres / RANGE_SEARCH), math.ceil(shortest)).astype(np.intp)
    last = np.minimum(np.ceil(centres * RANGE_SEARCH),
                      min(math.floor(longest), width - 2)).astype(np.intp)
    count = max(int(np.max(last - first, initial=0)) + 1, 1)
    lags = np.minimum(first[:, None] + np.arange(count), last[:, None])
    values = _kernels._qesmor_frames_at(x, np.array([width], dtype=np.intp), starts,
                                        lags.ravel(), polarity).reshape(n, count)
    best = np.argmax(values, axis=1)
    lag = lags[np.arange(n), best]
    return np.where((best > 0) & (lag < last), lag, np.nan)


def noise_centre(width: int) -> float:
    """The least even odds on frames of `width` samples (see NOISE_SPREAD)."""
    return min(NOISE_STRENGTH + NOISE_SPREADS * NOISE_SPREAD / math.sqrt(max(width, 1)),
               NOISE_CENTRE_CAP)


def evidence(strength: np.ndarray, level: np.ndarray, active: Optional[float] = None,
             floor_db: Optional[float] = None, centre: Optional[float] = None,
             width: Optional[int] = None,
             levels: Optional[Tuple[np.ndarray, float, float, float]] = None) -> np.ndarray:
    """Log-odds of "voiced" per frame from its strength and its level, on
    frames of `width` samples (None: long enough not to matter). `levels`:
    the levels in dB and their percentiles (_level_db, _level_percentiles),
    when the caller has them already.

    The level counts against two floors: `floor_db` below the active level
    (by default a high percentile of the levels), and, when the quietest
    frames lie well below the active level on a floor of their own (see
    PAUSE_FLAT_DB), a margin above them: a steady background (hum, a noise
    floor, distant talkers) is periodic or loud enough to pass the
    strength, but it is the level of the pauses. A background the strength
    rejects by itself keeps no margin (see PERIODIC_BACKGROUND).
    """
    if floor_db is None:
        floor_db = FLOOR_DB
    if centre is None:
        centre = STRENGTH_CENTRE
    if width is not None:
        centre = max(centre, noise_centre(width))
    score = strength_score(strength, centre)
    db = _level_db(level) if levels is None else levels[0]
    if active is None:
        active_db, pause_db, least_db = _level_percentiles(db) if levels is None else levels[1:]
        if pause_db - least_db > PAUSE_FLAT_DB:
            pause_db = -400.0
    else:
        active_db, pause_db = 20.0 * math.log10(active), -400.0
    score += FLOOR_SLOPE * np.minimum(db - (active_db + floor_db), 0.0)
    if active_db - pause_db > NEAR_SPREAD_DB:
        least = PERIODIC_BACKGROUND if active_db - pause_db > PAUSE_SPREAD_DB else NEAR_PERIODIC
        score += (background_share(strength, db, pause_db, least) * PAUSE_SLOPE
                  * np.minimum(db - (pause_db + PAUSE_MARGIN_DB), 0.0))
    return np.where(np.isfinite(strength), score, -50.0)


def background_share(strength: np.ndarray, db: np.ndarray, pause_db: float,
                     least: float = PERIODIC_BACKGROUND) -> float:
    """How much of the pause term applies (see PERIODIC_BACKGROUND and
    RUN_FRAMES), from the frames' strengths and levels in dB and the pauses'
    level."""
    heard = db > -400.0
    at = (db <= pause_db + PAUSE_MARGIN_DB) & heard
    known = at & np.isfinite(strength)
    if not known.any():
        return 1.0
    median = float(np.median(strength[known]))
    share = min(max((median - least) / PERIODIC_SPAN, 0.0), 1.0)
    # Runs among the frames heard: digital silence neither ends nor makes one.
    edges = np.flatnonzero(np.diff(np.concatenate(([0], at[heard].view(np.int8), [0]))))
    lengths = edges[1::2] - edges[0::2]
    runs = lengths[lengths >= RUN_FRAMES].sum() / lengths.sum()
    return share * min(max((runs - RUN_SHARE) / RUN_SPAN, 0.0), 1.0)


def percentiles(values: np.ndarray, qs: Sequence[float]) -> List[float]:
    """np.percentile(values, q) for each q of `qs`, bit for bit (its default
    linear method), of a 1-D array of finite values: one partition for them
    all. np.percentile's own checks cost more than the partition of a
    signal's frames, and a short call pays them several times over; a whole
    sort took a third of the voicing model's time."""
    last = values.shape[0] - 1
    spans = []
    for q in qs:
        at = last * (q / 100.0)
        spans.append((at,) + ((last, last) if at >= last else (math.floor(at), math.floor(at) + 1)))
    # The order statistics at those ranks, exactly as a sort places them.
    ordered = np.partition(values, sorted({k for _, below, above in spans for k in (below, above)}))
    out = []
    for at, below, above in spans:
        a, b = float(ordered[below]), float(ordered[above])
        t = at - below
        # NumPy's interpolation, which computes from the nearer end.
        out.append(b - (b - a) * (1.0 - t) if t >= 0.5 else a + (b - a) * t)
    return out


def _level_db(level: np.ndarray) -> np.ndarray:
    """Frame levels in dB, -400 where silent."""
    with np.errstate(divide="ignore", invalid="ignore"):
        db = 20.0 * np.log10(level)
    return np.nan_to_num(db, nan=-400.0, neginf=-400.0)


def _level_percentiles(db: np.ndarray) -> Tuple[float, float, float]:
    """The active level, the pauses' and the least level of the frames that
    are heard (see ACTIVE_PERCENTILE, PAUSE_PERCENTILE, LEAST_PERCENTILE)."""
    heard = db[db > -400.0]
    if heard.size == 0:
        return 0.0, -400.0, -400.0
    active, pause, least = percentiles(heard, (ACTIVE_PERCENTILE, PAUSE_PERCENTILE,
                                               LEAST_PERCENTILE))
    # A voice that fills less than a twentieth of a recording (mostly
    # background) is not its 95th percentile: that is the background's level.
    loud = heard[heard > pause + ACTIVE_ABOVE_DB]
    if loud.size >= ACTIVE_LEAST:
        top = percentiles(loud, (ACTIVE_PERCENTILE,))[0]
        if top > active + ACTIVE_JUMP_DB:
            active = top
    return float(active), float(pause), float(least)


def jump_penalty(f0: np.ndarray, spread_db: float) -> np.ndarray:
    """The log-odds each frame loses for a period that continues neither
    neighbour's (see JUMP_CENTS), in a signal whose pauses lie `spread_db`
    below its active level; NaN periods continue nothing."""
    share = min(max((spread_db - JUMP_SPREAD_DB) / JUMP_SPREAD_SPAN_DB, 0.0), 1.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        step = np.abs(np.diff(np.log2(f0))) * 1200.0
    step = np.nan_to_num(step, nan=np.inf)
    jump = np.minimum(np.concatenate(([np.inf], step)), np.concatenate((step, [np.inf])))
    return share * JUMP_WEIGHT * np.clip((jump - JUMP_CENTS) / JUMP_SPAN, 0.0, 1.0)


def room_share(db: np.ndarray, spread_db: float, pause_db: float) -> float:
    """How surely, in [0, 1], frame levels in dB (see _level_db) of a signal
    whose pauses lie at `pause_db`, `spread_db` below its active level, are
    a reverberant room's (see TAIL_DROP_DB)."""
    # Falls from the sounds only: the steps of a long steady background
    # barely move, and would make any recording that is mostly pauses look
    # reverberant.
    heard = (db[1:] > -400.0) & (db[:-1] > pause_db + TAIL_ABOVE_PAUSE_DB)
    if not heard.any():
        return 0.0
    drop = percentiles((db[:-1] - db[1:])[heard], (99.0,))[0]
    return (min(max((TAIL_DROP_DB - drop) / TAIL_DROP_SPAN_DB, 0.0), 1.0) *
            min(max((spread_db - TAIL_SPREAD_DB) / TAIL_SPREAD_SPAN_DB, 0.0), 1.0))


def reverberant(level: np.ndarray, voiced_strength: np.ndarray) -> bool:
    """Whether a channel's frame levels (NaN or 0 where silent) tell a room
    reverberant enough to analyse again without its late reverberation
    (see _reverb): a room share of at least REVERB_SHARE, where the
    strengths of the frames reported voiced (`voiced_strength`) have a
    median below ROOM_PERIODIC."""
    known = voiced_strength[np.isfinite(voiced_strength)]
    if known.size and float(np.median(known)) >= ROOM_PERIODIC:
        return False
    db = _level_db(level)
    active_db, pause_db, _ = _level_percentiles(db)
    return room_share(db, active_db - pause_db, pause_db) >= REVERB_SHARE


def tail_penalty(db: np.ndarray, spread_db: float, pause_db: float) -> np.ndarray:
    """The log-odds each frame loses as a room's tail (see TAIL_DROP_DB), from
    the frame levels in dB (see _level_db) of a signal whose pauses lie at
    `pause_db`, `spread_db` below its active level: zero everywhere in a
    recording that is not reverberant."""
    share = room_share(db, spread_db, pause_db)
    if share == 0.0:
        return np.zeros(db.shape)
    loudest = sliding_window_view(np.concatenate((np.full(TAIL_WINDOW - 1, -400.0), db)),
                                  TAIL_WINDOW).max(axis=1)
    falling = np.ones(db.shape, dtype=bool)
    for j in range(1, TAIL_FRAMES + 1):
        # db[t - j] > db[t - j + 1]: fallen at each of the last TAIL_FRAMES steps.
        falling[:j] = False
        falling[j:] &= db[:-j] > db[1: db.size - j + 1]
    below = np.clip((loudest - db - TAIL_BELOW_DB) / TAIL_BELOW_SPAN_DB, 0.0, 1.0)
    return share * TAIL_WEIGHT * falling * below


def strength_score(strength: np.ndarray, centre: float) -> np.ndarray:
    """The strength's share of the log-odds (NaN counts as 0). Bounded: a
    perfectly periodic background must not outweigh its level."""
    return np.clip(STRENGTH_SLOPE * (np.nan_to_num(strength, nan=0.0) - centre),
                   -STRENGTH_CAP, STRENGTH_CAP)


def causal_confidence(strength: np.ndarray, level: np.ndarray, state: Optional[np.ndarray],
                      width: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
    """The forward chain's posterior per frame for causal use, and the
    chain's state after the last frame (to give with the next frames).

    No statistic of the whole signal: the level counts against full scale.
    `state` is what the previous call returned, None before the first frame.
    """
    score = evidence(strength, level, active=1.0, floor_db=CAUSAL_FLOOR_DB, centre=CAUSAL_CENTRE,
                     width=width)
    return _kernels._voicing_forward(score, CAUSAL_SWITCH_COST, state)


def confidence(strength: np.ndarray, level: np.ndarray, smooth: bool,
               centred: Optional[np.ndarray] = None, width: Optional[int] = None,
               f0: Optional[np.ndarray] = None) -> np.ndarray:
    """The voiced state's posterior per frame under the two-state chain:
    forward and backward when `smooth`, else forward only. With `f0` (the
    frames' candidate periods as frequencies, NaN where none) and `smooth`,
    a period that continues neither neighbour's counts against its frame
    (see jump_penalty); with `smooth`, so does a reverberant recording's
    tail (see tail_penalty).

    With `centred` (each frame's strength on the window at its centre, see
    _highrate.centred_windows; NaN where unknown) and `smooth`, the first
    and last frame of each voiced run inside the signal are weighed again by
    the mean of the two strengths: a frame that holds an onset or the end of
    a voice is periodic over part of its length only, and whether its
    centre, where its time lies, is voiced is what its centre tells."""
    if not smooth:
        score = evidence(strength, level, centre=FORWARD_CENTRE, width=width)
        return _kernels._voicing_posterior(score, FORWARD_SWITCH_COST, 0)
    even = strength_centre(strength, level)
    if width is not None:
        even = max(even, noise_centre(width))
    db = _level_db(level)
    active_db, pause_db, least_db = _level_percentiles(db)
    score = evidence(strength, level, centre=even, levels=(db, active_db, pause_db, least_db))
    if f0 is not None:
        score -= jump_penalty(f0, active_db - pause_db)
    score -= tail_penalty(db, active_db - pause_db, pause_db)
    posterior = _kernels._voicing_posterior(score, SWITCH_COST, 1)
    if centred is None:
        return posterior
    step = np.diff((posterior >= 0.5).astype(np.int8))
    edges = np.concatenate((np.flatnonzero(step == 1) + 1, np.flatnonzero(step == -1)))
    edges = edges[np.isfinite(centred[edges]) & np.isfinite(strength[edges])]
    if edges.size == 0:
        return posterior
    # Only the edges' strength changes, and with it their share of the score.
    score[edges] += (strength_score(0.5 * (strength[edges] + centred[edges]), even)
                     - strength_score(strength[edges], even))
    return _kernels._voicing_posterior(score, SWITCH_COST, 1)


def strength_centre(strength: np.ndarray, level: np.ndarray) -> float:
    """The strength at even odds for a whole signal: BACKGROUND_MARGIN above
    what its quietest frames reach, within [LEAST_CENTRE, STRENGTH_CENTRE].

    Broadband noise lowers a voice's strength, and its own pauses show how
    far: their strength, about 0.33 in white noise, lies well below the
    fixed centre, which then rejects voiced frames the noise has weakened.
    A periodic background (distant talkers, a clean recording's quiet
    tails) keeps the fixed centre: the even odds never rise above it."""
    heard = np.isfinite(strength) & (level > 0)
    if np.count_nonzero(heard) < BACKGROUND_FRAMES:
        return STRENGTH_CENTRE
    levels = level[heard]
    quiet = levels <= percentiles(levels, (BACKGROUND_PERCENTILE,))[0]
    background = float(np.median(strength[heard][quiet]))
    return min(max(background + BACKGROUND_MARGIN, LEAST_CENTRE), STRENGTH_CENTRE)

