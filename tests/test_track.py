"""qesmorPitch.track: accuracy on known tones, the framing and lag plumbing
into the core, silence, blocks, channels, parameter errors and scoring."""
import doctest
import math
import re

import numpy as np
import pytest

import qesmorPitch
import qesmorPitch.cy_impl as cy
from qesmorPitch import _corpus, _scoring, _track

METHODS = ("direct", "bayes", "viterbi")


def tone(f0, sr, seconds=0.5, harmonics=4, phase=0.3):
    t = np.arange(int(seconds * sr)) / sr
    return sum(np.sin(2 * np.pi * k * f0 * t + phase * k) / k for k in range(1, harmonics + 1))


def cents(a, b):
    return 1200 * np.log2(np.asarray(a) / b)


# --------------------------------------------------------------------------
# Known answers


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("sr,f0", [(8000, 110.0), (16000, 237.0), (44100, 415.0)])
def test_steady_tone_is_found_within_a_few_cents(method, sr, f0):
    pt = qesmorPitch.track(tone(f0, sr), sr, method=method)
    # The forward filter has no prior in its first frame, which may land on
    # a multiple of the period; every later frame must be right.
    close = np.abs(cents(pt.f0, f0)) < 10
    assert close[1:].all() and pt.voiced.all()


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("polarity", ["both", "positive", "negative"])
def test_every_polarity_finds_an_asymmetric_tone(method, polarity):
    sr = 16000
    y = tone(180.0, sr, harmonics=6, phase=1.1)
    pt = qesmorPitch.track(y, sr, method=method, polarity=polarity)
    assert np.nanmedian(np.abs(cents(pt.f0, 180.0))) < 5


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("which", ["fmin", "fmax"])
def test_pitch_at_either_end_of_the_range_is_reachable(method, which):
    # The guard lags keep the periods of fmin and fmax inside the candidate
    # vector; without them the end candidates could never be a peak.
    sr, fmin, fmax = 8000, 100.0, 400.0
    f0 = fmin if which == "fmin" else fmax
    pt = qesmorPitch.track(tone(f0, sr, seconds=0.6), sr, fmin=fmin, fmax=fmax,
                           method=method)
    assert pt.voiced.mean() > 0.9
    assert np.nanmedian(np.abs(cents(pt.f0, f0))) < 10


def test_vibrato_is_followed_by_the_default_tracker():
    ex = _corpus.make_example("v", sr=16000, duration=1.0,
                              contour=_corpus.vibrato(220.0), source="vowel:i")
    pt = qesmorPitch.track(ex.y, ex.sr)
    scores = _scoring.score(ex.reference_at(pt.times), pt.f0, use_mir_eval=False)
    assert scores["raw_pitch_accuracy"] > 0.97


# --------------------------------------------------------------------------
# Framing and the call into the core


def on_layer_grid(y):
    """y rounded as the layer rounds it: to 2**-GRID_BITS of its peak's power of two."""
    exponent = math.frexp(np.max(np.abs(y)))[1] - _track.GRID_BITS
    return np.ldexp(np.rint(np.ldexp(y, -exponent)), exponent)


def test_times_are_frame_centres_and_frames_match_the_core():
    sr = 8000
    y = tone(150.0, sr, seconds=0.3)
    pt = qesmorPitch.track(y, sr, hop_length=37, highpass=None)
    lags = _track.lag_range(sr, 50.0, 1000.0)
    y = on_layer_grid(y)
    rows = cy.calc_Pitch_viterbi_negaposi_core_cy(
        np.maximum(y, 0), np.maximum(-y, 0), float(sr), pt.frame_length, 37, lags,
        None, 16.0, 0.1, "gaussian")
    assert pt.n_frames == rows.shape[0]
    t = np.arange(pt.n_frames)
    np.testing.assert_allclose(pt.times, (t * 37 + pt.frame_length / 2) / sr)
    # The layer scales the signal to a peak near 1; only the logarithms of
    # the Gaussian refinement see that, in the last bit. Its f0 is the core's
    # with each frame between two voiced ones within a whole tone of it
    # averaged with them, weights 1, 2, 1 in cents; the run's ends as they are.
    f0 = rows[:, 0]
    expected = f0.copy()
    for i in range(1, f0.size - 1):
        if all(abs(1200 * math.log2(f0[j] / f0[i])) <= 200 for j in (i - 1, i + 1)):
            expected[i] = 2 ** ((math.log2(f0[i - 1]) + 2 * math.log2(f0[i]) + math.log2(f0[i + 1])) / 4)
    assert np.ptp(expected[1:-1]) < np.ptp(f0[1:-1]) / 2
    np.testing.assert_allclose(pt.f0, expected, rtol=1e-13)
    np.testing.assert_allclose(pt.probability, rows[:, 2], rtol=1e-13)
    # Without the mean, each frame's own; nothing else moves.
    raw = qesmorPitch.track(y, sr, hop_length=37, highpass=None, smooth_f0=False)
    np.testing.assert_allclose(raw.f0, f0, rtol=1e-13)
    np.testing.assert_array_equal(raw.voiced, pt.voiced)
    np.testing.assert_array_equal(raw.strength, pt.strength)
    assert (pt.params["smooth_f0"], raw.params["smooth_f0"]) == (True, False)


