#!/usr/bin/env bash
# Benchmarks of the hot paths and of the import (never part of the tests):
#   scripts/bench.sh [PYTHON] [--source DIR] [--recorder] [--no-callgrind] [--no-timing]
#                    [bench.py options...]
# Without PYTHON: Debian's /usr/bin/python3, every CPython 3.8 or later under
# ~/.pyenv/versions and, where scripts/ft_python.sh prints one, the
# free-threaded build; then a summary of every goal row per interpreter.
#
# For each interpreter NAME it builds an optimised module into
# build/bench-NAME, copies the importable tree to build/bench-NAME/noop with
# the no-op library (benchmarks/noop.cpp) in place of the stand-in, builds
# the yardsticks beside the module there (raw C-API wrappers, the empty and
# synthetic modules, and Cython / pybind11 bindings where Debian's cython3 /
# pybind11-dev are installed), then runs benchmarks/bench.py (timings and
# ratios, build/bench-NAME/results.json) and, with valgrind,
# benchmarks/callgrind.py (instructions per call).  --recorder adds what the
# recording library costs, on the stand-in library.  --source DIR builds the
# module from another checkout (a worktree at an earlier commit, to compare
# two commits' callgrind counts); its builds and results go to DIR/build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

pythons=()
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  pythons=("$1"); shift
fi
recorder=0; callgrind=1; timing=1; src=$root; opts=()
while [ $# -gt 0 ]; do
  case "$1" in
    --recorder) recorder=1 ;;
    --no-callgrind) callgrind=0 ;;
    --no-timing) timing=0 ;;
    --source) src=$(cd "$2" && pwd); shift ;;
    *) opts+=("$1") ;;
  esac
  shift
done
command -v valgrind >/dev/null || callgrind=0

# NAME PYTHON pairs.
names=()
if [ ${#pythons[@]} -eq 0 ]; then
  names+=(deb); pythons+=(/usr/bin/python3)
  for dir in $(ls -d "$HOME"/.pyenv/versions/3.* 2>/dev/null | sort -V); do
    py=$dir/bin/python3
    [ -x "$py" ] || continue
    [ "$("$py" -c 'import sys; print(sys.version_info >= (3, 8))')" = True ] || continue
    names+=("py$(basename "$dir")"); pythons+=("$py")
  done
  if [ -x scripts/ft_python.sh ]; then
    ft=$(scripts/ft_python.sh 2>/dev/null || true)
    if [ -n "$ft" ] && [ -x "$ft" ]; then names+=(ft); pythons+=("$ft"); fi
  fi
elif [ "$("${pythons[0]}" -c 'import sys; print(sys.executable)')" = /usr/bin/python3 ]; then
  names+=(deb)
else
  names+=("py$("${pythons[0]}" -c 'import sys; print(sys.version.split()[0])')")
fi

# The no-op library does not depend on the interpreter: built once.
noop_lib=$root/build/bench-noop/libvy3-c.so
mkdir -p "$(dirname "$noop_lib")"
c++ -std=c++17 -O2 -shared -fPIC -fvisibility=hidden -fno-exceptions -fno-rtti -Wall -Wextra \
  -I"$root/src/vy/csdk/include" benchmarks/noop.cpp -o "$noop_lib" -Wl,-soname,libvy3-c.so -Wl,--as-needed

bench_one() {  # bench_one NAME PYTHON
  local name=$1 py=$2
  local out=$src/build/bench-$name
  echo "== $name: $("$py" -c 'import sys; print(sys.version.split()[0])') ($py), module from $src"
  nice "$src/scripts/build.sh" "bench-$name" "$py" -DCSDK_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCSDK_ASSERTS=OFF >/dev/null
  local tree=$out/noop
  rm -rf "$tree"
  mkdir -p "$tree"
  cp -r "$out/pkg" "$tree/pkg"
  local csdk=$tree/pkg/vy/csdk
  cp "$noop_lib" "$csdk/libvy3-c.so"
  local inc suffix
  inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  suffix=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  local cflags=(-O2 -shared -fPIC -I"$inc" -I"$root/src/vy/csdk/include")
  # Beside the module, finding the library the way it does.
  local link=("$csdk/libvy3-c.so" '-Wl,-rpath,$ORIGIN')
  local m
  for m in ideal empty synthetic; do
    nice cc "${cflags[@]}" "benchmarks/$m.c" -o "$csdk/_bench_$m$suffix" "${link[@]}"
  done
  # Debian's Cython and pybind11 do not build for every interpreter: the rows
  # are left out where they fail.
  if command -v cython3 >/dev/null; then
    { cython3 -3 benchmarks/_bench_cython.pyx -o "$tree/_bench_cython.c" &&
      nice cc "${cflags[@]}" "$tree/_bench_cython.c" -o "$csdk/_bench_cython$suffix" "${link[@]}"; } \
      2>"$tree/cython.log" || echo "Cython does not build for $name: no Cython rows (see $tree/cython.log)"
  fi
  if [ -f /usr/include/pybind11/pybind11.h ]; then
    nice c++ -std=c++17 "${cflags[@]}" -fvisibility=hidden benchmarks/_bench_pybind11.cpp \
      -o "$csdk/_bench_pybind11$suffix" "${link[@]}" 2>"$tree/pybind11.log" ||
      echo "pybind11 does not build for $name: no pybind11 rows (see $tree/pybind11.log)"
  fi

  rm -f "$out/results.json"
  if [ $timing = 1 ]; then
    PYTHONPATH="$tree/pkg" "$py" benchmarks/bench.py --name "$name" --json "$out/results.json" \
      ${opts[@]+"${opts[@]}"}
  fi
  if [ $callgrind = 1 ]; then
    echo
    PYTHONPATH="$tree/pkg" "$py" benchmarks/callgrind.py --name "$name" --json "$out/results.json"
  fi
  if [ $recorder = 1 ]; then
    echo
    echo "recording a session: what the recording library adds per query and per event"
    CSDK_PKG="$out/pkg" PYTHONPATH="$root/standin" "$py" benchmarks/bench_recorder.py
  fi
  echo
}

# One interpreter that fails (a build, a yardstick that does not compile)
# does not stop the others; the summary says which ones are missing.
results=()
for i in "${!names[@]}"; do
  set +e
  (bench_one "${names[$i]}" "${pythons[$i]}")
  status=$?
  set -e
  file=$src/build/bench-${names[$i]}/results.json
  if [ $status -eq 0 ] && [ -f "$file" ]; then
    results+=("$file")
  else
    echo "== ${names[$i]}: failed (status $status), left out of the summary"
    echo
  fi
done
[ ${#results[@]} -gt 0 ] || exit 1

/usr/bin/python3 benchmarks/summary.py "${results[@]}"
if [ ${#results[@]} -eq 1 ] && [ $timing = 1 ]; then
  /usr/bin/python3 benchmarks/chart.py "${results[0]}" "$(dirname "${results[0]}")/bench.png" || true
fi
