"""The real-recording evaluation's pure parts: truth lookup, contour cleaning,
the recording faults, music truth and scoring. The corpus build itself needs
system tools and is not run here."""
import numpy as np
import pytest

pytest.importorskip("scipy")

from qesmorPitch import _music, _realcorpus, _realeval  # noqa: E402
from qesmorPitch.evaluate import main, write_json  # noqa: E402


def _item(name="a", group="g1", sr=16000, seconds=1.0, f0=200.0, seed=0):
    n = int(seconds * sr)
    t = np.arange(n) / sr
    y = 0.5 * np.sin(2 * np.pi * f0 * t) + 0.01 * np.random.default_rng(seed).standard_normal(n)
    truth = np.full(int(seconds / _realcorpus.TRUTH_HOP), f0)
    truth[:10] = 0.0
    return _realcorpus.Item(name=name, kind="speech", group=group, split="tune", sr=sr,
                            y=y, f0=truth)


def test_truth_at_interpolates_voiced_frames_and_not_across_voicing():
    f0 = np.array([0.0, 100.0, 400.0, np.nan, 0.0])
    item = _realcorpus.Item("x", "speech", "g", "tune", 1000, np.zeros(50), f0)
    got = item.truth_at(np.array([0.004, 0.015, 0.0149, 0.026, 0.036, 0.05, -0.01]))
    # between 100 and 400 Hz halfway in log frequency is 200 Hz; next to an
    # unvoiced frame the nearest frame rules; NaN frames and the outside stay NaN
    np.testing.assert_allclose(got[:3], [0.0, 200.0, 2 ** (np.log2(100) + 0.49 * 2)], rtol=1e-12)
    assert np.isnan(got[3]) and got[4] == 0.0 and np.isnan(got[5]) and np.isnan(got[6])
    # Just before the first frame, its value, not one extrapolated from the
    # first two; a truth of no frames gave an IndexError.
    two = _realcorpus.Item("x", "speech", "g", "tune", 1000, np.zeros(50), np.array([100.0, 400.0]))
    assert two.truth_at(np.array([-0.004]))[0] == pytest.approx(100.0, rel=1e-12)
    empty = _realcorpus.Item("x", "speech", "g", "tune", 1000, np.zeros(50), np.zeros(0))
    assert np.isnan(empty.truth_at(np.array([0.0, 0.01]))).all()


def test_clean_contour_bridges_gaps_drops_blips_and_removes_spikes():
    f0 = np.zeros(40)
    f0[2:30] = 100.0
    f0[10:12] = 0.0  # a two-frame gap: bridged
    f0[20] = 200.0  # a one-frame octave spike: removed
    f0[33:36] = 150.0  # a 30 ms voiced blip: dropped
    out = _realcorpus.clean_contour(f0)
    np.testing.assert_allclose(out[2:30], 100.0)
    assert not out[30:].any() and not out[:2].any()
    assert f0[20] == 200.0  # input untouched


@pytest.mark.parametrize("condition", _realcorpus.SPEECH_CONDITIONS)
def test_conditions_are_deterministic_finite_and_leave_the_item_alone(condition):
    item, other = _item(), _item("b", "g2", sr=22050, f0=150.0, seed=1)
    before = item.y.copy()
    y1, sr1 = _realcorpus.apply(condition, item, [item, other])
    y2, _ = _realcorpus.apply(condition, item, [item, other])
    np.testing.assert_array_equal(y1, y2)
    np.testing.assert_array_equal(item.y, before)
    assert np.isfinite(y1).all()
    assert sr1 == (8000 if condition.startswith("telephone") else item.sr)
    assert abs(y1.shape[0] / sr1 - item.duration) < 0.01


@pytest.mark.parametrize("condition, expect_db", [
    ("white 10 dB", -10.0), ("babble 0 dB", 0.0), ("hum 60 Hz -30 dB", -30.0)])
