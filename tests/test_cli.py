"""The qesmor-pitch command, audio reading, track files, plots and the
evaluation's scoring path."""
import io
import json
import os
import re
import signal
import struct
import subprocess
import sys
import time
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
    # Mixed down, samples near the largest double stay finite (the file was
    # refused as holding infinities).
    sf.write(tmp_path / "big.wav", np.stack([y, y], 1) * 1.7e308, SR, subtype="DOUBLE")
    assert np.array_equal(_audio.read_audio(tmp_path / "big.wav", mono=True)[0], y * 1.7e308)
    # A name that is no valid UTF-8, legal on POSIX, must open as any other.
    odd = os.fsdecode(os.fsencode(str(tmp_path)) + b"/\xff\xfe.flac")
    os.rename(tmp_path / "x.flac", odd)
    assert _audio.audio_header(odd) == (SR, 1, y.size)
    np.testing.assert_allclose(_audio.read_audio(odd)[0], y, atol=1e-4)


def test_unreadable_files_raise_one_line_errors(tmp_path, monkeypatch):
    (tmp_path / "junk.wav").write_bytes(b"RIFF\x00\x00not audio at all")
    monkeypatch.chdir(tmp_path)
    for path, text in [(tmp_path / "junk.wav", "not a readable"),
                       (tmp_path / "none.wav", "no such file"),
                       # Meant as standard input, and told only "no such file".
                       ("-", "'-' names a file here, not standard input")]:
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
    (["--fmin", "1200", "x.wav"], "fmin=1200"),
    (["--jobs", "-1", "x.wav"], "--jobs"),
    ([], "AUDIO"),
    (["--demo", "x.wav"], "--demo takes no AUDIO"),
    # float() read these as inf, and the message quoted an inf never typed.
    (["--fmin", "1e400", "x.wav"], "--fmin: '1e400' is beyond every finite number"),
    (["--analysis-sr=-1e400", "x.wav"], "'-1e400' is beyond every finite number"),
    (["--stream", "--sr", "1e999", "-"], "--sr: '1e999' is beyond every finite number"),
    # Found out after the demo had run, or (an empty name) never: exit 0 and
    # no track; --format taken silently by a stream that writes CSV.
    (["--demo", "-o", ""], "-o '': an empty name is no file"),
    (["--demo", "-o", "no-such-folder/x.csv"], "no such directory no-such-folder"),
    (["--demo", "--format", "npz", "-o", "-"], "npz needs a file name"),
    (["--stream", "--sr", "8000", "--format", "json", "-"], "drop --format json"),
    (["--stream", "--sr", "8000", "--demo", "-"], "give one"),
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


@pytest.mark.parametrize("argv,text", [
    (["-o", "-", "--format", "npz"], "npz needs a file name"),
    (["--hop-ms", "1e-9"], "--hop-ms 1e-09: hop_seconds=1e-12 is"),
    (["--hop-ms", "1e12"], "too large"),
    (["--hop-ms", "nan"], "--hop-ms nan"),
    (["--fmin", "1e-300"], "fmin=1e-300 Hz at sr=8000 is a period of"),
    (["--fmin", "1e-4"], "allows at most 4096"),
    (["-o", "{tmp}/newdir/"], "no such directory; create it first"),
    (["-o", "{tmp}/none/x.csv"], "no such directory"),
    (["-o", "{tmp}/a.wav"], "is an input of this run"),
    (["{tmp}/a.wav", "-o", "{tmp}/a.f0.csv"], "are the same file; give it once"),
    (["{tmp}/b.wav", "-o", "{tmp}/a.wav"], "is an existing file; with 2 inputs"),
    (["{tmp}/b.wav", "-o", "-"], "-o - takes a single input file"),
    (["-o", "{tmp}/t.png", "--plot", "{tmp}/t.png"], "its track and its figure"),
    (["-o", ""], "-o '': an empty name is no file or directory"),
    (["--sr", "16000"], "--sr 16000 applies to the raw samples of --stream only"),
])
def test_usage_errors_exit_2_before_any_file_is_processed(tmp_path, capsys, argv, text):
    write_wav(tmp_path / "a.wav", voice(0.3))
    write_wav(tmp_path / "b.wav", voice(0.3))
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(SystemExit) as exc:
        _cli.main([str(tmp_path / "a.wav")] + [a.format(tmp=tmp_path) for a in argv])
    assert exc.value.code == 2
    err = capsys.readouterr().err
    assert text in err and err.count("error:") == 1
    assert sorted(os.listdir(tmp_path)) == before


