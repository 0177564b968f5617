"""High sampling rates searched at a lower one and refined at the full rate."""
import numpy as np
import pytest
from scipy.signal import resample_poly

import qesmorPitch
from qesmorPitch import _kernels, cy_impl
from qesmorPitch._highrate import FILTER_REACH, Resampled, _lowpass, glide_windows, refine_periods
from qesmorPitch._track import ArraySource

from conftest import forced_target


def harmonic_tone(f0, sr, seconds=0.3):
    t = np.arange(int(seconds * sr)) / sr
    return sum(np.sin(2 * np.pi * k * f0 * t) / k for k in range(1, 11) if k * f0 < sr / 2)


@pytest.mark.parametrize("polarity", [0, 1, -1])
def test_frame_values_match_the_map_with_lags_of_each_frames_own(polarity):
    x = np.random.default_rng(1).normal(size=3000)
    waves = {0: (np.maximum(x, 0), np.maximum(-x, 0)), 1: (np.maximum(x, 0),),
             -1: (np.maximum(-x, 0),)}[polarity]
    lags = np.array([0, 5, 6, 7, 999, 1000, 1200], dtype=np.intp)
    whole = sum(cy_impl.calc_qesmor_core_cy(w[:1200], 1000, 17, lags)[0] for w in waves)
    # Frame 0 at lags 0, 5, 6; frame 1 at 999 (one sample left), 1000 and
    # 1200 (none left: 0), and the second frame strided.
    got = _kernels._qesmor_frames_at(x[::1].copy(), np.array([1000]), np.array([0, 17]),
                                     np.r_[lags[:3], lags[4:]], polarity)
    np.testing.assert_allclose(got, np.r_[whole[0, :3], whole[1, 4:]], rtol=1e-12, atol=0)
    strided = np.repeat(x, 2)[::2]
    assert np.array_equal(_kernels._qesmor_frames_at(strided, np.array([1000]), np.array([0, 17]),
                                                     np.r_[lags[:3], lags[4:]], polarity), got)


def test_frame_values_take_a_window_of_each_frames_own():
    x = np.random.default_rng(3).normal(size=3000)
    starts, windows = np.array([0, 40, 900]), np.array([700, 123, 1000])
    lags = np.array([5, 6, 7, 100, 101, 102, 300, 301, 302], dtype=np.intp)
    got = _kernels._qesmor_frames_at(x, windows, starts, lags, 0)
    for t in range(3):
        alone = _kernels._qesmor_frames_at(x, windows[t:t + 1], starts[t:t + 1],
                                           lags[3 * t: 3 * t + 3], 0)
        assert np.array_equal(got[3 * t: 3 * t + 3], alone)
    # The last frame reaches the signal's end exactly; one sample more is refused.
    with pytest.raises(ValueError, match="outside the signal"):
        _kernels._qesmor_frames_at(x, windows + np.array([0, 0, 1101]), starts, lags, 0)
    with pytest.raises(ValueError, match="one window for all frames or one per frame"):
        _kernels._qesmor_frames_at(x, windows[:2], starts, lags, 0)
    with pytest.raises(ValueError, match=r"windows\[1\] = 0 must be >= 1"):
        _kernels._qesmor_frames_at(x, np.array([700, 0, 1000]), starts, lags, 0)


@pytest.mark.parametrize("polarity", [0, 1, -1])
def test_runs_of_adjacent_lags_measure_as_each_lag_alone(polarity):
    # Runs of four adjacent lags share their loads; each lag keeps the sums
    # it makes alone. Windows put the run's overlaps on either side of a
    # 16-sample block, and the last run overlaps fewer than 16 samples.
    x = np.random.default_rng(4).normal(size=4000)
    windows = np.array([700, 700, 131, 132, 133, 134, 147, 148, 20, 1000])
    starts = np.arange(windows.size) * 290
    first = np.array([5, 697, 100, 100, 100, 100, 128, 127, 4, 1])
    lags = (first[:, None] + np.arange(4)).ravel()
    lags[-4:] = [1, 2, 2, 3]  # not adjacent: measured lag by lag
    got = _kernels._qesmor_frames_at(x, windows, starts, lags, polarity)
    alone = _kernels._qesmor_frames_at(x, np.repeat(windows, 4), np.repeat(starts, 4), lags, polarity)
    assert np.array_equal(got, alone)