@pytest.mark.parametrize("method,polarity", [
    ("direct", "both"), ("direct", "negative"), ("bayes", "positive"),
    ("bayes", "both"), ("viterbi", "negative"), ("viterbi", "positive")])
def test_parameters_reach_the_right_core_in_the_right_order(method, polarity):
    sr = 16000
    y = tone(200.0, sr, seconds=0.4, harmonics=5, phase=0.9)
    kw = dict(method=method, polarity=polarity, interpolator="parabolic",
              voicing_threshold=0.0, subtract_minimum=True, highpass=None)
    if method == "direct":
        kw.update(pitch_detect_mode="score", pitch_detect_threshold=0.6, smooth=3)
    elif method == "bayes":
        kw.update(alpha=0.7, sigma=0.2)
    else:
        kw.update(beta=3.0, sigma=0.3)
    pt = qesmorPitch.track(y, sr, **kw)
    lags = _track.lag_range(sr, 50.0, 1000.0)
    y = on_layer_grid(y)
    pos, neg = np.maximum(y, 0), np.maximum(-y, 0)
    waves = {"both": (pos, neg), "positive": (pos,), "negative": (neg,)}[polarity]
    head = (*waves, float(sr), pt.frame_length, pt.hop_length, lags, "threshold_diff")
    two = len(waves) == 2
    if method == "direct":
        fn = cy.calc_Pitch_negaposi_core_cy if two else cy.calc_Pitch_core_cy
        rows = fn(*head, 3, "score", 0.6, "parabolic")
    elif method == "bayes":
        fn = cy.calc_Pitch_bayes_negaposi_core_cy if two else cy.calc_Pitch_bayes_core_cy
        rows = fn(*head, 0.7, 0.2, "parabolic")
    else:
        fn = cy.calc_Pitch_viterbi_negaposi_core_cy if two else cy.calc_Pitch_viterbi_core_cy
        rows = fn(*head, 3.0, 0.3, "parabolic")
    if method != "direct":
        np.testing.assert_array_equal(pt.probability, rows[:, 2])
    # The first frame has no prior and lands on a multiple of the period,
    # which the layer corrects (and measures again with its neighbour, the
    # two looking like a glide), and the next is averaged with them; every
    # later frame is the core's (its neighbours the same, to the bit).
    f0 = rows[3:, 0]
    inside = (f0 >= 50.0) & (f0 <= 1000.0)
    np.testing.assert_array_equal(pt.f0[3:], np.where(inside, f0, np.nan))


def test_lag_range_and_frame_length_satisfy_the_tracking_cores():
    for sr, fmin, fmax in [(8000, 50, 500), (22050, 73.3, 1000), (48000, 30, 24000)]:
        lags = _track.lag_range(sr, fmin, fmax)
        assert np.all(np.diff(lags) == 1) and lags[0] >= 1
        assert lags[1] <= sr / fmax and lags[-2] >= sr / fmin
        plan = _track.make_plan(sr, _track.Options(fmin=fmin, fmax=fmax))
        assert plan.frame_length // 2 == lags[-1] + 1  # the least that works
        assert plan.hop_length == round(sr / 100)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("polarity", ["both", "positive"])
def test_signal_of_at_most_one_frame_gives_an_empty_track(method, polarity):
    sr = 8000
    width = qesmorPitch.track(np.ones(2000), sr).frame_length
    for n in (1, width):
        pt = qesmorPitch.track(np.ones(n), sr, method=method, polarity=polarity)
        assert pt.n_frames == 0 and pt.f0.shape == (0,) and pt.voiced.dtype == bool
    pt = qesmorPitch.track(np.ones((2, width)), sr, method=method)
    assert pt.f0.shape == (2, 0) and pt.times.shape == (0,)
    assert qesmorPitch.track(tone(100.0, sr, 1.0)[: width + 1], sr,
                             method=method).n_frames == 1


