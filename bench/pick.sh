# Sourced by the benchmarks: how their corpus is chosen, the same way every
# time. choose_corpus LIST writes the list of files to LIST unless it is
# there already. pick QUOTA DIR [find tests...] prints up to QUOTA bytes of regular
# files under DIR, in name order, skipping single files above 8 MB,
# unreadable ones, and names too long for an archive header.
pick() {
  local quota=$1 dir=$2
  shift 2
  find "$dir" -type f "$@" -size -8M -readable -printf '%s\t%p\n' 2>/dev/null |
    LC_ALL=C sort -t$'\t' -k2 |
    awk -F'\t' -v quota="$quota" '
      length($2) > 1000 { next }
      { n = split($2, part, "/"); if (length(part[n]) > 200) next }
      total + $1 <= quota { total += $1; print $2 }'
}

choose_corpus() {
  local list=$1 MB=$((1024 * 1024))
  [[ -s $list ]] && return
  echo "choosing the corpus..." >&2
  {
    pick $((24 * MB)) /usr/include \( -name '*.h' -o -name '*.hpp' -o -name '*.def' -o -name '*.inc' \)
    pick $((8 * MB)) /usr/share/doc -not -name '*.gz'
    pick $((3 * MB)) /usr/share/doc -name '*.gz'
    pick $((18 * MB)) /usr/bin
    pick $((3 * MB)) /usr/share/zoneinfo
  } > "$list.tmp"
  mv "$list.tmp" "$list"
}
