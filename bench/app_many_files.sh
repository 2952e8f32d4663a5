#!/usr/bin/env bash
# Backing up one order of many files (default 1,000,000 empty ones, 1,000 to a
# directory) through the whole application: the backup dialog driven by a dialog script
# lists the order, marks it and starts the job. Prints the program's time and peak
# resident size (it ends once the job is with the job server), then how long the job
# took. Targets: under 10 s and under 400 MB.
#
#   app_many_files.sh [FILES] [BUILD_DIR]
set -euo pipefail
FILES=${1:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${2:-$here/../build/release}" && pwd)
# shellcheck source=app_sandbox.sh
. "$here/app_sandbox.sh"

make_orders 1 20k
form=$(cd "$W/projects/forms" && ls | sed -n 1p)
[ -n "$form" ] || { echo "the sample order has no form in production" >&2; exit 1; }
t0=$(now)
for ((d = 0; d * 1000 < FILES; d++)); do
  mkdir "$W/projects/forms/$form/bulk$d"
  n=$((FILES - d * 1000 < 1000 ? FILES - d * 1000 : 1000))
  (cd "$W/projects/forms/$form/bulk$d" && eval "touch page{1..$n}.tif")
done
printf 'made %d files in %.1f s\n' "$FILES" "$(echo "$(now) - $t0" | bc)"
start_servers
write_scripts 1

t0=$(now)
ZAREDAV_SCRIPT=$W/backup.script /usr/bin/time -f '%e %M' -o "$W/usage" zaredav backup >"$W/out" 2>&1 ||
  { cat "$W/out" >&2; exit 1; }
read -r took kb <"$W/usage"
printf 'zaredav backup: %.2f s, peak resident %d MB\n' "$took" "$((kb / 1024))"
t1=$(now)
wait_jobs || { echo "the write job failed" >&2; tail -n 5 "$ZOLTDAT"/DUvuvuzo-*.jobs/*.err >&2; exit 1; }
printf 'the write job: %.1f s\n' "$(echo "$(now) - $t1" | bc)"
# Every file made is listed in the header the medium got.
header=$(find "$W/media/fs" -maxdepth 1 -name '?HEADER' -print -quit)
listed=$(grep -c '^bulk[0-9]*/page[0-9]*\.tif F ' "$header" || true)
[ "$listed" -eq "$FILES" ] || { echo "the medium's header lists $listed of $FILES files" >&2; exit 1; }
