#!/usr/bin/env bash
# Build the extension into .venv and run the proxy simulation.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec .venv/bin/python examples/proxy_sim.py "$@"
