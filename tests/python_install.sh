#!/usr/bin/env bash
# pip installs the Python package offline into a fresh virtual environment (with the system's
# numpy and setuptools), and the installed package runs against the built library.
#   python_install.sh PYTHON PACKAGE_DIR VENV_DIR LIBRARY
set -euo pipefail
python=$1 package=$2 venv=$3 library=$4
rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$package" "$work/python"  # pip builds inside the copy, not in the checkout
"$venv/bin/pip" install --no-index --quiet "$work/python"
cd "$work"  # away from the checkout, so the installed package is the one imported
ONDRELIX_LIBRARY=$library "$venv/bin/python" -c \
  "import ondrelix, os; assert ondrelix.__file__.startswith('$venv'); print(ondrelix.version())"