# --------------------------------------------------------------------------
# Silence, scale, blocks


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("polarity", ["both", "positive"])
def test_digital_silence_is_unvoiced_and_never_raises(method, polarity):
    sr = 8000
    y = tone(160.0, sr, seconds=1.0)
    y[3000:5000] = 0.0
    pt = qesmorPitch.track(y, sr, method=method, polarity=polarity)
    start = np.arange(pt.n_frames) * pt.hop_length
    silent = (start >= 3000) & (start + pt.frame_length <= 5000)
    assert silent.sum() > 5
    assert not pt.voiced[silent].any() and np.isnan(pt.strength[silent]).all()
    sound = (start + pt.frame_length < 3000) | (start >= 5000)
    assert pt.voiced[sound].mean() > 0.9
    sound[0] = False  # the forward filter's first frame has no prior
    assert np.nanmax(np.abs(cents(pt.f0[sound], 160.0))) < 10
    for quiet in (np.zeros(4000), -np.abs(y), np.full(4000, 0.3)):
        # All zero, nothing in the analysed half-wave when only "positive" is
        # used, or one constant value that no high-pass took away.
        pt = qesmorPitch.track(quiet, sr, method=method, polarity="positive", highpass=None)
        assert not pt.voiced.any()
    if method != "viterbi":
        pt = qesmorPitch.track(np.full(4000, 0.3), sr, method=method, highpass=None, causal=True)
        assert not pt.voiced.any()


@pytest.mark.parametrize("method", ["viterbi", "bayes", "direct"])
def test_one_outlying_sample_does_not_take_the_signal_with_it(method):
    # Scaled by its largest sample, a tone 136 dB below a corrupt sample
    # rounded to nothing: every frame came out unvoiced.
    sr = 8000
    y = 0.5 * tone(200.0, sr, seconds=2.0)
    clean = qesmorPitch.track(y, sr, method=method)
    y[100] = 3e6
    for signal in (y, y.astype(np.float32)):
        pt = qesmorPitch.track(signal, sr, method=method)
        far = pt.times > 0.2
        np.testing.assert_array_equal(pt.voiced[far], clean.voiced[far])
        assert pt.voiced[far].all() and np.nanmax(np.abs(cents(pt.f0[far], 200.0))) < 10


@pytest.mark.parametrize("sr", [16000, 44100])
def test_a_corrupt_sample_of_any_size_costs_only_the_frames_near_it(sr):
    # Beyond 2**400 of the signal the robust scale was capped and every
    # frame was left on the grid's zeros; from 1e20 on, the spike's ringing
    # in the high-pass set the active level of the whole file.
    y = 0.5 * tone(200.0, sr, seconds=1.0)
    clean = qesmorPitch.track(y, sr)
    for at in (0, y.size // 2, y.size - 1):
        for spike in (1e20, 1e300, -1.7976931348623157e308):
            z = y.copy()
            z[at] = spike
            pt = qesmorPitch.track(z, sr)
            far = np.abs(pt.times - at / sr) > 0.2 + pt.frame_length / sr / 2
            np.testing.assert_array_equal(pt.voiced[far], clean.voiced[far])
            assert pt.voiced[far].all()
            assert np.max(np.abs(cents(pt.f0[far], clean.f0[far]))) < 1


def test_silence_offset_leaves_the_other_frames_alone():
    sr = 8000
    y = tone(130.0, sr, seconds=1.2) * (1 + 0.3 * np.sin(np.arange(9600) / 900))
    gap = y.copy()
    gap[6000:8000] = 0.0
    a = qesmorPitch.track(y, sr, voicing_threshold=0)
    b = qesmorPitch.track(gap, sr, voicing_threshold=0)
    early = (np.arange(a.n_frames) * a.hop_length + a.frame_length) < 6000 - 20 * a.hop_length
    np.testing.assert_allclose(b.f0[early], a.f0[early], rtol=1e-9)
    np.testing.assert_allclose(b.strength[early], a.strength[early], rtol=1e-9)


@pytest.mark.parametrize("method", METHODS)
def test_scale_dtype_and_a_read_only_array_do_not_change_the_result(method):
    sr = 8000
    pcm = np.round(12000 * tone(140.0, sr, seconds=0.5) / 2).astype(np.int16)
    ref = qesmorPitch.track(pcm / 32768.0, sr, method=method)
    # pcm * 2**-1060 is subnormal (its peak below 2**-1024) and still exact.
    for y in (pcm, pcm.astype(np.float32), pcm * 2.0 ** -700, pcm * 2.0 ** -1060,
              pcm.astype(np.int64) * 2 ** 40, pcm * 2.0 ** 1000):
        pt = qesmorPitch.track(y, sr, method=method)
        np.testing.assert_array_equal(pt.f0, ref.f0)
        np.testing.assert_array_equal(pt.strength, ref.strength)
    # A read-only signal (a memmap opened "r", np.frombuffer of bytes), long
    # enough that the hum is searched for: the kernels refused its buffer.
    long = np.tile(pcm / 32768.0, 4)
    ref = qesmorPitch.track(long, sr, method=method)
    long.flags.writeable = False
    np.testing.assert_array_equal(qesmorPitch.track(long, sr, method=method).f0, ref.f0)


@pytest.mark.parametrize("method", METHODS)
def test_blocks_join_without_seams(monkeypatch, method):
    ex = _corpus.make_example("b", sr=8000, duration=2.0, contour=_corpus.intonation(150, 3),
                              source="vowel:a", gaps=((0.9, 1.1),), snr_db=20)
    whole = qesmorPitch.track(ex.y, ex.sr, method=method)
    seen = []
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 37)
    monkeypatch.setattr(_track, "MARGIN_FRAMES", 25)
    signal, plan = _track.prepare(ex.y, ex.sr, method=method)
    parts = _track.run_plan(signal, plan, progress=seen.append)
    assert sum(seen) == whole.n_frames and len(seen) == math.ceil(whole.n_frames / 37)
    # The high-pass of each block settles within its sample margin to the
    # last bit or so of the one-pass filter.
    np.testing.assert_allclose(parts.f0, whole.f0, rtol=1e-12)
    np.testing.assert_array_equal(parts.voiced, whole.voiced)


