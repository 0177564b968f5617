"""The conditioning before framing and the voicing decision: offsets and
hum removed, silence kept from the frames away from it, the range
respected, blocks equal one pass, harmonic errors corrected, strength and
confidence bounded on any input."""
import math

import numpy as np
import pytest

import qesmorPitch
from qesmorPitch import _corpus, _frontend, _kernels, _reverb, _track, _voicing

from conftest import forced_target

METHODS = ("direct", "bayes", "viterbi")


def harmonic(f0, sr, seconds=0.6, harmonics=6):
    t = np.arange(int(seconds * sr)) / sr
    return sum(np.sin(2 * np.pi * k * f0 * t + 0.4 * k) / k for k in range(1, harmonics + 1))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case", ["constant", "dc+noise", "tone+dc", "tone+hum"])
@pytest.mark.parametrize("sr", [16000, 44100])
def test_offsets_and_hum_do_not_decide_the_pitch(method, case, sr):
    # At 44.1 kHz the search runs on a resampled copy, whose ends must not
    # turn an offset into a transient.
    rng = np.random.default_rng(3)
    n = sr // 2
    t = np.arange(n) / sr
    y = {"constant": np.full(n, 0.7),
         "dc+noise": 3.0 + rng.standard_normal(n),
         "tone+dc": harmonic(200.0, sr, 0.5) + 1000.0,
         "tone+hum": harmonic(200.0, sr, 0.5) + 0.3 * np.sin(2 * np.pi * 50 * t)}[case]
    # A 200 Hz tone plus 50 Hz is periodic at 50 Hz: the hum must lie below
    # the range to be removed.
    pt = qesmorPitch.track(y, sr, method=method, fmin=80 if case == "tone+hum" else 50)
    if case in ("constant", "dc+noise"):
        assert not pt.voiced.any()
    else:
        # The ends may be unvoiced: the filter's edge and the filter's first frame.
        inner = slice(1, -1)
        assert pt.voiced[inner].all()
        assert np.nanmax(np.abs(1200 * np.log2(pt.f0[inner] / 200.0))) < 10


