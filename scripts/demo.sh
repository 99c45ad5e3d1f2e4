#!/usr/bin/env bash
# Build the extension into .venv, then run the main job: the example proxy
# over real HTTP on 127.0.0.1, in front of simulated backends, in each routing
# mode, then several proxy processes sharing the caps through Redis
# (python -m examples.proxy.demo --help for its options).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
source "$(dirname "${BASH_SOURCE[0]}")/redis.sh"
exec .venv/bin/python -m examples.proxy.demo "$@"