def test_range_check_reads_at_most_a_block_at_a_time(monkeypatch):
    # Frames a few apart all through a long signal once made one run, read
    # and conditioned whole: memory grew with the signal's length.
    frames = np.concatenate((np.arange(0, 5000, 3), np.arange(9000, 9010)))
    runs = _track._runs(frames, apart=4, longest=1536)
    np.testing.assert_array_equal(np.concatenate(runs), np.arange(frames.size))
    assert all(frames[r[-1]] - frames[r[0]] < 1536 for r in runs)
    assert [frames[r[0]] for r in runs] == [0, 1536, 3072, 4608, 9000]
    assert _track._runs(frames[:0], 4, 1536) == []
    # The doubtful frames' neighbours are sorted a few rows at a time (a
    # matrix of all of them grew with the signal: 150 MiB on 20 minutes).
    from qesmorPitch import _voicing

    rng = np.random.default_rng(0)
    args = (2.0 ** rng.normal(7, 0.5, 3000), rng.uniform(0.5, 1, 3000), rng.random(3000) < 0.8, 100)
    whole = _voicing.outliers(*args)
    monkeypatch.setattr(_voicing, "OUTLIER_ROWS", 7)
    rows = _voicing.outliers(*args)
    assert whole[0].size > 100
    np.testing.assert_array_equal(rows[0], whole[0])
    np.testing.assert_array_equal(rows[1], whole[1])


def test_a_single_frame_off_between_agreeing_neighbours_is_searched_near_them():
    # The Viterbi path can step through a lag between two distant ones for
    # a frame; a leap of the voice itself (neighbours apart), a neighbour in
    # doubt or a small step is no such frame.
    from qesmorPitch import _voicing

    # A glitch, a leap (the neighbours disagree), a frame beside a doubtful one.
    hz = np.array([277.0, 557.0, 376.0, 557.0, 277.0, 280.0, 300.0, 600.0, 300.0, 310.0])
    strength = np.array([0.9, 0.95, 0.76, 0.95, 0.9, 0.9, 0.7, 0.9, 0.9, 0.9])
    voiced = np.ones(hz.size, dtype=bool)
    frames, centres = _voicing.glitches(16000 / hz, strength, voiced)
    np.testing.assert_array_equal(frames, [2])
    np.testing.assert_allclose(16000 / centres, [557.0])
    voiced[1] = False
    assert _voicing.glitches(16000 / hz, strength, voiced)[0].size == 0


