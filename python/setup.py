"""The Python package of quorvane-ondrelix: a ctypes binding of the library's ten functions.

Installs offline with Debian's own setuptools (no build dependencies to fetch), for example into
a virtual environment that sees the system's packages:

    python3 -m venv --system-site-packages .venv && .venv/bin/pip install ./python
"""
from setuptools import setup

setup(
    name="ondrelix",
    version="1.1.0",
    description="Voice conversion with quorvane-ondrelix, from Python and numpy",
    packages=["ondrelix"],
    python_requires=">=3.9",
    install_requires=["numpy"],
)
