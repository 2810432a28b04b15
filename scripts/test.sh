#!/usr/bin/env bash
# Builds everything and runs every test: the stand-in's C++ tests; the Python
# suite on Debian's python3 (then the README's replay example and a short run
# of the recordings' fuzz targets), on the debug interpreter (with the
# reference-leak checks), on a build with the address and undefined-behaviour
# sanitizers, on every other CPython 3.8 or later found under
# ~/.pyenv/versions and on a free-threaded CPython 3.13 (with the GIL kept
# off, and with the interpreter's own choice); then the demo and smoke checks
# on the default python3, and the shipping checks (install components, wheels
# in fresh venvs, stubtest, typed examples).
#
# A suite keeps one core busy: the pyenv and free-threaded interpreters run
# in a second lane beside Debian's (their output shown when the lane ends),
# and the free-threaded interpreter is looked for, or built once, in the
# background from the start.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh
started=$SECONDS
testpath=$(scripts/testpath.sh)
mkdir -p build
# Each lane writes its own summary lines; shown lane by lane at the end.
summary_file=build/test-summary-1.txt
: >build/test-summary-1.txt
: >build/test-summary-2.txt
# The runs on the free-threaded interpreter set it themselves.
unset PYTHON_GIL

# Background jobs, each in its own process group, ended with the command
# however that ends.
jobs_to_end=()
end_jobs() { for j in ${jobs_to_end[@]+"${jobs_to_end[@]}"}; do kill -- -"$j" 2>/dev/null || true; done; }
trap end_jobs EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

rm -f build/ft_python.status
setsid bash -c 'scripts/ft_python.sh >build/ft_python.out 2>build/ft_python.log; echo $? >build/ft_python.status' &
jobs_to_end+=("$!")

# The interpreter behind a command (pyenv's python3 is a shim script).
real_python() { "$1" -c 'import os, sys; print(os.path.realpath(sys.executable))'; }

# suite NAME PYTHON LABEL [ENV=VALUE...]: the whole Python suite on build/NAME;
# its summary line names the interpreter, the build and LABEL.
suite() {
  local name=$1 python=$2 label=$3; shift 3
  local path=""
  # Interpreters other than Debian's own get Debian's pure-Python pytest and
  # hypothesis from the test path; nothing is installed into them.
  case "$python" in /usr/bin/*) ;; *) path=$testpath ;; esac
  env CSDK_PKG="$root/build/$name/pkg" PYTHONPATH="$path" \
    PYTHONWARNINGS="ignore::DeprecationWarning:_pytest.assertion.rewrite" "$@" \
    "$python" -m pytest -q -p no:cacheprovider tests
  echo "tested: $("$python" -c 'import sys; print(sys.version.split()[0])') $python ($name$label)" >>"$summary_file"
}

# ---- the second lane: pyenv's interpreters, then the free-threaded 3.13 ----
second_lane() {
  # Every CPython 3.8 or later under pyenv, and a line for each supported
  # minor version that is nowhere to be found.
  local found=" 11 " dir python minor version
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
    suite "py$version" "$python" ""
    echo "$(real_python "$python") py$version" >>build/test-built.txt
    found="$found$minor "
  done
  for minor in 8 9 10 11 12 13; do
    case "$found" in *" $minor "*) ;; *) echo "not found: CPython 3.$minor, not tested" >>"$summary_file" ;; esac
  done

  # The free-threaded build of 3.13; not having one (no network to fetch its
  # source, a failed build) fails nothing, a failing suite does.
  echo "== free-threaded CPython 3.13 (scripts/ft_python.sh)"
  local ft_status ft
  while [ ! -s build/ft_python.status ]; do sleep 2; done
  ft_status=$(cat build/ft_python.status)
  cat build/ft_python.log
  if [ "$ft_status" -eq 0 ]; then
    ft=$(cat build/ft_python.out)
    echo "== $("$ft" -V) free-threaded ($ft)"
    scripts/build.sh py3.13t "$ft" -DCSDK_TESTS=OFF
    suite py3.13t "$ft" ", free-threaded, PYTHON_GIL=0" PYTHON_GIL=0
    suite py3.13t "$ft" ", free-threaded"
  else
    echo "not found: free-threaded CPython 3.13, not tested" >>"$summary_file"
  fi
}

: >build/test-built.txt
export root testpath
export -f second_lane suite real_python
setsid bash -c 'set -euo pipefail; summary_file=build/test-summary-2.txt second_lane' >build/test-lane2.log 2>&1 &
lane2=$!
jobs_to_end+=("$lane2")

# ---- the first lane: Debian's interpreters -----------------------------------
scripts/build.sh deb /usr/bin/python3 -DCSDK_TESTS=ON
echo "== stand-in library (ctest)"
ctest --test-dir build/deb --output-on-failure

echo "== python3 ($(/usr/bin/python3 -V))"
suite deb /usr/bin/python3 ""

echo "== the README's example: a strategy tested against a recorded session"
PYTHONPATH="$root/build/deb/pkg:$root/standin" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  -p vystandin.pytest_plugin examples/replay
echo "== fuzz targets of the recordings' readers (a few seconds each)"
scripts/fuzz.sh --readers 5

echo "== debug interpreter ($(/usr/bin/python3.11-dbg -V 2>&1))"
scripts/build.sh dbg /usr/bin/python3.11-dbg -DCSDK_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCSDK_ASSERTS=ON
suite dbg /usr/bin/python3.11-dbg ""

echo "== python3 with AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh asan /usr/bin/python3 -DCSDK_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCSDK_ASSERTS=ON \
  "-DCSDK_SANITIZE=address;undefined"
suite asan /usr/bin/python3 " with sanitizers" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"

# ---- the second lane's outcome -------------------------------------------------
lane2_status=0
wait "$lane2" || lane2_status=$?
echo "== second lane: pyenv's interpreters and the free-threaded 3.13"
cat build/test-lane2.log
if [ "$lane2_status" -ne 0 ]; then
  echo "the second lane failed (status $lane2_status)"
  exit "$lane2_status"
fi

default=$(command -v python3 || true)
if [ -n "$default" ] && [ "$(real_python "$default")" != "$(real_python /usr/bin/python3)" ]; then
  echo "== demo and smoke checks on the default python3 ($("$default" -V))"
  name=$(awk -v p="$(real_python "$default")" '$1 == p {print $2}' build/test-built.txt | head -1)
  if [ -z "$name" ]; then
    name=py
    scripts/build.sh "$name" "$default" -DCSDK_TESTS=OFF
  fi
  PYTHONPATH="$root/build/$name/pkg:$root/standin" "$default" examples/demo.py >/dev/null
  PYTHONPATH="$root/build/$name/pkg:$root/standin" "$default" tests/smoke.py
fi

echo "== shipping: install components, wheels, stubs"
scripts/check_shipping.sh
echo "shipping checks passed" >>"$summary_file"

echo "== interpreters"
cat build/test-summary-1.txt build/test-summary-2.txt
echo "all tests passed in $((SECONDS - started)) s"