def test_a_new_note_an_octave_up_is_not_taken_back_to_the_old_one():
    # At a leap up the new note's first frames are doubtful and far from the
    # range of the notes before; searched near them, they find the old
    # note's period, twice theirs, a little less periodic (a held-out cello
    # read 77.8 Hz for 155.6 there). A multiple is taken only as the
    # harmonic check would take it, and only where the frame's own period
    # goes on in the reliable frames just after it; elsewhere, and for
    # periods at no whole multiple, the range search's margin stands.
    from qesmorPitch import _voicing

    hz = np.array([77.8] * 5 + [155.6] * 3 + [np.nan] + [155.6] * 4 + [300.0, 299.0, 600.0, 600.0])
    strength = np.array([0.9] * 5 + [0.73, 0.8, 0.82] + [np.nan] + [0.86, 0.9, 0.9, 0.9]
                        + [0.7, 0.7, 0.9, 0.9])
    voiced = np.isfinite(hz)
    periods = 16000 / hz
    frames = np.array([5, 6, 7, 13, 14])
    settles = _voicing.settling(periods, strength, voiced, frames)
    # 13 and 14 sit at 300 Hz, and the next reliable frame at 600 Hz.
    np.testing.assert_array_equal(settles, [True, True, True, False, False])
    own, own_strength = periods[frames], np.array([0.8, 0.8, 0.8, 0.8, 0.8])
    found = own * np.array([2.0, 2.0 * 2 ** (40 / 1200), 1.6, 2.0, 1.6])
    for found_strength, taken in ((0.76, [False, False, True, True, True]),
                                  (0.87, [True, True, True, True, True]),
                                  (0.64, [False, False, False, False, False])):
        np.testing.assert_array_equal(
            _voicing.takes_range_period(found, np.full(5, found_strength), own, own_strength, settles),
            taken)


# --------------------------------------------------------------------------
# Channels, result object


def test_channels_are_tracked_separately_or_mixed():
    sr = 8000
    a, b = tone(120.0, sr), tone(300.0, sr)
    stereo = np.stack([a, b])
    pt = qesmorPitch.track(stereo, sr)
    assert pt.f0.shape == (2, pt.n_frames) and pt.n_channels == 2
    np.testing.assert_array_equal(pt.f0[1], qesmorPitch.track(b, sr).f0)
    mixed = qesmorPitch.track(stereo, sr, mono=True)
    assert mixed.n_channels is None
    np.testing.assert_array_equal(mixed.f0, qesmorPitch.track((a + b) / 2, sr).f0)
    # Finite samples near the largest double: their plain mean overflows,
    # and the mix was analysed as infinities (every frame unvoiced).
    big = a * (1.5 * 2.0 ** 1023 / np.abs(a).max())
    mixed = qesmorPitch.track(np.stack([big, big]), sr, mono=True)
    np.testing.assert_array_equal(mixed.f0, qesmorPitch.track(big, sr).f0)
    assert mixed.voiced.mean() > 0.9


def test_result_is_immutable_and_consistent():
    sr = 8000
    y = np.concatenate([tone(200.0, sr), 0.01 * np.random.default_rng(1).standard_normal(4000)])
    pt = qesmorPitch.track(y, sr)
    with pytest.raises(AttributeError):
        pt.method = "direct"
    with pytest.raises(ValueError):
        pt.f0[0] = 1.0
    # Also as a batch's workers hand it back (pickled) or as a deep copy.
    import copy
    import pickle

    for again in (pickle.loads(pickle.dumps(pt)), copy.deepcopy(pt)):
        with pytest.raises(ValueError):
            again.f0[0] = 1.0
        np.testing.assert_array_equal(again.f0, pt.f0)
    np.testing.assert_array_equal(pt.voiced, np.isfinite(pt.f0))
    assert pt.voiced.any() and not pt.voiced.all()
    assert pt.params["voicing_threshold"] == qesmorPitch.DEFAULTS["viterbi"]["voicing_threshold"]
    assert "frames=" in repr(pt)
    # A stricter threshold can only remove voiced frames.
    strict = qesmorPitch.track(y, sr, voicing_threshold=0.9)
    assert not (strict.voiced & ~pt.voiced).any()


def test_defaults_cannot_be_changed_under_later_calls():
    # A value written into them reached every later call unchecked.
    with pytest.raises(TypeError):
        qesmorPitch.DEFAULTS["viterbi"]["beta"] = float("nan")
    with pytest.raises(TypeError):
        qesmorPitch.DEFAULTS["viterbi"] = {}


