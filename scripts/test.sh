#!/usr/bin/env bash
# Builds everything and runs every test: the stand-in's C++ tests; the Python
# suite on Debian's python3, on the debug interpreter (with the reference-leak
# checks), on a build with the address and undefined-behaviour sanitizers,
# on every other CPython 3.8 or later found under ~/.pyenv/versions and on a
# free-threaded CPython 3.13 (with the GIL kept off, and with the interpreter's
# own choice); then the demo and smoke checks on the default python3, and the
# shipping checks (install components, wheels in fresh venvs, stubtest, typed
# examples).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh
started=$SECONDS
testpath=$(scripts/testpath.sh)
summary=()
# The runs on the free-threaded interpreter set it themselves.
unset PYTHON_GIL

# The free-threaded interpreter is looked for, or built once into a cache
# folder, in the background from the start: the suites below use one core
# of the two. Its own process group, ended with the command however that ends.
mkdir -p build
setsid scripts/ft_python.sh >build/ft_python.out 2>build/ft_python.log &
ft_job=$!
trap 'kill -- -$ft_job 2>/dev/null || true' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The interpreter behind a command (pyenv's python3 is a shim script).
real_python() { "$1" -c 'import os, sys; print(os.path.realpath(sys.executable))'; }

# suite NAME PYTHON [ENV=VALUE...]: the whole Python suite on build/NAME.
suite() {
  local name=$1 python=$2; shift 2
  local path=""
  # Interpreters other than Debian's own get Debian's pure-Python pytest and
  # hypothesis from the test path; nothing is installed into them.
  case "$python" in /usr/bin/*) ;; *) path=$testpath ;; esac
  env CSDK_PKG="$root/build/$name/pkg" PYTHONPATH="$path" \
    PYTHONWARNINGS="ignore::DeprecationWarning:_pytest.assertion.rewrite" "$@" \
    "$python" -m pytest -q -p no:cacheprovider tests
  summary+=("tested: $("$python" -c 'import sys; print(sys.version.split()[0])') $python ($name)")
}

scripts/build.sh deb /usr/bin/python3 -DCSDK_TESTS=ON
echo "== stand-in library (ctest)"
ctest --test-dir build/deb --output-on-failure

echo "== python3 ($(/usr/bin/python3 -V))"
suite deb /usr/bin/python3

echo "== debug interpreter ($(/usr/bin/python3.11-dbg -V 2>&1))"
scripts/build.sh dbg /usr/bin/python3.11-dbg -DCSDK_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCSDK_ASSERTS=ON
suite dbg /usr/bin/python3.11-dbg

echo "== python3 with AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh asan /usr/bin/python3 -DCSDK_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCSDK_ASSERTS=ON \
  "-DCSDK_SANITIZE=address;undefined"
suite asan /usr/bin/python3 PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
summary[-1]="${summary[-1]} with sanitizers"

# Every CPython 3.8 or later under pyenv, and a line for each supported minor
# version that is nowhere to be found.
found=" 11 "
declare -A built
for dir in $(ls -d "$HOME"/.pyenv/versions/3.* 2>/dev/null | sort -V); do
  # A free-threaded one (3.13.0t) is scripts/ft_python.sh's to find.
  case "$dir" in *t) continue ;; esac
  python=$dir/bin/python3
  [ -x "$python" ] || continue
  minor=$("$python" -c 'import sys; print(sys.version_info[1])')
  [ "$minor" -ge 8 ] || continue
  version=$(basename "$dir")
  echo "== CPython $version ($python)"
  scripts/build.sh "py$version" "$python" -DCSDK_TESTS=OFF
  suite "py$version" "$python"
  built[$(real_python "$python")]="py$version"
  found="$found$minor "
done
for minor in 8 9 10 11 12 13; do
  case "$found" in *" $minor "*) ;; *) summary+=("not found: CPython 3.$minor, not tested") ;; esac
done

# The free-threaded build of 3.13; not having one (no network to fetch its
# source, a failed build) fails nothing, a failing suite does.
echo "== free-threaded CPython 3.13 (scripts/ft_python.sh)"
ft_status=0
wait "$ft_job" || ft_status=$?
cat build/ft_python.log
if [ "$ft_status" -eq 0 ]; then
  ft=$(cat build/ft_python.out)
  echo "== $("$ft" -V) free-threaded ($ft)"
  scripts/build.sh py3.13t "$ft" -DCSDK_TESTS=OFF
  suite py3.13t "$ft" PYTHON_GIL=0
  summary[-1]="${summary[-1]%)}, free-threaded, PYTHON_GIL=0)"
  suite py3.13t "$ft"
  summary[-1]="${summary[-1]%)}, free-threaded)"
else
  summary+=("not found: free-threaded CPython 3.13, not tested")
fi

default=$(command -v python3 || true)
if [ -n "$default" ] && [ "$(real_python "$default")" != "$(real_python /usr/bin/python3)" ]; then
  echo "== demo and smoke checks on the default python3 ($("$default" -V))"
  name=${built[$(real_python "$default")]:-}
  if [ -z "$name" ]; then
    name=py
    scripts/build.sh "$name" "$default" -DCSDK_TESTS=OFF
  fi
  PYTHONPATH="$root/build/$name/pkg:$root/standin" "$default" examples/demo.py >/dev/null
  PYTHONPATH="$root/build/$name/pkg:$root/standin" "$default" tests/smoke.py
fi

echo "== shipping: install components, wheels, stubs"
scripts/check_shipping.sh
summary+=("shipping checks passed")

echo "== interpreters"
printf '%s\n' "${summary[@]}"
echo "all tests passed in $((SECONDS - started)) s"
