"""The qesmor-pitch command, audio reading, track files, plots and the
evaluation's scoring path."""
import io
import json
import subprocess
import sys
import wave

import numpy as np
import pytest

import qesmorPitch
from qesmorPitch import _audio, _cli, _corpus, evaluate

SR = 8000


def write_wav(path, y, sr=SR, width=2, channels=1):
    """PCM WAV through the standard library, so these tests need no soundfile."""
    y = np.asarray(y, dtype=np.float64).reshape(-1, channels)
    full = 2 ** (8 * width - 1)
    ints = np.clip(np.round(y * (full - 1)), -full, full - 1).astype(np.int64)
    if width == 1:
        raw = (ints + 128).astype(np.uint8).tobytes()
    elif width == 3:
        b = ints.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3]
        raw = b.tobytes()
    else:
        raw = ints.astype(f"<i{width}").tobytes()
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(sr)
        w.writeframes(raw)


def voice(seconds=1.0, f0=150.0, sr=SR):
    t = np.arange(int(seconds * sr)) / sr
    return 0.5 * sum(np.sin(2 * np.pi * k * f0 * t) / k for k in range(1, 5))


def run(argv, capsys):
    code = _cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


# --------------------------------------------------------------------------
# Reading audio


@pytest.mark.parametrize("width", [1, 2, 3, 4])
def test_pcm_wav_is_read_without_soundfile(tmp_path, monkeypatch, width):
    monkeypatch.setitem(sys.modules, "soundfile", None)  # import fails
    y = np.stack([voice(0.1), -0.25 * voice(0.1)], axis=1)
    write_wav(tmp_path / "x.wav", y, width=width, channels=2)
    data, sr = _audio.read_audio(tmp_path / "x.wav")
    assert sr == SR and data.shape == (2, 800)
    np.testing.assert_allclose(data, y.T, atol=2.0 / 2 ** (8 * width - 1))
    (tmp_path / "x.flac").write_bytes(b"fLaC")
    with pytest.raises(_audio.AudioError, match="needs soundfile"):
        _audio.read_audio(tmp_path / "x.flac")


def test_flac_and_float_wav_through_soundfile(tmp_path):
    sf = pytest.importorskip("soundfile")
    y = voice(0.2)
    sf.write(tmp_path / "x.flac", y, SR)
    sf.write(tmp_path / "f.wav", np.stack([y, y / 2], 1), SR, subtype="FLOAT")
    data, sr = _audio.read_audio(tmp_path / "x.flac")
    assert sr == SR and data.shape == y.shape
    np.testing.assert_allclose(data, y, atol=1e-4)
    data, _ = _audio.read_audio(tmp_path / "f.wav")
    np.testing.assert_allclose(data[1], y / 2, rtol=1e-6)


def test_unreadable_files_raise_one_line_errors(tmp_path):
    (tmp_path / "junk.wav").write_bytes(b"RIFF\x00\x00not audio at all")
    for path, text in [(tmp_path / "junk.wav", "not a readable"),
                       (tmp_path / "none.wav", "no such file")]:
        with pytest.raises(_audio.AudioError, match=text) as err:
            _audio.read_audio(path)
        assert "\n" not in str(err.value)


# --------------------------------------------------------------------------
# Output formats


def test_csv_json_npz_hold_the_same_track(tmp_path, capsys):
    write_wav(tmp_path / "v.wav", voice())
    y, sr = _audio.read_audio(tmp_path / "v.wav")
    pt = qesmorPitch.track(y, sr)
    for fmt in ("csv", "json", "npz"):
        code, _, err = run([tmp_path / "v.wav", "-o", tmp_path / f"t.{fmt}"], capsys)
        assert code == 0, err
    rows = np.genfromtxt(tmp_path / "t.csv", delimiter=",", names=True)
    assert rows.dtype.names == ("time", "f0", "strength", "probability", "voiced")
    np.testing.assert_allclose(rows["time"], pt.times, atol=1e-6)
    np.testing.assert_allclose(rows["f0"], pt.f0, rtol=1e-9)
    np.testing.assert_array_equal(rows["voiced"].astype(bool), pt.voiced)
    doc = json.loads((tmp_path / "t.json").read_text())
    assert doc["method"] == "viterbi" and doc["hop_length"] == pt.hop_length
    np.testing.assert_allclose(np.array(doc["f0"], dtype=float), pt.f0)  # null -> nan
    npz = np.load(tmp_path / "t.npz")
    np.testing.assert_array_equal(npz["f0"], pt.f0)
    assert json.loads(str(npz["params"]))["beta"] == pt.params["beta"]


