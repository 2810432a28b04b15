#!/usr/bin/env bash
# Fuzzing, for as long as it is given:
#   scripts/fuzz.sh MINUTES [BUILD]      property tests and the recordings' readers, sharing the minutes
#   scripts/fuzz.sh --readers SECONDS    only the readers' libFuzzer targets, SECONDS each (the test
#                                        command's smoke run)
# BUILD is a build name under build/ (default: deb; built when missing).
#
# Property tests: every failure leaves a reproducer in build/fuzz-findings/:
# the run's log (with hypothesis's falsifying example and its
# @reproduce_failure blob), the call being made when the process died (for
# crashes), and the example database in build/fuzz-findings/db, which the next
# run replays first.
#
# Readers: the stand-in's event file and call file readers, each a libFuzzer
# target built with clang and the address and undefined-behaviour sanitizers
# (build/fuzz). Their corpora grow in build/fuzz/corpus-*, starting from the
# recordings the tests made (build/BUILD/fuzz-seeds) and the example
# sessions; a crash, hang or leak leaves its input in
# build/fuzz-findings/readers/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build_readers() {
  cmake -S "$root/standin/fuzz" -B "$root/build/fuzz" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
  nice cmake --build "$root/build/fuzz" -j"$(nproc)" >/dev/null
}

# run_reader events|calls SECONDS BUILD: one target; non-zero on a finding.
run_reader() {
  local kind=$1 seconds=$2 build=$3
  local corpus="$root/build/fuzz/corpus-$kind" seeds="$root/build/fuzz/seeds-$kind"
  local findings="$root/build/fuzz-findings/readers"
  mkdir -p "$corpus" "$seeds" "$findings"
  # Seeds: the tests' recordings and the example sessions, read-only.
  [ -d "$root/build/$build/fuzz-seeds/$kind" ] && cp -f "$root/build/$build/fuzz-seeds/$kind"/* "$seeds"/ 2>/dev/null || true
  case "$kind" in
    events) cp -f "$root/examples/session.events" "$root"/examples/replay/sessions/*.events "$seeds"/ ;;
    calls) cp -f "$root"/examples/replay/sessions/*.calls "$seeds"/ ;;
  esac
  local log="$root/build/fuzz/last-$kind.log" status=0
  nice "$root/build/fuzz/fuzz_${kind%s}_file" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -dict="$root/standin/fuzz/${kind%s}_file.dict" -artifact_prefix="$findings/$kind-" \
    -print_final_stats=1 "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "fuzz target of the $kind reader failed (exit $status); input in $findings, log $log"
    grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -10 || true
    return 1
  fi
  echo "fuzz target of the $kind reader: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') inputs in ${seconds} s, no finding"
}

if [ "${1:-}" = "--readers" ]; then
  seconds=${2:?usage: scripts/fuzz.sh --readers SECONDS}
  build_readers
  failed=0
  run_reader events "$seconds" deb || failed=1
  run_reader calls "$seconds" deb || failed=1
  exit "$failed"
fi

minutes=${1:?usage: scripts/fuzz.sh MINUTES [BUILD] | --readers SECONDS}
build=${2:-deb}
python=/usr/bin/python3
case "$build" in dbg*) python=/usr/bin/python3.11-dbg ;; esac
[ -d "$root/build/$build/pkg" ] || "$root/scripts/build.sh" "$build" "$python" -DCSDK_TESTS=OFF

out="$root/build/fuzz-findings"
mkdir -p "$out/db"
# A quarter of the time for each reader, the rest for the property tests.
reader_seconds=$(( minutes * 15 ))
build_readers
reader_failures=0
run_reader events "$reader_seconds" "$build" || reader_failures=$((reader_failures + 1))
run_reader calls "$reader_seconds" "$build" || reader_failures=$((reader_failures + 1))

deadline=$(( $(date +%s) + minutes * 60 - 2 * reader_seconds ))
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
echo "$run property runs, $failures failing; $reader_failures reader target(s) with findings; findings in $out"
[ "$failures" -eq 0 ] && [ "$reader_failures" -eq 0 ]
