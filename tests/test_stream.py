"""PitchStream, track(causal=True) and qesmor-pitch --stream."""
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import qesmorPitch
from qesmorPitch import _kernels, _stream, cy_impl

SR = 8000
# A short range keeps frames short, so a signal of many frames stays small.
RANGE = dict(fmin=100.0, fmax=400.0)


def signal(seconds=0.3, seed=0):
    """A glide with noise and a stretch of digital silence in the middle."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * SR)) / SR
    y = np.sin(2 * np.pi * (140 + 200 * t) * t) + 0.05 * rng.standard_normal(t.size)
    y[len(y) // 3: len(y) // 3 + 300] = 0.0
    return y


def pushed(stream, chunks):
    """Every frame the stream reports for `chunks`, then its flush, as one array per field."""
    tracks = [stream.push(c) for c in chunks] + [stream.flush()]
    return {k: np.concatenate([getattr(t, k) for t in tracks], axis=-1)
            for k in ("times", "f0", "strength", "probability", "voiced", "confidence")}


def assert_same_bits(got, want):
    for k, v in got.items():
        w = getattr(want, k)
        assert v.shape == w.shape and v.tobytes() == w.tobytes(), k


def random_split(y, rng, n_cuts):
    return np.split(y, np.sort(rng.integers(0, y.shape[-1] + 1, n_cuts)), axis=-1)


@pytest.mark.parametrize("method, polarity, hop", [
    ("bayes", "both", None), ("bayes", "positive", None), ("direct", "both", None),
    ("direct", "negative", None),
    # A short hop: track() cuts the signal into blocks of frames inside it,
    # here within the silence, which the stream's chunks must not notice.
    ("direct", "both", 2),
    # Half a second of silence: the high-pass's tail fades through the
    # silence floor, where each frame's level counts, in chunks of one hop.
    ("bayes", "both", "silence")])
def test_any_chunking_equals_causal_track_bit_for_bit(method, polarity, hop):
    y = signal()
    if hop == "silence":
        y, hop = np.concatenate([y, np.zeros(SR // 2), y]), None
    if hop is not None:
        y = np.concatenate([y[:2500], np.zeros(1000), 0.01 * y[:1500]])
    kw = dict(RANGE, method=method, polarity=polarity, hop_length=hop)
    want = qesmorPitch.track(y, SR, causal=True, **kw)
    assert want.n_frames > 20
    rng = np.random.default_rng(1)
    splits = [random_split(y, rng, 40), random_split(y, rng, 3),
              # one-sample chunks over the first frames, then empty ones and the rest
              [y[i: i + 1] for i in range(400)] + [y[:0], y[:0], y[400:]],
              np.array_split(y, np.arange(want.hop_length, y.size, want.hop_length))]
    for chunks in splits:
        assert_same_bits(pushed(qesmorPitch.PitchStream(SR, **kw), chunks), want)


@pytest.mark.parametrize("method", ["bayes", "direct"])
def test_offsets_and_large_constants_are_unvoiced_and_a_voice_on_one_is_not(method):
    # What the high-pass leaves of a constant of 1e15 is its rounding, which
    # repeats: silence relative to the input's peak, not to full scale.
    for c in (1e15, 1e100):
        y = np.full(4000, c)
        assert not qesmorPitch.track(y, SR, causal=True, method=method, **RANGE).voiced.any()
    # A stream that starts on an offset does not start with the filter's ringing.
    y = 1.0 + 1e-3 * np.random.default_rng(2).standard_normal(4000)
    assert not qesmorPitch.track(y, SR, causal=True, method=method).voiced.any()
    y = 1e6 + signal(0.5)
    assert qesmorPitch.track(y, SR, causal=True, method=method, **RANGE).voiced.mean() > 0.5
    # One outlying sample raises the floor for about a second, not for good,
    # whatever the chunks.
    t = np.arange(3 * SR) / SR
    y = np.sin(2 * np.pi * 200 * t)
    y[100] = 1e12
    want = qesmorPitch.track(y, SR, causal=True, method=method, **RANGE)
    assert want.voiced[want.times > 1.3].all() and not want.voiced[want.times < 0.9].any()
    assert_same_bits(pushed(qesmorPitch.PitchStream(SR, method=method, **RANGE),
                            random_split(y, np.random.default_rng(5), 30)), want)


def test_hum_found_in_the_past_is_taken_out_whatever_the_chunks(monkeypatch):
    # Half-second notes and pauses over 50 Hz hum 20 dB down: the pauses are
    # as periodic as the hum, and passed for voice before its removal.
    t = np.arange(4 * SR) / SR
    phase = t % 1.0
    y = np.where(phase < 0.5, sum(np.sin(2 * np.pi * k * 180 * t) / k for k in (1, 2, 3)), 0.0)
    y += 0.1 * sum(np.sin(2 * np.pi * k * 50 * t + k) for k in (1, 2, 3))
    y += 1e-3 * np.random.default_rng(7).standard_normal(t.size)
    y[int(3.6 * SR):] = 0.0     # digital silence, which must stay silence
    kw = dict(RANGE, method="bayes")
    want = qesmorPitch.track(y, SR, causal=True, **kw)
    at = want.times % 1.0
    later = (want.times > 1.6) & (want.times < 3.5)   # the first search comes at 1.5 s
    assert want.voiced[later & (at > 0.1) & (at < 0.45)].all()
    assert not want.voiced[later & (at > 0.6) & (at < 0.95)].any()
    assert np.isnan(want.strength[want.times > 3.65]).all()
    update = round(_stream.HUM_UPDATE_SECONDS * SR)
    for chunks in (random_split(y, np.random.default_rng(8), 30),
                   np.split(y, [update - 1, update, update + 1, 3 * update])):
        assert_same_bits(pushed(qesmorPitch.PitchStream(SR, **kw), chunks), want)
    monkeypatch.setattr(_stream, "HUM_UPDATE_SECONDS", 1e9)
    assert qesmorPitch.track(y, SR, causal=True, **kw).voiced[later & (at > 0.6)].mean() > 0.9


def test_tiny_chunks_keep_the_hum_search_input_in_few_pieces():
    # One piece per chunk held 40,000 of them for one-sample chunks, and
    # every push went through them all (20 ms a push, not 0.15).
    x = np.random.default_rng(3).standard_normal((1, 3 * SR))
    state = _stream._HumRemoval.start(1, SR)
    for i in range(0, x.shape[1], 3):
        state = state.apply(x[:, i:i + 3])[2]
    assert len(state.pieces) <= 2 + round(_stream.HUM_WINDOW_SECONDS * SR) // _stream.PIECE_SAMPLES
    first = state.pieces[0][0]
    np.testing.assert_array_equal(_stream._joined(state.pieces, first, x.shape[1]), x[:, first:])


def test_multichannel_integer_chunks_and_reset():
    y = np.stack([signal(seed=2), 0.5 * signal(seed=3)[::-1]])
    ints = np.round(y * 20000).astype(np.int16)
    want = qesmorPitch.track(ints, SR, causal=True, **RANGE, method="bayes")
    stream = qesmorPitch.PitchStream(SR, channels=2, **RANGE)
    rng = np.random.default_rng(4)
    assert_same_bits(pushed(stream, random_split(ints, rng, 25)), want)
    # Integers are read as fractions of full scale, exactly.
    assert_same_bits(pushed(qesmorPitch.PitchStream(SR, channels=2, **RANGE),
                            [ints / 32768.0]), want)
    stream.reset()
    assert_same_bits(pushed(stream, [ints]), want)


def test_a_long_chunk_takes_bounded_memory_and_a_failure_in_it_changes_nothing():
    import tracemalloc

    # Analysed at once, a chunk of a minute held some fifteen times itself.
    y = np.tile(signal(), 200)
    want = qesmorPitch.track(y, SR, causal=True, **RANGE, method="bayes")
    stream = qesmorPitch.PitchStream(SR, **RANGE)
    tracemalloc.start()
    try:
        got = pushed(stream, [y])
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert_same_bits(got, want)
    assert peak < 4 * y.nbytes, peak / y.nbytes
    # A sample refused in the chunk's last block: its first blocks undone.
    stream.reset()
    first = stream.push(y[:1000])
    bad = y[1000:].copy()
    bad[-3] = 1e150
    with pytest.raises(ValueError, match="beyond 1e"):
        stream.push(bad)
    assert stream.samples_received == 1000
    rest = stream.push(y[1000:])
    assert np.concatenate([first.f0, rest.f0]).tobytes() == want.f0.tobytes()


def test_resume_entry_in_blocks_equals_one_pass():
    """The private entry, resumed block by block, gives the public core's rows."""
    rng = np.random.default_rng(5)
    x = np.abs(rng.standard_normal(3000)) * (np.arange(3000) % 37 < 18)
    fs, window, hop, lags = 8000.0, 164, 40, np.arange(19, 82)
    args = (None, 0.5)
    want = cy_impl.calc_Pitch_bayes_core_cy(x, fs, window, hop, lags, *args, 0.05, "gaussian")
    a = cy_impl.create_transition_matrix_cy(window // 2, fs, 0.05)
    block_t = np.ascontiguousarray(a[19:82, 19:82].T)
    belief, rows = np.zeros(len(lags)), []
    for first, stop in [(0, 1), (1, 2), (2, 30), (30, len(want))]:
        part = x[first * hop: (stop - 1) * hop + window + 1]
        out, belief = _kernels._bayes_resume(part, fs, window, hop, lags, *args, "gaussian",
                                             block_t, belief)
        rows.append(out)
    assert np.concatenate(rows).tobytes() == want.tobytes()
    with pytest.raises(ValueError, match="transition_t has shape"):
        _kernels._bayes_resume(x, fs, window, hop, lags, *args, "gaussian", block_t[1:], belief)
    with pytest.raises(ValueError, match="belief has 5 values"):
        _kernels._bayes_resume(x, fs, window, hop, lags, *args, "gaussian", block_t, belief[:5])
    # the caller's belief is read, never written
    before = belief.copy()
    _kernels._bayes_resume(x, fs, window, hop, lags, *args, "gaussian", block_t, belief)
    assert belief.tobytes() == before.tobytes()


def test_voicing_chain_resumed_in_pieces_equals_one_forward_pass():
    # Many signals: a state that lost a bit between calls (as a round trip
    # through logarithms did) shows in a few of them only.
    for seed in range(40):
        rng = np.random.default_rng(seed)
        score = rng.normal(0.0, 4.0, 60)
        if seed == 1:
            score[20:25] = [800.0, -800.0, np.inf, -np.inf, 0.0]
        want = _kernels._voicing_posterior(score, 1.5, 0)
        assert np.all((want >= 0.0) & (want <= 1.0)), seed
        state, parts = None, []
        for first, stop in [(0, 0), (0, 1), (1, 1), (1, 2), (2, 41), (41, 60)]:
            post, state = _kernels._voicing_forward(score[first:stop], 1.5, state)
            parts.append(post)
        assert np.concatenate(parts).tobytes() == want.tobytes(), seed
    # the caller's state is read, never written
    before = state.copy()
    _kernels._voicing_forward(score, 1.5, state)
    assert state.tobytes() == before.tobytes()
    with pytest.raises(ValueError, match="state has 3 values"):
        _kernels._voicing_forward(score, 1.5, np.zeros(3))
    # (0, 0), a NaN or a belief above 1 would make every later posterior NaN
    for bad in ([0.0, 0.0], [np.nan, 1.0], [1.0, 2.0], [-0.5, 1.0]):
        with pytest.raises(ValueError, match="is not one a previous call returned"):
            _kernels._voicing_forward(score, 1.5, np.array(bad))


def test_causal_refuses_viterbi_and_stream_reports_each_frame_within_a_hop():
    with pytest.raises(ValueError, match="a stream is causal by nature"):
        qesmorPitch.PitchStream(SR, causal=False)
    # Options made for offline use carry the offline default method; a
    # keyword replaces what the options say, a hop either way included.
    with pytest.raises(ValueError, match="the options give method='viterbi'"):
        qesmorPitch.PitchStream(SR, options=qesmorPitch.Options(hop_length=80))
    stream = qesmorPitch.PitchStream(SR, options=qesmorPitch.Options(hop_length=80, fmin=60),
                                     method="bayes", hop_seconds=0.02)
    assert (stream.plan.hop_length, stream.plan.fmin) == (SR // 50, 60)
    with pytest.raises(ValueError, match="causal=True needs method='bayes' or 'direct'"):
        qesmorPitch.track(signal(), SR, causal=True)
    with pytest.raises(ValueError, match="causal=True"):
        qesmorPitch.PitchStream(SR, method="viterbi")
    # The mean over a frame's neighbours waits for the next frame.
    with pytest.raises(ValueError, match="smooth_f0=True averages each frame with the next"):
        qesmorPitch.PitchStream(SR, smooth_f0=True)
    stream = qesmorPitch.PitchStream(SR, **RANGE)
    hop, width = stream.plan.hop_length, stream.plan.frame_length
    y = signal()
    assert len(stream.push(y[:width])) == 0
    for n in range(width + 1, width + 3 * hop + 2):
        got = stream.push(y[n - 1: n])
        # frame t is decided by sample t * hop + width, the first after its end
        assert len(got) == (1 if (n - 1 - width) % hop == 0 else 0), n
    # bounded state: the buffer holds at most one frame and the last chunk
    assert stream._causal.buffer.shape[1] <= width
    stream.push(np.zeros(50 * hop))
    assert stream._causal.buffer.shape[1] <= width


@pytest.mark.parametrize("bad, error, match", [
    (np.r_[np.ones(7), np.nan, 1.0], ValueError, r"samples\[7\] is not finite"),
    (np.r_[np.inf], ValueError, r"samples\[0\] is not finite"),
    (np.ones((2, 5)), ValueError, r"1-D chunks"),
    (np.array(["a", "b"]), TypeError, "must be real numbers"),
    (np.ones(3) + 1j, TypeError, "must be real numbers"),
    ([[1.0, 2.0], [3.0]], ValueError, "rows of unequal lengths"),
    # Read against 2**63, 16-bit-sized integers were silence throughout.
    (np.ones(10, dtype=np.int64), TypeError, "no full scale that audio uses"),
    ([1000, -2000, 3000], TypeError, "no full scale that audio uses"),
    # Samples are fractions of full scale: the energy of a block would overflow.
    (np.r_[1.0, -1e153, 1.0], ValueError, r"magnitude 1e\+153 is beyond 1e\+140"),
    # What lay under the mask was analysed, as track() refuses to.
    (np.ma.masked_array(np.ones(4), [0, 1, 0, 0]), ValueError, "masked samples"),
    # A finite long double beyond every double is no NaN or inf to replace.
    pytest.param(np.r_[np.ones(2, np.longdouble), np.longdouble("1e400")], ValueError,
                 r"samples\[2\] is beyond the largest double", marks=pytest.mark.skipif(
                     np.finfo(np.longdouble).max <= np.finfo(np.float64).max,
                     reason="long double is double here")),
])
def test_bad_chunk_is_refused_and_leaves_the_stream_unchanged(bad, error, match):
    y = signal()
    want = pushed(qesmorPitch.PitchStream(SR, **RANGE), [y])
    stream = qesmorPitch.PitchStream(SR, **RANGE)
    first = stream.push(y[:1000])
    with pytest.raises(error, match=match):
        stream.push(bad)
    rest = pushed(stream, [y[1000:]])
    got = {k: np.concatenate([getattr(first, k), v], axis=-1) for k, v in rest.items()}
    for k in want:
        assert got[k].tobytes() == want[k].tobytes(), k


def test_wrong_channels_and_push_after_flush():
    stream = qesmorPitch.PitchStream(SR, channels=2, **RANGE)
    with pytest.raises(ValueError, match=r"\(2, n\) chunks of 2 channel"):
        stream.push(np.ones((3, 10)))
    # An audio callback's (frames, channels) block: said how to pass it.
    with pytest.raises(ValueError, match=r"chunks of 2 channel\(s\); if it holds the channels "
                                         r"stored samples first, pass samples\.T"):
        stream.push(np.ones((160, 2)))
    stream.flush()
    with pytest.raises(RuntimeError, match="call reset"):
        stream.push(np.ones((2, 10)))
    stream.reset()
    assert len(stream.push(np.ones((2, 10)))) == 0


def _command(*args):
    return [sys.executable, "-m", "qesmorPitch", "--stream", *args]


def test_command_rows_appear_while_the_pipe_is_still_open():
    sr = 8000
    y = (np.sin(2 * np.pi * 200 * np.arange(sr) / sr) * 16000).astype("<i2")
    proc = subprocess.Popen(_command("--sr", str(sr), "--fmin", "100", "-"),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        # Half a second of audio, sent slowly; the rest only after a row came.
        for piece in np.array_split(y[: sr // 2], 20):
            proc.stdin.write(piece.tobytes())
            proc.stdin.flush()
            time.sleep(0.005)
        header = proc.stdout.readline()
        first = proc.stdout.readline()
        assert header == b"time,f0,strength,probability,voiced\n"
        assert abs(float(first.split(b",")[1]) - 200) < 1 and proc.poll() is None
        # and a last sample cut short
        proc.stdin.write(y[sr // 2:].tobytes() + b"\x01")
        # Read on through the same buffered reader: communicate() reads the
        # pipe itself and would lose rows that readline() already buffered.
        proc.stdin.close()
        out, err = proc.stdout.read(), proc.stderr.read()
        proc.wait(timeout=60)
    finally:
        proc.kill()
    rows = [header, first] + out.splitlines(keepends=True)
    want = qesmorPitch.track(y, sr, causal=True, fmin=100.0, method="bayes")
    assert proc.returncode == 0 and len(rows) == want.n_frames + 1
    assert b"dropped the last 1 byte" in err


@pytest.mark.parametrize("args, match", [
    (("--sr", "8000", "a.wav"), b"give '-' and no AUDIO"),
    (("-",), b"needs --sr"),
    (("--sr", "8000", "--method", "viterbi", "-"), b"causal=True needs"),
])
def test_command_usage_errors(args, match):
    proc = subprocess.run(_command(*args), stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=60)
    assert proc.returncode == 2 and match in proc.stderr


def test_command_two_float_channels_from_a_file_like_pipe(tmp_path):
    y = np.stack([signal(seed=6), signal(seed=7)]).astype("<f4")
    raw = tmp_path / "in.raw"
    raw.write_bytes(y.T.tobytes())
    with open(raw, "rb") as fh:
        proc = subprocess.run(_command("--sr", str(SR), "--channels", "2", "--dtype", "f32",
                                       "--fmin", "100", "--fmax", "400", "-"),
                              stdin=fh, capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.decode().splitlines()
    want = qesmorPitch.track(y, SR, causal=True, **RANGE, method="bayes")
    assert lines[0].startswith("channel,time") and len(lines) == 1 + 2 * want.n_frames
    assert [line.split(",")[0] for line in lines[1:3]] == ["0", "1"]


def test_files_tracked_causally_equal_the_stream(tmp_path):
    import wave

    y = (signal(seconds=0.5) * 16000).astype("<i2")
    path = tmp_path / "a.wav"
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(SR)
        w.writeframes(y.tobytes())
    [result] = qesmorPitch.track_files([path], return_tracks=True, out_dir=tmp_path,
                                       causal=True, method="bayes", **RANGE)
    stream = qesmorPitch.PitchStream(SR, **RANGE)
    assert_same_bits(pushed(stream, np.array_split(y, 7)), result.track)
