#!/usr/bin/env bash
# Builds the stand-in library and the module for one interpreter:
#   scripts/build.sh NAME PYTHON [cmake options...]
# into build/NAME, with the importable tree in build/NAME/pkg.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=$1; python=$2; shift 2
# A compiler cache, where installed, shares the objects that do not depend on
# the interpreter (the stand-in and recording libraries) between builds.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$root/build/$name" -DPython_EXECUTABLE="$python" "${launcher[@]}" "$@" >/dev/null
cmake --build "$root/build/$name" -j"$(nproc)"