def test_docstring_examples_run():
    result = doctest.testmod(_track, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0


# --------------------------------------------------------------------------
# Errors: each says the value, the rule and something that works


def _suggested(message, name):
    """The value the message proposes for `name`."""
    match = re.search(rf"{name}\s*(?:=|>=|<=)\s*([0-9.]+)", message)
    assert match, message
    return float(match.group(1))


@pytest.mark.parametrize("y,kind,text", [
    (np.zeros(0), ValueError, "empty"),
    (np.zeros((2, 0)), ValueError, "empty"),
    (np.array([0.0, np.nan, 1.0, np.inf]), ValueError, "2 non-finite sample(s)"),
    (np.ones(10, dtype=complex), TypeError, "complex"),
    (np.array(["a", "b"]), TypeError, "real numbers"),
    (np.zeros((2, 2, 50)), ValueError, "shape"),
    (np.zeros((4000, 2)), ValueError, "pass y.T"),
    (np.zeros((16000, 40)), ValueError,
     "reads as 16000 channels of 40 sample(s); if it holds 40 channels of 16000 samples"),
    ([[1.0, 2.0, 3.0], [1.0, 2.0]], ValueError, "rows of unequal lengths"),
    (np.ma.masked_array(np.ones(4000), np.arange(4000) == 7), ValueError, "masked samples"),
    # Finite long doubles beyond every double: "0 non-finite sample(s)".
    pytest.param(np.r_[np.ones(9, np.longdouble), np.longdouble("1e400")], ValueError,
                 "beyond the largest double", marks=pytest.mark.skipif(
                     np.finfo(np.longdouble).max <= np.finfo(np.float64).max,
                     reason="long double is double here")),
])
def test_bad_signals_are_reported(y, kind, text):
    with pytest.raises(kind, match=re.escape(text)):
        qesmorPitch.track(y, 8000)


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
@pytest.mark.parametrize("bad", [-np.inf, np.inf, np.nan])
def test_one_non_finite_sample_of_any_float_dtype_is_found(dtype, bad):
    # The check runs on the channels' largest and smallest samples: an
    # infinity of either sign, and a NaN, must reach one of them.
    y = np.tile(np.array([0.5, -0.25], dtype=dtype), (2, 500))
    y[1, 777] = bad
    with pytest.raises(ValueError, match=re.escape("1 non-finite sample(s) (NaN or inf), "
                                                   "the first at index (1, 777)")):
        qesmorPitch.track(y, 8000)


def test_nan_position_is_named():
    y = np.zeros(100)
    y[42] = np.nan
    with pytest.raises(ValueError, match="index 42"):
        qesmorPitch.track(y, 8000)


def test_range_errors_name_the_limit_and_a_value_that_works():
    with pytest.raises(ValueError, match=r"fmax=9000 Hz needs sr >= 2 \* fmax = 18000"):
        qesmorPitch.track(np.ones(100), 16000, fmax=9000)
    with pytest.raises(ValueError) as err:
        qesmorPitch.track(np.ones(100), 16000, fmax=9000)
    qesmorPitch.track(np.ones(100), 16000, fmax=_suggested(str(err.value), "use fmax"))

    with pytest.raises(ValueError, match="fmin"):
        qesmorPitch.track(np.ones(100), 16000, fmin=300, fmax=200)
    # Where the limit's way out would cross the other end of the range, the
    # message says what does work instead.
    with pytest.raises(ValueError, match="the range fmin=50 to fmax=1000 Hz needs a sampling rate"):
        qesmorPitch.track(np.ones(100), 1)
    with pytest.raises(ValueError, match="resample the signal to below"):
        qesmorPitch.track(np.ones(100), 1e300)

    with pytest.raises(ValueError) as err:
        qesmorPitch.track(np.ones(100), 16000, frame_length=400)
    msg = str(err.value)
    assert "frame_length=400" in msg and "fmin=50" in msg
    qesmorPitch.track(np.ones(100), 16000, frame_length=int(_suggested(msg, "use frame_length")))
    # The direct method compares one period only, so it takes shorter frames.
    qesmorPitch.track(np.ones(100), 16000, frame_length=400, method="direct")

    # The state limit binds at the rate the tracking core runs at: the full
    # rate here, the analysis rate by default.
    with pytest.raises(ValueError) as err:
        qesmorPitch.track(np.ones(100), 48000, fmin=5, analysis_sr=None)
    qesmorPitch.track(np.ones(100), 48000, fmin=_suggested(str(err.value), "use fmin"),
                      analysis_sr=None)
    qesmorPitch.track(np.ones(100), 48000, fmin=5)


@pytest.mark.parametrize("kwargs,kind,text", [
    ({"method": "yin"}, ValueError, "method='yin'"),
    ({"polarity": "up"}, ValueError, "polarity"),
    ({"interpolator": "quadratic"}, ValueError, "interpolator"),
    ({"hop_length": 0}, ValueError, "hop_length=0"),
    ({"hop_length": 10.5}, TypeError, "hop_length"),
    ({"sr": -1}, ValueError, "sr=-1"),
    ({"sr": math.nan}, ValueError, "finite"),
    ({"beta": 2.0, "method": "direct"}, TypeError, "beta applies to method='viterbi'"),
    ({"alpha": 0.5}, TypeError, "method='bayes'"),
    ({"sigma": 0.0}, ValueError, "sigma=0"),
    ({"beta": -1.0}, ValueError, "beta=-1"),
    ({"method": "direct", "pitch_detect_mode": "first"}, ValueError, "pitch_detect_mode"),
    ({"method": "direct", "smooth": 0}, ValueError, "smooth=0"),
    ({"voicing_threshold": math.nan}, ValueError, "voicing_threshold"),
    ({"sr": "16000"}, TypeError, "sr must be a number, got '16000'"),
    ({"fmin": "50"}, TypeError, "fmin must be a number"),
    ({"fmax": np.array([500.0])}, TypeError, "fmax must be a number"),
    ({"mono": "False"}, TypeError, "mono must be True or False, got 'False'"),
    ({"subtract_minimum": "no"}, TypeError, "subtract_minimum must be True or False"),
    ({"hop_length": True}, TypeError, "hop_length must be an integer"),
    ({"hop_length": 2 ** 31}, ValueError, "hop_length=2147483648 is too large"),
    ({"hop_length": 10 ** 30}, ValueError, "is too large"),
    ({"frame_length": 2 ** 40}, ValueError, "frame_length=1099511627776 is too large"),
    ({"hop_seconds": 1e-9}, ValueError, "less than one; use hop_seconds >= 0.000125"),
    ({"hop_seconds": 0.01, "hop_length": 80}, TypeError, "not both"),
    ({"method": np.array(["viterbi", "bayes"])}, ValueError, "method=array("),
    ({"method": "direct", "smooth": True}, TypeError, "smooth must be an integer"),
    ({"fmn": 80}, TypeError, "unexpected parameter 'fmn'; did you mean 'fmin'?"),
    ({"highpass": "dc"}, ValueError, "highpass='dc' must be a cutoff in Hz, 'fmin' or None"),
    ({"highpass": 0}, ValueError, "highpass=0 must be >= 0.1"),
    ({"highpass": 1e-4}, ValueError, "highpass=0.0001 must be >= 0.1"),
    ({"voicing_threshold": 1.5}, ValueError, "voicing_threshold=1.5 must be in [0, 1]"),
    ({"highpass": 4000}, ValueError, "highpass=4000 Hz must be below sr / 2 = 4000 Hz"),
    ({"sr": 1e308}, ValueError, "fmin=50 Hz at sr=1e+308 is a period of"),
    ({"hop_seconds": 1e308}, ValueError, "hop_seconds=1e+308 is inf samples at sr=8000: too large"),
    ({"sigma": 1e-200}, ValueError, "sigma=1e-200 must be >= 1e-150 (sigma**2 would underflow"),
    ({"alpha": 1000.0, "method": "bayes"}, ValueError, "alpha=1000 must be <= 100"),
    # An OverflowError naming nothing, and NumPy's ambiguous truth value.
    ({"fmin": 10 ** 400}, ValueError, "fmin is an integer of 401 digits, beyond every finite"),
    ({"highpass": np.array([100.0, 200.0])}, TypeError, "highpass must be a number, got array"),
    ({"highpass": False}, TypeError, "highpass=False is no cutoff: use None for no filter"),
    # A list of samples given for a number made a message of megabytes; NaN
    # and a float sample count were refused with no value that works.
    ({"fmin": [0.0] * 100_000}, TypeError, "got [0.0, 0.0, 0.0, 0.0, 0.0, 0.0, ...] (list)"),
    ({"fmin": np.float64("nan")}, ValueError, "fmin=nan must be finite, e.g. fmin=50"),
    ({"hop_length": math.inf}, TypeError, "got inf (float), e.g. hop_length=160"),
])
def test_bad_parameters_are_reported(kwargs, kind, text):
    kwargs = dict(kwargs)
    sr = kwargs.pop("sr", 8000)
    with pytest.raises(kind, match=re.escape(text)):
        qesmorPitch.track(np.ones(100), sr, **kwargs)


@pytest.mark.parametrize("method,fmin", [
    ("viterbi", 1e-4), ("viterbi", 1e-5), ("bayes", 1e-5), ("bayes", 1e-300),
    ("direct", 1e-300), ("direct", 1e-5), ("direct", 1e-4)])
def test_a_tiny_fmin_is_judged_before_anything_is_allocated(method, fmin):
    import tracemalloc

    tracemalloc.start()
    try:
        if method == "direct" and fmin > 1e-5:
            # Allowed: a frame of 3.2e8 samples, which this signal never fills.
            assert qesmorPitch.track(np.ones(16000), 16000, fmin=fmin,
                                     method=method).n_frames == 0
        else:
            with pytest.raises(ValueError, match=rf"fmin={fmin:g} Hz.*use fmin >= [0-9.]+ Hz"):
                qesmorPitch.track(np.ones(16000), 16000, fmin=fmin, method=method)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def test_a_file_header_s_absurd_rate_costs_nothing_when_no_frame_fits():
    # A header claiming 2**31 - 1 Hz: the resampler for the search rate,
    # whose filter grows with the hop, was built (4 GB) for an empty track.
    import tracemalloc

    y = np.ones((2, 16000))
    tracemalloc.start()
    try:
        pt = qesmorPitch.track(y, 2 ** 31 - 1)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert pt.f0.shape == (2, 0) and peak < 1 << 20


def test_numpy_scalars_are_numbers():
    pt = qesmorPitch.track(np.ones(2000), np.array(8000.0), fmin=np.float32(60),
                           hop_length=np.array(80), frame_length=np.int64(300))
    assert (pt.sr, pt.fmin, pt.hop_length, pt.frame_length) == (8000.0, 60.0, 80, 300)
    assert type(pt.hop_length) is int
    # NumPy strings, as an array or an NPZ file gives them, are names.
    pt = qesmorPitch.track(np.ones(2000), 8000, method=np.array("direct"),
                           interpolator=np.str_("parabolic"), pitch_detect_mode=np.str_("score"))
    assert (pt.method, pt.interpolator) == ("direct", "parabolic") and type(pt.method) is str


def test_many_channels_are_accepted_when_the_samples_are_more():
    pt = qesmorPitch.track(np.zeros((40, 300)), 8000, fmin=100)
    assert pt.f0.shape == (40, pt.n_frames)


@pytest.mark.parametrize("method", METHODS)
def test_a_strength_exactly_at_the_threshold_is_voiced(method):
    sr = 8000
    y = tone(170.0, sr) + 0.3 * np.random.default_rng(2).standard_normal(4000)
    free = qesmorPitch.track(y, sr, method=method, voicing_threshold=0.0)
    k = int(np.nanargmin(np.where(free.voiced, free.strength, np.nan)))
    at = qesmorPitch.track(y, sr, method=method, voicing_threshold=free.strength[k])
    assert at.voiced[k] and at.f0[k] == free.f0[k]
    above = qesmorPitch.track(y, sr, method=method,
                              voicing_threshold=np.nextafter(free.strength[k], 2.0))
    assert not above.voiced[k]


# --------------------------------------------------------------------------
# Scoring


def test_builtin_scores_on_a_hand_made_example():
    ref = np.array([100.0, 100.0, 200.0, 200.0, 0.0, 0.0, 0.0, 300.0])
    est = np.array([101.0, 200.0, 190.0, np.nan, 0.0, 150.0, np.nan, 300.0])
    s = _scoring.score(ref, est, use_mir_eval=False)
    # voiced ref frames: 0,1,2,3,7. Within 50 cents: 0 (17 c), 7. 2 is 89 c off.
    assert s["raw_pitch_accuracy"] == pytest.approx(2 / 5)
    assert s["raw_chroma_accuracy"] == pytest.approx(3 / 5)  # frame 1 is an octave up
    assert s["voicing_recall"] == pytest.approx(4 / 5)
    assert s["voicing_false_alarm"] == pytest.approx(1 / 3)
    assert s["overall_accuracy"] == pytest.approx((2 + 2) / 8)


@pytest.mark.filterwarnings("ignore:.*(voiced frames|array is empty):UserWarning")
def test_builtin_scores_match_mir_eval():
    pytest.importorskip("mir_eval")
    rng = np.random.default_rng(5)
    ref = np.where(rng.random(400) < 0.7, rng.uniform(80, 400, 400), 0.0)
    est = ref * 2.0 ** (rng.normal(0, 0.05, 400) + rng.choice([0, 0, 0, 1, -1], 400))
    est[rng.random(400) < 0.15] = np.nan
    est[(ref == 0) & (rng.random(400) < 0.3)] = 180.0
    # Also where the reference has no voiced or no unvoiced frame, or none
    # at all: the recall of a reference never voiced was 0 here, 1 there.
    for ref, est in ((ref, est), (np.zeros(3), np.array([0.0, 100.0, np.nan])),
                     (np.full(2, 100.0), np.array([100.0, 0.0])), (np.zeros(0), np.zeros(0))):
        a = _scoring.score(ref, est, use_mir_eval=True)
        b = _scoring.score(ref, est, use_mir_eval=False)
        for k in _scoring.METRICS:
            assert a[k] == pytest.approx(b[k], abs=1e-12, nan_ok=True), (k, ref)
