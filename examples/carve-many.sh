#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Carves many capture sets at once: one tftpcarve per set, run by GNU
# parallel on this machine or across machines, then one summary table of
# the transfers of every set by state.
#
#   carve-many.sh [-j JOBS] [-S SSHLOGINS] SETS OUT [TFTPCARVE-OPTION...]
#
# SETS is a folder of capture sets, one folder each (a sensor's ring, say):
# the files of a set, plain or compressed, are read as one capture, in the
# order of their frames. For each set NAME, OUT gets
#   NAME/         the reconstructed files
#   NAME.jsonl    the JSON Lines report
#   NAME.log      tftpcarve's standard error
# and OUT/summary.txt the table, also printed. The options after OUT go to
# every tftpcarve (filter words too, after the options).
#
#   -j JOBS       sets carved at once on each machine (parallel's default:
#                 one per processor)
#   -S SSHLOGINS  run the sets on these machines too, as parallel's
#                 --sshlogin takes them ("host1,host2", ":" for this one);
#                 each needs tftpcarve, and SETS and OUT at the same paths
#                 (a shared file system)
# TFTPCARVE names the program (default: tftpcarve on the PATH).
#
# The status is 0 when every set was carved with status 0, else 1; the
# table is written either way. Needs GNU parallel (Debian package
# parallel), and jq or python3 for the table.
set -eu

usage() { sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }

# One set, as parallel runs it: carve-many.sh --one SETS OUT NAME OPTION...
if [ "${1:-}" = --one ]; then
  sets=$2 out=$3 name=$4
  shift 4
  mkdir -p "$out/$name"
  find "$sets/$name" -maxdepth 1 -type f | LC_ALL=C sort >"$out/$name.list"
  exec "${TFTPCARVE:-tftpcarve}" -V "$out/$name.list" -o "$out/$name" --report "$out/$name.jsonl" "$@" \
    >/dev/null 2>"$out/$name.log"
fi

jobs=
logins=
while getopts j:S: option; do
  case $option in
    j) jobs=$OPTARG ;;
    S) logins=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 2 ] || usage
sets=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
shift 2
command -v parallel >/dev/null 2>&1 || { echo "carve-many: GNU parallel is not installed" >&2; exit 2; }
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

# The sets, one name a line, for parallel.
find "$sets" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | LC_ALL=C sort >"$out/sets.txt"
[ -s "$out/sets.txt" ] || { echo "carve-many: no set in $sets" >&2; exit 2; }

status=0
# shellcheck disable=SC2086 # -j and -S are words of their own when given
parallel --will-cite --halt never --joblog "$out/joblog.txt" ${jobs:+-j "$jobs"} \
  ${logins:+--sshlogin "$logins"} --env TFTPCARVE \
  "$self" --one "$sets" "$out" {} "$@" :::: "$out/sets.txt" || status=1

# The table: transfers and bytes by state, over every set's report.
table_jq() {
  jq -rs '
    [.[] | select(.type == "transfer")] as $t
    | ($t | group_by(.state) | map({state: .[0].state, n: length, bytes: (map(.bytes) | add)})) as $rows
    | (["state", "transfers", "bytes"] | @tsv),
      ($rows[] | [.state, .n, .bytes] | @tsv),
      (["total", ($t | length), ($t | map(.bytes) | add // 0)] | @tsv)' "$@"
}
table_python() {
  python3 - "$@" <<'PY'
import json, sys
rows, total = {}, [0, 0]
for name in sys.argv[1:]:
    with open(name) as f:
        for line in f:
            t = json.loads(line)
            if t.get("type") != "transfer":
                continue
            r = rows.setdefault(t["state"], [0, 0])
            r[0] += 1
            r[1] += t["bytes"]
            total[0] += 1
            total[1] += t["bytes"]
print("state\ttransfers\tbytes")
for state in sorted(rows):
    print(f"{state}\t{rows[state][0]}\t{rows[state][1]}")
print(f"total\t{total[0]}\t{total[1]}")
PY
}
reports=$(sed "s|^|$out/|; s|\$|.jsonl|" "$out/sets.txt")
present=
for r in $reports; do [ -f "$r" ] && present="$present $r"; done
{
  echo "$(wc -l <"$out/sets.txt") sets; failed: $(awk 'NR > 1 && $7 != 0 { n++ } END { print n + 0 }' "$out/joblog.txt")"
  # shellcheck disable=SC2086
  if command -v jq >/dev/null 2>&1; then table_jq $present; else table_python $present; fi |
    awk -F '\t' '{ printf "%-12s %10s %14s\n", $1, $2, $3 }'
} >"$out/summary.txt"
cat "$out/summary.txt"
exit "$status"
