#!/usr/bin/env bash
# The demo of the backup and restore tool on an installation of its own, made here:
#
#   demo/demo.sh [--keep] [BUILD_DIR]      (./run-demo builds first, then runs this)
#
# It makes the demo devices (demo/make-devices.sh) and a job root with two sample orders
# (mkorders), starts our job server and resource manager on free ports of their own,
# backs both orders up to the file-system medium through the backup dialog, moves the
# original forms aside, restores the orders into a fresh job root through the restore
# dialog, and compares every restored file byte for byte with its original. The servers
# are stopped at the end, whatever happened. Exit status 0 when everything came back.
#
# The dialogs run on the display there is: an X display that answers ($DISPLAY), else a
# private Xvfb when installed (the scripts save screenshots of the dialogs), else the
# virtual display. In every case the scripted driver plays the user (demo/*.script).
#
# With --keep the installation stays in demo/run and the backup dialog opens for a
# person instead (an X display is needed); the servers stop once the dialog is closed
# and its jobs are over. Settings for using the installation later: demo/run/demo.env.
#
# ZAREDAV names the program to run (default: zaredav of the build).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
keep=
if [ "${1:-}" = --keep ]; then keep=1; shift; fi
case "${1:-}" in
  -h | --help)
    sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'
    exit 0 ;;
  -*) echo "usage: demo/demo.sh [--keep] [BUILD_DIR]" >&2; exit 2 ;;
esac
build=$(cd "${1:-$here/../build/release}" && pwd)

