# Sourced by test.sh and demo.sh: Debian's redis-server, for the proxies that
# share caps through Redis (each test and the demo start their own on a
# loopback port; the package's own service is not needed).
if ! command -v redis-server >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "installing redis-server (apt-get) for the shared-cap tests and demo" >&2
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            redis-server; } >/dev/null 2>&1 || echo "could not install redis-server: the shared-cap tests are skipped" >&2
    else
        echo "redis-server is not installed (and this is not root with apt-get): the shared-cap tests are skipped" >&2
    fi
fi
