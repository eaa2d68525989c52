#!/usr/bin/env bash
# Installs the tool into a scratch prefix and runs the installed copy; checks
# that the manual page renders without warnings; builds the Debian package,
# checks it with lintian and lists what is in it; given the Windows build
# tree, builds the Windows zip and checks what a Windows user finds in it.
#   install_test.sh BUILD_DIR LIBFAKETIME [WINDOWS_BUILD_DIR]
set -euo pipefail
build=$1 libfaketime=$2 windows=${3:-}
scratch=$(mktemp -d /tmp/mvof-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Installed into a prefix of its own, the tool runs from there.
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
tool=$scratch/prefix/bin/map-view-of-file
page=$scratch/prefix/share/man/man1/map-view-of-file.1.gz
source_page=$(dirname "$0")/../man/map-view-of-file.1
[ -x "$tool" ] || fail "no executable $tool"
[ -f "$page" ] || fail "no manual page $page"
status=0; usage=$(timeout 20 "$tool") || status=$?
[ "$status" = 1 ] || fail "usage status $status"
[ "$usage" = "Usage: $tool map_size n_maps write_gap" ] || fail "usage line: $usage"
mkdir "$scratch/run"
status=0
(cd "$scratch/run" && timeout 20 env LD_PRELOAD=$libfaketime FAKETIME='+0 x1000' \
   ASAN_OPTIONS=verify_asan_link_order=0 "$tool" 4096 2 1 >"$scratch/out") || status=$?
[ "$status" = 0 ] || fail "installed run status $status"
[ "$(tail -n 8 "$scratch/out" | head -n 1)" = "Memory status: 2" ] || fail "installed run output"
[ "$(stat -c %s "$scratch/run/map1")" = 4096 ] || fail "installed run files"

# The page as man shows it: no warnings from groff or from mandoc's lint.
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man -l warns: $warnings"
mandoc -T lint -W warning "$source_page" || fail "mandoc lint"
man -l "$page" 2>/dev/null | grep -q 'Available virtual address space size' || fail "page text"

# The Debian package holds the tool, its page, changelog and copyright, says
# what it needs, and lintian finds nothing in it, pedantic and informational
# tags included.
(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/*.deb)
contents=$(dpkg-deb -c "$deb")
for file in usr/bin/map-view-of-file usr/share/man/man1/map-view-of-file.1.gz \
            usr/share/doc/map-view-of-file/changelog.gz usr/share/doc/map-view-of-file/copyright; do
  grep -q " ./$file\$" <<<"$contents" || fail "deb lacks $file: $contents"
done
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "deb depends: $(dpkg-deb -f "$deb" Depends)"
tags=$(lintian --info --display-experimental --pedantic "$deb" 2>/dev/null) || fail "lintian failed: $tags"
[ -z "$tags" ] || fail "lintian: $tags"

# The Windows zip holds the program, the README, the licence and the manual
# page as HTML, the text files with CR LF line ends.
if [ -n "$windows" ]; then
  (cd "$windows" && cpack -G ZIP -B "$scratch/zip" >/dev/null)
  zip=$(ls "$scratch"/zip/*.zip)
  mkdir "$scratch/unzipped"
  (cd "$scratch/unzipped" && cmake -E tar xf "$zip")
  top=$(ls -d "$scratch"/unzipped/*/)
  for file in map-view-of-file.exe README.txt LICENSE.txt map-view-of-file.html; do
    [ -f "$top/$file" ] || fail "zip lacks $file: $(cmake -E tar tf "$zip")"
  done
  for file in README.txt LICENSE.txt map-view-of-file.html; do
    lines=$(wc -l <"$top/$file")
    crlf=$(grep -c $'\r$' "$top/$file" || true)
    [ "$lines" -gt 0 ] && [ "$crlf" = "$lines" ] || fail "$file: $crlf of $lines lines end in CR LF"
  done
  grep -q 'MIT License' "$top/LICENSE.txt" || fail "LICENSE.txt is not the licence"
  grep -q 'Available virtual address space size' "$top/map-view-of-file.html" || fail "the HTML page lacks the text"
fi
echo "install, manual page and packages: ok"
