#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UBSan)
# into build-fuzz/ and runs each for a bounded time:
#
#   tests/fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]     (default 60; all)
#
# The corpus of each target grows in build-fuzz/corpus/TARGET, starting
# from seeds made from the jlha test archives. Any input that crashes,
# hangs or runs out of memory is copied into tests/fuzz/regressions/TARGET,
# which every ordinary build replays in CTest (fuzz_replay_TARGET); the
# script then exits with 1.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(header decode extract)

# Absolute: the whole-run target changes the current directory, and
# libFuzzer writes new corpus entries and findings relative to it.
build=$PWD/build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVANE_FUZZ=ON -DCORVANE_SANITIZE=ON -DCORVANE_STUBS=OFF >/dev/null
fuzzers=()
for t in "${targets[@]}"; do fuzzers+=("fuzz_$t"); done
cmake --build "$build" -j2 --target "${fuzzers[@]}" make_fuzz_seeds testdata
"$build/host/make_fuzz_seeds" "$build/testdata" "$build/fuzz-seeds" >/dev/null

status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts" "tests/fuzz/regressions/$t"
  cp -n "$build/fuzz-seeds/$t"/* "$corpus"/ 2>/dev/null || true
  log="$build/fuzz-$t.log"
  # -close_fd_mask=3: the extractor's console (message boxes, progress)
  # stays quiet; libFuzzer keeps its own report on a copy of stderr.
  set +e
  TZ=Europe/Berlin "$build/host/fuzz_$t" "$corpus" -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=2048 -max_len=70000 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz_$t: ${runs:-?} executions in ${seconds} s (exit $rc, log $log)"
  found=0
  for a in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
    [ -e "$a" ] || continue
    cp "$a" "tests/fuzz/regressions/$t/"
    echo "  new regression input: tests/fuzz/regressions/$t/$(basename "$a")"
    rm -f "$a"
    found=1
  done
  if [ $rc -ne 0 ] || [ $found -ne 0 ]; then
    grep -m1 -A25 "ERROR\|fuzz: \|SUMMARY" "$log" || tail -30 "$log"
    status=1
  fi
done
exit $status
