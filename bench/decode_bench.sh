#!/usr/bin/env bash
# Decode speed of `corvane-sfx test` beside `7zz t`, per method, over a
# corpus of this machine's own files (C headers and documentation, programs,
# compressed and binary data), archived with the independent jlha encoder.
#
#   bench/decode_bench.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR defaults to build (it must hold host/corvane-sfx); RUNS (default
# 3) is how often each archive is decoded, the fastest run counting. The
# corpus list and its archives are cached in BUILD_DIR/bench; delete that
# folder to start over. Packing takes a few minutes the first time: jlha is
# slow, and it is run once per method.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-3}
sfx=$build/host/corvane-sfx
work=$build/bench
jar=/usr/share/java/jlha.jar
methods=(lh0 lh1 lh4 lh5 lh6 lzs lz5 lz4)
# What 7-Zip decodes (found by trying); the others get no peer figure.
peer_methods=" lh0 lh4 lh5 lh6 lz4 "

[[ -x $sfx ]] || { echo "no $sfx: build first" >&2; exit 1; }
[[ -r $jar ]] || { echo "no $jar (package libjlha-java)" >&2; exit 1; }
command -v javac >/dev/null || { echo "no javac (package default-jdk-headless)" >&2; exit 1; }
sevenzip=$(command -v 7zz || true)
mkdir -p "$work/classes"

# ---- the corpus: a fixed list of files, chosen the same way every time ----

source "$(dirname "$0")/pick.sh"

list=$work/corpus.list
choose_corpus "$list"
corpus_bytes=$(tr '\n' '\0' < "$list" | xargs -0 stat -c %s | awk '{ s += $1 } END { print s }')
corpus_files=$(wc -l < "$list")
mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
echo "corpus: $corpus_files files, $(mb "$corpus_bytes") MB (list: $list)" >&2

# ---- one archive per method, written by jlha once and kept ----

if [[ ! -f $work/classes/PackCorpus.class || $root/bench/PackCorpus.java -nt $work/classes/PackCorpus.class ]]; then
  javac -Xlint:all -Werror -encoding UTF-8 -cp "$jar" -d "$work/classes" "$root/bench/PackCorpus.java"
fi
for m in "${methods[@]}"; do
  archive=$work/corpus-$m.lzh
  if [[ ! -f $archive || $list -nt $archive ]]; then
    echo "packing $m with jlha..." >&2
    start=$(date +%s)
    java -Xmx2g -cp "$jar:$work/classes" PackCorpus "$list" "$m" "$archive"
    echo "  $(mb "$(stat -c %s "$archive")") MB in $(( $(date +%s) - start )) s" >&2
  fi
done

# ---- timing ----

# One run of the given command (output dropped): "wall-seconds cpu-seconds".
# CPU time (user and system) is the steadier figure on a machine that
# others use at the same time.
timed() {
  local t
  t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1 ) || true
  awk -v t="$t" 'BEGIN { split(t, f, " "); printf "%.3f %.3f\n", f[1], f[2] + f[3] }'
}

# "wall cpu" of the best so far ($1, may be empty) and a new run ($2): the
# smaller of each.
best() {
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a == "") { print b; exit }
    split(a, x, " "); split(b, y, " ")
    printf "%.3f %.3f\n", (y[1] < x[1] ? y[1] : x[1]), (y[2] < x[2] ? y[2] : x[2]) }'
}

rate() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f", b / 1048576 / s; else printf "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else printf "-" }'; }

printf '%-6s %7s %7s | %-21s | %-21s | %s\n' method "out MB" "packed" \
  "MB/s wall: ours 7-Zip" "MB/s CPU: ours 7-Zip" "ours/7-Zip: wall CPU  notes"
for m in "${methods[@]}"; do
  archive=$work/corpus-$m.lzh
  packed=$(stat -c %s "$archive")
  # One checked run first: its verdict goes into the notes.
  check=$("$sfx" test "$archive" 2>/dev/null | tail -n 1 || true)
  peer=
  if [[ -n $sevenzip && $peer_methods == *" $m "* ]]; then
    peer=failed
    "$sevenzip" t -bd "$archive" > /dev/null 2>&1 && peer=ok
  fi
  # Our runs and 7-Zip's alternate, so that both meet the same neighbours.
  ours="" theirs=""
  for ((i = 0; i < runs; i++)); do
    ours=$(best "$ours" "$(timed "$sfx" test "$archive")")
    if [[ $peer == ok ]]; then
      theirs=$(best "$theirs" "$(timed "$sevenzip" t -bd "$archive")")
    fi
  done
  read -r ours_wall ours_cpu <<< "$ours"
  ours_wall=$(rate "$corpus_bytes" "$ours_wall")
  ours_cpu=$(rate "$corpus_bytes" "$ours_cpu")
  peer_wall=- peer_cpu=- ratio_wall=- ratio_cpu=-
  if [[ $peer == failed ]]; then
    peer_wall=failed peer_cpu=failed
  elif [[ $peer == ok ]]; then
    read -r peer_wall peer_cpu <<< "$theirs"
    peer_wall=$(rate "$corpus_bytes" "$peer_wall")
    peer_cpu=$(rate "$corpus_bytes" "$peer_cpu")
    ratio_wall=$(ratio "$ours_wall" "$peer_wall")
    ratio_cpu=$(ratio "$ours_cpu" "$peer_cpu")
  fi
  printf '%-6s %7s %7s | %10s %10s | %10s %10s | %6s %6s  %s\n' "$m" "$(mb "$corpus_bytes")" \
    "$(mb "$packed")" "$ours_wall" "$peer_wall" "$ours_cpu" "$peer_cpu" "$ratio_wall" "$ratio_cpu" "$check"
done
echo "MB/s: output bytes per second; ratio: our speed / 7-Zip's; notes: corvane-sfx test's verdict; fastest of $runs runs each, ours and 7-Zip's taking turns" >&2