def test_only_a_gliding_pitch_is_measured_on_a_shorter_centred_window():
    sr, width = 16000.0, 644
    # Steady, then a jump of a semitone between frames 3 and 4, a frame
    # without a period (no neighbour), and an octave down to a period whose
    # five would pass the frame.
    periods = np.array([80.0, 80.2, 80.1, 80.0, 75.5, 75.4, np.nan, 75.3, 150.0])
    windows = glide_windows(periods, width, sr)
    assert windows.tolist() == [width, width, width, 400, 378, width, width, 377, width]


@pytest.mark.parametrize("starts, lags, polarity, text", [
    ([2001], [5], 0, "outside the signal"),
    ([-1], [5], 0, "outside the signal"),
    ([0], [-3], 0, "negative"),
    ([0, 1], [1, 2, 3], 0, "same number of lags"),
    ([0], [1], 2, "polarity=2"),
])
def test_frame_values_refuse_what_would_read_outside(starts, lags, polarity, text):
    with pytest.raises(ValueError, match=text):
        _kernels._qesmor_frames_at(np.zeros(3000), np.array([1000]), np.array(starts, np.intp),
                                   np.array(lags, np.intp), polarity)


def test_blocks_are_resampled_as_the_whole_signal():
    x = np.random.default_rng(2).normal(size=(2, 20000))
    source = Resampled(ArraySource(x), 160, 441)
    # The ends continue as their last samples, so an offset does not ring.
    reach = 441 * 40
    padded = np.pad(x, ((0, 0), (reach, reach)), mode="edge")
    whole = resample_poly(padded, 160, 441, axis=1,
                          window=_lowpass(160, 441, FILTER_REACH))[:, 160 * 40: -160 * 40]
    assert source.n_samples == whole.shape[1]
    for start, stop in [(0, 100), (160, 4000), (3333, 5000), (7000, whole.shape[1])]:
        np.testing.assert_allclose(source.read(start, stop), whole[:, start:stop],
                                   rtol=0, atol=1e-12)
    # A tone well inside the band keeps its level (a gain would take the
    # block off the running sums' bound).
    tone = np.sin(2 * np.pi * 1000 * np.arange(44100) / 44100)
    level = Resampled(ArraySource(tone), 160, 441).read(2000, 10000)
    assert abs(np.max(np.abs(level)) - 1) < 0.01


@pytest.mark.parametrize("f0", [420, 700, 980])
def test_periods_between_lags_keep_their_octave(f0):
    # Periods that fall between whole lags at 16 kHz, searched there and
    # measured again at the full rate.
    sr = 22050
    y = harmonic_tone(f0, sr)
    full = qesmorPitch.track(y, sr, fmin=40, fmax=1000, analysis_sr=None)
    pt = qesmorPitch.track(y, sr, fmin=40, fmax=1000)
    assert np.array_equal(pt.times, full.times) and pt.frame_length == full.frame_length
    cents = 1200 * np.log2(pt.f0[3:-3] / f0)
    assert np.all(np.abs(cents) < 50)


@pytest.mark.parametrize("extra", [1, 440, 441, 1000])
def test_frames_of_the_full_rate_for_any_length(extra):
    sr = 44100
    y = harmonic_tone(180, sr)
    plan_frames = qesmorPitch.track(y[:2000], sr, analysis_sr=None).frame_length
    y = y[: plan_frames + extra]
    pt, full = qesmorPitch.track(y, sr), qesmorPitch.track(y, sr, analysis_sr=None)
    assert pt.n_frames == full.n_frames and np.array_equal(pt.times, full.times)
    f0 = pt.f0[np.isfinite(pt.f0)]
    assert np.all((f0 >= pt.fmin) & (f0 <= pt.fmax))


