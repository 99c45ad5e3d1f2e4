#!/usr/bin/env bash
# Build the extension with AddressSanitizer and UndefinedBehaviorSanitizer (a
# debug build in build/sanitize) and run the test suite on it.  A developer
# tool, run before calling a change to src/ done; not part of CI.
#
#   bash scripts/sanitize.sh [pytest arguments]
#
# Python objects are allocated with the system malloc (PYTHONMALLOC=malloc),
# so a use of a freed object is caught, not only of freed C++ memory.  The
# interpreter itself is not instrumented: the sanitizer runtime is preloaded.
# The proxy, wheel and stub tests (real processes, the installed module) are left out.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
out=build/sanitize
cmake -S . -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=Debug \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DLB_SANITIZE=ON -DLB_WERROR=ON >/dev/null
cmake --build "$out"
asan="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"  # the C++ runtime too, for the throw interceptor
export LD_PRELOAD="$asan" PYTHONMALLOC=malloc PYTHONPATH="$PWD/$out"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
.venv/bin/python -c 'import load_balancer, sys; assert "build/sanitize" in load_balancer.__file__, load_balancer.__file__'
exec .venv/bin/python -m pytest -q -p no:cacheprovider --ignore-glob='tests/test_proxy*.py' --ignore=tests/test_wheel.py \
    --ignore=tests/test_stubs.py --timeout=600 "$@"
