#!/usr/bin/env bash
# tests/fuzz/run.sh [SECONDS_PER_TARGET (60)] [TARGET...]: libFuzzer with
# ASan and UBSan in build-fuzz/. Crashes, hangs and OOMs move to
# tests/fuzz/regressions/TARGET (replayed by CTest) and fail the script.
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
  echo "fuzz_$t: $(grep -m1 number_of_executed_units "$log" || true) (exit $rc, log $log)"
  for a in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
    [ -e "$a" ] || continue
    mv -v "$a" "tests/fuzz/regressions/$t/" && rc=1
  done
  if [ $rc -ne 0 ]; then
    grep -m1 -A25 "ERROR\|fuzz: \|SUMMARY" "$log" || tail -30 "$log"
    status=1
  fi
done
exit $status
