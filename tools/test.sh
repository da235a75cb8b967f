#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds (plain, with the address and
# undefined-behaviour sanitizers, with the thread sanitizer, and with Qt 6), starts the test
# servers, runs every test kind, stops the servers. Extra arguments go to every ctest run (for
# example -R Connect).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tools/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
ninja -C build
# The Debian package, for the package test.
tools/package.sh
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBROLIX_SANITIZE=ON -DBROLIX_BENCH=OFF > /dev/null
ninja -C build-asan
# Creation reads over a pool of threads and the window's work runs on one of its own.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBROLIX_SANITIZE_THREAD=ON -DBROLIX_BENCH=OFF > /dev/null
ninja -C build-tsan
# Qt 5 is the default toolkit; the same sources build and pass with Qt 6.
cmake -S . -B build-qt6 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBROLIX_QT=6 > /dev/null
ninja -C build-qt6

if [ -x tools/check-windows-build.sh ]; then
  tools/check-windows-build.sh
fi

tools/servers.sh start
trap 'tools/servers.sh stop' EXIT

status=0
echo "== tests (unit, server, window, e2e, package)"
ctest --test-dir build -j "$jobs" --output-on-failure "$@" || status=1
echo "== sanitizer build (unit, server, window)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0" \
  ctest --test-dir build-asan -j "$jobs" -L 'unit|server|window' --output-on-failure "$@" || status=1
echo "== thread sanitizer build (unit, server, window)"
TSAN_OPTIONS="suppressions=$top/tests/tsan.supp" \
  ctest --test-dir build-tsan -j "$jobs" -L 'unit|server|window' --output-on-failure "$@" || status=1
echo "== Qt 6 build (unit, server, window)"
ctest --test-dir build-qt6 -j "$jobs" -L 'unit|server|window' --output-on-failure "$@" || status=1
exit $status
