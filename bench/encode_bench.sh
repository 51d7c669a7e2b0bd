#!/usr/bin/env bash
# Packing size and speed of `corvane-sfx make --archive-only`, by default
# and with --best, beside the independent jlha encoder, for -lh5- and -lh6-, over one tar file of this
# machine's own files (C headers, documentation, programs, time zone data).
# Both tools pack the same single file, so the figures compare the packers
# and not the file walking; jlha's time includes the start of its Java VM, as
# a user of it sees it.
#
#   bench/encode_bench.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR defaults to build (it must hold host/corvane-sfx); RUNS (default
# 3) is how often each tool packs each method, the fastest run counting.
# The corpus is cached in BUILD_DIR/bench (the decode benchmark's file list
# is used when it is there); delete BUILD_DIR/bench/encode to start over.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-3}
sfx=$build/host/corvane-sfx
work=$build/bench/encode

[[ -x $sfx ]] || { echo "no $sfx: build first" >&2; exit 1; }
command -v jlha >/dev/null || { echo "no jlha (package jlha-utils)" >&2; exit 1; }
sevenzip=$(command -v 7zz || true)
mkdir -p "$work"

# ---- the corpus: a fixed list of files, in one tar file ----

source "$(dirname "$0")/pick.sh"

# The decode benchmark's corpus where it has chosen one already.
list=$build/bench/corpus.list
[[ -s $list ]] || { list=$work/corpus.list; choose_corpus "$list"; }
corpus=$work/corpus.tar
if [[ ! -f $corpus || $list -nt $corpus ]]; then
  echo "writing $corpus..." >&2
  tar --create --file "$corpus.tmp" --sort=name --mtime=@1600000000 --owner=0 --group=0 \
    --numeric-owner --no-recursion --verbatim-files-from --files-from "$list" 2>/dev/null
  mv "$corpus.tmp" "$corpus"
fi
corpus_bytes=$(stat -c %s "$corpus")
mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
echo "corpus: $(wc -l < "$list") files in one tar file of $(mb "$corpus_bytes") MB" >&2

# ---- timing ----

# The fastest of `runs` runs of the command: "wall-seconds cpu-seconds", the
# smallest of each. CPU time (user and system, all threads) is the steadier
# figure on a machine that others use at the same time.
fastest() {
  local best_wall="" best_cpu="" t
  for ((i = 0; i < runs; i++)); do
    t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 )
    read -r best_wall best_cpu < <(awk -v t="$t" -v w="$best_wall" -v c="$best_cpu" 'BEGIN {
      split(t, f, " "); cpu = f[2] + f[3]
      if (w == "" || f[1] < w) w = f[1]
      if (c == "" || cpu < c) c = cpu
      printf "%.3f %.3f\n", w, c }')
  done
  echo "$best_wall $best_cpu"
}

# One row per packer: size, its ratio to jlha's, speed in MB of input per
# second of wall-clock and of CPU time, and the time over jlha's.
printf '%-6s %-12s %8s %9s | %9s %9s | %9s %9s\n' method packer "size MB" "/ jlha" "MB/s wall" \
  "MB/s CPU" "wall/jlha" "CPU/jlha"
row() { # method packer bytes wall cpu jlha-bytes jlha-wall jlha-cpu
  awk -v m="$1" -v p="$2" -v b="$3" -v w="$4" -v c="$5" -v jb="$6" -v jw="$7" -v jc="$8" \
      -v in_b="$corpus_bytes" 'BEGIN {
    M = 1048576; mb = in_b / M
    printf "%-6s %-12s %8.2f %9.4f | %9.1f %9.1f | %9.2f %9.2f\n", m, p, b / M, b / jb, mb / w,
           mb / c, w / jw, c / jc }'
}
check() {
  "$sfx" test "$1" >/dev/null || { echo "corvane-sfx test fails on $1" >&2; exit 1; }
  if [[ -n $sevenzip ]]; then
    "$sevenzip" t "$1" >/dev/null || { echo "7zz t fails on $1" >&2; exit 1; }
  fi
}
for m in 5 6; do
  ours=$work/ours-lh$m.lzh
  best=$work/best-lh$m.lzh
  theirs=$work/jlha-lh$m.lzh
  read -r ours_wall ours_cpu < <(fastest "$sfx" make --archive-only "$ours" --method "lh$m" \
    --mtime 1600000000 "$corpus")
  read -r best_wall best_cpu < <(fastest "$sfx" make --archive-only "$best" --method "lh$m" \
    --best --mtime 1600000000 "$corpus")
  # jlha adds to an archive that exists: start from none each time.
  read -r jlha_wall jlha_cpu < <(fastest sh -c "rm -f '$theirs' && cd '$work' && jlha co$m '$theirs' corpus.tar")
  check "$ours"
  check "$best"
  j=$(stat -c %s "$theirs")
  row "-lh$m-" jlha "$j" "$jlha_wall" "$jlha_cpu" "$j" "$jlha_wall" "$jlha_cpu"
  row "-lh$m-" ours "$(stat -c %s "$ours")" "$ours_wall" "$ours_cpu" "$j" "$jlha_wall" "$jlha_cpu"
  row "-lh$m-" "ours --best" "$(stat -c %s "$best")" "$best_wall" "$best_cpu" "$j" "$jlha_wall" \
    "$jlha_cpu"
done
echo "(/ jlha below 1: smaller than jlha's; wall/jlha below 1: faster than jlha)" >&2
