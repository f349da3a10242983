"""Finding and loading the shared library, and its ten functions' signatures."""
import ctypes
import os

LIBRARY_ENV = "ONDRELIX_LIBRARY"
NAMES = ("libquorvane-ondrelix.so.1", "libquorvane-ondrelix.so")


def _candidates():
    """Where the library may be: $ONDRELIX_LIBRARY, beside this package, in the prefix the
    package was installed into (prefix/lib/python3/dist-packages/ondrelix), then the loader's
    own search path."""
    explicit = os.environ.get(LIBRARY_ENV)
    if explicit:
        yield explicit
        return
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (here, os.path.normpath(os.path.join(here, "..", "..", ".."))):
        for name in NAMES:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                yield path
    yield from NAMES


def load():
    """The loaded library with typed functions; raises OSError with every place tried."""
    tried = []
    for candidate in _candidates():
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as error:
            tried.append(f"{candidate} ({error})")
            continue
        _declare(lib)
        return lib
    raise OSError("quorvane-ondrelix not found; set ONDRELIX_LIBRARY to libquorvane-ondrelix.so.1 "
                  "or install the library. Tried: " + "; ".join(tried))


def _declare(lib):
    c_char_pp = ctypes.POINTER(ctypes.c_char_p)
    i16p = ctypes.POINTER(ctypes.c_int16)
    signatures = {
        "ondrelix_init": (ctypes.c_int, [ctypes.c_char_p, c_char_pp]),
        "ondrelix_cleanup": (None, []),
        "ondrelix_version": (ctypes.c_char_p, []),
        "ondrelix_last_error": (ctypes.c_char_p, []),
        "ondrelix_convert_file": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                                                 c_char_pp]),
        "ondrelix_load_voice": (ctypes.c_int, [ctypes.c_char_p, c_char_pp]),
        "ondrelix_rt_start": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
        "ondrelix_rt_write": (ctypes.c_int, [i16p, ctypes.c_int]),
        "ondrelix_rt_read": (ctypes.c_int, [i16p, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]),
        "ondrelix_rt_stop": (ctypes.c_int, [c_char_pp]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def library_path(lib):
    """The file the library was loaded from."""
    return lib._name
