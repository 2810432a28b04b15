#!/usr/bin/env bash
# Builds the stand-in library and the module for one interpreter:
#   scripts/build.sh NAME PYTHON [cmake options...]
# into build/NAME, with the importable tree in build/NAME/pkg.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=$1; python=$2; shift 2
cmake -S "$root" -B "$root/build/$name" -DPython_EXECUTABLE="$python" "$@" >/dev/null
cmake --build "$root/build/$name" -j"$(nproc)"
