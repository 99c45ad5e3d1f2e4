#!/usr/bin/env bash
# Build the extension into .venv and run the test suite.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec .venv/bin/python -m pytest -q "$@"