say() { printf 'demo: %s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }

for program in zaredav mkorders vtape vqueue DUvuvuzo DUrazaze FolvaneO bkArchiv.sh; do
  [ -e "$build/bin/$program" ] || die "$build/bin/$program is missing: build the project first (./run-demo does)"
done

# ---- the installation
if [ -n "$keep" ]; then
  demo=$here/run
  rm -rf "$demo"
else
  demo=$(mktemp -d "${TMPDIR:-/tmp}/zaredav-demo.XXXXXX")
fi
"$here/make-devices.sh" "$demo" "$build" >/dev/null
# shellcheck disable=SC1091
. "$demo/demo.env"
export DEMO_DIR=$demo

# The servers' ports are chosen below the kernel's range for outgoing connections, where
# no client socket of this machine can hold them; one already taken is found when the
# server cannot bind it, and another is tried (see start_server).
low_ephemeral=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
free_port() {
  local p
  while :; do
    p=$((10000 + RANDOM % (low_ephemeral - 10000)))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}

jobroot=$demo/projects/orders        # the orders as production has them
restoreroot=$demo/restored/orders    # the fresh job root the restore goes to
mkorders --orders 2 --size "${DEMO_SIZE:-8M}" --seed 7 "$jobroot" >/dev/null
mkdir -p "$restoreroot" "$demo/restored/forms" "$demo/restored/schemes"
printf '%s\n' "$jobroot" "$restoreroot" >"$VM_CUSTOMER/folvaneoJobRoots"
mapfile -t orders < <(cd "$jobroot" && ls -- *.aif | sed 's/\.aif$//')
[ ${#orders[@]} -eq 2 ] || die "the sample orders were not made"
say "installation in $demo: job root $jobroot with orders ${orders[*]}"

# ---- the servers: started here, stopped at the end whatever happens
# They run in the foreground of this script, so their process ids are known from the
# moment they start and the stop never depends on a pid file they may not have written.
xvfb=
servers=()
stop_all() {
  local status=$? pid
  for pid in "${servers[@]}"; do
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -z "$xvfb" ] || { kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true; }
  if [ -z "$keep" ]; then
    if [ $status -eq 0 ]; then rm -rf "$demo"; else say "the installation stays for a look: $demo"; fi
  fi
  exit $status
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# Starts a server on a free port of its own, trying another port when the one chosen
# was taken meanwhile; it is up once its pid file names that port (it listens by then).
start_server() {  # NAME PORT_VARIABLE
  local name=$1 variable=$2 port pid
  for _ in $(seq 10); do
    port=$(free_port)
    [ "$variable" = VM_DUVUVUZO_PORT ] && [ "$port" = "$VM_DURAZAZE_PORT" ] && continue
    export "$variable=$port"
    "$name" -f </dev/null >>"$demo/tmp/$name.out" 2>&1 &
    pid=$!
    servers+=("$pid")
    for _ in $(seq 600); do
      [ -s "$ZOLTDAT/$name-$port.pid" ] && return 0
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && die "$name did not start within a minute (port $port): $(tail -n 3 "$demo/tmp/$name.out")"
    wait "$pid" 2>/dev/null || true
  done
  die "$name could not start: $(tail -n 3 "$demo/tmp/$name.out")"
}
VM_DURAZAZE_PORT=
start_server DUrazaze VM_DURAZAZE_PORT
start_server DUvuvuzo VM_DUVUVUZO_PORT
cat >>"$demo/demo.env" <<ENV
VM_DUVUVUZO_PORT=$VM_DUVUVUZO_PORT; export VM_DUVUVUZO_PORT
VM_DURAZAZE_PORT=$VM_DURAZAZE_PORT; export VM_DURAZAZE_PORT
ENV
say "job server on port $VM_DUVUVUZO_PORT, resource manager on port $VM_DURAZAZE_PORT"
vqueue status >/dev/null || die "the job server does not answer"

# ---- the display
shots=
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  say "showing the dialogs on $DISPLAY"
  unset ZAREDAV_DISPLAY
elif [ -z "$keep" ] && command -v Xvfb >/dev/null; then
  exec 4>"$demo/tmp/display"
  Xvfb -displayfd 4 -nolisten tcp -screen 0 1600x1200x24 2>/dev/null &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$demo/tmp/display" ] && break; sleep 0.1; done
  DISPLAY=:$(head -n1 "$demo/tmp/display")
  export DISPLAY
  unset ZAREDAV_DISPLAY
  shots=${DEMO_SHOTS:-$here/screenshots}
  mkdir -p "$shots"
  say "no display: the dialogs run on a private Xvfb ($DISPLAY), screenshots go to $shots"
elif [ -z "$keep" ]; then
  export ZAREDAV_DISPLAY=virtual
  say "no display and no Xvfb: the dialogs run on the virtual display"
else
  die "--keep opens the backup dialog for you: it needs an X display (DISPLAY)"
fi

zaredav=${ZAREDAV:-zaredav}
# Fills a dialog script with the demo's paths and order names. Its "shot" steps save the
# dialogs at the moments worth seeing; without a screenshot directory they are left out.
script() {
  local keepshots=(-e '/^shot /d')
  [ -z "$shots" ] || keepshots=(-e "s|@SHOTS@|$shots|g")
  sed -e "s|@JOBROOT@|$jobroot|g" -e "s|@RESTOREROOT@|$restoreroot|g" "${keepshots[@]}" \
    -e "s|@ORDER1@|${orders[0]}|g" -e "s|@ORDER2@|${orders[1]}|g" "$here/$1.script" >"$demo/tmp/$1.script"
  echo "$demo/tmp/$1.script"
}
run_tool() {  # mode
  ZAREDAV_SCRIPT=$(script "$1") "$zaredav" "$1"
}

# Waits until the job server has no job that is still to run, then tells how they went.
wait_jobs() {  # what
  local list
  for _ in $(seq 1200); do
    list=$(vqueue list 2>/dev/null || true)
    grep -q -E $'\t(waiting|waitingForPrecond|running)\t' <<<"$list" || break
    sleep 0.5
  done
  grep -q -E $'\t(waiting|waitingForPrecond|running)\t' <<<"$list" &&
    die "$1: the jobs did not end within 10 minutes"
  if grep -q -E $'\t(failed|canceled)\t' <<<"$list"; then
    local id
    for id in $(printf '%s\n' "$list" | awk -F'\t' '$2 == "failed" || $2 == "canceled" {print $1}'); do
      vqueue show "$id" >&2 || true
    done
    die "$1: a job failed"
  fi
  say "$1: $(printf '%s\n' "$list" | grep -c $'\tdone\t') job(s) done"
  vqueue remove >/dev/null
}

if [ -n "$keep" ]; then
  say "opening the backup dialog; the installation stays in $demo (settings: $demo/demo.env)"
  "$zaredav" backup || true
  wait_jobs "your jobs"
  say "to go on later: . $demo/demo.env && zaredav backup   (or restore)"
  exit 0
fi

# ---- backup, restore, compare
run_tool backup || die "the backup dialog did not end normally"
wait_jobs backup
medium=$demo/media/fs
header=$(find "$medium" -maxdepth 1 -name '?HEADER' -print -quit)
[ -s "$header" ] || die "the medium has no header after the backup"
say "backed up to $medium: $(find "$medium" -maxdepth 1 -type f -name '[0-9]*' | wc -l) data file(s)"

# The forms the medium holds, moved aside so the restore must bring them back.
mapfile -t forms < <(grep -o "$demo/projects/forms/[^/[:space:]]*" "$header" | sed 's|.*/||' | sort -u)
[ ${#forms[@]} -gt 0 ] || die "the medium's header names no form of the job root"
mkdir -p "$demo/originals"
mv "$demo/projects/forms" "$demo/originals/forms"
mkdir -p "$demo/projects/forms"

run_tool restore || die "the restore dialog did not end normally"
wait_jobs restore

bad=0
files=0
for order in "${orders[@]}"; do
  if cmp -s "$jobroot/$order.aif" "$restoreroot/$order.aif"; then files=$((files + 1)); else
    say "order info file $order.aif differs or is missing in $restoreroot" >&2; bad=1
  fi
  [ -s "$restoreroot/$order.registered" ] || { say "order $order was not registered (FolvaneO -r)" >&2; bad=1; }
done
for form in "${forms[@]}"; do
  if diff -r --no-dereference "$demo/originals/forms/$form" "$demo/projects/forms/$form" >"$demo/tmp/diff" 2>&1; then
    files=$((files + $(find "$demo/originals/forms/$form" -type f -o -type l | wc -l)))
  else
    say "form $form differs from its original:" >&2; sed 's/^/  /' "$demo/tmp/diff" >&2; bad=1
  fi
done
[ $bad -eq 0 ] || die "the restore does not match the originals"
plural() { if [ "$1" -eq 1 ]; then echo "1 $2"; else echo "$1 $2s"; fi; }
say "restored $(plural ${#orders[@]} order) with $(plural ${#forms[@]} form): all $(plural "$files" file) match their originals byte for byte"
[ -z "$shots" ] || say "screenshots: $shots"
