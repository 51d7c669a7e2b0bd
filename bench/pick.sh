# Sourced by the benchmarks: how their corpus is chosen, the same way every
# time. pick QUOTA DIR [find tests...] prints up to QUOTA bytes of regular
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
