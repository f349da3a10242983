"""The engine, its stream, and the errors it raises."""
import ctypes
import json
import os
import struct
import tempfile
import wave

import numpy as np

from . import _library

_lib = None
_active = None  # the one engine of this process


class Error(Exception):
    """A failure the library reported. str(error) is the library's message."""


def _library_handle():
    global _lib
    if _lib is None:
        _lib = _library.load()
    return _lib


def _last_error():
    return _library_handle().ondrelix_last_error().decode("utf-8", "replace")


def _report(pointer):
    return json.loads(pointer.value.decode("utf-8", "replace")) if pointer.value else {}


def _path(p):
    return os.fsencode(os.fspath(p))


def _loaded_file(lib):
    """The file the library was loaded from (the loader may have found it by name)."""
    name = _library.library_path(lib)
    if os.path.isabs(name):
        return name
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                if line.rstrip().endswith(name) or ("/" + name) in line:
                    return line.split()[-1]
    except OSError:
        pass
    return name


def default_models():
    """$ONDRELIX_MODELS, else the models beside the library (a build tree's models/, an install's
    share/quorvane-ondrelix/models)."""
    explicit = os.environ.get("ONDRELIX_MODELS")
    if explicit:
        return explicit
    folder = os.path.dirname(_loaded_file(_library_handle()))
    for candidate in (os.path.join(folder, "models"),
                      os.path.join(folder, "..", "share", "quorvane-ondrelix", "models")):
        if os.path.exists(os.path.join(candidate, "openvoice_converter.onnx")):
            return os.path.normpath(candidate)
    raise Error("no models found beside the library; pass models_dir or set ONDRELIX_MODELS")


def version():
    """The library's version text."""
    return _library_handle().ondrelix_version().decode()


class Engine:
    """The engine (one per process), started from a models directory; a context manager whose
    exit releases it.

        with ondrelix.Engine() as engine:
            engine.convert_file("in.wav", "out.wav", "deep")
    """

    def __init__(self, models_dir=None):
        global _active
        if _active is not None:
            raise Error("an ondrelix engine is already running in this process; close it first")
        lib = _library_handle()
        report = ctypes.c_char_p()
        directory = default_models() if models_dir is None else models_dir
        if lib.ondrelix_init(_path(directory), ctypes.byref(report)) != 0:
            raise Error(_last_error())
        self.report = _report(report)  # the init report
        self.models_dir = os.fspath(directory)
        self._open = True
        self._stream = None
        _active = self

    @property
    def voices(self):
        """The catalogue's voice names, as the init report lists them."""
        return list(self.report.get("voices", []))

    def _check(self):
        if not self._open:
            raise Error("the engine is closed")

    def convert_file(self, src, dst, voice=None):
        """Converts the WAV file `src` to `voice` into `dst` (22050 Hz 16-bit mono); returns the
        report as a dict."""
        self._check()
        report = ctypes.c_char_p()
        name = None if voice is None else voice.encode()
        if _library_handle().ondrelix_convert_file(_path(src), _path(dst), name,
                                                   ctypes.byref(report)) != 0:
            raise Error(_last_error())
        return _report(report)

    def load_voice(self, path):
        """Clones the voice "custom" from a reference WAV file; returns the report as a dict."""
        self._check()
        report = ctypes.c_char_p()
        if _library_handle().ondrelix_load_voice(_path(path), ctypes.byref(report)) != 0:
            raise Error(_last_error())
        return _report(report)

    def convert_array(self, samples, rate, voice=None):
        """Converts an array of samples (float, full scale 1.0, or int16; one dimension, or
        frames x channels) at `rate` Hz. Returns (float32 array, 22050). The library converts
        files, so this goes through two temporary files."""
        x = np.asarray(samples)
        if x.dtype == np.int16:
            x = x.astype(np.float32) / 32768.0
        x = np.ascontiguousarray(x, dtype="<f4")
        channels = 1 if x.ndim == 1 else x.shape[1]
        with tempfile.TemporaryDirectory(prefix="ondrelix-") as work:
            src, dst = os.path.join(work, "in.wav"), os.path.join(work, "out.wav")
            _write_float_wav(src, x, int(rate), channels)
            self.convert_file(src, dst, voice)
            with wave.open(dst) as w:
                y = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float32)
                return y / 32768.0, w.getframerate()

    def stream(self, voice=None, mode=None, latency_ms=None, **options):
        """Starts the real-time stream (16 kHz mono int16). mode: None or "neural" (blocks),
        "continuous" (the neural continuous mode) or "dsp"; latency_ms: the block length or
        hop; further keyword options go to the start options as they are (gate_db,
        max_delay_ms, ...). Use it as a context manager; its report is there after it ends."""
        self._check()
        return Stream(voice, _stream_options(mode, latency_ms, options))

    def close(self):
        """Stops a running stream and releases the engine; harmless when already closed."""
        global _active
        if self._open:
            _library_handle().ondrelix_cleanup()
            self._open = False
            if _active is self:
                _active = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def _stream_options(mode, latency_ms, options):
    chosen = {}
    if mode == "dsp":
        chosen["mode"] = "dsp"
    elif mode == "continuous":
        chosen["continuous"] = True
    elif mode not in (None, "neural"):
        raise ValueError(f"mode is None, 'neural', 'continuous' or 'dsp', not {mode!r}")
    if latency_ms is not None:
        chosen["latency_ms"] = int(latency_ms)
    chosen.update(options)
    return json.dumps(chosen)


class Stream:
    """A running stream. write() pushes int16 samples, read() pulls converted ones; stop() (or
    leaving the with-block) ends it and keeps its report in .report."""

    def __init__(self, voice, options):
        name = None if voice is None else voice.encode()
        if _library_handle().ondrelix_rt_start(name, options.encode()) != 0:
            raise Error(_last_error())
        self.options = json.loads(options)
        self.report = None

    def write(self, samples):
        """Pushes 16 kHz mono int16 samples; returns how many were given (the library counts any
        it had to drop in the report's "dropped_frames")."""
        x = np.ascontiguousarray(samples, dtype=np.int16)
        if x.size == 0:
            return 0
        pointer = x.ctypes.data_as(ctypes.POINTER(ctypes.c_int16))
        if _library_handle().ondrelix_rt_write(pointer, int(x.size)) != 0:
            raise Error("the stream is not running")
        return int(x.size)

    def read(self, max_samples=4096):
        """Up to `max_samples` converted samples (int16), often fewer, possibly none; waits at
        most about 20 ms."""
        out = np.empty(int(max_samples), dtype=np.int16)
        got = ctypes.c_int(0)
        pointer = out.ctypes.data_as(ctypes.POINTER(ctypes.c_int16))
        if _library_handle().ondrelix_rt_read(pointer, int(max_samples), ctypes.byref(got)) != 0:
            raise ValueError("max_samples must be positive")
        return out[: got.value]

    def stop(self):
        """Ends the stream; returns its report as a dict (also kept in .report)."""
        if self.report is None:
            report = ctypes.c_char_p()
            _library_handle().ondrelix_rt_stop(ctypes.byref(report))
            self.report = _report(report)
        return self.report

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


def _write_float_wav(path, x, rate, channels):
    """A 32-bit IEEE float WAV file, which the library reads without loss."""
    data = x.tobytes()
    block = 4 * channels
    header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE"
    header += b"fmt " + struct.pack("<IHHIIHH", 16, 3, channels, rate, rate * block, block, 32)
    with open(path, "wb") as f:
        f.write(header + b"data" + struct.pack("<I", len(data)) + data)
