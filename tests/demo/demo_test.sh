#!/usr/bin/env bash
# The demo's scaffolding with a stand-in for the tool (tests/demo/fake-zaredav): the
# installation is made, the servers answer during the run and are gone after it, a
# faithful restore is confirmed, a spoiled one is caught and named, and nothing of a
# successful run stays behind. Usage: demo_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
T=$(mktemp -d "${TMPDIR:-/tmp}/demo_test.XXXXXX")
trap 'rm -rf "$T"' EXIT
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
export TMPDIR=$T DEMO_SHOTS=$T/shots DEMO_SIZE=1M ZAREDAV=$src/tests/demo/fake-zaredav
unset ZAREDAV_DISPLAY

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
ports() { sed -n 's/.*job server on port \([0-9]*\), resource manager on port \([0-9]*\).*/\1 \2/p' "$1"; }

# A faithful tool: confirmed, servers stopped, the installation removed.
"$src/demo/demo.sh" "$build" >"$T/good.out" 2>&1
status=$?
[ $status -eq 0 ] || { fail "good run: status $status"; cat "$T/good.out"; }
grep -q 'restored 2 orders with [1-9][0-9]* forms\{0,1\}: all [0-9]* files\{0,1\} match their originals byte for byte' "$T/good.out" ||
  fail "good run: no confirmation"
read -r jp rp < <(ports "$T/good.out")
[ -n "${jp:-}" ] || fail "good run: ports not told"
[ -n "${jp:-}" ] && listening "$jp" && fail "good run: the job server still listens"
[ -n "${rp:-}" ] && listening "$rp" && fail "good run: the resource manager still listens"
[ -z "$(find "$T" -maxdepth 1 -name 'zaredav-demo.*')" ] || fail "good run: the installation stayed"
if grep -q 'private Xvfb' "$T/good.out"; then
  ls "$T/shots"/backup-3-orders-marked.png "$T/shots"/restore-2-orders-marked.png >/dev/null 2>&1 ||
    fail "good run: no screenshots"
fi

# A spoiled restore: named, status 1, servers stopped, the installation kept for a look.
FAKE_BREAK=1 "$src/demo/demo.sh" "$build" >"$T/bad.out" 2>&1
status=$?
[ $status -eq 1 ] || fail "spoiled run: status $status"
grep -q 'form .* differs from its original' "$T/bad.out" || { fail "spoiled run: the form is not named"; cat "$T/bad.out"; }
grep -q 'byte for byte' "$T/bad.out" && fail "spoiled run: claimed success"
read -r jp rp < <(ports "$T/bad.out")
[ -n "${jp:-}" ] && listening "$jp" && fail "spoiled run: the job server still listens"
[ -n "$(find "$T" -maxdepth 1 -name 'zaredav-demo.*')" ] || fail "spoiled run: the installation was removed"

# A wrong command line.
"$src/demo/demo.sh" --bogus >/dev/null 2>&1
[ $? -eq 2 ] || fail "a wrong option is not a usage error"

if [ $fails -eq 0 ]; then echo "all demo cases passed"; else
  for f in "$T"/good.out "$T"/bad.out; do echo "--- $f"; cat "$f"; done
fi
exit $((fails > 0))