def test_multichannel_csv_has_a_channel_column(tmp_path, capsys):
    write_wav(tmp_path / "s.wav", np.stack([voice(), voice(f0=220.0)], 1), channels=2)
    code, out, _ = run([tmp_path / "s.wav", "-o", "-"], capsys)
    assert code == 0
    lines = out.splitlines()
    assert lines[0].startswith("channel,time,f0")
    channels = {line.split(",")[0] for line in lines[1:]}
    assert channels == {"0", "1"}
    code, out, _ = run([tmp_path / "s.wav", "-o", "-", "--mono"], capsys)
    assert out.startswith("time,f0")


# --------------------------------------------------------------------------
# Several files, failures, exit status


def test_a_bad_file_is_reported_and_the_others_still_written(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", voice())
    write_wav(tmp_path / "b.wav", voice(f0=210.0))
    (tmp_path / "c.wav").write_bytes(b"garbage")
    code, out, err = run([tmp_path / "a.wav", tmp_path / "c.wav", tmp_path / "b.wav",
                          tmp_path / "gone.wav", "-o", tmp_path / "out"], capsys)
    assert code == 1
    errors = [line for line in err.splitlines() if "error" in line]
    assert len(errors) == 2
    assert "c.wav" in errors[0] and "gone.wav: no such file" in errors[1]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.csv", "b.csv"]
    assert "2 of 4 files tracked, 2 failed" in err


def test_default_output_goes_beside_the_input(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", voice())
    code, _, err = run([tmp_path / "a.wav", "--format", "json", "-q"], capsys)
    assert code == 0 and err == ""
    assert json.loads((tmp_path / "a.f0.json").read_text())["method"] == "viterbi"


def test_options_reach_the_tracker(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", voice(f0=300.0))
    code, out, _ = run([tmp_path / "a.wav", "-o", "-", "--method", "direct", "--hop-ms", "5",
                        "--fmin", "100", "--fmax", "400", "--format", "json"], capsys)
    doc = json.loads(out)
    assert (doc["method"], doc["hop_length"], doc["fmin"], doc["fmax"]) == (
        "direct", 40, 100.0, 400.0)
    assert np.nanmedian(np.array(doc["f0"], dtype=float)) == pytest.approx(300.0, rel=0.01)


@pytest.mark.parametrize("argv,text", [
    (["--sigma", "0", "x.wav"], "sigma=0"),
    (["--method", "direct", "--beta", "2", "x.wav"], "beta applies to method='viterbi'"),
    (["--fmin", "600", "x.wav"], "fmin=600"),
    (["--jobs", "-1", "x.wav"], "--jobs"),
    ([], "AUDIO"),
    (["--demo", "x.wav"], "--demo takes no AUDIO"),
])
def test_usage_errors_exit_2_before_any_work(argv, text, capsys):
    with pytest.raises(SystemExit) as exc:
        _cli.main(argv)
    assert exc.value.code == 2
    assert text in capsys.readouterr().err


def test_parallel_jobs_give_the_same_tracks(tmp_path, capsys):
    for i, f0 in enumerate((120.0, 180.0, 260.0)):
        write_wav(tmp_path / f"{i}.wav", voice(f0=f0))
    paths = [tmp_path / f"{i}.wav" for i in range(3)]
    assert run([*paths, "-o", tmp_path / "seq", "-q"], capsys)[0] == 0
    assert run([*paths, "-o", tmp_path / "par", "-j", "2", "-q"], capsys)[0] == 0
    for i in range(3):
        assert (tmp_path / "seq" / f"{i}.csv").read_text() == \
            (tmp_path / "par" / f"{i}.csv").read_text()


# --------------------------------------------------------------------------
# Progress


def test_progress_draws_only_on_a_terminal():
    class Tty(io.StringIO):
        def isatty(self):
            return True

    tty, pipe = Tty(), io.StringIO()
    for stream in (tty, pipe):
        bar = _cli.Progress(3, "files", stream=stream)
        for _ in range(3):
            bar.update()
        bar.close()
    assert "3/3 files" in tty.getvalue() and tty.getvalue().endswith("\r")
    assert pipe.getvalue() == ""
    quiet = Tty()
    bar = _cli.Progress(3, "files", stream=quiet, enabled=False)
    bar.update()
    bar.close()
    assert quiet.getvalue() == ""


# --------------------------------------------------------------------------
# Demo and plots


def test_demo_scores_its_known_contour_and_plots(tmp_path, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    code, out, _ = run(["--demo", "-o", tmp_path / "demo.csv"], capsys)
    assert code == 0
    rpa = float(out.split("raw pitch accuracy")[1].split("%")[0])
    assert rpa > 95.0
    assert (tmp_path / _cli.DEMO_PLOT).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "demo.csv").read_text().startswith("time,f0")


def test_demo_without_matplotlib_still_reports(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(_cli, "_have_matplotlib", lambda: False)
    code, out, _ = run(["--demo", "--method", "bayes"], capsys)
    assert code == 0
    assert "method=bayes" in out and "matplotlib is not installed" in out
    assert not (tmp_path / _cli.DEMO_PLOT).exists()


def test_plot_of_a_file_and_of_a_multichannel_track(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt

    write_wav(tmp_path / "a.wav", voice())
    code, _, err = run([tmp_path / "a.wav", "-o", tmp_path / "a.csv", "--plot",
                        tmp_path / "a.png"], capsys)
    assert code == 0, err
    assert (tmp_path / "a.png").stat().st_size > 10_000
    y = np.stack([voice(), voice(f0=300.0)])
    pt = qesmorPitch.track(y, SR)
    fig = pt.plot(y, channel=1)
    line = fig.axes[0].get_lines()[-1]
    np.testing.assert_array_equal(line.get_ydata(), pt.f0[1])
    assert len(fig.axes) == 3  # spectrogram, strength, probability
    plt.close(fig)
    with pytest.raises(ValueError, match="channel=2"):
        pt.plot(y, channel=2)


def test_python_dash_m_runs_the_command():
    proc = subprocess.run([sys.executable, "-m", "qesmorPitch", "--version"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and qesmorPitch.__version__ in proc.stdout


def test_importing_the_package_loads_no_optional_dependency():
    code = ("import sys, qesmorPitch; "
            "print(sorted(m for m in ('matplotlib', 'soundfile', 'mir_eval', 'distributed')"
            " if m in sys.modules))")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert proc.stdout.strip() == "[]", proc.stderr


# --------------------------------------------------------------------------
# Evaluation (the full run is not part of the suite)


def test_evaluation_scores_a_tiny_corpus(monkeypatch):
    examples = [_corpus.make_example("s", sr=SR, duration=0.6, contour=_corpus.steady(140.0),
                                     gaps=((0.3, 0.4),), snr_db=20.0),
                _corpus.make_example("o", sr=16000, duration=0.6, source="vowel:u",
                                     contour=_corpus.octave_jump(110.0, 0.3, up=True))]
    best, runs = evaluate.search(examples, "viterbi", [("sigma", (0.1, 0.2))],
                                 log=lambda msg: None)
    assert len(runs) == 2 and best in runs
    assert best.scores["raw_pitch_accuracy"] > 0.9
    assert best.threshold in evaluate.THRESHOLDS
    ext = evaluate.Run(name="other", settings={}, scores=dict(best.scores), seconds=0.1,
                       by_noise=dict(best.by_noise))
    text = evaluate.report([best, ext], runs, examples)
    assert "| qesmorPitch viterbi |" in text and "| other | its defaults" in text
    assert "20dB" in text and "clean" in text


def test_corpus_is_reproducible_and_its_reference_is_exact():
    a, b = _corpus.corpus(quick=True), _corpus.corpus(quick=True)
    assert [e.name for e in a] == [e.name for e in b]
    np.testing.assert_array_equal(a[3].y, b[3].y)
    assert {e.sr for e in a} >= {8000, 16000, 44100}
    ex = _corpus.make_example("g", sr=SR, duration=0.5, contour=_corpus.glide(100, 200, 0.5),
                              gaps=((0.2, 0.3),))
    assert ex.reference_at(np.array([0.25]))[0] == 0.0
    assert ex.reference_at(np.array([0.5]))[0] == pytest.approx(200.0, rel=0.01)
    assert np.max(np.abs(ex.y[int(0.21 * SR): int(0.29 * SR)])) == 0.0  # digital silence
