#!/usr/bin/env bash
# Installs the tool into a scratch prefix and runs the installed copy; checks
# that the manual page renders without warnings; builds the Debian package
# (and, given the Windows build tree, the Windows zip) and lists what is in it.
#   install_test.sh BUILD_DIR LIBFAKETIME [WINDOWS_BUILD_DIR]
set -euo pipefail
build=$1 libfaketime=$2 windows=${3:-}
scratch=$(mktemp -d /tmp/mvof-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Installed into a prefix of its own, the tool runs from there.
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
tool=$scratch/prefix/bin/map-view-of-file
page=$scratch/prefix/share/man/man1/map-view-of-file.1
[ -x "$tool" ] || fail "no executable $tool"
[ -f "$page" ] || fail "no manual page $page"
status=0; usage=$("$tool") || status=$?
[ "$status" = 1 ] || fail "usage status $status"
[ "$usage" = "Usage: $tool map_size n_maps write_gap" ] || fail "usage line: $usage"
mkdir "$scratch/run"
status=0
(cd "$scratch/run" && LD_PRELOAD=$libfaketime FAKETIME='+0 x1000' \
   ASAN_OPTIONS=verify_asan_link_order=0 "$tool" 4096 2 1 >"$scratch/out") || status=$?
[ "$status" = 0 ] || fail "installed run status $status"
[ "$(tail -n 8 "$scratch/out" | head -n 1)" = "Memory status: 2" ] || fail "installed run output"
[ "$(stat -c %s "$scratch/run/map1")" = 4096 ] || fail "installed run files"

# The page as man shows it: no warnings from groff or from mandoc's lint.
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man -l warns: $warnings"
mandoc -T lint -W warning "$page" || fail "mandoc lint"
man -l "$page" 2>/dev/null | grep -q 'Available virtual address space size' || fail "page text"

# The Debian package holds the tool and its page, and says what it needs.
(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/*.deb)
contents=$(dpkg-deb -c "$deb")
grep -q ' ./usr/bin/map-view-of-file$' <<<"$contents" || fail "deb lacks the tool: $contents"
grep -q ' ./usr/share/man/man1/map-view-of-file.1' <<<"$contents" || fail "deb lacks the page: $contents"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "deb depends: $(dpkg-deb -f "$deb" Depends)"

# The Windows zip holds the program.
if [ -n "$windows" ]; then
  (cd "$windows" && cpack -G ZIP -B "$scratch/zip" >/dev/null)
  zip=$(ls "$scratch"/zip/*.zip)
  cmake -E tar tf "$zip" | grep -q 'bin/map-view-of-file.exe$' || fail "zip lacks the program: $(cmake -E tar tf "$zip")"
fi
echo "install, manual page and packages: ok"
