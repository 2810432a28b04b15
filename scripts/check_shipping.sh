#!/usr/bin/env bash
# Shipping checks, one line each: cmake --install with its components into a
# temporary prefix, wheels built from a clean clone of the committed tree on
# Debian's python3 and on one pyenv interpreter (CSDK_PYENV_PYTHON picks it),
# each installed into a fresh venv and smoke-tested, stubtest against the
# installed module, and mypy on the typed examples.
#   scripts/check_shipping.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
CSDK_SHIPPING=1 exec nice /usr/bin/python3 -m pytest -p no:cacheprovider --noconftest -v --no-header \
  -o console_output_style=classic --durations=8 tests/test_shipping.py
