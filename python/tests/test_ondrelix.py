"""The Python package against the fixture models and the bundled models.

Environment: ONDRELIX_LIBRARY (the built library), ONDRELIX_TEST_FIXTURES (fixture models),
ONDRELIX_TEST_MODELS (bundled models), ONDRELIX_TEST_CORPUS (recorded speech, optional).
"""
import json
import os
import subprocess
import sys
import wave

import numpy as np
import pytest

import ondrelix

FIXTURES = os.environ["ONDRELIX_TEST_FIXTURES"]
MODELS = os.environ["ONDRELIX_TEST_MODELS"]
CORPUS = os.environ.get("ONDRELIX_TEST_CORPUS", "")


def write_wav16(path, samples, rate):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.asarray(samples, dtype="<i2").tobytes())


def tone(n, rate=22050):
    t = np.arange(n) / rate
    return (8000 * np.sin(2 * np.pi * 220 * t) + 2000 * np.sin(2 * np.pi * 1330 * t)).astype(np.int16)


@pytest.fixture
def engine():
    with ondrelix.Engine(FIXTURES) as e:
        yield e


def test_init_report_voices_and_version(engine):
    assert engine.report == {"voices": ["female", "deep", "robot"], "custom_available": True,
                             "realtime": True, "engine": "openvoice_v2", "version": "1.0.0"}
    assert engine.voices == ["female", "deep", "robot"]
    assert ondrelix.version() == "1.1.0"


def test_reports_are_dicts(engine, tmp_path):
    write_wav16(tmp_path / "in.wav", tone(4096), 22050)
    report = engine.convert_file(tmp_path / "in.wav", tmp_path / "out.wav", "deep")
    assert list(report) == ["status", "voice", "in_path", "out_path", "duration_s", "elapsed_ms", "rtf"]
    assert report["voice"] == "deep" and report["duration_s"] == 4096 / 22050
    assert engine.convert_file(tmp_path / "in.wav", tmp_path / "out.wav")["voice"] == "default"
    clone = engine.load_voice(tmp_path / "in.wav")
    assert clone == {"status": "ok", "voice": "custom", "reference_s": 4096 / 22050,
                     "reference_rate": 22050.0, "cloned": True}


@pytest.mark.parametrize("call, message", [
    (lambda e, d: e.convert_file(d / "missing.wav", d / "out.wav"),
     "WAV read failed: Failed to open input file: "),
    (lambda e, d: e.convert_file(d / "short.wav", d / "out.wav"), "Invalid inference parameters"),
    (lambda e, d: e.load_voice(""), "wav_path is NULL or empty"),
    (lambda e, d: e.load_voice(d / "short.wav"), "Reference clip too short for embedding"),
    (lambda e, d: e.stream("custom"), "Custom voice selected but no reference audio loaded"),
    (lambda e, d: ondrelix.Engine(FIXTURES), "an ondrelix engine is already running"),
])
def test_every_error_raises_with_its_message(engine, tmp_path, call, message):
    write_wav16(tmp_path / "short.wav", tone(500), 22050)
    with pytest.raises(ondrelix.Error) as raised:
        call(engine, tmp_path)
    assert str(raised.value).startswith(message)


def test_errors_of_the_engine_and_the_stream_themselves(tmp_path):
    with pytest.raises(ondrelix.Error, match="^CreateSession: "):
        ondrelix.Engine(tmp_path)
    engine = ondrelix.Engine(FIXTURES)
    stream = engine.stream("pass", mode="dsp")
    stream.stop()
    with pytest.raises(ondrelix.Error, match="the stream is not running"):
        stream.write(np.zeros(10, dtype=np.int16))
    engine.close()
    with pytest.raises(ondrelix.Error, match="the engine is closed"):
        engine.convert_file("a.wav", "b.wav")
    with ondrelix.Engine(FIXTURES) as e, pytest.raises(ValueError, match="mode is"):
        e.stream("deep", mode="fast")


def test_a_missing_library_says_where_it_looked():
    code = "import ondrelix; ondrelix.version()"
    env = dict(os.environ, ONDRELIX_LIBRARY="/nonexistent/libquorvane-ondrelix.so.1")
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert run.returncode != 0
    assert "ONDRELIX_LIBRARY" in run.stderr and "/nonexistent/" in run.stderr


def test_dsp_pass_through_round_trip_is_sample_exact(engine):
    x = (np.arange(32000) * 7919 % 65536 - 32768).astype(np.int16)
    got = []
    with engine.stream("pass", mode="dsp") as s:
        for chunk in np.array_split(x, 37):
            s.write(chunk)
            got.append(s.read(4096))
        while sum(len(g) for g in got) < len(x):
            got.append(s.read(4096))
    assert np.array_equal(np.concatenate(got), x)
    assert s.report["total_in_frames"] == 32000 and s.report["total_out_frames"] == 32000
    assert s.report["dropped_frames"] == 0


def test_continuous_options_pass_through(engine):
    with engine.stream("deep", mode="continuous", latency_ms=93, gate_db=-50, max_delay_ms=2000) as s:
        assert s.options == {"continuous": True, "latency_ms": 93, "gate_db": -50, "max_delay_ms": 2000}
        s.write(tone(8000, 16000))
    assert s.report["continuous"] is True
    assert abs(s.report["hop_ms"] - 2051 / 22.05) < 1e-6


def test_convert_array_returns_the_converted_samples(engine):
    y, rate = engine.convert_array(tone(16000, 16000), 16000, "deep")
    assert rate == 22050 and y.dtype == np.float32
    assert len(y) == 22050 // 256 * 256 and np.all(np.isfinite(y))
    stereo = np.stack([tone(16000, 16000), tone(16000, 16000)], axis=1)
    y2, _ = engine.convert_array(stereo, 16000, "deep")
    assert np.array_equal(y, y2)  # the two channels are averaged: the same signal


@pytest.mark.skipif(not os.path.exists(os.path.join(CORPUS, "spk2_a.wav")), reason="no corpus")
def test_a_corpus_file_with_the_bundled_models(tmp_path):
    with ondrelix.Engine(MODELS) as engine:
        report = engine.convert_file(os.path.join(CORPUS, "spk2_a.wav"), tmp_path / "deep.wav", "deep")
    assert report["status"] == "ok" and 1.9 < report["duration_s"] < 2.1
    with wave.open(str(tmp_path / "deep.wav")) as w:
        assert w.getframerate() == 22050 and w.getnframes() == round(report["duration_s"] * 22050)
        y = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    assert np.sqrt(np.mean(y.astype(float) ** 2)) > 100  # converted speech, not silence


def test_the_readme_example_runs_as_written(tmp_path):
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    block = readme.split("<!-- python example -->")[1].split("```python")[1].split("```")[0]
    write_wav16(tmp_path / "speech.wav", tone(44100, 22050), 22050)
    env = dict(os.environ, ONDRELIX_MODELS=MODELS)
    run = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "deep.wav").exists()
