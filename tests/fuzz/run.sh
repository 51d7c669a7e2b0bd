#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) into
# build-fuzz/ and runs each for a bounded time:
#   tests/fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]     (default 60; all)
# Corpora grow in build-fuzz/corpus/TARGET from seeds made of the jlha test
# archives. An input that crashes, hangs or runs out of memory moves to
# tests/fuzz/regressions/TARGET, which CTest replays (fuzz_replay_TARGET),
# and the script exits with 1.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
targets=("$@")
[ $# -gt 0 ] || targets=(header decode extract)
build=$PWD/build-fuzz  # absolute: the whole-run target changes directory
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVANE_FUZZ=ON -DCORVANE_SANITIZE=ON -DCORVANE_STUBS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" make_fuzz_seeds testdata
"$build/host/make_fuzz_seeds" "$build/testdata" "$build/fuzz-seeds" >/dev/null
status=0
for t in "${targets[@]}"; do
  artifacts=$build/artifacts/$t log=$build/fuzz-$t.log rc=0
  mkdir -p "$build/corpus/$t" "$artifacts" "tests/fuzz/regressions/$t"
  cp -n "$build/fuzz-seeds/$t"/* "$build/corpus/$t"/ 2>/dev/null || true
  # -close_fd_mask=3 quiets the extractor's console; libFuzzer reports on a copy of stderr.
  TZ=Europe/Berlin "$build/host/fuzz_$t" "$build/corpus/$t" -max_total_time="$seconds" -timeout=20 \
    -rss_limit_mb=2048 -max_len=70000 -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz_$t: ${runs:-?} executions in $seconds s (exit $rc, log $log)"
  for a in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
    [ -e "$a" ] || continue
    mv "$a" "tests/fuzz/regressions/$t/" && echo "  new regression input: tests/fuzz/regressions/$t/$(basename "$a")"
    rc=1
  done
  if [ $rc -ne 0 ]; then
    grep -m1 -A25 "ERROR\|fuzz: \|SUMMARY" "$log" || tail -30 "$log"
    status=1
  fi
done
exit $status
