#!/usr/bin/env bash
# Reads the built tool and checks the hardening every Linux build gets:
# full RELRO (GNU_RELRO and BIND_NOW), a position-independent executable, the
# stack protector, control-flow protection on x86-64, and
# the fortified forms of the C library calls the program makes.
#   hardening_test.sh TOOL FORTIFIED(ON|OFF)
set -euo pipefail
tool=$1 fortified=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

headers=$(readelf -hlW "$tool")
dynamic=$(readelf -dW "$tool")
symbols=$(readelf -W --dyn-syms "$tool")
grep -q 'Type: *DYN' <<<"$headers" || fail "not a position-independent executable"
grep -q 'GNU_RELRO' <<<"$headers" || fail "no GNU_RELRO segment"
grep -Eq 'BIND_NOW|FLAGS_1\).*NOW' <<<"$dynamic" || fail "relocations not bound at start (no BIND_NOW)"
grep -q 'FLAGS_1).*PIE' <<<"$dynamic" || fail "no PIE flag"
grep -q ' __stack_chk_fail' <<<"$symbols" || fail "no stack protector"
if [ "$(uname -m)" = x86_64 ]; then
  # The program's own functions start with an indirect-branch landing pad.
  # (The binary as a whole is marked for IBT only when every object linked
  # in is, and Debian 12's C start files are not.)
  objdump -d --no-show-raw-insn "$tool" | grep -A1 '<main>:' | grep -q endbr64 ||
    fail "no control-flow protection (-fcf-protection): main does not begin with endbr64"
fi
if [ "$fortified" = ON ]; then
  # The program prints with printf and fprintf and names files with snprintf:
  # each must come in its checked form. printf and fprintf always can, so no
  # unchecked one may be left; an snprintf into a buffer of unknown size (the
  # layer's paths) cannot be checked and stays as it is.
  for call in printf fprintf snprintf; do
    grep -q " __${call}_chk@" <<<"$symbols" || fail "$call is not fortified"
  done
  for call in printf fprintf; do
    ! grep -q " ${call}@" <<<"$symbols" || fail "an unfortified $call is left"
  done
fi
echo "hardening: ok"
