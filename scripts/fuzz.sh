#!/usr/bin/env bash
# Runs the property-based tests for a while with fresh random examples:
#   scripts/fuzz.sh MINUTES [BUILD]
# BUILD is a build name under build/ (default: deb; built when missing).
# Every failure leaves a reproducer in build/fuzz-findings/: the run's log (with
# hypothesis's falsifying example and its @reproduce_failure blob), the call
# being made when the process died (for crashes), and the example database in
# build/fuzz-findings/db, which the next run replays first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:?usage: scripts/fuzz.sh MINUTES [BUILD]}
build=${2:-deb}
python=/usr/bin/python3
case "$build" in dbg*) python=/usr/bin/python3.11-dbg ;; esac
[ -d "$root/build/$build/pkg" ] || "$root/scripts/build.sh" "$build" "$python" -DCSDK_TESTS=OFF

out="$root/build/fuzz-findings"
mkdir -p "$out/db"
deadline=$(( $(date +%s) + minutes * 60 ))
run=0 failures=0
while [ "$(date +%s)" -lt "$deadline" ]; do
  run=$((run + 1))
  log="$out/run-$run.log" last="$out/last-call-$run.txt"
  status=0
  CSDK_PROPERTIES=fuzz CSDK_PROPERTY_EXAMPLES=${CSDK_PROPERTY_EXAMPLES:-200} CSDK_FUZZ_DB="$out/db" \
    CSDK_FUZZ_LAST="$last" CSDK_PKG="$root/build/$build/pkg" \
    "$python" -m pytest -q -p no:cacheprovider "$root/tests/test_properties.py" >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    rm -f "$log" "$last"
  else
    failures=$((failures + 1))
    dir="$out/failure-$run"
    mkdir -p "$dir"
    mv "$log" "$dir/log.txt"
    [ -f "$last" ] && mv "$last" "$dir/last-call.txt"
    echo "run $run failed (exit $status): reproducer in $dir"
    grep -E "^E |Falsifying|reproduce_failure" "$dir/log.txt" | head -20 || true
  fi
done
echo "$run runs, $failures failing; findings in $out"
[ "$failures" -eq 0 ]