def test_an_output_name_taken_by_a_directory_is_refused_before_tracking(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", voice(0.3))
    (tmp_path / "a.f0.csv").mkdir()
    with pytest.raises(SystemExit) as exc:
        _cli.main([str(tmp_path / "a.wav")])
    assert exc.value.code == 2 and "a.f0.csv is a directory" in capsys.readouterr().err


def test_defaults_that_break_a_rule_and_a_hostile_environment_are_one_line(tmp_path, capsys,
                                                                          monkeypatch):
    # The default hop at a 1 Hz file, a bad thread count with two workers:
    # usage errors before any file, not tracebacks.
    write_wav(tmp_path / "slow.wav", voice(0.01), sr=1)
    write_wav(tmp_path / "a.wav", voice(0.3))
    for argv, env, text in ((["slow.wav", "--fmin", "0.1", "--fmax", "0.4"], None,
                             "--hop-ms (the default): hop_seconds=0.01 is 0.01 samples"),
                            (["a.wav", "slow.wav", "--jobs", "2"], "0", "QESMORPITCH_NUM_THREADS")):
        if env is not None:
            monkeypatch.setenv("QESMORPITCH_NUM_THREADS", env)
        with pytest.raises(SystemExit) as exc:
            _cli.main([str(tmp_path / a) if a.endswith(".wav") else a for a in argv])
        err = capsys.readouterr().err
        assert exc.value.code == 2 and text in err and err.count("error:") == 1, err
    monkeypatch.delenv("QESMORPITCH_NUM_THREADS")
    # A stream's closed standard input or output; the demo's report into a full disk.
    cmd = [sys.executable, "-m", "qesmorPitch", "--stream", "--sr", "16000", "-"]
    for fd in (0, 1):
        done = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              close_fds=True, stderr=subprocess.PIPE, timeout=60,
                              preexec_fn=lambda: os.close(fd))
        assert done.returncode == 2 and b"which is closed" in done.stderr, done.stderr
    # An input that fails to read was blamed on standard output.
    with open(tmp_path / "w.raw", "wb") as write_only:
        done = subprocess.run(cmd, stdin=write_only, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=60)
    assert done.returncode == 1 and done.stderr.decode().splitlines() == [
        "qesmor-pitch: error: standard input: Bad file descriptor; give the raw samples on "
        "standard input, e.g. < audio.raw or a pipe"], done.stderr
    if os.path.exists("/dev/full"):
        with open("/dev/full", "w") as full:
            done = subprocess.run([sys.executable, "-m", "qesmorPitch", "--demo", "-o", "-",
                                   "--plot", str(tmp_path / "d.png")], stdout=full,
                                  stderr=subprocess.PIPE, timeout=120, cwd=tmp_path)
        assert done.returncode == 1 and done.stderr.strip().splitlines() == [
            b"qesmor-pitch: error: standard output: No space left on device"], done.stderr


@pytest.mark.parametrize("make,text", [
    (lambda p: write_wav(p, []), "empty audio file"),
    (lambda p: p.mkdir(), "is a directory, not an audio file"),
    (lambda p: p.write_bytes(b"RIFF\x00\x00not audio at all"), "not a readable"),
    (lambda p: os.mkfifo(p), "is not a regular file"),
    # A header's rate of 0: the length for the progress bar divided by it.
    (lambda p: p.write_bytes(_riff((1, 1, 0, 0, 2, 16), b"\0\0" * 800)), ""),
])
def test_a_single_failing_file_exits_1_with_a_message_about_the_file(tmp_path, capsys,
                                                                     make, text):
    make(tmp_path / "x.wav")
    code, out, err = run([tmp_path / "x.wav", "-o", tmp_path / "x.csv"], capsys)
    assert code == 1
    assert err.startswith(f"qesmor-pitch: error: {tmp_path / 'x.wav'}: ") and text in err
    assert err.count("\n") == 1 and not (tmp_path / "x.csv").exists()


def test_an_unreadable_file_is_said_to_be_unreadable_not_no_audio(tmp_path, capsys):
    # libsndfile's "System error." came under "not a readable audio file".
    write_wav(tmp_path / "x.wav", voice(0.1))
    os.chmod(tmp_path / "x.wav", 0)
    if os.access(tmp_path / "x.wav", os.R_OK):
        pytest.skip("this user reads files whatever their permissions (root)")
    code, out, err = run([tmp_path / "x.wav", "-o", tmp_path / "x.csv"], capsys)
    assert code == 1 and err.count("\n") == 1
    assert "x.wav: cannot be opened: Permission denied; make it readable" in err, err


