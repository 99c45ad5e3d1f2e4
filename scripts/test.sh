#!/usr/bin/env bash
# Build the extension into .venv and run the test suite.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
# The status page test drives Debian's chromium in headless mode: install it where we can.
if ! command -v chromium >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "installing chromium (apt-get) for the status page test" >&2
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            chromium; } >/dev/null 2>&1 || echo "could not install chromium: the status page test is skipped" >&2
    else
        echo "chromium is not installed (and this is not root with apt-get): the status page test is skipped" >&2
    fi
fi
# The shared-cap tests start Debian's redis-server: install it where we can.
source "$(dirname "${BASH_SOURCE[0]}")/redis.sh"
exec .venv/bin/python -m pytest -q "$@"
