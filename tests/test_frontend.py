"""The conditioning before framing: offsets and hum removed, silence kept
from the frames away from it, the range respected, blocks equal one pass."""
import numpy as np
import pytest

import qesmorPitch
from qesmorPitch import _corpus, _track

METHODS = ("direct", "bayes", "viterbi")


def harmonic(f0, sr, seconds=0.6, harmonics=6):
    t = np.arange(int(seconds * sr)) / sr
    return sum(np.sin(2 * np.pi * k * f0 * t + 0.4 * k) / k for k in range(1, harmonics + 1))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case", ["constant", "dc+noise", "tone+dc", "tone+hum"])
def test_offsets_and_hum_do_not_decide_the_pitch(method, case):
    sr = 16000
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


def test_highpass_context_makes_blocks_equal_one_pass(monkeypatch):
    # Direct frames are independent: only the filter's margin joins the blocks.
    sr = 8000
    y = harmonic(150.0, sr, 2.0) + 0.5
    whole = qesmorPitch.track(y, sr, method="direct", voicing_threshold=0)
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 23)
    parts = qesmorPitch.track(y, sr, method="direct", voicing_threshold=0)
    np.testing.assert_allclose(parts.strength, whole.strength, rtol=1e-12)
    np.testing.assert_allclose(parts.f0, whole.f0, rtol=1e-12)
