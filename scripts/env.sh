# Sourced by the other scripts: find CPython 3.13, make .venv, build and
# install the extension into it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

find_python() {
    for cand in python3.13 /root/.pyenv/versions/3.13*/bin/python3.13 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
        if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
            command -v "$cand"
            return 0
        fi
    done
    echo "CPython 3.13 not found (looked on PATH and under pyenv)" >&2
    return 1
}

if [ ! -x .venv/bin/python ]; then
    "$(find_python)" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" ninja
# The package with its test extras (pyproject.toml lists them once).
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
