#!/usr/bin/env bash
# Benchmarks of the hot paths (never part of the tests):
#   scripts/bench.sh [PYTHON] [bench.py options...]
# Builds an optimised module for PYTHON (default /usr/bin/python3) into
# build/bench, a hand-written raw C-API wrapper and an empty module linked to
# the same library, and, where Debian's cython3 / pybind11-dev are installed,
# Cython and pybind11 bindings; then prints the timings and ratios, writes
# build/bench/results.json and bench.png (python3-matplotlib), and, with
# valgrind, instruction counts per call from callgrind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
py=${1:-/usr/bin/python3}; shift || true
out=$root/build/bench
scripts/build.sh bench "$py" -DCSDK_TESTS=OFF -DCMAKE_BUILD_TYPE=Release -DCSDK_ASSERTS=OFF >/dev/null
pkg=$out/pkg
libdir=$pkg/vy/csdk
ext=$out/benchext
mkdir -p "$ext"
inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
cflags=(-O2 -shared -fPIC -I"$inc" -I"$root/src/vy/csdk/include")
link=("$libdir/libvy3-c.so" -Wl,-rpath,"$libdir")

cc "${cflags[@]}" benchmarks/ideal.c -o "$ext/_bench_ideal$suffix" "${link[@]}"
cc "${cflags[@]}" benchmarks/empty.c -o "$ext/_bench_empty$suffix" "${link[@]}"
if command -v cython3 >/dev/null; then
  cython3 -3 benchmarks/_bench_cython.pyx -o "$ext/_bench_cython.c"
  cc "${cflags[@]}" "$ext/_bench_cython.c" -o "$ext/_bench_cython$suffix" "${link[@]}"
else
  echo "cython3 not installed: no Cython rows"
fi
if [ -f /usr/include/pybind11/pybind11.h ]; then
  c++ -std=c++17 "${cflags[@]}" -fvisibility=hidden benchmarks/_bench_pybind11.cpp \
    -o "$ext/_bench_pybind11$suffix" "${link[@]}"
else
  echo "pybind11-dev not installed: no pybind11 rows"
fi

export PYTHONPATH="$pkg:$root/standin:$ext"
"$py" benchmarks/bench.py --json "$out/results.json" "$@"
/usr/bin/python3 benchmarks/chart.py "$out/results.json" "$out/bench.png" || true

if command -v valgrind >/dev/null; then
  echo
  echo "callgrind, instructions per call:"
  ir() {  # ir PATH N [valgrind options...]: the program's total
    local path=$1 n=$2; shift 2
    valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" "$@" "$py" benchmarks/cg_probe.py "$path" "$n" \
      >/dev/null 2>&1
    awk '/^(summary|totals):/ {print $2; exit}' "$out/cg.out"
  }
  # Queries: the difference of 2,000 and 12,000 calls, so start-up cancels out.
  for path in query query_ideal; do
    a=$(ir "$path" 2000); b=$(ir "$path" 12000)
    printf '  %-14s %8d\n' "$path" $(( (b - a) / 10000 ))
  done
  # Events: only what runs inside vyi_run(), over 10,000 queued events.
  for path in event64 event64_floor; do
    printf '  %-14s %8d\n' "$path" $(( $(ir "$path" 10000 --toggle-collect=vyi_run) / 10000 ))
  done
  rm -f "$out/cg.out"
fi

echo
echo "recording a session: what the recording library adds per query and per event"
CSDK_PKG="$pkg" "$py" benchmarks/bench_recorder.py