@pytest.mark.parametrize("method", METHODS)
def test_silence_leaves_frames_away_from_it_unchanged(method):
    sr, hop = 16000, 160
    ex = _corpus.make_example("s", sr=sr, duration=1.2, contour=_corpus.intonation(140, 5),
                              source="vowel:a", snr_db=30)
    y, cut = ex.y, 9600
    pad, gap = 50 * hop, 30 * hop   # whole hops, so the frames line up
    z = np.concatenate([np.zeros(pad), y[:cut], np.zeros(gap), y[cut:], np.zeros(pad)])
    a = qesmorPitch.track(y, sr, method=method)
    b = qesmorPitch.track(z, sr, method=method)
    start = np.arange(a.n_frames) * hop
    far = sr // 10
    before = np.flatnonzero((start >= far) & (start + a.frame_length <= cut - far))
    after = np.flatnonzero((start >= cut + far) & (start + a.frame_length <= y.size - far))
    for idx, shift in ((before, pad // hop), (after, (pad + gap) // hop)):
        np.testing.assert_array_equal(b.voiced[idx + shift], a.voiced[idx])
        np.testing.assert_allclose(b.f0[idx + shift], a.f0[idx], rtol=6e-4)  # 1 cent
    assert before.size > 20 and after.size > 20


@pytest.mark.parametrize("method", METHODS)
def test_reported_pitch_stays_inside_the_range(method):
    # 16000 / 600 is 26.7 samples: the lag of 26 and the refinement around it
    # reach 615-627 Hz.
    sr = 16000
    y = harmonic(612.0, sr, 0.4, harmonics=3)
    pt = qesmorPitch.track(y, sr, method=method, fmin=100, fmax=600)
    f0 = pt.f0[pt.voiced]
    assert np.all((f0 >= 100) & (f0 <= 600))
    # A voice just below the range: unvoiced, and so is its confidence.
    low = qesmorPitch.track(harmonic(200.0, sr, 0.4), sr, method=method, fmin=221, fmax=300)
    assert not low.voiced.any() and np.all(low.confidence < 0.5)


@pytest.mark.parametrize("f0, sr, fmin, fmax", [(2400.0, 16000, 200, 4000), (220.0, 1000, 50, 500)])
def test_direct_takes_the_highest_peak_where_the_first_peak_rule_finds_none(f0, sr, fmin, fmax):
    # A sine of a few samples per period: after its first peak the periodicity
    # falls below the first-peak rule's threshold at once.
    y = np.sin(2 * np.pi * f0 * np.arange(sr) / sr)
    pt = qesmorPitch.track(y, sr, method="direct", fmin=fmin, fmax=fmax)
    assert pt.voiced.mean() > 0.9
    np.testing.assert_allclose(pt.f0[pt.voiced], f0, rtol=0.01)


def test_a_belief_lost_to_nan_is_restarted(monkeypatch):
    # The forward filter never re-initialises a NaN belief: every row after
    # it would be NaN. The layer restarts the filter after that frame.
    sr = 8000
    y = harmonic(180.0, sr, 1.0)
    calls = []
    core = _track._CORES["bayes", True]

    def losing(*args):
        out = core(*args)
        if not calls:
            out[30:] = np.nan
        calls.append(out.shape[0])
        return out

    monkeypatch.setitem(_track._CORES, ("bayes", True), losing)
    pt = qesmorPitch.track(y, sr, method="bayes")
    assert calls == [pt.n_frames, pt.n_frames - 31]
    assert not pt.voiced[30] and pt.voiced[32:].all()


def test_a_stream_restarts_a_belief_lost_to_nan(monkeypatch):
    sr = 8000
    y = harmonic(180.0, sr, 1.0)
    resume = _kernels._bayes_negaposi_resume
    calls = []

    def losing(*args):
        out, belief = resume(*args)
        if not calls:
            out[30:] = np.nan
            belief = np.full_like(belief, np.nan)
        calls.append(out.shape[0])
        return out, belief

    monkeypatch.setattr(_kernels, "_bayes_negaposi_resume", losing)
    pt = qesmorPitch.track(y, sr, method="bayes", causal=True)
    assert calls == [pt.n_frames, pt.n_frames - 31]
    assert not pt.voiced[30] and pt.voiced[32:].all()


def test_highpass_context_makes_blocks_equal_one_pass(monkeypatch):
    # Direct frames are independent: only the filter's margin joins the blocks.
    sr = 8000
    y = harmonic(150.0, sr, 2.0) + 0.5
    whole = qesmorPitch.track(y, sr, method="direct", voicing_threshold=0)
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 23)
    parts = qesmorPitch.track(y, sr, method="direct", voicing_threshold=0)
    np.testing.assert_allclose(parts.strength, whole.strength, rtol=1e-12)
    np.testing.assert_allclose(parts.f0, whole.f0, rtol=1e-12)


@pytest.mark.parametrize("sr", [16000, 22050, 44100])
def test_harmonic_sweep_has_no_octave_errors(sr):
    # Periods half a sample from a whole lag lose, in the cores, to their
    # double landing on one; the fractional check at the submultiples
    # brings them back.
    for f0 in range(200, 1001, 20):
        t = np.arange(int(0.3 * sr)) / sr
        y = sum(np.sin(2 * np.pi * k * f0 * t) / k for k in range(1, 11) if k * f0 < sr / 2)
        pt = qesmorPitch.track(y, sr, fmin=40, fmax=1000)
        assert pt.voiced.all(), f0
        assert np.max(np.abs(1200 * np.log2(pt.f0 / f0))) < 50, f0


@pytest.mark.parametrize("method,sr,fmax,tones", [
    ("viterbi", 8000, 1000, (865.0, 930.0, 970.0)),
    ("bayes", 8000, 1000, (865.0, 930.0, 970.0)),
    ("direct", 16000, 2000, (1460.0, 1605.0, 1880.0))])
def test_periods_of_few_samples_are_not_taken_at_a_far_multiple(method, sr, fmax, tones):
    # A period of 8 to 11 samples lies nearly half a sample from a whole lag,
    # and the cores took 4 or 5 times it, which lands on one (at 8 kHz, 865
    # Hz read as 432.5, 930 as 186; the direct method's first peak at 16 kHz
    # up to 17 times: 1605 Hz as 94.4), every frame voiced.
    t = np.arange(sr) / sr
    for f0 in tones:
        for harmonics in (1, 3):
            y = sum(np.sin(2 * np.pi * k * f0 * t) / k for k in range(1, harmonics + 1) if k * f0 < sr / 2)
            pt = qesmorPitch.track(y, sr, fmax=fmax, method=method)
            off = np.abs(1200 * np.log2(pt.f0 / f0))
            assert np.mean(off < 50) > 0.95, (f0, harmonics, np.nanmedian(pt.f0))


def test_a_period_at_three_halves_of_the_true_one_is_checked_down_to_it():
    # Neither a half nor a third of 1.5 periods is a period, and a half lies
    # below the shortest (1000 Hz); its double, three periods, is one, and
    # was kept (a held-out oboe's 778 Hz read as 259). The offset makes the
    # 1.5 periods as periodic as the cores had found them there.
    from qesmorPitch import _voicing

    sr, f0 = 16000, 777.9
    t = np.arange(4000) / sr
    y = np.maximum(sum(np.sin(2 * np.pi * k * f0 * t + k) / k for k in range(1, 10)), 0.0) + 0.5
    period, strength = _voicing.correct_periods(y, np.array([0, 800, 1600]), np.full(3, 1.5 * sr / f0),
                                                804, 16.0, 400.0)
    np.testing.assert_allclose(period, sr / f0, rtol=1e-3)
    assert np.all(strength > 0.98)


def test_the_fractions_tried_stay_few_over_any_range():
    # From 1 Hz at 16 kHz a period spans up to 7000 of the shortest: one
    # row per fraction held 7000 rows of every block's frames.
    import tracemalloc

    y = np.random.default_rng(0).standard_normal(3 * 16000)
    tracemalloc.start()
    try:
        qesmorPitch.track(y, 16000, fmin=1, fmax=7000, method="direct")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 8 * 2 ** 20


def _hostile(sr):
    rng = np.random.default_rng(5)
    n = sr // 2
    click = np.zeros(n)
    click[::997] = 1.0
    sparse = np.zeros(n)
    # Frames nearly all exact zeros with a few samples of an attack: the
    # cores' strength reaches 1e5 to 1e49 there.
    for start in range(1000, n - 100, 3000):
        sparse[start: start + 30] = np.sin(np.arange(30) / 3.0)
    return {"click": click, "sparse": sparse, "noise": rng.standard_normal(n),
            "tiny": 1e-300 * rng.standard_normal(n), "steps": np.repeat(rng.standard_normal(50), n // 50)}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("interpolator", ["gaussian", "parabolic", "centroid", "none"])
def test_strength_and_confidence_stay_bounded(method, interpolator):
    sr = 8000
    for name, y in _hostile(sr).items():
        pt = qesmorPitch.track(y, sr, method=method, interpolator=interpolator)
        s = pt.strength[np.isfinite(pt.strength)]
        assert np.all((s >= 0) & (s <= 1)), name
        assert np.all((pt.confidence >= 0) & (pt.confidence <= 1)), name
        assert pt.confidence.shape == pt.f0.shape
        if name in ("noise", "tiny"):
            assert pt.voiced.mean() < 0.05, name


@pytest.mark.parametrize("method", METHODS)
def test_quiet_tail_and_noise_gap_are_unvoiced(method):
    # A note, a release 70 dB down (still periodic), then noise at -40 dB:
    # strength alone would call the tail voiced.
    sr = 16000
    rng = np.random.default_rng(2)
    note = harmonic(220.0, sr, 0.5)
    tail = 10 ** (-70 / 20) * harmonic(220.0, sr, 0.3)
    gap = 0.01 * rng.standard_normal(sr // 4)
    y = np.concatenate([note, tail, gap, note])
    pt = qesmorPitch.track(y, sr, method=method)
    start = np.arange(pt.n_frames) * pt.hop_length
    inside = lambda a, b: (start >= a) & (start + pt.frame_length <= b)  # noqa: E731
    n1, n2 = note.size, note.size + tail.size
    assert pt.voiced[inside(2 * pt.frame_length, n1)].all()
    assert not pt.voiced[inside(n1 + 2 * pt.hop_length, n2 + gap.size)].any()
    assert pt.voiced[inside(n2 + gap.size + 2 * pt.frame_length, y.size)].all()
    assert np.isfinite(pt.confidence).all()


def _cascade_reference(x, sos, zi, settle):
    """The documented filter, written out: each pass from the steady state
    times its first sample, cut into as many as eight chains, each but the
    first from settle samples before the part it writes."""
    def run(v, state):
        out = np.empty_like(v)
        for t, value in enumerate(v):
            for k, (b0, b1, b2, _, a1, a2) in enumerate(sos):
                y = b0 * value + state[k][0]
                state[k][0] = b1 * value - a1 * y + state[k][1]
                state[k][1] = b2 * value - a2 * y
                value = y
            out[t] = value
        return out

    def chains(n):
        for count in range(min(8, n // settle - 1) if settle > 0 else 1, 1, -1):
            length = -(-(n + (count - 1) * settle) // count)
            if (length >= 2 * settle and length - settle >= 8
                    and n - (count - 1) * (length - settle) > settle):
                return count, length
        return 1, n

    def one_pass(v):
        count, length = chains(v.shape[0])
        out = np.empty_like(v)
        for k in range(count):
            first = k * (length - settle)
            keep = 0 if k == 0 else settle
            part = run(v[first: first + length], [list(z * v[first]) for z in zi])
            out[first + keep: first + part.shape[0]] = part[keep:]
        return out

    return one_pass(one_pass(x)[::-1])[::-1]


@pytest.mark.parametrize("order", [2, 4, 6, 8, 10])
# Two chains, eight (one ending mid-block of eight steps), a settle too
# short for eight, and chains too short for eight steps at a time.
@pytest.mark.parametrize("n, settle", [(1, 0), (900, 0), (900, 300), (1203, 300), (2001, 50),
                                      (100, 3), (60, 2), (20, 2)])
def test_highpass_is_the_written_cascade_and_rounds_as_numpy(order, n, settle):
    # One to four sections take a path of their own, more take the general one;
    # both must be the written filter bit for bit at every vector width, and
    # the rounding to the grid in the same call must be numpy's.
    from scipy.signal import butter, sosfilt_zi

    sr = 8000
    sos = butter(order, 60.0, btype="highpass", fs=sr, output="sos")
    zi = sosfilt_zi(sos)
    x = np.random.default_rng(order).normal(size=n) + 0.3
    want = _cascade_reference(x, sos, zi, settle)
    for target in _kernels.targets():
        with forced_target(_kernels, target):
            got = _kernels._highpass_zero_phase(x, sos, zi, settle)
        np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64), err_msg=target)
    rounded = _kernels._highpass_on_grid(x, sos, zi, settle, 30)
    want = np.rint(got * 2.0 ** 30) * 2.0 ** -30
    np.testing.assert_array_equal(rounded.view(np.int64), want.view(np.int64))


@pytest.mark.parametrize("cutoff, sr", [(40.0, 16000), (50.0, 8000), (30.0, 44100), (1000.0, 8000)])
def test_filters_are_scipys_without_importing_it(cutoff, sr):
    # The layer designs its filters itself (importing scipy.signal takes
    # longer than tracking a minute of audio): the sections and the steady
    # state are SciPy's bit for bit, a stream's forward pass is sosfilt's
    # across chunks, and the response is sosfreqz's to rounding.
    from scipy.signal import butter, sosfilt, sosfilt_zi, sosfreqz

    want = butter(_frontend.ORDER, cutoff, btype="highpass", fs=sr, output="sos")
    sos = _frontend.design(cutoff, sr)
    np.testing.assert_array_equal(sos, want)
    np.testing.assert_array_equal(_frontend._steady_state(sos), sosfilt_zi(want))
    freqs = np.array([0.0, 50.0, 120.0, 0.45 * sr])
    np.testing.assert_allclose(_frontend.response(sos, freqs, sr), sosfreqz(want, worN=freqs, fs=sr)[1],
                               rtol=1e-12, atol=1e-14)
    x = np.random.default_rng(3).normal(size=(2, 3001)) + 0.2
    first, state = _frontend.highpass_forward(x[:, :1000], sos, None)
    rest, state = _frontend.highpass_forward(x[:, 1000:], sos, state)
    # From the steady state for each row's first sample, as a stream starts.
    y, zf = sosfilt(want, x, axis=-1, zi=sosfilt_zi(want)[:, None, :] * x[None, :, :1])
    np.testing.assert_array_equal(np.concatenate((first, rest), axis=1), y)
    np.testing.assert_array_equal(state, np.moveaxis(zf, 1, 0))


def test_tracking_does_not_import_scipy():
    import subprocess
    import sys

    code = ("import sys, numpy as np, qesmorPitch\n"
            "y = np.random.default_rng(0).normal(size=44100) * 0.1\n"
            "qesmorPitch.track(y, 16000); qesmorPitch.track(y, 44100)\n"
            "qesmorPitch.PitchStream(16000).push(y[:8000])\n"
            "print(sorted(m for m in sys.modules if m.startswith('scipy')))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_highpass_chains_join_as_one_pass():
    # The chains' warm-up of settle_samples makes the parts meet the single
    # pass's output to within its rounding, with an offset and a 40 Hz
    # cutoff (the slowest decay the layer uses at 16 kHz).
    sr, cutoff = 16000, 40.0
    sos = _frontend.design(cutoff, sr)
    zi = _frontend._steady_state(sos)
    x = np.random.default_rng(9).normal(size=40 * sr) * 0.3 + 0.2
    settle = _frontend.settle_samples(cutoff, sr)
    chained = _kernels._highpass_zero_phase(x, sos, zi, settle)
    single = _kernels._highpass_zero_phase(x, sos, zi, 0)
    np.testing.assert_allclose(chained, single, rtol=0, atol=1e-12)


def test_zero_runs_across_the_scans_groups():
    # The scan tests 32 samples at once and looks closer only at a group
    # holding a zero: runs that start, end or fit inside a group, touch the
    # signal's ends or run through many groups; -0.0 is a zero, NaN is not;
    # strided views go sample by sample.
    def runs(x, min_run):
        found, start = [], None
        for i, v in enumerate(list(x) + [1.0]):
            if v == 0.0 and start is None:
                start = i
            elif v != 0.0 and start is not None:
                if i - start >= min_run:
                    found.append((start, i))
                start = None
        return found

    rng = np.random.default_rng(12)
    for trial in range(400):
        n = int(rng.integers(0, 300))
        x = rng.normal(size=n)
        for _ in range(int(rng.integers(0, 5))):
            a = int(rng.integers(0, n + 1))
            x[a: a + int(rng.integers(1, 80))] = 0.0 if trial % 3 else -0.0
        x[rng.random(n) < 0.02] = np.nan
        for view in (x, x[::-1], x[1::2]):
            min_run = int(rng.integers(1, 40))
            starts, stops = _kernels._zero_runs(view, min_run)
            assert list(zip(starts.tolist(), stops.tolist())) == runs(view, min_run)


def test_group_means_sum_left_to_right():
    x = np.random.default_rng(13).normal(size=(2, 1003)) * np.array([[1e-4], [1e2]])
    for factor in (1, 3, 8, 22):
        for view in (x, x[:, ::-1]):
            m = view.shape[1] // factor
            want = view[:, 0: m * factor: factor].copy()
            for k in range(1, factor):
                want += view[:, k: m * factor: factor]
            got = _kernels._group_means(view, factor)
            np.testing.assert_array_equal(got, want * (1.0 / factor))


def test_half_waves_are_numpys_bits():
    x = np.concatenate(([-0.0, 0.0, 5e-324, -5e-324, 1.0, -1.0],
                        np.random.default_rng(4).normal(size=3001)))[::-1][::2]
    positive, negative = _kernels._half_waves(x)
    for got, want in ((positive, np.maximum(x, 0.0)), (negative, np.maximum(-x, 0.0))):
        np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))


def test_grid_rounding_is_rint_on_ties_signs_and_large_values():
    # Through a pass-through section, so only the rounding acts.
    through, rest = np.array([[1.0, 0, 0, 1.0, 0, 0]]), np.zeros((1, 2))
    steps = np.array([1.0, -0.0, 0.5, -0.5, 1.5, -2.5, 0.49999999999999994, -0.3,
                      2.0 ** 51 + 0.5, 2.0 ** 52 - 0.5, -(2.0 ** 52), 1e300, 5e-324])
    x = steps * 2.0 ** -30
    plain = _kernels._highpass_zero_phase(x, through, rest, 0)
    got = _kernels._highpass_on_grid(x, through, rest, 0, 30)
    want = np.rint(plain * 2.0 ** 30) * 2.0 ** -30
    np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))


def bursts(t, f0, phases=None):
    """A harmonic tone in bursts of 0.4 s with 30 ms ramps, every 0.7 s; each
    burst starts at its own phase (`phases`, default 0); and where it is on."""
    at = t % 0.7
    ramp = np.clip(np.minimum(at, 0.4 - at) / 0.03, 0.0, 1.0)
    phase = 0.0 if phases is None else phases[(t // 0.7).astype(int) % len(phases)]
    tone = sum(np.sin(2 * np.pi * k * f0 * t + 0.4 * k + phase) / k for k in range(1, 7))
    return tone * np.sin(0.5 * np.pi * ramp) ** 2, at < 0.4


def hummed(sr, mains, seconds=3.0, f0=130.0):
    """bursts() and hum at `mains` (with its 2nd and 3rd harmonics) 20 dB
    below the tone, from its start to its end."""
    t = np.arange(int(seconds * sr)) / sr
    tone, on = bursts(t, f0)
    hum = (np.sin(2 * np.pi * mains * t) + 0.3 * np.sin(2 * np.pi * 3 * mains * t + 0.4)
           + 0.15 * np.sin(2 * np.pi * 2 * mains * t + 1.1))
    return tone + 0.1 * np.std(tone[on]) / np.std(hum) * hum, on


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("mains", [50.0, 60.0])
@pytest.mark.parametrize("sr", [16000, 44100])
def test_hum_neither_pulls_the_pitch_nor_voices_the_pauses(method, mains, sr):
    y, on = hummed(sr, mains)
    pt = qesmorPitch.track(y, sr, method=method, fmax=600)
    start = (np.arange(pt.n_frames) * pt.hop_length).astype(int)
    # Frames well inside a burst or a pause.
    inside = np.array([on[s: s + pt.frame_length].all() for s in start])
    outside = np.array([not on[s: s + pt.frame_length].any() for s in start])
    ramp = np.r_[False, inside[:-1]] & np.r_[inside[1:], False]
    quiet = np.r_[False, outside[:-1]] & np.r_[outside[1:], False]
    assert pt.voiced[ramp].mean() > 0.95
    assert np.nanmax(np.abs(1200 * np.log2(pt.f0[ramp] / 130.0))) < 20
    assert not pt.voiced[quiet].any()
    if method == "viterbi" and mains == 50.0:
        # Near the largest double the hum's decimating sums would overflow:
        # the same track, as at any power-of-two scale.
        exponent = math.frexp(float(np.abs(y).max()))[1]
        huge = qesmorPitch.track(y * 2.0 ** (1023 - exponent), sr, method=method, fmax=600)
        assert huge.f0.tobytes() == pt.f0.tobytes()


@pytest.mark.parametrize("case", ["hum", "tone", "notes at 100 Hz", "noise+dc"])
def test_hum_is_found_only_where_it_is(case):
    from qesmorPitch import _hum

    sr = 16000
    y, on = hummed(sr, 50.0)
    t = np.arange(y.size) / sr
    rng = np.random.default_rng(5)
    y = {"hum": y, "tone": bursts(t, 130.0)[0],
         # Notes on a mains harmonic start at a phase of their own each time.
         "notes at 100 Hz": bursts(t, 100.0, rng.uniform(0, 2 * np.pi, 8))[0],
         "noise+dc": 0.5 + rng.standard_normal(y.size)}[case]
    found = _hum.detect(_track.ArraySource(y), sr)[0]
    if case == "hum":
        np.testing.assert_allclose(found.freqs, [50, 100, 150], atol=0.05)
    else:
        assert found is None


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("mains", [50.0, 60.0])
def test_steady_tones_on_a_mains_harmonic_are_tracked_and_hum_alone_is_not(method, mains):
    # A test tone at 2 or 3 times the mains frequency is as steady as hum,
    # but without the fundamental beside it, it is the signal. Hum alone,
    # as 16-bit samples (their rounding repeats with the hum), is no voice.
    sr = 16000
    t = np.arange(3 * sr) / sr
    for k in (2, 3):
        pt = qesmorPitch.track(np.sin(2 * np.pi * k * mains * t), sr, method=method)
        assert pt.voiced[5:-5].all()
        assert np.allclose(pt.f0[5:-5], k * mains, rtol=0.01)
    hum = np.sin(2 * np.pi * mains * t) + 0.3 * np.sin(2 * np.pi * 2 * mains * t + 1.0)
    assert not qesmorPitch.track(np.round(10000 * hum).astype(np.int16), sr,
                                 method=method).voiced.any()


def test_hum_model_makes_blocks_equal_one_pass(monkeypatch):
    sr = 8000
    y, _ = hummed(sr, 50.0, seconds=4.0)
    whole = qesmorPitch.track(y, sr, method="direct", voicing_threshold=0)
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 23)
    parts = qesmorPitch.track(y, sr, method="direct", voicing_threshold=0)
    np.testing.assert_allclose(parts.strength, whole.strength, rtol=1e-12)
    np.testing.assert_allclose(parts.f0, whole.f0, rtol=1e-12)


@pytest.mark.parametrize("scale", [1e-150, 1.0, 1e150])
def test_hum_with_long_silences_at_any_scale(scale):
    # Seconds of digital silence leave windows of the amplitudes' fit with
    # no weight at all; the search itself must not depend on the scale.
    sr, hop = 16000, 160
    y, _ = hummed(sr, 50.0)
    pad = 500 * hop
    z = np.concatenate([np.zeros(pad), y, np.zeros(2 * pad), y]) * scale
    a = qesmorPitch.track(y, sr, fmax=600)
    b = qesmorPitch.track(z, sr, fmax=600)
    inner = slice(20, a.n_frames - 20)
    shifted = slice(inner.start + pad // hop, inner.stop + pad // hop)
    np.testing.assert_array_equal(b.voiced[shifted], a.voiced[inner])
    np.testing.assert_allclose(b.f0[shifted], a.f0[inner], rtol=6e-4)  # 1 cent


def _check_reference(frame, period):
    """The bounded check of one frame at a fractional period, written out:
    both sides of the smoothed frame interpolated by half the fraction,
    every third position, four partial sums (position j + 3k of each run of
    twelve in sum k, the rest in sum 0) added pairwise at the end."""
    whole = int(np.floor(period))
    h = 0.5 * (period - whole)
    w0, w1, w2, w3 = h, 1.0 + h, 2.0 - h, 1.0 - h
    x = [float(v) for v in frame]
    n = len(x) - 3 - whole
    d, t = [0.0] * 4, [0.0] * 4

    def add(k, j):
        a = ((w0 * x[j - 1] + w1 * x[j]) + w2 * x[j + 1]) + w3 * x[j + 2]
        later = j + whole
        b = ((w3 * x[later] + w2 * x[later + 1]) + w1 * x[later + 2]) + w0 * x[later + 3]
        d[k] += abs(a - b)
        t[k] += abs(a) + abs(b)

    j = 1
    while j + 12 <= n:
        for k in range(4):
            add(k, j + 3 * k)
        j += 12
    while j < n:
        add(0, j)
        j += 3
    dd, tt = (d[0] + d[1]) + (d[2] + d[3]), (t[0] + t[1]) + (t[2] + t[3])
    return 1.0 - dd / tt if tt > 0 else math.nan


@pytest.mark.parametrize("width", [40, 41, 52, 63, 200])
@pytest.mark.parametrize("stride", [1, 3])
def test_period_check_is_its_written_sums(width, stride):
    # Every tail length of the vector loop, read in place and gathered.
    rng = np.random.default_rng(width * stride)
    signal = np.cumsum(rng.standard_normal(3 * width * stride))[::stride]
    starts = np.array([0, 5, len(signal) - width], dtype=np.intp)
    periods = np.array([[1.0, 7.25, width - 4.0], [width - 3.5, 0.5, 13.999],
                        [2.5, np.nan, 20.0 + 1 / 3]])
    got = _kernels._periodicity_check(signal, starts, periods, np.array([width]))
    for k in range(periods.shape[0]):
        for i, s in enumerate(starts):
            p = periods[k, i]
            want = _check_reference(signal[s: s + width], p) if 1 <= p <= width - 4 else math.nan
            assert got[k, i] == want or (math.isnan(want) and math.isnan(got[k, i])), (k, i)
    # A width per frame measures each frame as if it were alone.
    widths = np.array([width, width - 9, width // 2], dtype=np.intp)
    each = _kernels._periodicity_check(signal, starts, periods, widths)
    for i, w in enumerate(widths):
        alone = _kernels._periodicity_check(signal, starts[i:i + 1], periods[:, i:i + 1],
                                            np.array([w]))
        assert np.array_equal(each[:, i], alone[:, 0], equal_nan=True), i


@pytest.mark.parametrize("exponent", [-1100, -1074, -1023, -1022, -30, 0, 1023, 1024, 1100])
def test_power_of_two_scaling_is_ldexps_bits(exponent):
    # Products that round into the subnormals or overflow included.
    x = np.array([1.0, -1.5, 3.0 ** 0.5, 5e-324, -2.2e-308, 1.7e308, 0.0, -0.0, 2.0 ** -1000])
    with np.errstate(over="ignore"):
        want = np.ldexp(x, exponent)
        got = _frontend.scaled(x, exponent)
    assert np.array_equal(got.view(np.int64), want.view(np.int64))


@pytest.mark.parametrize("sr", [16000, 44100])
def test_a_run_far_from_the_speakers_range_is_searched_again_near_it(sr):
    # Rows as the cores might leave them on a weak voice: a run of frames
    # at a resonance five times the pitch, at no multiple of its period.
    # The frames around it place the voice; a strong frame an octave up (a
    # real leap, as periodic as its neighbours) stays as it is.
    y = harmonic(110.0, sr, seconds=3.0)
    signal, plan = _track.prepare(y, sr)
    n = plan.n_frames(signal.shape[-1])
    rows = np.full((1, n, _track.N_COLUMNS), np.nan)
    rows[0, :, _track.F0] = 110.0
    rows[0, :, _track.STRENGTH] = 0.95
    rows[0, 120:130, _track.F0] = 572.0
    rows[0, 120:130, _track.STRENGTH] = 0.6
    rows[0, 200, _track.F0] = 220.0
    confidence = np.ones((1, n))
    before = rows.copy()
    _track._check_range(_track.ArraySource(signal), plan, rows, confidence, None)
    np.testing.assert_allclose(rows[0, 120:130, _track.F0], 110.0, rtol=0.01)
    assert (rows[0, 120:130, _track.STRENGTH] > 0.9).all()
    others = np.ones(n, dtype=bool)
    others[120:130] = False
    assert np.array_equal(rows[0, others], before[0, others], equal_nan=True)
    # Unvoiced frames are not searched (each would cost its block's
    # conditioning); what changed is said, so the voicing is decided again.
    rows = before.copy()
    unvoiced = confidence.copy()
    unvoiced[0, 120:130] = 0.0
    assert not _track._check_range(_track.ArraySource(signal), plan, rows, unvoiced, None)
    assert np.array_equal(rows, before, equal_nan=True)
    # Too few reliable frames around a run: nothing to go by.
    rows = before.copy()
    rows[0, :, _track.STRENGTH] = 0.6
    doubtful = rows.copy()
    assert not _track._check_range(_track.ArraySource(signal), plan, rows, confidence, None)
    assert np.array_equal(rows, doubtful, equal_nan=True)
    # Reliable frames, but none within a second of the run.
    voiced = np.zeros(n, dtype=bool)
    voiced[:20] = voiced[120:130] = True
    frames, _ = _voicing.outliers(plan.sr / before[0, :, _track.F0],
                                  before[0, :, _track.STRENGTH], voiced, 100)
    assert frames.size == 0


def test_voicing_edges_are_weighed_again_by_their_centres():
    # A voiced run of strength 0.6 whose first and last frames are periodic
    # at their centres only weakly: those two fall, the rest stands, and a
    # weak centre inside the run changes nothing.
    strength = np.r_[np.full(10, 0.2), np.full(20, 0.6), np.full(10, 0.2)]
    level = np.ones(strength.size)
    centre = strength.copy()
    centre[[10, 29]] = 0.3
    centre[20] = 0.0
    before = _voicing.confidence(strength, level, smooth=True) >= 0.5
    after = _voicing.confidence(strength, level, smooth=True, centred=centre) >= 0.5
    assert np.array_equal(np.flatnonzero(before), np.arange(10, 30))
    assert np.array_equal(np.flatnonzero(after), np.arange(11, 29))
    # Forward only, the frames are their own.
    forward = _voicing.confidence(strength, level, smooth=False)
    assert np.array_equal(_voicing.confidence(strength, level, smooth=False, centred=centre), forward)


def test_periods_that_continue_no_neighbour_count_against_voicing_unless_noise_is_near():
    # A run of strength 0.6 between pauses 40 dB down, whose periods jump by
    # a fifth from frame to frame in its second half (chance periods, as of
    # whispered or reverberant sound): that half falls, a steady or gliding
    # half stands. With pauses only 10 dB down (broadband noise near the
    # voice, where its own period wanders as much) nothing changes.
    n = 60
    strength = np.r_[np.full(10, 0.2), np.full(40, 0.6), np.full(10, 0.2)]
    level = np.where(strength > 0.5, 1.0, 0.01)
    f0 = np.full(n, np.nan)
    f0[10:30] = 200.0 * 2 ** (np.arange(20) * 30 / 1200)  # a glide of 30 cents a frame
    f0[30:50] = 200.0 * 1.5 ** (np.arange(20) % 2)
    plain = _voicing.confidence(strength, level, smooth=True) >= 0.5
    weighed = _voicing.confidence(strength, level, smooth=True, f0=f0) >= 0.5
    assert plain[10:50].all() and weighed[10:29].all() and not weighed[31:50].any()
    near = np.where(strength > 0.5, 1.0, 10 ** (-10 / 20))
    assert np.array_equal(_voicing.confidence(strength, near, smooth=True, f0=f0),
                          _voicing.confidence(strength, near, smooth=True))

def test_a_rooms_tails_fall_unvoiced_and_a_dry_recordings_voice_endings_do_not():
    # Vowels of 30 frames, each ending in a periodic tail that falls 2 dB a
    # frame to pauses 40 dB down: the tail more than 20 dB under its vowel is
    # voted unvoiced. The same with the voice stopping at once (a fall of
    # 20 dB in one frame, then the same decay) is no room: nothing changes.
    vowel, tail, pause = np.zeros(30), -2.0 * np.arange(1, 21), np.full(30, -40.0)
    room = np.tile(np.r_[vowel, tail, pause], 4)
    dry = np.tile(np.r_[vowel, -20.0 + tail[:10], np.full(10, -40.0), pause], 4)
    strength = np.tile(np.r_[np.full(50, 0.62), np.full(30, 0.3)], 4)
    for db, changed in ((room, True), (dry, False)):
        level = 10 ** (db / 20)
        plain = _voicing.evidence(strength, level)
        voiced = _voicing.confidence(strength, level, smooth=True) >= 0.5
        assert (_voicing.tail_penalty(db, 40.0, -40.0) > 0).any() == changed
        assert voiced[:30].all()
        if changed:
            assert not voiced[40:46].any() and (plain[40:46] > 0).all()


def gliding(sr, seconds, f0, f1, harmonics=6):
    """A harmonic tone whose pitch glides linearly from f0 to f1 Hz."""
    t = np.arange(int(seconds * sr)) / sr
    phase = 2 * np.pi * (f0 * t + 0.5 * (f1 - f0) / seconds * t ** 2)
    return sum(np.sin(k * phase + 0.4 * k) / k for k in range(1, harmonics + 1))


def reverberant_bursts(sr, rt60=0.5, seconds=3.0, glide=(180.0, 180.0)):
    """Bursts of a tone gliding over `glide` (Hz), 0.3 s on and 0.3 s off,
    dry and as heard in a room: a direct path and a diffuse tail of as much
    energy, decaying 60 dB in `rt60` seconds."""
    burst = np.r_[gliding(sr, 0.3, *glide), np.zeros(int(0.3 * sr))]
    dry = np.tile(burst, int(seconds / 0.6))
    t = np.arange(int(0.8 * sr)) / sr
    tail = np.random.default_rng(7).standard_normal(t.size) * 10 ** (-3 * t / rt60)
    tail[0] = 0.0
    rir = np.r_[1.0, np.zeros(t.size - 1)] + tail / np.sqrt(np.sum(tail ** 2))
    return dry, np.convolve(dry, rir)[: dry.size]


def test_late_reverberation_is_taken_out_of_the_chosen_channels_and_blocks_equal_one_pass():
    sr = 8000
    dry, wet = reverberant_bursts(sr)
    y = np.stack([wet, wet])
    kept = y.copy()
    room = _reverb.Dereverberated(_track.ArraySource(y), sr, np.array([True, False]))
    whole = room.read(0, y.shape[1])
    parts = np.concatenate([room.read(a, min(y.shape[1], a + 777)) for a in range(0, y.shape[1], 777)],
                           axis=1)
    np.testing.assert_array_equal(parts, whole)
    np.testing.assert_array_equal(whole[1], wet)
    np.testing.assert_array_equal(y, kept)

    def energy(x, after):  # dB, from `after` s to 0.25 s past each burst's end
        spans = [x[int((0.6 * k + 0.3 + after) * sr): int((0.6 * k + 0.55) * sr)] for k in range(5)]
        return 10 * np.log10(sum(np.sum(s ** 2) for s in spans))

    def burst(x):
        return 10 * np.log10(sum(np.sum(x[int(0.6 * k * sr): int((0.6 * k + 0.3) * sr)] ** 2) for k in range(5)))

    # The tail is measured against the sound LATE_SECONDS before it: once
    # that is the tail itself, it falls to the floor (-20 dB).
    after = _reverb.LATE_SECONDS + _reverb.FRAME_SECONDS
    assert energy(wet, after) - energy(whole[0], after) > 8.0
    assert abs(burst(wet) - burst(whole[0])) < 2.0


def test_a_reverberant_recording_is_analysed_again_without_its_tails(monkeypatch):
    # Gliding bursts dry are analysed once; in the room twice, the second
    # time on the dereverberated signal, read block by block as one pass.
    # A steady tone's tails carry its own period, and leave its frames as
    # periodic as dry ones: one analysis is enough there.
    sr = 8000
    made = []

    class Spy(_reverb.Dereverberated):
        def __init__(self, *args):
            made.append(args[2])
            super().__init__(*args)

    monkeypatch.setattr(_track, "Dereverberated", Spy)
    qesmorPitch.track(reverberant_bursts(sr)[1], sr)
    dry, wet = reverberant_bursts(sr, glide=(150.0, 230.0))
    qesmorPitch.track(dry, sr)
    assert made == []
    whole = qesmorPitch.track(wet, sr)
    assert len(made) == 1 and made[0].tolist() == [True]
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 23)
    parts = qesmorPitch.track(wet, sr)
    np.testing.assert_array_equal(parts.f0, whole.f0)
    np.testing.assert_array_equal(parts.voiced, whole.voiced)
    middle = np.concatenate([np.arange(int((0.6 * k + 0.05) * 100), int((0.6 * k + 0.25) * 100))
                             for k in range(5)])
    assert whole.voiced[middle].all()
    # Within the scoring's 50 cents: the tails of the glide's lower past
    # still pull its period a little (by about 25 cents).
    glide = 150.0 + 80.0 * (whole.times[middle] % 0.6) / 0.3
    assert np.max(np.abs(1200 * np.log2(whole.f0[middle] / glide))) < 50
    # At any scale: the spectra's powers of 1e300 overflowed, all unvoiced.
    for scale in (2.0 ** -900, 2.0 ** 900):
        scaled = qesmorPitch.track(wet * scale, sr)
        np.testing.assert_array_equal(scaled.f0, whole.f0)
        np.testing.assert_array_equal(scaled.voiced, whole.voiced)
    # Beside a dry channel, the room's is analysed again alone: the dry
    # one keeps its first analysis, and each channel reads as it does alone.
    analysed = []
    part = _track._block_part
    monkeypatch.setattr(_track, "_block_part", lambda *a, **k: analysed.append(a[7]) or part(*a, **k))
    both = qesmorPitch.track(np.stack([dry, wet]), sr)
    assert made[-1].tolist() == [False, True]
    assert analysed.count(0) * 2 == analysed.count(1)
    for c, alone in enumerate((qesmorPitch.track(dry, sr), parts)):
        np.testing.assert_array_equal(both.f0[c], alone.f0)
        np.testing.assert_array_equal(both.confidence[c], alone.confidence)
    # No period moves by an octave from the first analysis's.
    monkeypatch.setattr(_voicing, "REVERB_SHARE", 2.0)
    with np.errstate(invalid="ignore"):
        moved = np.abs(np.abs(1200 * np.log2(whole.f0 / qesmorPitch.track(wet, sr).f0)) - 1200)
    assert not (moved < _track.OCTAVE_CENTS).any()


def test_a_long_background_around_a_voice_is_neither_its_level_nor_a_room():
    # Vowels of 30 frames, each ending in a fall of 20 dB at once, between
    # pauses 40 dB down (a dry recording), then the same inside a minute of
    # steady background at the pauses' level: the voice keeps its level (not
    # the background's 95th percentile) and the steady steps of the
    # background do not make the recording a room.
    vowel = np.r_[np.zeros(30), -20.0 + -2.0 * np.arange(10), np.full(30, -40.0)]
    dry = np.tile(vowel, 4)
    padded = np.r_[np.full(6000, -40.0), dry, np.full(6000, -40.0)]
    padded += np.random.default_rng(2).normal(0.0, 0.3, padded.size)
    active, pause, _ = _voicing._level_percentiles(padded)
    assert active > -1.0 and pause < -39.0
    assert not _voicing.tail_penalty(padded, active - pause, pause).any()


@pytest.mark.parametrize("method, causal", [("viterbi", False), ("bayes", True), ("direct", False)])
def test_noise_on_frames_of_a_few_dozen_samples_is_unvoiced_and_a_tone_is_not(method, causal):
    # fmin = 1000 Hz at 16 kHz: frames of 36 samples, where the strength of
    # noise scatters far above its mean.
    sr = 16000
    rng = np.random.default_rng(4)
    kw = dict(fmin=1000.0, fmax=4000.0, method=method, causal=causal)
    noise = qesmorPitch.track(rng.standard_normal(sr), sr, **kw)
    tone = qesmorPitch.track(harmonic(2000.0, sr, 1.0) + 0.1 * rng.standard_normal(sr), sr, **kw)
    assert noise.voiced.mean() <= 0.02 and tone.voiced.mean() >= 0.95


def test_quiet_voiced_sounds_are_no_background_where_the_signal_fades_out():
    # An utterance with few pauses: its quietest 5 % are voiced sounds 25 dB
    # down. Over a flat floor (a background) frames near that level are
    # voted down; where the signal also fades far below it, they stand.
    strength = np.full(400, 0.8)
    level = np.ones(400)
    level[100:130] = 10 ** (-25 / 20)
    floor = _voicing.confidence(strength, level, smooth=True)
    faded = level.copy()
    faded[[0, 1, 2, 3, 4, 399, 398]] = 10 ** (-70 / 20)
    kept = _voicing.confidence(strength, faded, smooth=True)
    assert (floor[100:130] < 0.5).all()
    assert (kept[100:130] >= 0.5).all()

def test_percentiles_are_numpys_bit_for_bit():
    # One sort for several percentiles, in place of np.percentile: the same
    # bits at the ends, at interpolation weights either side of a half and
    # exactly on it (n = 3, q = 25), with ties, and on levels in dB.
    rng = np.random.default_rng(3)
    qs = (0.0, 1.0, 5.0, 25.0, 50.0, 95.0, 99.0, 100.0, 37.3)
    for values in ([2.5], [1.0, -7.0], [0.0, 1.0, 3.0], np.round(rng.standard_normal(101)),
                   rng.uniform(-400.0, 0.0, 997), rng.standard_normal(4096) * 1e-3):
        values = np.asarray(values, dtype=float)
        assert _voicing.percentiles(values, qs) == [float(np.percentile(values, q)) for q in qs]


def test_quiet_voiced_sounds_stand_unless_the_pauses_are_a_periodic_background():
    # Pauses on a flat floor 25 dB down and a voiced stretch 1 dB above
    # them: as periodic pauses (distant talkers) they are the background's
    # level and fall; over pauses as aperiodic as broadband noise, which the
    # strength rejects on its own, they stand.
    level = np.ones(400)
    level[:60] = level[340:] = 10 ** (-25 / 20)
    level[150:180] = 10 ** (-24 / 20)
    voiced = {}
    for background in (0.55, 0.33):
        strength = np.full(400, 0.8)
        strength[:60] = strength[340:] = background
        voiced[background] = _voicing.confidence(strength, level, smooth=True) >= 0.5
        assert voiced[background][60:150].all() and not voiced[background][:60].any()
    assert not voiced[0.55][150:180].any() and voiced[0.33][150:180].all()
    # Pauses only 10 dB down: talkers as loud as the voice count as its
    # background when clearly periodic; weakened voice frames in noise
    # (strength 0.44 at the pauses' level) do not.
    near = np.where(level < 1.0, 10 ** (-10 / 20), 1.0)
    near[150:180] = 10 ** (-9 / 20)
    for background, falls in ((0.6, True), (0.44, False)):
        strength = np.full(400, 0.8)
        strength[:60] = strength[340:] = background
        kept = _voicing.confidence(strength, near, smooth=True)[150:180] >= 0.5
        assert not kept.any() if falls else kept.all()
    # The same periodic frames at the same level, but as dips of two frames
    # between syllables (no pause at all): no background, they stand.
    strength = np.full(400, 0.8)
    level = np.ones(400)
    dips = (np.arange(400) % 20) < 2
    level[dips] = 10 ** (-25 / 20)
    assert (_voicing.confidence(strength, level, smooth=True)[dips] >= 0.5).all()


@pytest.mark.parametrize("method", ["viterbi", "bayes"])
def test_a_voice_under_broadband_noise_is_voiced_and_the_noise_is_not(method):
    # Noise 8 dB above two notes weakens them below the fixed even odds;
    # the noise alone around them shows how low a strength it leaves, and
    # stays unvoiced itself.
    sr = 16000
    rng = np.random.default_rng(1)
    note = harmonic(160.0, sr, 1.0)
    y = np.concatenate([np.zeros(sr // 2), note, np.zeros(sr), note, np.zeros(sr // 2)])
    y += rng.standard_normal(y.size) * np.sqrt(np.mean(note ** 2)) * 10 ** (8 / 20)
    pt = qesmorPitch.track(y, sr, method=method)
    t = pt.times
    voice = ((t > 0.55) & (t < 1.45)) | ((t > 2.55) & (t < 3.45))
    noise = (t < 0.45) | ((t > 1.55) & (t < 2.45)) | (t > 3.55)
    assert pt.voiced[voice].mean() >= 0.8
    assert not pt.voiced[noise].any()
