# A private installation for the application benchmarks, sourced by them: devices (the
# file-system medium among them, large enough for any job root), a job root in
# $jobroot and a fresh one in $restoreroot, our job server and resource manager on free
# ports of their own, and the virtual display. The servers are stopped and the directory
# removed on exit (KEEP=1 keeps the directory for a look).
#   needs: here (the bench directory), build (the build tree)
W=$(mktemp -d "${TMPDIR:-/var/tmp}/app_bench.XXXXXX")
"$here/../demo/make-devices.sh" "$W" "$build" >/dev/null
# shellcheck disable=SC1091
. "$W/demo.env"
sed -i 's/^capacity = .*/capacity = 1099511627776/' "$W/env/devices.cfg"
export ZAREDAV_DISPLAY=virtual

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 20000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return; }
  done
}
VM_DUVUVUZO_PORT=$(free_port)
VM_DURAZAZE_PORT=$(free_port)
while [ "$VM_DURAZAZE_PORT" = "$VM_DUVUVUZO_PORT" ]; do VM_DURAZAZE_PORT=$(free_port); done
export VM_DUVUVUZO_PORT VM_DURAZAZE_PORT

stop_all() {
  local pidfile pid
  for pidfile in "$ZOLTDAT"/DUvuvuzo-*.pid "$ZOLTDAT"/DUrazaze-*.pid; do
    pid=$(cat "$pidfile" 2>/dev/null || true)
    [ -n "$pid" ] || continue
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  if [ -n "${KEEP:-}" ]; then echo "kept: $W" >&2; else rm -rf "$W"; fi
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# Registering a restored order is the layout program's business, not timed here.
printf '#!/bin/sh\nexit 0\n' >"$W/bin/FolvaneO"
chmod 755 "$W/bin/FolvaneO"
PATH=$W/bin:$PATH

jobroot=$W/projects/orders
restoreroot=$W/restored/orders
mkdir -p "$restoreroot" "$W/restored/forms" "$W/restored/schemes"

# Sample orders: make_orders COUNT SIZE. Only the forms in production (status 1) are
# backed up; the others are removed, so that a peer takes the same files.
make_orders() {
  mkorders --orders "$1" --size "$2" --seed 7 "$jobroot" >/dev/null
  printf '%s\n' "$jobroot" "$restoreroot" >"$VM_CUSTOMER/folvaneoJobRoots"
  local aif
  for aif in "$jobroot"/*.aif; do
    tr -c '[:print:]' '\n' <"$aif" | sed 's/ *$//' | grep -v '^$' | awk '
      /^FORM[0-9]+\/(SHORTNAME|STATUS)$/ { split($0, k, "/"); getline v; if (k[2] == "SHORTNAME") n[k[1]] = v; else s[k[1]] = v }
      END { for (f in n) if (s[f] != "1") print n[f] }'
  done | while read -r form; do rm -rf "${W:?}/projects/forms/$form"; done
}

start_servers() {
  DUrazaze </dev/null >/dev/null 2>&1 &
  DUvuvuzo </dev/null >/dev/null 2>&1 &
  for _ in $(seq 100); do
    [ -s "$ZOLTDAT/DUvuvuzo-$VM_DUVUVUZO_PORT.pid" ] && [ -s "$ZOLTDAT/DUrazaze-$VM_DURAZAZE_PORT.pid" ] && break
    sleep 0.1
  done
  vqueue status >/dev/null || { echo "the job server does not answer" >&2; exit 1; }
}

# The user's part, for ORDERS listed orders: the file-system medium, a new medium, the
# job root, every order marked, the job started; the restore the same from the medium
# into the fresh job root.
write_scripts() {  # ORDERS
  cat >"$W/backup.script" <<EOF
wait BkIact_DevSelect_Archiv
click BkIact_DevSelect_Archiv 3 3
press BkIact_DevSelect_Archiv 1 1
wait AskContinue
press AskContinue 2 1
wait BkIact_PrepWriteMedia
press BkIact_PrepWriteMedia 1 3
wait Vuvedur_Bck
type Vuvedur_Bck 13 "$jobroot"
wait Imisc_yes
answer Imisc_yes 0
EOF
  local i
  for ((i = 0; i < $1; i++)); do printf 'click Vuvedur_Bck 8 %d\npress Vuvedur_Bck 12 4\n' "$i"; done >>"$W/backup.script"
  printf 'press Vuvedur_Bck 1 1\ngone Vuvedur_Bck\n' >>"$W/backup.script"
  sed -e 's/Vuvedur_Bck/Vuvedur_Rst/g' -e "s|\"$jobroot\"|\"$restoreroot\"|" \
    -e '/BkIact_PrepWriteMedia/d' "$W/backup.script" >"$W/restore.script"
}

now() { date +%s.%N; }
# Until the job server has no job waiting or running; fails when one failed.
# A busy server may not answer at once: a failed query is asked again.
wait_jobs() {
  local list failures=0
  while :; do
    if ! list=$(vqueue list 2>/dev/null); then
      failures=$((failures + 1))
      [ $failures -lt 300 ] || { echo "the job server does not answer" >&2; return 1; }
      sleep 0.1
      continue
    fi
    grep -q -E $'\t(waiting|waitingForPrecond|running)\t' <<<"$list" || break
    sleep 0.05
  done
  if grep -q -E $'\t(failed|canceled)\t' <<<"$list"; then
    printf '%s\n' "$list" >&2
    return 1
  fi
  vqueue remove >/dev/null
}
