#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks the bash completion of tftpcarve in a bash started for the purpose:
# the completion is registered for the command (complete -p), offers every
# option that the program's usage text lists, and completes each option's
# argument with what it takes, from a table of command lines.
#
#   bash tests/packaging/completion-test.sh COMPLETION-FILE PROGRAM
#   bash tests/packaging/completion-test.sh --installed PROGRAM
#
# --installed loads the completion as a user's shell does: through
# bash-completion's loader, from where the package installed it.
set -u
[ $# -eq 2 ] || { echo "usage: $0 COMPLETION-FILE|--installed PROGRAM" >&2; exit 2; }
source=$1
program=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/tftpcarve-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
here=$work/here
mkdir -p "$here/caps" "$here/cases dir"
touch "$here/a.pcap" "$here/a.pcap.gz" "$here/b.txt" "$here/cases dir/x.pcap"

# Every option of the usage text: the first word of each option line, and a
# long name after a comma ("-h, --help").
"$program" --help >"$work/usage" || { echo "FAIL: $program --help"; exit 1; }
grep -oE '^ +(-[A-Za-z0-9]|--[a-z][a-z-]*)(, *--[a-z][a-z-]*)?' "$work/usage" |
  tr ',' '\n' | tr -d ' ' | sort -u >"$work/usage-options"
[ -s "$work/usage-options" ] || { echo "FAIL: no option found in the usage text"; exit 1; }

interfaces=any
for i in /sys/class/net/*; do [ -e "$i" ] && interfaces="$interfaces ${i##*/}"; done

cat >"$work/driver.bash" <<'EOF'
set -u
if [ "$1" = --installed ]; then
  . /usr/share/bash-completion/bash_completion || { echo "FAIL: bash-completion is not installed"; exit 1; }
  __load_completion tftpcarve || { echo "FAIL: bash-completion finds no completion for tftpcarve"; exit 1; }
else
  . "$1"
fi
registered=$(complete -p tftpcarve 2>&1) || { echo "FAIL: complete -p tftpcarve: $registered"; exit 1; }
function=$(sed -n 's/.* -F \([^ ]*\) .*/\1/p' <<<"$registered")
[ -n "$function" ] || { echo "FAIL: not completed by a function: $registered"; exit 1; }
options=$(cat "$2/usage-options")
cd "$2/here" || exit 1
failures=0

# check EXPECTED WORD...: the words of the command line, the last one under
# the cursor; EXPECTED is the sorted candidates, joined by "|".
check() {
  local expected=$1 got
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$function" tftpcarve "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=$( ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd '|')
  if [ "$got" != "$expected" ]; then
    echo "FAIL: completing [$*]: expected [$expected], got [$got]"
    failures=$((failures + 1))
  fi
}

# Every option of the usage text is offered after "-".
COMP_WORDS=(tftpcarve -)
COMP_CWORD=1
COMPREPLY=()
"$function" tftpcarve - tftpcarve
while read -r option; do
  [[ " ${COMPREPLY[*]} " == *" $option "* ]] || { echo "FAIL: option $option is not completed"; failures=$((failures + 1)); }
done <<<"$options"

files='a.pcap|a.pcap.gz|b.txt|caps|cases dir'
interfaces=$(tr ' ' '\n' <<<"$3" | LC_ALL=C sort | paste -sd '|')
while IFS=';' read -r expected line; do
  [ -n "$line" ] || continue
  eval "words=($line)"
  check "$expected" "${words[@]}"
done <<CASES
--help|--report|--strict|--summary|--version;tftpcarve --
--summary;tftpcarve -v --su
--strict;tftpcarve --st
--report;tftpcarve -r a.pcap --re
$files;tftpcarve -r ''
a.pcap|a.pcap.gz;tftpcarve -r a
a.pcap|a.pcap.gz;tftpcarve -r a.pcap -r a
a.pcap|a.pcap.gz;tftpcarve -fvr a
b.txt;tftpcarve -V b
cases dir/x.pcap;tftpcarve -r 'cases dir/'
b.txt;tftpcarve --report b
b.txt;tftpcarve --rep b
b.txt;tftpcarve --report = b
--report=b.txt;tftpcarve --report=b
caps|cases dir;tftpcarve -o ''
caps|cases dir;tftpcarve -v -o c
$interfaces;tftpcarve -i ''
any;tftpcarve -p -i an
0|1|2|3|4|5|6;tftpcarve -d ''
always|auto|never;tftpcarve --summary =
always|auto;tftpcarve --summary = a
--summary=never;tftpcarve --summary=n
-r;tftpcarve -d 3 -v -r
;tftpcarve -r a.pcap -rb
;tftpcarve -r a.pcap port ''
;tftpcarve -r a.pcap port 69 and -
;tftpcarve -- -
;tftpcarve - -
;tftpcarve --strict ''
CASES
[ "$failures" -eq 0 ] || exit 1
echo "completion: $registered; every case completes as expected"
EOF

env -i PATH="$PATH" HOME="$work" TERM=dumb bash --norc --noprofile "$work/driver.bash" "$source" "$work" "$interfaces"
