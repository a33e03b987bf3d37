#!/usr/bin/env bash
# Runs fuzz targets one after the other for a set time each:
#   fuzz/run.sh SECONDS [TARGET...]        (default: every target)
# Builds nothing (the Makefile's fuzz targets build first). New inputs go to
# build/fuzz/corpus/<target>; the committed seeds and regression inputs in
# fuzz/corpus/<target> are read, never written. A crash, leak, time-out or failed check
# leaves its input in build/fuzz/artifacts/ and makes this script fail. Each target must
# run as root: it enters private network and mount namespaces of its own.
set -uo pipefail

cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_client_stream fuzz_datagram fuzz_splitters fuzz_registration)

# Scratch directories of runs that ended without their exit handler (a crash): empty,
# named after their process.
sweep_scratch() {
  for dir in /tmp/zv-fuzz-*-*; do
    [ -d "$dir" ] || continue
    pid=${dir##*-}
    [[ $pid =~ ^[0-9]+$ ]] && [ ! -d "/proc/$pid" ] && rmdir "$dir" 2>/dev/null
  done
  return 0
}

status=0
for t in "${targets[@]}"; do
  bin=build/fuzz/fuzz/$t
  [ -x "$bin" ] || { echo "fuzz: $bin is missing (make fuzz-build)" >&2; exit 2; }
  mkdir -p "build/fuzz/corpus/$t" build/fuzz/artifacts build/fuzz/logs
  log=build/fuzz/logs/$t.log
  echo "fuzz: $t for ${seconds}s (log: $log)"
  "$bin" -max_total_time="$seconds" -timeout=10 -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$t-" "build/fuzz/corpus/$t" "fuzz/corpus/$t" \
    >"$log" 2>&1
  rc=$?
  sweep_scratch
  if [ $rc -ne 0 ]; then
    echo "fuzz: $t FAILED (status $rc); the input is in build/fuzz/artifacts/:" >&2
    grep -E "ERROR|fuzz check failed|SUMMARY|Test unit written" "$log" | head -20 >&2
    status=1
  else
    grep -E "^stat::number_of_executed_units|^#[0-9]+[[:space:]]+DONE" "$log" | tr '\n' ' '
    echo
  fi
done
exit $status
