"""Voice conversion with quorvane-ondrelix: convert WAV files and arrays to another voice, clone
a voice from a clip, and run the real-time stream.

    import ondrelix
    with ondrelix.Engine() as engine:
        print(engine.voices)
        engine.convert_file("in.wav", "out.wav", "deep")
"""
from .engine import Engine, Error, Stream, default_models, version

__all__ = ["Engine", "Error", "Stream", "default_models", "version"]
