#!/usr/bin/env bash
# Build the extension into .venv, then run the main job: the example proxy
# over real HTTP on 127.0.0.1, in front of simulated backends, in each routing
# mode (python -m examples.proxy.demo --help for its options).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec .venv/bin/python -m examples.proxy.demo "$@"
