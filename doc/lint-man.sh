#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Checks the manual page: groff, mandoc and man render it without a word of
# complaint, and it documents every option that the program's usage text
# lists.
#
#   sh doc/lint-man.sh doc/tftpcarve.1 PATH/TO/tftpcarve
#
# Exit status: 0 clean, 1 complaints, 77 none of groff, mandoc and man found.
set -u
page=$1
program=$2
status=0
checked=0

complain() { echo "FAIL: $1:"; cat "$2"; status=1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT

if command -v groff >/dev/null 2>&1; then
  checked=1
  groff -man -ww -z "$page" >"$out" 2>&1
  [ -s "$out" ] && complain "groff -man -ww -z" "$out"
fi
if command -v mandoc >/dev/null 2>&1; then
  checked=1
  mandoc -T lint -W warning "$page" >"$out" 2>&1
  [ -s "$out" ] && complain "mandoc -T lint -W warning" "$out"
fi
if command -v man >/dev/null 2>&1; then
  checked=1
  MANWIDTH=80 man --warnings -l "$page" 2>"$out" >/dev/null
  [ -s "$out" ] && complain "man --warnings -l" "$out"
fi
[ "$checked" -eq 1 ] || { echo "SKIP: none of groff, mandoc and man is installed"; exit 77; }

# Every option line of the usage text ("   -r       ...") has its entry
# under OPTIONS: a ".TP" followed by ".B \-r" or ".BI \-r ..."; -h is not in
# the usage text.
options=$("$program" -h | sed -n 's/^   -\([A-Za-z]\) .*/\1/p')
[ -n "$options" ] || { echo "FAIL: no options found in the usage text of $program"; exit 1; }
sed -n '/^\.SH OPTIONS/,/^\.SH /{/^\.TP/{n;p;}}' "$page" >"$out"
for letter in $options h; do
  grep -Eq "^\.BI? \\\\-$letter( |\$)" "$out" ||
    { echo "FAIL: option -$letter has no entry under OPTIONS in $page"; status=1; }
done
exit "$status"
