#!/usr/bin/env bash
# Builds everything and runs every test: the stand-in's C++ tests; the Python
# suite on Debian's python3, on the debug interpreter (with the reference-leak
# checks) and on a build with the address and undefined-behaviour sanitizers;
# and, when the default python3 is another interpreter, the demo and smoke
# checks on a build for it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh

scripts/build.sh deb /usr/bin/python3 -DCSDK_TESTS=ON
scripts/build.sh dbg /usr/bin/python3.11-dbg -DCSDK_TESTS=OFF

echo "== stand-in library (ctest)"
ctest --test-dir build/deb --output-on-failure

echo "== python3 ($(/usr/bin/python3 -V))"
CSDK_PKG="$root/build/deb/pkg" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests

echo "== debug interpreter ($(/usr/bin/python3.11-dbg -V 2>&1))"
CSDK_PKG="$root/build/dbg/pkg" /usr/bin/python3.11-dbg -m pytest -q -p no:cacheprovider tests

echo "== python3 with AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh asan /usr/bin/python3 -DCSDK_TESTS=OFF "-DCSDK_SANITIZE=address;undefined"
CSDK_PKG="$root/build/asan/pkg" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests

default=$(command -v python3 || true)
if [ -n "$default" ] && [ "$(readlink -f "$default")" != "$(readlink -f /usr/bin/python3)" ]; then
  echo "== default python3 ($("$default" -V))"
  scripts/build.sh py "$default" -DCSDK_TESTS=OFF
  # This interpreter has no pytest: it runs the main job and the smoke checks.
  PYTHONPATH="$root/build/py/pkg:$root/standin" "$default" examples/demo.py >/dev/null
  PYTHONPATH="$root/build/py/pkg:$root/standin" "$default" tests/smoke.py
fi
echo "all tests passed"
