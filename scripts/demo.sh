#!/usr/bin/env bash
# The main job: builds the module with its stand-in library and runs the demo
# strategy against it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" --main-job
"$root/scripts/build.sh" deb /usr/bin/python3 -DCSDK_TESTS=OFF >/dev/null
PYTHONPATH="$root/build/deb/pkg:$root/standin" exec /usr/bin/python3 "$root/examples/demo.py" "$@"
