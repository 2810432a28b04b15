#!/usr/bin/env bash
# Shipping checks, one line each: scripts/wheels.sh for every interpreter
# found, each wheel's files and tags against its binaries, the three wheels in
# a fresh venv of every interpreter (the demo run from outside the tree), the
# wheels over a host package, the install components, the source
# distribution rebuilt offline, stubtest, and the typed examples and the demo
# under mypy and pyright (which scripts/deps.sh installs).
#   scripts/check_shipping.sh [pytest options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh
CSDK_SHIPPING=1 exec nice /usr/bin/python3 -m pytest -p no:cacheprovider --noconftest -v --no-header \
  -o console_output_style=classic --durations=8 tests/test_shipping.py "$@"
