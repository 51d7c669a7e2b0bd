#!/usr/bin/env bash
# Packing size and speed of `corvane-sfx make --archive-only` beside the
# independent jlha encoder, for -lh5- and -lh6-, over one tar file of this
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

# Up to QUOTA bytes of regular files under DIR matching the find tests given,
# in name order, skipping single files above 8 MB and unreadable ones.
pick() {
  local quota=$1 dir=$2
  shift 2
  find "$dir" -type f "$@" -size -8M -readable -printf '%s\t%p\n' 2>/dev/null |
    LC_ALL=C sort -t$'\t' -k2 |
    awk -F'\t' -v quota="$quota" 'total + $1 <= quota { total += $1; print $2 }'
}

list=$build/bench/corpus.list
if [[ ! -s $list ]]; then
  list=$work/corpus.list
  if [[ ! -s $list ]]; then
    echo "choosing the corpus..." >&2
    MB=$((1024 * 1024))
    {
      pick $((24 * MB)) /usr/include \( -name '*.h' -o -name '*.hpp' -o -name '*.def' -o -name '*.inc' \)
      pick $((8 * MB)) /usr/share/doc -not -name '*.gz'
      pick $((3 * MB)) /usr/share/doc -name '*.gz'
      pick $((18 * MB)) /usr/bin
      pick $((3 * MB)) /usr/share/zoneinfo
    } > "$list.tmp"
    mv "$list.tmp" "$list"
  fi
fi
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

now() { date +%s.%N; }
# The fastest of `runs` runs of the command, in seconds.
fastest() {
  local best="" start end
  for ((i = 0; i < runs; i++)); do
    start=$(now)
    "$@" >/dev/null 2>&1
    end=$(now)
    best=$(awk -v a="$start" -v b="$end" -v best="$best" \
      'BEGIN { t = b - a; if (best == "" || t < best) best = t; printf "%.3f", best }')
  done
  echo "$best"
}

printf '%-6s %9s %9s %9s %10s %10s %10s %8s\n' method "in MB" "ours MB" "jlha MB" "size o/j" \
  "ours MB/s" "jlha MB/s" "speed"
for m in 5 6; do
  ours=$work/ours-lh$m.lzh
  theirs=$work/jlha-lh$m.lzh
  ours_time=$(fastest "$sfx" make --archive-only "$ours" --method "lh$m" --mtime 1600000000 "$corpus")
  # jlha adds to an archive that exists: start from none each time.
  jlha_time=$(fastest sh -c "rm -f '$theirs' && cd '$work' && jlha co$m '$theirs' corpus.tar")
  "$sfx" test "$ours" >/dev/null || { echo "corvane-sfx test fails on $ours" >&2; exit 1; }
  if [[ -n $sevenzip ]]; then
    "$sevenzip" t "$ours" >/dev/null || { echo "7zz t fails on $ours" >&2; exit 1; }
  fi
  ours_bytes=$(stat -c %s "$ours")
  jlha_bytes=$(stat -c %s "$theirs")
  awk -v m="-lh$m-" -v in_b="$corpus_bytes" -v o="$ours_bytes" -v j="$jlha_bytes" \
      -v ot="$ours_time" -v jt="$jlha_time" 'BEGIN {
    M = 1048576
    printf "%-6s %9.1f %9.2f %9.2f %10.4f %10.1f %10.1f %7.1fx\n", m, in_b / M, o / M, j / M,
           o / j, in_b / M / ot, in_b / M / jt, jt / ot
  }'
done
echo "(size o/j below 1: ours is smaller; speed: how many times faster ours packs)" >&2
