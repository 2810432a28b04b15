#!/usr/bin/env bash
# Runs a pytest selection with ThreadSanitizer: the module and the stand-in
# built with -fsanitize=thread (build/tsan) for the TSan build of the
# free-threaded CPython 3.13 (scripts/tsan_python.sh), the GIL kept off.
#   scripts/tsan.sh [pytest arguments...]
# The default selection is tests/test_threads.py (tests/test_event_bridge.py
# where it does not exist yet). Any report fails the run: each process stops
# at its first one and leaves it in build/tsan-reports/, printed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh
python=$(scripts/tsan_python.sh)
scripts/build.sh tsan "$python" -DCSDK_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCSDK_SANITIZE=thread

selection=("$@")
if [ ${#selection[@]} -eq 0 ]; then
  selection=(tests/test_threads.py)
  [ -e tests/test_threads.py ] || selection=(tests/test_event_bridge.py)
fi
reports=$root/build/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
# TSan maps its shadow memory at fixed places, which the widest address
# randomisation can collide with; such a kernel gets the run without it.
launcher=()
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ]; then
  launcher=(setarch "$(uname -m)" -R)
fi
status=0
env CSDK_PKG="$root/build/tsan/pkg" PYTHONPATH="$(scripts/testpath.sh)" PYTHON_GIL=0 \
  PYTHONWARNINGS="ignore::DeprecationWarning:_pytest.assertion.rewrite" \
  TSAN_OPTIONS="suppressions=$(dirname "$python")/../share/tsan/suppressions_free_threading.txt halt_on_error=1 log_path=$reports/report" \
  "${launcher[@]}" "$python" -m pytest -q -p no:cacheprovider "${selection[@]}" || status=$?
if compgen -G "$reports/report.*" >/dev/null; then
  cat "$reports"/report.*
  echo "ThreadSanitizer reported: $(ls "$reports"/report.* | wc -l) process(es), reports in $reports" >&2
  exit 1
fi
exit "$status"
