#!/bin/sh
# Builds the Debian package, installs it on this machine with apt-get, runs the
# installed /usr/bin/tftpcarve on examples/read-write.pcap, checks that man
# finds its page, and removes the package again.
#
#   sh scripts/package-test.sh [BUILD-DIR]
#
# BUILD-DIR defaults to build-pkg, which is then configured without the tests
# and benchmarks; a BUILD-DIR that is already configured keeps its settings.
# Needs root and the Debian packages dpkg-dev (dpkg-shlibdeps) and man-db.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
dir=${1:-build-pkg}
case $dir in /*) ;; *) dir=$src/$dir ;; esac
capture=$src/examples/read-write.pcap

fail() { echo "package-test: FAIL: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "needs root to install the package"
[ -f "$capture" ] || fail "$capture is missing"
for tool in cmake ninja cpack dpkg-shlibdeps apt-get man; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool not found (run: sh scripts/setup.sh --test)"
done

export DEBIAN_FRONTEND=noninteractive
apt() { apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }

if dpkg-query -W -f='${Status}' tftpcarve 2>/dev/null | grep -q "ok installed"; then
  echo "package-test: removing the tftpcarve package installed before"
  apt remove tftpcarve >/dev/null
fi

# Build: the binary and the compressed manual page are all the package holds.
if [ -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" >/dev/null
else
  cmake -S . -B "$dir" -G Ninja -DTFTPCARVE_TESTS=OFF -DTFTPCARVE_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j2 --target tftpcarve tftpcarve_man
rm -f "$dir"/tftpcarve_*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log"; fail "cpack -G DEB failed"; }
set -- "$dir"/tftpcarve_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one tftpcarve_*.deb in $dir, found: $*"
deb=$1
echo "package-test: built $(basename "$deb")"

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

for path in /usr/bin/tftpcarve /usr/share/man/man1/tftpcarve.1.gz; do
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

page=$(man -w tftpcarve) || fail "man -w tftpcarve finds no page"
[ "$page" = /usr/share/man/man1/tftpcarve.1.gz ] || fail "man -w tftpcarve gives $page"
MANWIDTH=80 man --warnings tftpcarve >"$work/man.txt" 2>"$work/man.err" ||
  fail "man tftpcarve failed: $(cat "$work/man.err")"
[ ! -s "$work/man.err" ] || fail "man tftpcarve warns: $(cat "$work/man.err")"
grep -q 'tftpcarve' "$work/man.txt" || fail "man tftpcarve shows no page"
echo "package-test: man finds $page"

apt remove tftpcarve >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get remove failed"; }
installed=0
[ ! -e /usr/bin/tftpcarve ] || fail "/usr/bin/tftpcarve is still there after removal"
[ ! -e /usr/share/man/man1/tftpcarve.1.gz ] || fail "the manual page is still there after removal"
if dpkg-query -W -f='${Status}' tftpcarve 2>/dev/null | grep -q "ok installed"; then
  fail "tftpcarve is still installed after apt-get remove"
fi
echo "package-test: removed; PASS"
