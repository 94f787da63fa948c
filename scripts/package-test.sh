#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the Debian package (under umask 077, so that no mode comes from the
# umask), checks it with lintian (no error, no warning), installs it on this
# machine with apt-get, runs the installed /usr/bin/tftpcarve on
# examples/read-write.pcap, checks its --version, that man finds its page and
# that a fresh bash completes its options, and removes the package again.
#
#   sh scripts/package-test.sh [BUILD-DIR]
#
# BUILD-DIR defaults to build-pkg, which is then configured without the tests
# and benchmarks and with Debian's hardening flags (dpkg-buildflags); a
# BUILD-DIR that is already configured keeps its settings. Needs root and the
# Debian packages dpkg-dev, man-db, lintian and bash-completion.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd -P)
dir=${1:-build-pkg}
case $dir in /*) ;; *) dir=$src/$dir ;; esac
capture=$src/examples/read-write.pcap

fail() { echo "package-test: FAIL: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root to install the package"
[ -f "$capture" ] || fail "$capture is missing"
for tool in cmake ninja cpack dpkg-shlibdeps dpkg-buildflags dpkg-parsechangelog apt-get man lintian bash; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool not found (run: sh scripts/setup.sh --test)"
done

export DEBIAN_FRONTEND=noninteractive
apt() { apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }

if dpkg-query -W -f='${Status}' tftpcarve 2>/dev/null | grep -q "ok installed"; then
  echo "package-test: removing the tftpcarve package installed before"
  apt remove tftpcarve >/dev/null
fi

# Build: the binary, and the compressed manual page and changelogs.
if [ -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" >/dev/null
else
  # The flags Debian builds its packages with (hardening included).
  flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
  cmake -S . -B "$dir" -G Ninja -DTFTPCARVE_TESTS=OFF -DTFTPCARVE_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
fi
cmake --build "$dir" -j2 --target tftpcarve tftpcarve_man
rm -rf "$dir"/tftpcarve_*.deb "$dir/_CPack_Packages"
(umask 077 && cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log"; fail "cpack -G DEB failed"; }
set -- "$dir"/tftpcarve_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one tftpcarve_*.deb in $dir, found: $*"
deb=$1
echo "package-test: built $(basename "$deb")"

# lintian: every tag is shown, and an error or a warning fails the test.
lintian_status=0
lintian --info --display-experimental --pedantic --fail-on error,warning "$deb" >"$dir/lintian.log" 2>&1 ||
  lintian_status=$?
grep -v '^running with root privileges' "$dir/lintian.log" | sed 's/^/lintian: /'
[ "$lintian_status" -eq 0 ] || fail "lintian found errors or warnings in $(basename "$deb")"
if grep -q '^[EW]: ' "$dir/lintian.log"; then fail "lintian found errors or warnings"; fi
echo "package-test: lintian passes $(basename "$deb")"

# One version everywhere: the package, its changelog, the project's
# changelog and the manual page.
version=$(dpkg-deb -f "$deb" Version)
upstream=${version%-*}
changelog_version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
[ "$changelog_version" = "$version" ] ||
  fail "packaging/debian/changelog starts at $changelog_version, the package is $version"
grep -q "^## $upstream " CHANGELOG.md || fail "CHANGELOG.md has no section for $upstream"
grep -q "^\.TH TFTPCARVE 1 [^ ]* \"tftpcarve $upstream\"" doc/tftpcarve.1 ||
  fail "the manual page's .TH does not name tftpcarve $upstream"

depends=$(dpkg-deb -f "$deb" Depends)
case $depends in
  *libpcap0.8*) ;;
  *) fail "Depends does not name libpcap0.8: $depends" ;;
esac
[ "$(dpkg-deb -f "$deb" Section)" = net ] || fail "Section is not net"

work=$(mktemp -d "${TMPDIR:-/tmp}/tftpcarve-package.XXXXXX")
installed=0
cleanup() {
  [ "$installed" -eq 1 ] && apt remove tftpcarve >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

apt install --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install of $deb failed"; }
installed=1
echo "package-test: installed ($depends)"

shipped="/usr/bin/tftpcarve /usr/share/man/man1/tftpcarve.1.gz /usr/share/bash-completion/completions/tftpcarve
/usr/share/doc/tftpcarve/copyright /usr/share/doc/tftpcarve/changelog.gz /usr/share/doc/tftpcarve/changelog.Debian.gz"
for path in $shipped; do
  dpkg -L tftpcarve | grep -qx "$path" || fail "the package does not install $path"
  [ -f "$path" ] || fail "$path is missing after installation"
done

# The installed program on the shipped capture: status 0, only the status
# line on standard error, and the same files as the program of the build tree.
mkdir "$work/installed" "$work/built"
(cd "$work/installed" && /usr/bin/tftpcarve -r "$capture" 2>"$work/stderr") ||
  fail "/usr/bin/tftpcarve -r $capture exited with status $?"
printf 'reading from file %s, using datalink type 1\n' "$capture" | cmp -s - "$work/stderr" ||
  fail "unexpected diagnostics: $(cat "$work/stderr")"
count=$(ls "$work/installed" | wc -l)
[ "$count" -ge 1 ] || fail "no file came out of $capture"
(cd "$work/built" && "$dir/tftpcarve" -r "$capture" 2>/dev/null) || true
diff -r "$work/built" "$work/installed" >/dev/null ||
  fail "the installed program's files differ from the build tree's"
echo "package-test: /usr/bin/tftpcarve reconstructed $count files from examples/read-write.pcap"

# --version: the version, then the commit of this work tree when it is one.
expected_version=$(printf 'tftpcarve %s' "$upstream")
if commit=$(git -C "$src" rev-parse HEAD 2>/dev/null) && [ "$(git -C "$src" rev-parse --show-toplevel)" = "$src" ]; then
  expected_version=$(printf '%s\ncommit %s' "$expected_version" "$commit")
fi
[ "$(/usr/bin/tftpcarve --version)" = "$expected_version" ] ||
  fail "/usr/bin/tftpcarve --version gives: $(/usr/bin/tftpcarve --version)"
echo "package-test: --version: $(/usr/bin/tftpcarve --version | tr '\n' ' ')"

# A fresh bash finds the completion where bash-completion looks for it.
bash "$src/tests/packaging/completion-test.sh" --installed /usr/bin/tftpcarve ||
  fail "the installed bash completion fails"

page=$(man -w tftpcarve) || fail "man -w tftpcarve finds no page"
[ "$page" = /usr/share/man/man1/tftpcarve.1.gz ] || fail "man -w tftpcarve gives $page"
MANWIDTH=80 man --warnings tftpcarve >"$work/man.txt" 2>"$work/man.err" ||
  fail "man tftpcarve failed: $(cat "$work/man.err")"
[ ! -s "$work/man.err" ] || fail "man tftpcarve warns: $(cat "$work/man.err")"
grep -q 'tftpcarve' "$work/man.txt" || fail "man tftpcarve shows no page"
echo "package-test: man finds $page"

apt remove tftpcarve >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get remove failed"; }
installed=0
for path in $shipped /usr/share/doc/tftpcarve; do
  [ ! -e "$path" ] || fail "$path is still there after removal"
done
if dpkg-query -W -f='${Status}' tftpcarve 2>/dev/null | grep -q "ok installed"; then
  fail "tftpcarve is still installed after apt-get remove"
fi
echo "package-test: removed; PASS"