def test_added_faults_sit_at_their_level_below_the_speech(condition, expect_db):
    item, other = _item(), _item("b", "g2", seed=1)
    y, _ = _realcorpus.apply(condition, item, [item, other])
    fault = y - item.y
    level = 20 * np.log10(np.sqrt(np.mean(fault ** 2)) / _realcorpus.active_rms(item))
    assert level == pytest.approx(expect_db, abs=0.01)


def test_dc_offset_is_a_share_of_the_peak_and_babble_needs_other_speakers():
    item = _item()
    y, _ = _realcorpus.apply("DC 2 %", item, [item])
    np.testing.assert_allclose(y - item.y, 0.02 * np.max(np.abs(item.y)))
    with pytest.raises(ValueError, match="other speakers"):
        _realcorpus.apply("babble 10 dB", item, [item])
    with pytest.raises(ValueError, match="unknown condition 'hiss'"):
        _realcorpus.apply("hiss", item, [item])


def test_note_bends_follow_the_declared_range():
    note = _music.Note(1.0, 2.0, 69, bends=((0.5, 8191), (0.7, -4096)))
    got = note.f0(np.array([1.2, 1.5, 1.69, 1.8]))
    np.testing.assert_allclose(got, [440.0, 440.0 * 2 ** (2 * 8191 / 8192 / 12),
                                     440.0 * 2 ** (2 * 8191 / 8192 / 12), 440.0 * 2 ** (-1 / 12)])


def test_music_truth_leaves_out_note_edges_and_loud_tails():
    sr = 8000
    notes = [_music.Note(0.2, 0.6, 57)]
    y = np.zeros(sr)
    y[int(0.2 * sr):int(0.7 * sr)] = 0.5  # the "release" sounds until 0.7 s
    truth = _music.truth(notes, y, sr)
    t = np.arange(truth.shape[0]) * _realcorpus.TRUTH_HOP
    assert np.isnan(truth[np.abs(t - 0.2) < 0.05]).all()
    assert np.isnan(truth[np.abs(t - 0.6) < 0.05]).all()
    np.testing.assert_allclose(truth[(t > 0.26) & (t < 0.54)], 220.0)
    assert np.isnan(truth[(t > 0.66) & (t < 0.69)]).all()  # loud tail after the note
    assert (truth[t > 0.72] == 0).all() and (truth[t < 0.14] == 0).all()


def test_midi_declares_the_bend_range_before_any_bend():
    mido = pytest.importorskip("mido")
    import io

    notes = [_music.Note(0.1, 0.5, 60, bends=((0.1, 4096),)), _music.Note(0.53, 0.8, 62)]
    msgs = list(mido.MidiFile(file=io.BytesIO(_music.midi_bytes(notes, 40))))
    kinds = [(m.type, getattr(m, "control", None), getattr(m, "value", None)) for m in msgs]
    first_bend = next(i for i, m in enumerate(msgs) if m.type == "pitchwheel" and m.pitch)
    assert kinds.index(("control_change", 6, _music.BEND_RANGE)) < first_bend
    assert ("program_change", None, None) in kinds
    on = [round(sum(m.time for m in msgs[:i + 1]), 3) for i, m in enumerate(msgs)
          if m.type == "note_on"]
    assert on == [0.1, 0.53]


def test_scores_of_an_oracle_and_of_an_octave_error():
    items = [_item(), _item("b", "g2", f0=120.0, seed=1)]

    def oracle(y, sr):
        t = np.arange(0, len(y) / sr, 0.01)
        return t, np.nan_to_num(items[0 if sr == 16000 and y[0] == items[0].y[0] else 1]
                                .truth_at(t))

    def octave(y, sr):
        t, f0 = oracle(y, sr)
        return t, 2 * f0

    res = _realeval.score_trackers({"oracle": oracle, "octave": octave}, items, ["clean"])
    assert res["oracle"]["clean"]["overall_accuracy"] == 1.0
    assert res["oracle"]["clean"]["gross_error_rate"] == 0.0
    assert res["octave"]["clean"]["raw_pitch_accuracy"] == 0.0
    assert res["octave"]["clean"]["raw_chroma_accuracy"] == 1.0
    assert res["octave"]["clean"]["gross_error_rate"] == 1.0
    assert "| octave | 0.000 | 1.000 |" in _realeval.tables(res)
    assert _realeval.overview(res, "raw_pitch_accuracy").splitlines()[2:] == [
        "| oracle | 1.000 |", "| octave | 0.000 |"]
    with pytest.raises(ValueError, match="3 F0 values for 4 frame times"):
        _realeval.frame_pairs(items[0], np.zeros(4), np.zeros(3))