def test_a_file_shorter_than_a_frame_is_written_empty_and_said(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", voice(0.01))
    code, out, err = run([tmp_path / "a.wav", "-o", "-"], capsys)
    assert code == 0 and out.count("\n") == 1
    assert "warning:" in err and "shorter than one frame" in err


def test_nan_samples_in_a_file_are_named_in_seconds(tmp_path, capsys):
    sf = pytest.importorskip("soundfile")
    y = voice(0.5)
    y[2000] = np.nan
    sf.write(tmp_path / "n.wav", y, SR, subtype="FLOAT")
    code, _, err = run([tmp_path / "n.wav", "-o", "-"], capsys)
    assert code == 1 and "contains NaN or infinite samples" in err
    assert "0.250 s (sample 2000)" in err and "np.nan_to_num" not in err


def test_hop_in_ms_is_rounded_to_whole_samples(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", voice(0.2, sr=48000), sr=48000)
    # 0.009 * 48000 == 431.99999999999994
    code, out, _ = run([tmp_path / "a.wav", "-o", "-", "--format", "json", "--hop-ms", "9"],
                       capsys)
    assert code == 0 and json.loads(out)["hop_length"] == 432


# --------------------------------------------------------------------------
# Output safety: no output is lost, overwritten or left half written


def test_inputs_with_one_stem_get_distinct_outputs(tmp_path, capsys):
    sf = pytest.importorskip("soundfile")
    write_wav(tmp_path / "clash.wav", voice(0.3))
    sf.write(tmp_path / "clash.flac", voice(0.3, f0=220.0), SR)
    inputs = [tmp_path / "clash.wav", tmp_path / "clash.flac"]
    assert run([*inputs, "-o", tmp_path / "d", "-q"], capsys)[0] == 0
    assert sorted(os.listdir(tmp_path / "d")) == ["clash.flac.csv", "clash.wav.csv"]
    assert run([*inputs, "-q"], capsys)[0] == 0
    a, b = (tmp_path / "clash.wav.f0.csv").read_text(), (tmp_path / "clash.flac.f0.csv").read_text()
    assert a == (tmp_path / "d" / "clash.wav.csv").read_text() and a != b


def test_output_goes_to_exactly_the_named_file(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", voice(0.3))
    for argv, name in [(["--format", "npz", "-o", tmp_path / "x.csv"], "x.csv"),
                       (["-o", tmp_path / "Z.NPZ"], "Z.NPZ")]:
        assert run([tmp_path / "a.wav", *argv], capsys)[0] == 0
        assert np.load(tmp_path / name)["f0"].shape[0] > 0
    assert sorted(os.listdir(tmp_path)) == ["Z.NPZ", "a.wav", "x.csv"]


def test_output_through_a_link_or_into_a_pipe_keeps_what_is_there(tmp_path, capsys):
    # Renaming over the name would put a plain file where the link or the
    # pipe (or a device such as /dev/null) was.
    write_wav(tmp_path / "a.wav", voice(0.3))
    (tmp_path / "real.csv").write_text("earlier\n")
    (tmp_path / "link.csv").symlink_to("real.csv")
    assert run([tmp_path / "a.wav", "-o", tmp_path / "link.csv"], capsys)[0] == 0
    assert (tmp_path / "link.csv").is_symlink()
    assert (tmp_path / "real.csv").read_text().startswith("time,f0")
    os.mkfifo(tmp_path / "pipe")
    reader = subprocess.Popen(["cat", str(tmp_path / "pipe")], stdout=subprocess.PIPE)
    assert run([tmp_path / "a.wav", "-o", tmp_path / "pipe"], capsys)[0] == 0
    assert reader.communicate(timeout=30)[0] == (tmp_path / "real.csv").read_bytes()
    assert not (tmp_path / "pipe").is_file()
    # The pipe as /dev/stdout, whose link resolves to a name that opens nothing.
    done = subprocess.run([sys.executable, "-m", "qesmorPitch", str(tmp_path / "a.wav"), "-o",
                           "/dev/stdout"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert done.returncode == 0 and done.stdout == (tmp_path / "real.csv").read_bytes(), done.stderr
    # A descriptor onto a file, as `-o /dev/stdout >> log` gives: written
    # after what the log held, not renamed over it.
    (tmp_path / "log").write_text("earlier\n")
    with open(tmp_path / "log", "ab") as log:
        done = subprocess.run([sys.executable, "-m", "qesmorPitch", str(tmp_path / "a.wav"),
                               "-o", "/dev/stdout"], stdout=log, stderr=subprocess.PIPE,
                              timeout=60)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "log").read_bytes() == b"earlier\n" + (tmp_path / "real.csv").read_bytes()
    # A link (or a linked directory) that leads to the input is the input.
    (tmp_path / "in.csv").symlink_to("a.wav")
    (tmp_path / "here").symlink_to(".")
    audio = (tmp_path / "a.wav").read_bytes()
    for out in ("in.csv", "here/a.wav"):
        with pytest.raises(SystemExit) as exc:
            _cli.main([str(tmp_path / "a.wav"), "-o", str(tmp_path / out)])
        assert exc.value.code == 2 and "is an input of this run" in capsys.readouterr().err
    assert (tmp_path / "a.wav").read_bytes() == audio
    # One file under two names is given once; a loop of links is no file to replace.
    os.link(tmp_path / "a.wav", tmp_path / "hard.wav")
    with pytest.raises(SystemExit) as exc:
        _cli.main([str(tmp_path / "a.wav"), str(tmp_path / "hard.wav"), "-o", str(tmp_path / "o")])
    assert exc.value.code == 2 and "are the same file" in capsys.readouterr().err
    (tmp_path / "l1").symlink_to("l2")
    (tmp_path / "l2").symlink_to("l1")
    assert run([tmp_path / "a.wav", "-o", tmp_path / "l1"], capsys)[0] == 1
    assert (tmp_path / "l1").is_symlink() and (tmp_path / "l2").is_symlink()


def test_a_reader_that_leaves_stops_quietly_and_a_full_disk_is_one_line(tmp_path):
    # More rows than a pipe holds, so the writer is still writing when the reader leaves.
    write_wav(tmp_path / "a.wav", voice(30.0))
    for extra in ([str(tmp_path / "a.wav"), "-o", "-"],
                  ["--stream", "--sr", str(SR), "-"]):
        cmd = [sys.executable, "-m", "qesmorPitch", "-q", *extra]
        with open(tmp_path / "a.wav", "rb") as audio:
            proc = subprocess.Popen(cmd, stdin=audio, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
            assert proc.stdout.readline().startswith(b"time,")
            proc.stdout.close()  # as `| head -1` does
            err = proc.stderr.read()
            assert proc.wait(timeout=60) == 141 and err == b"", err
        if os.path.exists("/dev/full"):
            with open(tmp_path / "a.wav", "rb") as audio, open("/dev/full", "w") as full:
                done = subprocess.run(cmd, stdin=audio, stdout=full, stderr=subprocess.PIPE,
                                      timeout=60)
            assert done.returncode == 1 and b"No space left" in done.stderr
            assert len(done.stderr.strip().splitlines()) == 1, done.stderr
    # Started with standard output closed: a usage error, not a failure
    # of the file after it was tracked.
    done = subprocess.run([sys.executable, "-m", "qesmorPitch", str(tmp_path / "a.wav"),
                           "-o", "-"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          timeout=60, preexec_fn=lambda: os.close(1))
    assert done.returncode == 2 and b"standard output, which is closed" in done.stderr


def test_a_stream_keeps_its_timeline_over_non_finite_samples():
    # They were dropped with the whole read holding them: every later row
    # came out early.
    # They are said once, when the first comes, and counted at the end: a
    # warning per read of the input buried the rows.
    y = voice(1.0).astype(np.float32)
    rows = []
    for bad in (np.nan, 0.0):
        y[5000::500] = bad
        done = subprocess.run([sys.executable, "-m", "qesmorPitch", "--stream", "--sr", str(SR),
                               "--dtype", "f32", "-"], input=y.tobytes(), capture_output=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr
        rows.append(done.stdout.splitlines())
        said = done.stderr.decode().splitlines()
        if bad != 0:
            assert len(said) == 2 and "the first at 0.625 s" in said[0], said
            assert said[1].endswith("6 NaN or infinite sample(s) in all read as 0 (silence)")
        else:
            assert said == []
    assert rows[0] == rows[1] and len(rows[0]) > 90


def test_long_output_names_are_written_or_refused_before_tracking(tmp_path, capsys):
    # A legal name of 229-255 bytes made an illegal temporary one, which
    # failed after tracking; a longer name failed there with a traceback.
    write_wav(tmp_path / "a.wav", voice(0.3))
    legal = tmp_path / ("x" * 251 + ".csv")
    assert run([tmp_path / "a.wav", "-o", legal], capsys)[0] == 0 and legal.stat().st_size > 0
    for out in ("y" * 252 + ".csv", "y" * 256 + "/a.csv"):
        with pytest.raises(SystemExit) as exc:
            _cli.main([str(tmp_path / "a.wav"), "-o", str(tmp_path / out)])
        err = capsys.readouterr().err
        assert exc.value.code == 2 and "bytes long; file systems allow 255" in err, err
    # A name made from the input's says so, not "choose a shorter one" of a
    # name nobody chose.
    write_wav(tmp_path / ("z" * 250 + ".wav"), voice(0.3))
    with pytest.raises(ValueError, match="its output the name z+.* shorten the input's name"):
        qesmorPitch.track_files([tmp_path / ("z" * 250 + ".wav")], max_workers=1)


def test_a_newline_in_a_file_name_keeps_its_error_on_one_line(tmp_path, capsys):
    (tmp_path / "bad\nname.wav").write_bytes(b"")
    code, out, err = run([tmp_path / "bad\nname.wav", "-o", tmp_path / "x.csv"], capsys)
    assert code == 1 and len(err.strip().splitlines()) == 1 and "bad\\nname.wav" in err, err
    # Said as what it is, not as an unknown format.
    assert "is empty (0 bytes)" in err, err
    if os.path.isfile("/proc/self/status"):
        # Its size reads as 0 like an empty file's, and it was called empty.
        code, out, err = run(["/proc/self/status", "-o", tmp_path / "x.csv"], capsys)
        assert code == 1 and "reports a size of 0 bytes yet holds data" in err, err


def test_a_figure_format_matplotlib_lacks_is_refused_before_any_output(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    write_wav(tmp_path / "a.wav", voice(0.3))
    with pytest.raises(SystemExit) as exc:
        _cli.main([str(tmp_path / "a.wav"), "-o", str(tmp_path / "a.csv"),
                   "--plot", str(tmp_path / "a.xyz")])
    assert exc.value.code == 2 and "writes no '.xyz' figures" in capsys.readouterr().err
    assert not (tmp_path / "a.csv").exists()


def test_o_directory_with_one_input_writes_inside_it(tmp_path, capsys):
    write_wav(tmp_path / "a.wav", voice(0.3))
    (tmp_path / "d").mkdir()
    for out in (tmp_path / "d", str(tmp_path / "d") + "/"):
        assert run([tmp_path / "a.wav", "-o", out], capsys)[0] == 0
        assert os.listdir(tmp_path / "d") == ["a.csv"]


def test_a_replaced_output_keeps_its_permissions(tmp_path, capsys):
    # Renamed into place, a private 0600 track came back as 0644.
    write_wav(tmp_path / "a.wav", voice(0.3))
    (tmp_path / "a.csv").write_text("earlier\n")
    os.chmod(tmp_path / "a.csv", 0o600)
    assert run([tmp_path / "a.wav", "-o", tmp_path / "a.csv"], capsys)[0] == 0
    assert (tmp_path / "a.csv").stat().st_mode & 0o777 == 0o600
    assert (tmp_path / "a.csv").read_text().startswith("time")


@pytest.mark.parametrize("where", ["write", "fsync", "rename"])
def test_a_failed_write_leaves_the_earlier_output_whole(tmp_path, capsys, monkeypatch, where):
    # A full disk told while the rows are written, only when the data is
    # flushed to the disk (a network or quota file system), or at the rename.
    write_wav(tmp_path / "a.wav", voice(0.5))
    (tmp_path / "a.csv").write_text("earlier\n")
    calls = []

    def full(*args):
        raise OSError(28, "No space left on device")

    def failing(x):
        calls.append(x)
        if len(calls) > 20:
            full()
        return repr(x)

    if where == "write":
        monkeypatch.setattr(_audio, "_num", failing)
    else:
        monkeypatch.setattr(_audio.os, "fsync" if where == "fsync" else "replace", full)
    code, _, err = run([tmp_path / "a.wav", "-o", tmp_path / "a.csv"], capsys)
    # Named by the output, not by its temporary file or by nothing at all.
    assert code == 1 and err.count("\n") == 1 and (
        f"cannot write {tmp_path / 'a.csv'}: No space left on device; free some space") in err
    assert (tmp_path / "a.csv").read_text() == "earlier\n"
    assert sorted(os.listdir(tmp_path)) == ["a.csv", "a.wav"]


# --------------------------------------------------------------------------
# Interrupts, with a real signal to a real process


@pytest.mark.parametrize("signum,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_the_run_at_once_and_leaves_no_partial_output(tmp_path, signum,
                                                                     status):
    rng = np.random.default_rng(3)
    paths = []
    for i in range(6):
        paths.append(tmp_path / f"{i}.wav")
        write_wav(paths[-1], voice(60.0, f0=120.0 + 20 * i, sr=16000)
                  + 0.01 * rng.standard_normal(960000), sr=16000)
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-m", "qesmorPitch", *map(str, paths),
                             "-o", str(out), "-j", "2"], stderr=subprocess.PIPE, text=True)
    # Interrupt once the run is under way: its first track is written.
    deadline = time.monotonic() + 60
    while not (out.is_dir() and any(n.endswith(".csv") for n in os.listdir(out))):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    sent = time.monotonic()
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=30)
    assert time.monotonic() - sent < 2.0
    assert proc.returncode == status
    last = err.strip().splitlines()[-1]
    assert last.startswith("qesmor-pitch: error: interrupted: ") and "of 6 files finished" in last
    finished = int(last.split("interrupted: ")[1].split()[0])
    time.sleep(1.0)  # a worker left running, or a queued file, would write now
    written = sorted(os.listdir(out))
    # A worker may have written a file whose result had not reached the parent.
    assert finished <= len(written) <= finished + 2 and len(written) < 6
    assert all(n.endswith(".csv") for n in written)


# --------------------------------------------------------------------------
# Long files: read and tracked block by block


@pytest.mark.parametrize("reader", ["soundfile", "stdlib", "forward-only"])
@pytest.mark.parametrize("channels,mono", [(1, False), (2, False), (2, True)])
def test_a_file_tracked_in_blocks_equals_the_whole_signal(tmp_path, monkeypatch, reader,
                                                          channels, mono):
    from qesmorPitch import _track

    if reader == "stdlib":
        monkeypatch.setitem(sys.modules, "soundfile", None)
    else:
        sf = pytest.importorskip("soundfile")
    rng = np.random.default_rng(7)
    y = np.stack([voice(2.0, f0=f) + 0.05 * rng.standard_normal(2 * SR)
                  for f in (130.0, 210.0)[:channels]], axis=1)
    y[5000:7000] = 0.0
    if reader == "forward-only":
        # GSM 6.10, which libsndfile decodes but cannot seek in: every read
        # after the first failed, and the file was refused.
        if channels > 1 or "GSM610" not in sf.available_subtypes("WAV"):
            pytest.skip("GSM 6.10 is mono, and needs a libsndfile that writes it")
        sf.write(tmp_path / "a.wav", y, SR, subtype="GSM610")
        whole, sr = sf.read(tmp_path / "a.wav")
    else:
        write_wav(tmp_path / "a.wav", y, channels=channels)
        whole, sr = _audio.read_audio(tmp_path / "a.wav")
    monkeypatch.setattr(_audio, "READ_BLOCK", 1000)
    monkeypatch.setattr(_track, "BLOCK_FRAMES", 37)
    monkeypatch.setattr(_track, "MARGIN_FRAMES", 25)
    # Small read blocks and analysis blocks, so that both loops take many turns.
    expected = qesmorPitch.track(whole, sr, mono=mono)
    with _audio.AudioFile(tmp_path / "a.wav", mono=mono) as f:
        assert f.n_samples == 2 * SR and f.warning is None
        pt = _track.run_plan(f, _track.make_plan(f.sr, qesmorPitch.Options(mono=mono)))
    assert pt.n_frames > 5 * 37 and pt.f0.shape == expected.f0.shape
    np.testing.assert_array_equal(pt.f0, expected.f0)
    np.testing.assert_array_equal(pt.strength, expected.strength)
    np.testing.assert_array_equal(pt.voiced, expected.voiced)


@pytest.mark.parametrize("reader", ["soundfile", "stdlib"])
def test_a_truncated_wav_is_tracked_as_far_as_it_goes_with_a_warning(tmp_path, capsys,
                                                                     monkeypatch, reader):
    if reader == "stdlib":
        monkeypatch.setitem(sys.modules, "soundfile", None)
    write_wav(tmp_path / "full.wav", voice(1.0))
    data = (tmp_path / "full.wav").read_bytes()
    (tmp_path / "cut.wav").write_bytes(data[: 44 + 2 * 5000 + 1])  # half a sample too
    code, out, err = run([tmp_path / "cut.wav", "-o", "-", "--format", "json"], capsys)
    assert code == 0
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "warning" in lines[0] and "cut.wav" in lines[0]
    assert "8000 samples but only 5000" in lines[0]
    cut = qesmorPitch.track(voice(1.0)[:5000], SR)
    assert len(json.loads(out)["f0"]) == cut.n_frames
    # Cut at the samples' start: it was called an empty file.
    (tmp_path / "cut.wav").write_bytes(data[:44])
    code, out, err = run([tmp_path / "cut.wav", "-o", "-"], capsys)
    assert code == 1 and "truncated: the header announces 8000 samples but none are" in err, err


def test_a_flac_cut_short_is_tracked_as_far_as_it_decodes(tmp_path, capsys):
    # libsndfile fails a whole read that reaches the damage: a FLAC file
    # shorter than one read block was refused as "empty audio file".
    sf = pytest.importorskip("soundfile")
    y = voice(2.0) + 0.01 * np.random.default_rng(0).standard_normal(2 * SR)
    sf.write(tmp_path / "full.flac", y, SR)
    data = (tmp_path / "full.flac").read_bytes()
    (tmp_path / "cut.flac").write_bytes(data[: len(data) * 6 // 10])
    code, out, err = run([tmp_path / "cut.flac", "-o", "-", "--format", "json"], capsys)
    lines = err.strip().splitlines()
    assert code == 0 and len(lines) == 1 and "warning" in lines[0] and "unreadable after" in lines[0]
    with _audio.AudioFile(tmp_path / "cut.flac") as f:
        assert SR // 2 < f.n_samples < 2 * SR
        cut = f.read(0, f.n_samples)[0]
    np.testing.assert_array_equal(cut, sf.read(tmp_path / "full.flac")[0][: cut.size])
    assert json.loads(out)["f0"] == json.loads(_audio.track_to_json(qesmorPitch.track(cut, SR)))["f0"]


def _riff(fmt_fields, data, data_size=None, before_data=b""):
    """A RIFF/WAVE file: a fmt chunk of (tag, channels, rate, bytes/s,
    block align, bits), any chunks given, then the data chunk."""
    fmt = struct.pack("<HHIIHH", *fmt_fields)
    body = (b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + before_data + b"data"
            + struct.pack("<I", len(data) if data_size is None else data_size) + data)
    return b"RIFF" + struct.pack("<I", len(body)) + body


@pytest.mark.parametrize("reader", ["soundfile", "stdlib"])
def test_wav_headers_that_misstate_their_samples_lose_none_of_them(tmp_path, monkeypatch, reader):
    # Frames were counted by the block-align field (1 or 3 here, for 16-bit
    # stereo), and without soundfile a streamed file's placeholder size was
    # taken as its length: a complete file was called truncated. A data size
    # left at 0 by a recording never closed made both readers refuse it as
    # empty; it is read, with a warning, to its last whole frame, 16-bit or
    # 32-bit float. An empty data chunk with metadata after it stays empty.
    if reader == "stdlib":
        monkeypatch.setitem(sys.modules, "soundfile", None)
    pcm = np.round(voice(0.5) * 20000).astype("<i2")
    stereo = np.stack([pcm, pcm], 1)
    cases = [((1, 2, SR, SR * 4, align, 16), stereo.tobytes(), size, pcm / 32768.0, None)
             for align, size in ((1, None), (3, None), (4, 0xFFFFFFFF))]
    cases.append(((1, 2, SR, SR * 4, 4, 16), stereo.tobytes() + b"\1\2", 0, pcm / 32768.0,
                  "never closed"))
    if reader == "soundfile":  # the standard library reads integer PCM only
        cases.append(((3, 2, SR, SR * 8, 8, 32), stereo.astype("<f4").tobytes() + b"\1", 0,
                      pcm.astype(float), "never closed"))
    for fmt, data, size, want, warning in cases:
        (tmp_path / "a.wav").write_bytes(_riff(fmt, data, size))
        with _audio.AudioFile(tmp_path / "a.wav") as f:
            assert f.n_samples == pcm.size, (fmt, size)
            assert (f.warning is None) if warning is None else (warning in f.warning)
            np.testing.assert_array_equal(f.read(0, f.n_samples)[1], want)
    (tmp_path / "a.wav").write_bytes(_riff((1, 1, SR, SR * 2, 2, 16), b"LIST" + struct.pack("<I", 4)
                                           + b"INFO", 0))
    with pytest.raises(_audio.AudioError, match="empty"):
        _audio.AudioFile(tmp_path / "a.wav")


def test_a_wav_the_standard_library_cannot_open_fails_in_one_line(tmp_path, capsys,
                                                                  monkeypatch):
    # The wave module's bare RuntimeError (a chunk running past the RIFF
    # size) escaped as 'RuntimeError: RuntimeError'.
    monkeypatch.setitem(sys.modules, "soundfile", None)
    fmt = (1, 1, SR, 2 * SR, 2, 16)
    (tmp_path / "long.wav").write_bytes(_riff(fmt, b"\0" * 64, before_data=b"LIST"
                                              + struct.pack("<I", 0x7FFFFFFF) + b"abc"))
    (tmp_path / "cut.wav").write_bytes(_riff(fmt, b"")[:30])
    for name, what in (("long.wav", "a chunk before the samples runs past the size"),
                       ("cut.wav", "it ends inside its header")):
        code, _, err = run([tmp_path / name, "-o", tmp_path / "t.csv"], capsys)
        assert code == 1 and len(err.strip().splitlines()) == 1, err
        assert name in err and what in err and "pip install" in err and "Error:" not in err
    assert not (tmp_path / "t.csv").exists()


def test_a_40_channel_file_is_read_as_40_channels(tmp_path, capsys):
    write_wav(tmp_path / "m.wav", np.zeros((20, 40)), channels=40)
    code, out, err = run([tmp_path / "m.wav", "-o", "-"], capsys)
    assert code == 0, err
    assert out.startswith("channel,time")


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
    # --plot as for a file: a format matplotlib lacks was a traceback after
    # the demo, and a directory got a figure 'DIR.png' beside it while the
    # report named the directory.
    with pytest.raises(SystemExit) as exc:
        _cli.main(["--demo", "--plot", str(tmp_path / "x.zzz")])
    out, err = capsys.readouterr()
    assert exc.value.code == 2 and out == "" and "writes no '.zzz' figures" in err
    # -o a directory, as for one input: the track inside it (it failed, after
    # the demo, with "Is a directory").
    (tmp_path / "figs").mkdir()
    code, out, _ = run(["--demo", "--plot", tmp_path / "figs", "-o", tmp_path / "figs"], capsys)
    assert code == 0 and f"plot      {tmp_path / 'figs' / _cli.DEMO_PLOT}\n" in out
    assert sorted(os.listdir(tmp_path / "figs")) == ["qesmor-pitch-demo.csv", _cli.DEMO_PLOT]


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

    # Named in bytes that are no UTF-8: its title cannot be drawn as it is.
    name = os.fsdecode(os.fsencode(str(tmp_path)) + b"/a\xff.wav")
    write_wav(name, voice())
    code, _, err = run([name, "-o", tmp_path / "a.csv", "--plot", tmp_path / "a.png"], capsys)
    assert code == 0, err
    assert (tmp_path / "a.png").stat().st_size > 10_000
    y = np.stack([voice(), voice(f0=300.0)])
    pt = qesmorPitch.track(y, SR)
    fig = pt.plot(y, channel=1)
    line = fig.axes[0].get_lines()[-1]
    np.testing.assert_array_equal(line.get_ydata(), pt.f0[1])
    assert len(fig.axes) == 3  # spectrogram, strength, probability
    plt.close(fig)
    # Samples near the largest double overflowed the spectrogram to a blank.
    big = pt.plot(y * 2.0 ** 1020, channel=1)
    np.testing.assert_array_equal(*(np.ma.filled(f.axes[0].collections[0].get_array(), np.nan)
                                    for f in (big, fig)))
    plt.close(big)
    # Bad arguments are refused in one line, not left to matplotlib or ignored
    # (samples by channels drew a spectrogram of two samples, NaN a blank).
    for kwargs, text in ((dict(channel=2), "channel=2 must be an integer from 0 to 1"),
                         (dict(max_freq=0), "max_freq=0 must be a frequency > 0"),
                         (dict(max_freq=float("nan")), "max_freq=nan"),
                         (dict(y=y[:1]), "y has 1 channels and the track 2"),
                         (dict(y=np.tile(y.T, (3, 1))), "pass y.T"),
                         (dict(y=np.where(y > 0.5, np.nan, y)), "non-finite sample"),
                         # '' saved a hidden '.png' in the current folder;
                         # a NUL said only "embedded null byte".
                         (dict(path=""), "path='' names no file"),
                         (dict(path=str(tmp_path / "a\0.png")), "holds a NUL character")):
        with pytest.raises(ValueError, match=re.escape(text)):
            pt.plot(**{"y": y, **kwargs})
    # A flag for max_freq drew 0-1 Hz; a path of no kind failed in matplotlib
    # after the drawing, saying only that an int has no write().
    for kwargs, text in ((dict(max_freq=True), "max_freq=True is no frequency"),
                         (dict(path=5), "path=5 must be a file name")):
        with pytest.raises(TypeError, match=re.escape(text)):
            pt.plot(**{"y": y, **kwargs})
    # A figure whose save failed is not left open in pyplot.
    figures = plt.get_fignums()
    with pytest.raises(ValueError, match="not supported"):
        pt.plot(y, path=tmp_path / "a.nosuchformat")
    assert plt.get_fignums() == figures
    with pytest.raises(ValueError, match="the track has 1 channel"):
        qesmorPitch.track(y[0], SR).plot(channel=1)
    # A track's own rows are channels, however few the samples.
    many = np.tile(y, (20, 1))
    plt.close(qesmorPitch.track(many, SR).plot(many[:, :30]))


def test_a_figure_interrupted_while_saved_leaves_the_earlier_one(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt
    from matplotlib.figure import Figure

    pt = qesmorPitch.track(voice(), SR)
    (tmp_path / "a.png").write_bytes(b"earlier")

    def interrupted(self, fname, **kwargs):
        out = fname if hasattr(fname, "write") else open(fname, "wb")
        out.write(b"half a figure")
        raise KeyboardInterrupt
    with monkeypatch.context() as m:
        m.setattr(Figure, "savefig", interrupted)
        for name in (tmp_path / "a.png", os.fsencode(tmp_path / "a.png")):
            with pytest.raises(KeyboardInterrupt):
                pt.plot(path=name)
    plt.close("all")
    assert (tmp_path / "a.png").read_bytes() == b"earlier"
    assert sorted(os.listdir(tmp_path)) == ["a.png"]
    # Without a suffix, matplotlib's default format, its suffix added.
    plt.close(pt.plot(path=tmp_path / "b"))
    assert (tmp_path / "b.png").read_bytes()[:4] == b"\x89PNG"


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
    # The default and one other value: the default is run once.
    sigma = qesmorPitch.DEFAULTS["viterbi"]["sigma"]
    best, runs = evaluate.search(examples, "viterbi", [("sigma", (sigma, 2 * sigma))],
                                 log=lambda msg: None)
    assert len(runs) == 2 and best in runs
    assert best.scores["raw_pitch_accuracy"] > 0.9
    assert best.threshold in evaluate.THRESHOLDS
    ext = evaluate.Run(name="other", settings={}, scores=dict(best.scores), seconds=0.1,
                       by_noise=dict(best.by_noise))
    text = evaluate.report([best, ext], runs, examples)
    assert "| qesmorPitch viterbi |" in text and "| other | its defaults" in text
    assert "20dB" in text and "clean" in text


def test_evaluation_searches_a_method_named_twice_once(monkeypatch):
    searched = []
    run = evaluate.Run(name="x", settings={}, scores={"overall_accuracy": 1.0}, seconds=0.0,
                       by_noise={})
    monkeypatch.setattr(evaluate._corpus, "corpus", lambda quick: [])
    monkeypatch.setattr(evaluate, "search",
                        lambda examples, method, plan, log: (searched.append(method), (run, []))[1])
    monkeypatch.setattr(evaluate, "report", lambda *args: "")
    assert evaluate.main(["--quick", "--no-external", "--methods", "viterbi,direct,viterbi"]) == 0
    assert searched == ["viterbi", "direct"]


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


def test_the_evaluation_s_failed_writes_are_one_line(tmp_path, capsys, monkeypatch):
    # A full disk at the end of an evaluation, or during a corpus build,
    # ended in a traceback.
    from qesmorPitch import _realcorpus

    example = _corpus.make_example("s", sr=SR, duration=0.3, contour=_corpus.steady(140.0))
    monkeypatch.setattr(_corpus, "corpus", lambda quick: [example])
    monkeypatch.setitem(evaluate.QUICK_SEARCH, "direct", [])

    def full(*args):
        raise OSError(28, "No space left on device")

    def build(cache, log):
        raise OSError(28, "No space left on device", str(tmp_path / "speech" / "x.npz"))

    monkeypatch.setattr(_realcorpus, "build_speech", build)
    for argv, name in ((["--quick", "--no-external", "--methods", "direct", "--json",
                         str(tmp_path / "r.json")], "r.json"),
                       (["--build-corpus", "--cache", str(tmp_path)], "speech/x.npz")):
        with monkeypatch.context() as m:
            m.setattr(os, "fsync", full)
            assert evaluate.main(argv) == 1
        err = capsys.readouterr().err.strip().splitlines()[-1]
        assert err.endswith(f"cannot write {tmp_path / name}: No space left on device; "
                            "free some space there, or write elsewhere"), err
    assert not (tmp_path / "r.json").exists()
