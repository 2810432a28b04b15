#!/usr/bin/env bash
# Prints a folder that holds Debian's pytest and hypothesis (pure Python) and
# their dependencies, to put on PYTHONPATH of an interpreter that has none:
# only these packages, not all of dist-packages with its compiled modules.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
src=/usr/lib/python3/dist-packages
dest="$root/build/testpath"
mkdir -p "$dest"
for pattern in pytest _pytest py py.py pluggy iniconfig packaging attr attrs hypothesis \
    _hypothesis_pytestplugin.py _hypothesis_ftz_detector.py sortedcontainers exceptiongroup tomli; do
  for path in "$src/$pattern" "$src/$pattern"-*.dist-info "$src/$pattern"-*.egg-info; do
    [ -e "$path" ] && ln -sfn "$path" "$dest/$(basename "$path")"
  done
done
echo "$dest"