def test_qesmor_tracker_scores_a_clean_tone_and_the_command_checks_its_input(capsys, tmp_path):
    res = _realeval.score_tracker(_realeval.qesmor("viterbi"), [_item()], ["clean"])
    assert res["clean"]["raw_pitch_accuracy"] > 0.95
    corpus = tmp_path / "corpus"
    _realcorpus.build("speech", 1, lambda scratch: [_item()], corpus, log=lambda msg: None)
    # Every mistake is one line before any work, not a traceback after it
    # (or, for the real recordings' options without --real, ignored).
    for argv, text in ((["--real", "--set", "voicing_threshold"], "needs KEY=VALUE"),
                       (["--real", "--cache", str(tmp_path)], "--build-corpus"),
                       (["--real", "--methods", "bogus"], "give one or more of direct"),
                       (["--real", "--set", "fmin=60"], "sets fmin itself"),
                       (["--real", "--set", "voicing_threshold=5"], "must be in [0, 1]"),
                       # A negative rate filtered nothing and read as a filter; a
                       # value beyond every double was quoted as the inf it became.
                       (["--real", "--above-sr", "-1"], "--above-sr -1: give a rate in Hz"),
                       (["--real", "--above-sr", "nan"], "--above-sr nan: give a rate in Hz"),
                       (["--real", "--set", "hop_length=1e400"],
                        "hop_length=1e400: 1e400 is beyond every finite number"),
                       (["--quick", "--json", str(tmp_path / "no" / "x.json")], "no such directory"),
                       (["--quick", "--json", str(tmp_path)], "names a directory"),
                       (["--quick", "--conditions", "clean"], "add --real"),
                       # An empty name or list was taken for none given: the
                       # results went unwritten, or nothing was scored.
                       (["--quick", "--json", ""], "names no file"),
                       (["--build-corpus", "--cache", ""], "--cache '' names no folder"),
                       (["--real", "--cache", str(tmp_path), "--conditions", " , "],
                        "names no condition"),
                       # A limit that depends on the items' rate: a traceback
                       # once the first item was reached.
                       (["--real", "--cache", str(corpus), "--set", "frame_length=3"],
                        "frame_length=3 is too short for fmin=50 Hz at sr=16000")):
        with pytest.raises(SystemExit):
            main(argv)
        err = capsys.readouterr().err
        assert text in err and "Traceback" not in err, (argv, err)


@pytest.mark.parametrize("group, program, low, high, split", _music.INSTRUMENTS)
def test_melodies_stay_in_range_monophonic_and_carry_their_bends(group, program, low, high, split):
    for seed in _music.MELODY_SEEDS[split]:
        notes = _music.melody(seed, low, high)
        assert notes == _music.melody(seed, low, high)
        assert all(low <= n.pitch <= high for n in notes)
        assert all(a.end < b.start for a, b in zip(notes, notes[1:]))
        f0 = np.concatenate([n.f0(np.linspace(n.start, n.end, 50, endpoint=False)) for n in notes])
        assert _music.MUSIC_FMIN <= f0.min() and f0.max() <= _music.MUSIC_FMAX
        assert sum(bool(n.bends) for n in notes) == 2