@pytest.mark.parametrize("sr", [192000, 384000])
def test_rates_whose_full_rate_periods_exceed_the_states_are_tracked(sr):
    # At the full rate fmin=50 would need more period states than a tracking
    # core has; the core runs at the analysis rate, so the defaults serve.
    y = harmonic_tone(150, sr)[: sr // 4]
    pt = qesmorPitch.track(y, sr)
    assert abs(1200 * np.log2(np.nanmedian(pt.f0) / 150)) < 50


def test_a_highpass_near_the_lower_rate_is_served_at_the_full_rate():
    sr = 44100
    y = harmonic_tone(9000, sr)
    pt = qesmorPitch.track(y, sr, fmin=8000, fmax=12000, highpass=7500)
    assert abs(1200 * np.log2(np.nanmedian(pt.f0) / 9000)) < 50


def test_a_given_frame_and_hop_are_kept():
    sr = 48000
    y = harmonic_tone(150, sr)
    least = qesmorPitch.track(y[:100], sr, fmin=60, analysis_sr=None).frame_length
    pt = qesmorPitch.track(y, sr, fmin=60, frame_length=least, hop_length=300)
    assert (pt.frame_length, pt.hop_length) == (least, 300)
    assert abs(np.nanmedian(pt.f0) - 150) < 1


def test_channels_at_a_high_rate_keep_their_own_pitch_and_silence():
    # One block read serves every channel of a frame range; a silent channel
    # has no scale and must stay unvoiced, the others at their own pitch.
    sr = 48000
    y = np.stack([harmonic_tone(150, sr, 1.0), np.zeros(sr), harmonic_tone(310, sr, 1.0)])
    pt = qesmorPitch.track(y, sr)
    assert not pt.voiced[1].any()
    for row, f0 in ((0, 150), (2, 310)):
        cents = 1200 * np.log2(pt.f0[row, 3:-3] / f0)
        assert np.all(np.abs(cents) < 20)


def test_a_high_range_keeps_four_samples_per_period_at_the_analysis_rate():
    # 6-12 kHz at 48 kHz: searched at 2.5 * fmax, a 11.76 kHz tone's period
    # was 2.6 samples there and read an octave low, at fmin.
    sr = 48000
    t = np.arange(sr // 2) / sr
    y = 0.3 * sum(np.sin(2 * np.pi * k * 11760.0 * t) / k for k in (1, 2) if k * 11760 < sr / 2)
    pt = qesmorPitch.track(y, sr, fmin=6000, fmax=12000)
    assert pt.voiced.all() and np.all(np.abs(1200 * np.log2(pt.f0 / 11760.0)) < 50)


@pytest.mark.parametrize("value, error", [(0, ValueError), (-16000, ValueError),
                                          ("16k", TypeError)])
def test_analysis_rate_is_checked(value, error):
    with pytest.raises(error, match="analysis_sr"):
        qesmorPitch.track(np.zeros(1000), 44100, analysis_sr=value)
    # Any rate at or above the signal's is the full rate, however large.
    huge = qesmorPitch.track(np.zeros(1000), 44100, analysis_sr=1e308)
    assert huge.frame_length == qesmorPitch.track(np.zeros(1000), 44100, analysis_sr=None).frame_length


@pytest.mark.parametrize("up, down", [(160, 441), (320, 441), (2, 3), (160, 480)])
@pytest.mark.parametrize("n", [1, 7, 2000, 30011])
def test_resampled_blocks_are_scipys_bits(up, down, n):
    # Each block is resample_poly of the block continued by its end samples,
    # bit for bit: a ratio not in lowest terms, blocks at either end, a
    # strided signal.
    x = np.random.default_rng(n).normal(size=(2, 2 * n))[:, ::2]
    source = Resampled(ArraySource(x), up, down)
    total = source.n_samples
    for start, stop in [(0, total), (0, min(5, total)), (total // 3, total // 2 + 1),
                        (max(total - 3, 0), total)]:
        if stop <= start:
            continue
        g = np.gcd(up, down)
        u, d = up // g, down // g
        first = start - start % u
        lo = first * d // u - source._margin
        hi = -(-stop * d // u) + source._margin
        block = x[:, max(lo, 0): min(hi, n)]
        padded = np.pad(block, ((0, 0), (max(lo, 0) - lo, hi - min(hi, n))), mode="edge")
        want = resample_poly(padded, u, d, axis=1, window=_lowpass(u, d, FILTER_REACH))
        skip = (source._margin // d) * u + (start - first)
        for target in _kernels.targets():
            with forced_target(_kernels, target):
                got = source.read(start, stop)
            np.testing.assert_array_equal(got.view(np.int64),
                                          want[:, skip: skip + stop - start].view(np.int64),
                                          err_msg=target)


@pytest.mark.parametrize("up, down", [(160, 441), (1, 3), (2, 3), (3, 3)])
@pytest.mark.parametrize("start", [0, 1, 2])
def test_subtracted_part_is_the_linear_interpolation(up, down, start):
    # Every period of the positions' table (a short one is repeated to 64
    # entries or more), a start off the grid, and a last output on a whole
    # position, whose right neighbour lies past `low`.
    rng = np.random.default_rng(up + start)
    n = 3 * max(down, 66) + 1
    last = start + (n - 1) * up
    low = rng.normal(size=last // down + 1 + (last % down != 0))
    x = rng.normal(size=n)
    got = _kernels._subtract_interpolated(x, 0.25, low, up, down, start)
    want = 0.25 * x - np.interp((start + np.arange(n) * up) / down, np.arange(low.size), low)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)
    whole = (start + np.arange(n) * up) % down == 0
    assert np.array_equal(got[whole], 0.25 * x[whole] - low[(start + np.flatnonzero(whole) * up) // down])
    with pytest.raises(ValueError, match="the last output needs"):
        _kernels._subtract_interpolated(x, 1.0, low[:-1], up, down, start)
    # A table of positions as long as the ratio's period (tens of GiB for
    # two large coprime numbers), however few the outputs.
    assert _kernels._subtract_interpolated(x[:1], 1.0, low[:2], 1, 2**31 - 1, 0).shape == (1,)


def _hummed(f0, hum, sr=44100, seconds=2.0):
    t = np.arange(int(seconds * sr)) / sr
    return (sum(np.sin(2 * np.pi * k * f0 * t) / k for k in range(1, 11))
            + hum * np.sin(2 * np.pi * 50 * t + 1))


@pytest.mark.parametrize("method", ["viterbi", "direct"])
def test_full_rate_measurement_sees_the_hum_removed(method):
    # The hum the search subtracted at the lower rate is gone from the
    # full-rate samples as well: a strong 50 Hz line does not pull the
    # refined period (it moved it by up to 3.6 cents when it stayed in).
    clean = qesmorPitch.track(_hummed(173.3, 0.0), 44100, method=method)
    hummed = qesmorPitch.track(_hummed(173.3, 0.3), 44100, method=method)
    assert hummed.voiced[5:-5].all()
    cents = 1200 * np.log2(hummed.f0[5:-5] / clean.f0[5:-5])
    assert np.max(np.abs(cents)) < 0.05


def test_full_rate_measurement_of_blocks_equals_one_pass(monkeypatch):
    # Each block is measured at the full rate by the job that searched it,
    # from that block's own conditioning: an offset, hum and a silent gap
    # must not show at the seams.
    from qesmorPitch import _track

    sr = 48000
    y = _hummed(151.7, 0.2, sr, 1.5) + 0.3
    y[sr // 2: sr // 2 + 3000] = 0.0
    whole = qesmorPitch.track(y, sr, method="direct", voicing_threshold=0)
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 23)
    parts = qesmorPitch.track(y, sr, method="direct", voicing_threshold=0)
    assert np.array_equal(np.isnan(parts.f0), np.isnan(whole.f0))
    np.testing.assert_allclose(parts.f0, whole.f0, rtol=1e-9)


def test_a_peak_near_the_largest_double_is_tracked_as_at_any_scale():
    # Resampled at its own scale, a tone of 1.7e308 overflowed the filter:
    # every frame unvoiced. A power of two changes no bit of the result.
    sr = 44100
    y = harmonic_tone(200.0, sr, seconds=0.5)
    y *= 0.95 / np.abs(y).max()
    ref = qesmorPitch.track(y, sr)
    big = np.ldexp(y, 1024)
    for signal, mono in ((big, False), (np.stack([big, big]), True)):
        pt = qesmorPitch.track(signal, sr, mono=mono)
        np.testing.assert_array_equal(pt.f0, ref.f0)
        assert pt.voiced[1:].all()


def test_each_frame_refines_its_period_within_its_own_reach():
    # A tone of period 80.3 samples, the starting guesses 3.5 lags short: one
    # lag either side cannot reach the peak, a reach of 5 refines onto it,
    # and each frame keeps to its own reach when they differ in one call.
    sr, period = 16000, 80.3
    t = np.arange(4000)
    x = sum(np.sin(2 * np.pi * k * t / period) / k for k in range(1, 6))
    starts = np.array([0, 1000, 2000])
    guesses = np.full(3, period - 3.5)
    found = refine_periods(x, starts, guesses, 640, "both", "parabolic", (20.0, 320.0),
                           reach=np.array([1, 5, 1]))
    assert abs(found[1] - period) < 0.1
    assert abs(found[0] - period) > 2.0 and found[0] == found[2]
