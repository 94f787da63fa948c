#!/bin/sh
# Puts the line "SPDX-License-Identifier: BSD-2-Clause", as a comment of the
# file's language, at the top of every source file of the project: the first
# line, or the second after a "#!" line. A file that already names an SPDX
# license in its first two lines is left alone, so running it again changes
# nothing.
#
#   sh scripts/add-spdx.sh           add the line where it is missing
#   sh scripts/add-spdx.sh --check   only list the files without it; status 1 if any
#
# Source files: those that git knows or would add (build trees are ignored),
# under the folders below and at the top, by their name: C++ (// comments);
# shell, Python, CMake and bash completion (# comments, or any file that
# starts with "#!"); the manual page (.\" comments). Captures, seeds, data
# and documents are not source files.
set -eu
cd "$(dirname "$0")/.."
check=0
case ${1:-} in
  --check) check=1 ;;
  '') ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

tag='SPDX-License-Identifier: BSD-2-Clause'
folders='src tests bench fuzz scripts examples cmake packaging doc .ci'

list_files() {
  if git rev-parse --show-toplevel >/dev/null 2>&1; then
    # shellcheck disable=SC2086
    git ls-files --cached --others --exclude-standard -- CMakeLists.txt $folders
  else
    # shellcheck disable=SC2086
    find CMakeLists.txt $folders -type f 2>/dev/null
  fi
}

# Sets comment to the comment that carries the tag in $file, or to nothing
# for a file that is not source. Builtins only: the fuzz corpus alone is a
# thousand files.
comment_for_file() {
  comment=''
  case $file in
    *.cpp | *.cc | *.c | *.h | *.hpp) comment='//' ;;
    *.sh | *.bash | *.py | *.cmake | */CMakeLists.txt | CMakeLists.txt | packaging/bash-completion/*) comment='#' ;;
    doc/*.1) comment='.\"' ;;
    *) case $first in '#!'*) comment='#' ;; esac ;;
  esac
}

result=$(mktemp "${TMPDIR:-/tmp}/add-spdx.XXXXXX")
trap 'rm -f "$result"' EXIT
list_files | while IFS= read -r file; do
  [ -f "$file" ] && [ ! -L "$file" ] || continue
  first=''
  second=''
  { IFS= read -r first || true; IFS= read -r second || true; } <"$file" 2>/dev/null
  comment_for_file
  [ -n "$comment" ] || continue
  case "$first $second" in *SPDX-License-Identifier:*) continue ;; esac
  if [ "$check" -eq 1 ]; then
    echo "$file"
    continue
  fi
  line="$comment $tag"
  # sed's text takes a backslash as an escape: the manual page's comment has one.
  text=$(printf '%s\n' "$line" | sed 's/\\/\\\\/g')
  if [ ! -s "$file" ]; then
    printf '%s\n' "$line" >"$file"
  else
    case $first in
      '#!'*) where=1a ;;  # the interpreter line must stay first
      *) where=1i ;;
    esac
    sed -i "$where\\
$text" "$file"
  fi
  echo "$file"
done >"$result"

if [ "$check" -eq 1 ]; then
  if [ -s "$result" ]; then
    echo "add-spdx: these source files do not say their license (run sh scripts/add-spdx.sh):"
    cat "$result"
    exit 1
  fi
  echo "add-spdx: every source file says its license"
else
  sed 's/^/add-spdx: added to /' "$result"
  echo "add-spdx: $(wc -l <"$result") files given the line"
fi