def test_saved_items_load_back_and_a_current_manifest_is_not_rebuilt(tmp_path):
    item = _item()
    item = _realcorpus.Item(**{**item.__dict__, "f0": np.where(np.arange(100) == 50, np.nan,
                                                              item.f0)})
    made = []

    def items(scratch):
        made.append(scratch.is_dir())
        yield item
    for _ in range(2):
        _realcorpus.build("speech", 7, items, tmp_path, log=lambda msg: None)
    assert made == [True]
    (back,) = _realcorpus.load("speech", "tune", tmp_path)
    assert (back.name, back.group, back.split, back.sr) == (item.name, item.group, "tune", 16000)
    np.testing.assert_array_equal(back.f0, item.f0)
    np.testing.assert_allclose(back.y, item.y, rtol=1e-7)
    assert _realcorpus.load("speech", "heldout", tmp_path) == []


def test_a_corpus_build_interrupted_while_saving_leaves_no_cut_item(tmp_path, monkeypatch):
    def interrupted(file, **arrays):
        (file if hasattr(file, "write") else open(file, "wb")).write(b"PK half an archive")
        raise KeyboardInterrupt
    monkeypatch.setattr(np, "savez", interrupted)
    with pytest.raises(KeyboardInterrupt):
        _realcorpus.build("speech", 7, lambda scratch: iter([_item()]), tmp_path,
                          log=lambda msg: None)
    assert list((tmp_path / "speech").iterdir()) == []
    # A rebuild that stops after its first item leaves no corpus, not the
    # old manifest over old items and new ones.
    monkeypatch.undo()
    _realcorpus.build("speech", 7, lambda scratch: iter([_item("a"), _item("b")]), tmp_path,
                      log=lambda msg: None)

    def stopped(scratch):
        yield _item("a", f0=300.0)
        raise OSError(28, "No space left on device")
    with pytest.raises(OSError):
        _realcorpus.build("speech", 8, stopped, tmp_path, log=lambda msg: None)
    with pytest.raises(FileNotFoundError, match="build it with"):
        _realcorpus.load("speech", None, tmp_path)


def test_faint_voiced_frames_are_not_scored_and_the_telephone_band_cuts_the_lows():
    sr = 8000
    y = np.zeros(sr)
    y[:sr // 2] = np.sin(2 * np.pi * 100 * np.arange(sr // 2) / sr)
    y[sr // 2:] = 1e-4 * np.sin(2 * np.pi * 100 * np.arange(sr // 2) / sr)  # -80 dB
    f0 = np.where(np.arange(100) < 95, 100.0, 0.0)
    out = _realcorpus.faint_as_ignored(y, sr, f0)
    assert (out[:49] == 100).all() and np.isnan(out[52:95]).all() and (out[95:] == 0).all()
    item = _realcorpus.Item("t", "speech", "g", "tune", sr, y, f0)
    tel, _ = _realcorpus.apply("telephone 8 kHz", item, [item])
    loss = 20 * np.log10(np.std(tel[1000:3000]) / np.std(y[1000:3000]))
    assert loss < -20


def test_results_are_written_as_strict_json_and_whole(tmp_path):
    # A condition nobody scored gave a bare NaN, which strict readers refuse;
    # and the file was truncated in place, so an interrupted write lost the
    # previous results (here seen through a second name of the same file).
    import json
    path, old = tmp_path / "r.json", tmp_path / "previous.json"
    path.write_text('{"kept": 1}')
    old.hardlink_to(path)

    def strict(name):
        raise ValueError(f"{name} is not JSON")
    write_json(str(path), {"a": {"clean": float("nan")}, "b": [np.float32("inf"), np.int64(3)],
                           "c": ("score", 0.5)})
    assert json.loads(path.read_text(), parse_constant=strict) == {
        "a": {"clean": None}, "b": [None, 3], "c": ["score", 0.5]}
    assert old.read_text() == '{"kept": 1}'
    assert sorted(p.name for p in tmp_path.iterdir()) == ["previous.json", "r.json"]


def test_the_command_refuses_unknown_peers(capsys):
    with pytest.raises(SystemExit):
        main(["--real", "--peers", "praat"])
    assert "unknown peer 'praat'" in capsys.readouterr().err
