#!/usr/bin/env bash
# The tool as users get it, installed into a prefix and from the Debian
# package: each binary makes, lists, tests and extracts a tree. Also
# --version and reproducible output.   usage: install_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d /tmp/corvane-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

mkdir -p "$work/tree/docs"
printf 'read me\r\n' >"$work/tree/docs/README.TXT"
head -c 200000 /dev/urandom | base64 >"$work/tree/data.txt"

# round_trip SFX NAME STUB: the extracted tree matches, STUB serves as --stub.
round_trip() {
  local sfx=$1 out=$work/out-$2
  mkdir -p "$out"
  "$sfx" make -o "$out/a.exe" "$work/tree/" >/dev/null
  grep -q ' docs/README.TXT$' <<<"$("$sfx" list "$out/a.exe")" || fail "$2: list"
  grep -qx '2 members ok, 0 failed' <<<"$("$sfx" test "$out/a.exe")" || fail "$2: test"
  "$sfx" extract -y -d "$out/x" "$out/a.exe" </dev/null >/dev/null 2>&1 || fail "$2: extract"
  diff -r "$work/tree" "$out/x" || fail "$2: extracted tree differs"
  "$sfx" make --stub "$3" -o "$out/b.exe" "$work/tree/" >/dev/null || fail "$2: --stub"
}

prefix=$work/prefix sfx=$work/prefix/bin/corvane-sfx
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/corvane-sfx share/corvane-sfx/win{32,64}/corvane-stub.exe share/man/man1/corvane-sfx.1.gz; do
  [[ -f $prefix/$f ]] || fail "not installed: $f"
done
round_trip "$sfx" prefix "$prefix/share/corvane-sfx/win64/corvane-stub.exe"
grep -qx "corvane-sfx $version" <<<"$("$sfx" --version)" || fail "--version"
grep -qE '^built-in stub: i686, [0-9]+ bytes sealed$' <<<"$("$sfx" -V)" || fail "-V"

# A tree copied at two times: equal outputs with SOURCE_DATE_EPOCH, not
# without; --mtime wins over it.
for month in 01 06; do
  cp -r "$work/tree" "$work/$month" && touch -d "2026-$month-01 10:00" "$work/$month"{,/*,/*/*}
  SOURCE_DATE_EPOCH=1700000000 "$sfx" make -o "$work/$month.exe" "$work/$month/" >/dev/null
  "$sfx" make -o "$work/$month-plain.exe" "$work/$month/" >/dev/null
done
cmp -s "$work/01.exe" "$work/06.exe" || fail "SOURCE_DATE_EPOCH: builds differ"
! cmp -s "$work/01-plain.exe" "$work/06-plain.exe" || fail "without SOURCE_DATE_EPOCH the times should differ"
SOURCE_DATE_EPOCH=1700000000 "$sfx" make --mtime 1600000000 -o "$work/m.exe" "$work/06/" >/dev/null
"$sfx" make --mtime 1600000000 -o "$work/m2.exe" "$work/01/" >/dev/null
cmp -s "$work/m.exe" "$work/m2.exe" || fail "--mtime does not win over SOURCE_DATE_EPOCH"
grep -q 'SOURCE_DATE_EPOCH expects' <<<"$(SOURCE_DATE_EPOCH=soon "$sfx" make -o "$work/x.exe" "$work/tree" 2>&1)" \
  || fail "bad SOURCE_DATE_EPOCH accepted"

# The Debian package: control fields, lintian, the tool from a scratch root.
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
deb=$(echo "$work"/deb/corvane-sfx_*.deb)
info=$(dpkg-deb -I "$deb")
grep -qx " Version: $version" <<<"$info" || fail "deb version"
grep -qx " Suggests: wine" <<<"$info" || fail "deb suggests"
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
# The C and C++ runtimes only (libstdc++6 needs libgcc-s1 itself).
[[ -n $depends && -z $(tr ',' '\n' <<<"$depends" | grep -vE '^ *(libc6|libgcc-s1|libstdc\+\+6) ') ]] \
  || fail "deb depends on more than the C and C++ runtimes: $depends"
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian"
dpkg -x "$deb" "$work/root"
round_trip "$work/root/usr/bin/corvane-sfx" deb "$work/root/usr/share/corvane-sfx/win32/corvane-stub.exe"
echo "install, package, version and SOURCE_DATE_EPOCH: ok"
