# bkArchiv.sh: the data path of the archive scripts. A generated script sets the
# variables of its medium (mfmt, devType, device, dirFile, dirFileM, dirSize, blk*,
# fmDirName, softCompress, notify texts, ...), sources this library and calls its steps;
# after every step CheckFail ends the script through Exit when the step failed.
#
# Media:
#   filesys  $device is a root directory: the header is the text file $dirFileM (written
#            under a temporary name and renamed), data file n is the file "$device/n"
#            (also written under a temporary name, so a medium that fills up keeps its
#            previous files).
#   disk     $device is an image file or block device: the header is a cpio member
#            $dirFileM at byte 0 inside a header area of $dirSize bytes (1 MiB when 0);
#            data files follow back to back from the end of that area, in 512-byte
#            blocks, their start blocks kept in the header's file-mark directory
#            ("BEGIN FMDIR", one "n start" line per data file and one for the end of the
#            data). An image file never grows: its size is the capacity of the medium.
#   tape     $device is a tape drive (mt, dd) or a virtual tape directory (vtape):
#            tape file n is data file n; file marks separate them.
# Data files are tar streams for the tar formats, cpio (odc) otherwise, so stock tar and
# cpio read every one of them.
#
# Safety: names are carried one a line and never evaluated (echo below prints its
# arguments literally); a restore refuses absolute names, names with a ".." element and
# names below a symbolic link (on the disk already or in the same data file), and
# reports them. Names the script generator refused are in "$scriptDir/REFUSED".
# cpio data files are written and extracted with bsdcpio where it is installed; the flag
# BK_GNU_CPIO (environment VM_BK_GNU_CPIO or the file in $VM_CUSTOMER) keeps to GNU cpio.
#
# Content checksums: with the flag BK_CHECKSUMS (environment VM_BK_CHECKSUMS or the file
# BK_CHECKSUMS in $VM_CUSTOMER) every data file's members get a checksum, computed from
# the stream on its way to the medium; UpdateMediaInfo keeps the sums in "$newHdr.sums"
# beside the header copy. The flag's value (or the file's first word) "sha256" asks for
# SHA-256; otherwise the sums are XXH3 with 128 bits, which keep up with the archiver on
# one core where SHA-256 costs about as much processor time as the archiver itself. The
# manifest's first line names the algorithm ("# checksums xxh128"); xxh128sum -c or
# sha256sum -c check a restored tree against its lines.

shopt -s lastpipe   # "( echo ... ) | WriteFileList" runs the step in this shell
# The name lists are subshells of one command per file, and bash needs stack for every
# command of such a list: with the usual 8 MiB a list of some 20,000 names would crash
# and leave an empty data file behind. The stack may grow as far as the system allows.
ulimit -S -s "$(ulimit -H -s)" 2>/dev/null
_bk_pos=0           # data file the medium stands at
_bk_failed=         # a step failed
_bk_errors=()       # texts of the failures
_bk_part=data       # current area of media with a header area
_bk_starts=()       # disk: start block of every data file (index: data file number)
_bk_sums=           # file collecting the checksums of this job
_bk_sumAlg=         # their algorithm: xxh128 or sha256
_bk_said=           # file collecting what the archiver says while it writes
_bk_cpio=cpio       # the cpio that writes and extracts cpio data files: cpio or bsdcpio
[ -n "$scriptDir" ] || scriptDir=.
_bk_log="$scriptDir/bkArchiv.log"

# Prints its arguments literally (the script's file name lines use it).
echo() { printf '%s\n' "$*"; }

# Copies through a temporary name beside the target, so readers never see half a copy.
cp() {
  if [ $# -eq 2 ] && [ "${1#-}" = "$1" ] && [ ! -d "$2" ]; then
    local tmp
    tmp="$(dirname -- "$2")/.$(basename -- "$2").$$.tmp"
    command cp -- "$1" "$tmp" && mv -f -- "$tmp" "$2" && return 0
    rm -f -- "$tmp"
    return 1
  fi
  command cp "$@"
}

_bk_note() { printf '%s %s\n' "$(date '+%Y-%m-%d %H:%M:%S')" "$*" >>"$_bk_log" 2>/dev/null; }

# How far the job is, once per data file: a line in the job's log and, when the job
# server names a progress file (VM_JOB_PROGRESS), the job's progress as vqueue show
# tells it. The number of data files is that of the script's file list steps, counted
# here while the script's own name still leads to it (the steps change directories).
_bk_step=0
_bk_steps=$(grep -c -E '^\) \| (Write|Read)FileList' -- "${scriptName:-$0}" 2>/dev/null)
[ "$_bk_steps" != 0 ] || _bk_steps=
_bk_progress() {
  _bk_step=$((_bk_step + 1))
  local text="data file $_bk_step${_bk_steps:+ of $_bk_steps} (number $_bk_pos on the medium): $*"
  _bk_note "$text"
  [ -z "${VM_JOB_PROGRESS:-}" ] || printf '%s %s\n' "$(date '+%H:%M:%S')" "$text" >"$VM_JOB_PROGRESS" 2>/dev/null
  return 0
}

# Records a failure; the step's status is 1.
_bk_error() {
  _bk_failed=1
  _bk_errors+=("$*")
  _bk_note "ERROR: $*"
  printf 'bkArchiv: %s\n' "$*" >&2
  return 1
}

_bk_isTar() { case "$mfmt" in *Tar*) return 0 ;; *) return 1 ;; esac; }
_bk_blk() { local b=$1; [ -n "$b" ] && [ "$b" -gt 0 ] 2>/dev/null && echo "$b" || echo 10240; }
# A flag is on when VM_<flag> is set, unless to a word for "off", or else when the site
# has a file of its name, as for the tool itself.
_bk_flag() {
  local v="VM_$1"
  if [ -n "${!v+set}" ]; then
    case "${!v,,}" in false | no | off) return 1 ;; *) return 0 ;; esac
  fi
  [ -e "${VM_CUSTOMER:-/customer}/$1" ]
}
# The value of a flag: the environment's, else the first word of the site's file.
_bk_flagValue() {
  local v="VM_$1" f="${VM_CUSTOMER:-/customer}/$1" w=
  if [ -n "${!v+set}" ]; then echo "${!v}"; return; fi
  [ -r "$f" ] && read -r w _ <"$f"
  echo "$w"
}

# ---------------------------------------------------------------- tape drives

_bk_virtual() { [ -d "$device" ]; }
_bk_mt() {
  if _bk_virtual; then vtape -f "$device" "$@"; else mt -f "$device" "$@"; fi
}
# An unloaded tape is loaded again first.
_bk_rewind() { _bk_mt rewind 2>/dev/null || { _bk_mt load && _bk_mt rewind; }; }
_bk_tapeFile() {
  if _bk_virtual; then
    vtape -f "$device" status | sed -n 's/^file number //p'
  else
    mt -f "$device" status | sed -n 's/.*[Ff]ile number=\{0,1\} *\([-0-9]*\).*/\1/p' | head -1
  fi
}
# Standard input as one tape file of blocks of $1 bytes, ended by a file mark.
_bk_tapeWrite() {
  if _bk_virtual; then vtape -f "$device" write "$1"; else dd of="$device" bs="$1" iflag=fullblock status=none; fi
}
# One tape file to standard output, read to its file mark.
_bk_tapeRead() {
  local bs=$(( $1 > 262144 ? $1 : 262144 ))
  if _bk_virtual; then vtape -f "$device" read "$bs"; else dd if="$device" bs="$bs" status=none; fi
}

# ---------------------------------------------------------------- disk media

_bk_hdrArea() { local s=${dirSize:-0}; [ "$s" -gt 0 ] 2>/dev/null || s=1048576; echo $(( (s + 511) / 512 )); }
_bk_diskSize() {
  if [ -b "$device" ]; then blockdev --getsize64 "$device"; else stat -c %s -- "$device"; fi
}
# The start blocks known from the header's file-mark directory (the FMDIR file).
_bk_loadStarts() {
  _bk_starts=()
  [ -n "$fmDirName" ] && [ -r "$fmDirName" ] || return 0
  local first=1 n b area
  area=$(_bk_hdrArea)
  while read -r n b; do
    if [ -n "$first" ]; then first=; continue; fi
    case "$n$b" in *[!0-9]*|'') continue ;; esac
    [ "$b" -ge "$area" ] && _bk_starts[n]=$b
  done <"$fmDirName"
}

# ---------------------------------------------------------------- the steps

CheckFail() {
  local rc=$? st=("${PIPESTATUS[@]}") i
  if [ $rc -eq 0 ]; then
    # A name list that died (by a signal) gave the step only part of its names.
    for ((i = 0; i + 1 < ${#st[@]}; i++)); do
      [ "${st[i]}" -lt 128 ] || { _bk_error "the list of names of the step stopped (status ${st[i]})"; Exit; }
    done
    return 0
  fi
  [ -n "$_bk_failed" ] || _bk_error "a step of the script failed (status $rc)"
  Exit
}

AllOK() { return 0; }

LoadMedia() {
  local want=$1 text=
  case "$devType" in
    filesys) [ -r "$device/$dirFileM" ] && text=$(head -n 4 -- "$device/$dirFileM") ;;
    disk) text=$(dd if="$device" bs=512 count="$(_bk_hdrArea)" status=none 2>/dev/null |
                   cpio -i --to-stdout "$dirFileM" 2>/dev/null | head -n 4) ;;
    tape)
      _bk_rewind || { _bk_error "the tape in $device cannot be rewound"; return 1; }
      if _bk_isTar; then
        text=$(_bk_tapeRead "$(_bk_blk "$blkHeader")" | { tar -xOf - "$dirFileM" 2>/dev/null | head -n 4; cat >/dev/null; })
      else
        text=$(_bk_tapeRead "$(_bk_blk "$blkHeader")" | { cpio -i --to-stdout "$dirFileM" 2>/dev/null | head -n 4; cat >/dev/null; })
      fi
      _bk_mt rewind; _bk_pos=0 ;;
  esac
  local name type created label
  { read -r _; read -r name; read -r type; read -r created; } <<<"$text"
  label="${name}_${type}_${created}"
  label=${label// /_}
  if [ -z "$text" ]; then
    # "unkown_label" is what the toolkit saw on a medium whose start it did not
    # recognise: a blank medium is what it expects.
    [ "$want" = unkown_label ] && return 0
    _bk_error "the medium in $2 carries no header; expected $want"
  elif [ "$label" != "$want" ] && [ "$name" != "$want" ]; then
    _bk_error "the medium in $2 is $label, not $want"
  fi
}

REW() {
  _bk_pos=0
  case "$devType" in
    tape) _bk_rewind || _bk_error "the tape in $device cannot be rewound" ;;
    filesys) [ -d "$device" ] || _bk_error "the root directory $device is missing" ;;
    disk)
      [ -e "$device" ] || { _bk_error "the disk $device is missing"; return 1; }
      # The directory is taken from the tool once; later rewinds keep what was written.
      [ -n "$_bk_loaded" ] || { _bk_loadStarts; _bk_loaded=1; }
      [ -n "${_bk_starts[0]}" ] || _bk_starts[0]=$(_bk_hdrArea) ;;
  esac
}

# Skips count data files; the medium must then stand at data file $2.
FileF() {
  local count=$1 target=$2
  case "$devType" in
    tape) _bk_mt fsf "$count" || { _bk_error "cannot skip $count files on $device"; return 1; } ;;
  esac
  _bk_pos=$((_bk_pos + count))
  [ "$_bk_pos" -eq "$target" ] || _bk_error "skipped to data file $_bk_pos, expected $target"
}

# Goes to the end of the recorded data. The number is the header's next free data file
# once this job's archives are counted in, so the end found may not lie behind it.
EOD() {
  local n=$1 e=0
  case "$devType" in
    tape)
      _bk_mt eod || { _bk_error "cannot reach the end of data on $device"; return 1; }
      e=$(_bk_tapeFile) ;;
    filesys)
      while [ -e "$device/$e" ]; do e=$((e + 1)); done ;;
    disk)
      _bk_loadStarts; _bk_loaded=1
      for e in "${!_bk_starts[@]}"; do :; done
      [ -n "${_bk_starts[e]}" ] || { _bk_error "the file-mark directory of $device is empty"; return 1; } ;;
  esac
  _bk_pos=$e
  [ -n "$e" ] && [ "$e" -le "$n" ] || { _bk_error "$device holds data up to file $e, more than its header knows ($n)"; return 1; }
}

AssertFileMark() {
  local n=$1 at=$_bk_pos
  [ "$devType" = tape ] && at=$(_bk_tapeFile)
  [ "$at" = "$n" ] || { _bk_error "the medium stands at data file $at, not $n"; return 1; }
  case "$devType" in
    filesys) [ -e "$device/$n" ] || _bk_error "data file $n is missing on $device" ;;
    disk) [ -n "${_bk_starts[n]}" ] || _bk_error "data file $n is not in the file-mark directory" ;;
  esac
}

DataPartition() { _bk_part=data; _bk_partition 1; }
HeaderPartition() { _bk_part=header; _bk_partition 0; }
_bk_partition() {
  [ "$devType" = tape ] || return 0
  if _bk_virtual; then _bk_error "the virtual tape $device has no partitions"; return 1; fi
  mt -f "$device" setpartition "$1" || _bk_error "cannot select partition $1 on $device"
}

# The header file as the member $dirFileM, in the medium's format.
_bk_headerMember() {
  local tmp rc
  tmp=$(mktemp -d) || return 1
  command cp -- "$scriptDir/$dirFile" "$tmp/$dirFileM" || { rm -rf "$tmp"; return 1; }
  if _bk_isTar && [ "$devType" != disk ]; then
    tar -cf - -C "$tmp" -- "$dirFileM"; rc=$?
  else
    (cd "$tmp" && printf '%s\n' "$dirFileM" | cpio -o -H odc --quiet); rc=$?
  fi
  rm -rf "$tmp"
  return $rc
}

# The disk's file-mark directory into the header text, in place of what followed "END DIR".
_bk_fmdirIntoHeader() {
  local pos n
  pos=$(head -n 1 "$fmDirName" 2>/dev/null)
  [ -n "$pos" ] && [ "$pos" -gt 0 ] 2>/dev/null || pos=$(stat -c %s -- "$scriptDir/$dirFile")
  {
    head -c "$pos" -- "$scriptDir/$dirFile" | awk '/^BEGIN FMDIR$/ { exit } { print }'
    echo "BEGIN FMDIR"
    for n in "${!_bk_starts[@]}"; do echo "$n ${_bk_starts[n]}"; done
    echo "END FMDIR"
  } >"$scriptDir/$dirFile.fm" && mv -f -- "$scriptDir/$dirFile.fm" "$scriptDir/$dirFile"
}

WriteHeader() {
  [ -n "$dirFile" ] || { _bk_error "this medium format has no header"; return 1; }
  case "$devType" in
    filesys)
      command cp -- "$scriptDir/$dirFile" "$device/.$dirFileM.tmp" &&
        sync -- "$device/.$dirFileM.tmp" 2>/dev/null
      mv -f -- "$device/.$dirFileM.tmp" "$device/$dirFileM" ||
        { rm -f -- "$device/.$dirFileM.tmp"; _bk_error "the header cannot be written to $device"; } ;;
    disk)
      _bk_fmdirIntoHeader || { _bk_error "the file-mark directory cannot be kept"; return 1; }
      local member area
      member=$(mktemp) || return 1
      _bk_headerMember >"$member"
      area=$(( $(_bk_hdrArea) * 512 ))
      if [ "$(stat -c %s -- "$member")" -gt "$area" ]; then
        rm -f -- "$member"; _bk_error "the header does not fit the header area of $device ($area bytes)"; return 1
      fi
      dd if="$member" of="$device" bs=512 conv=notrunc status=none || { rm -f -- "$member"; _bk_error "the header cannot be written to $device"; return 1; }
      rm -f -- "$member" ;;
    tape)
      local st
      _bk_headerMember | _bk_tapeWrite "$(_bk_blk "$blkHeader")"
      st=("${PIPESTATUS[@]}")
      [ "${st[0]}" -eq 0 ] && [ "${st[1]}" -eq 0 ] || { _bk_error "the header cannot be written to $device (medium full?)"; return 1; }
      _bk_pos=$((_bk_pos + 1)) ;;
  esac
}

# The archive stream of the names on standard input (one a line), to standard output. The
# archiver takes the names as they come, so it works while the script still lists them.
_bk_stream() {
  local follow=$1
  if _bk_isTar; then
    local opts=(--no-recursion --null --verbatim-files-from -T -)
    [ -n "$follow" ] && opts+=(-h)
    tr '\n' '\0' | tar -cf - -b "$(( $(_bk_blk "$blkData") / 512 ))" "${opts[@]}"
  else
    # cpio names its directories without "/". GNU cpio reads every file 512 bytes at a
    # time, a system call each; bsdcpio (libarchive's cpio) reads in large blocks and writes
    # the same odc archive, so it is taken where installed (the flag BK_GNU_CPIO keeps to
    # GNU cpio).
    local opts=(-o -0 --quiet -C 65536 --format odc)  # the same options for either
    [ -n "$follow" ] && opts+=(-L)
    # Both cpio leave out a file they cannot store (one of 8 GiB or more, say) with no more
    # than a message and end with status 0: the messages go to $_bk_said for WriteFileList.
    sed 's|\(.\)/$|\1|' | tr '\n' '\0' | "$_bk_cpio" "${opts[@]}" 2>"${_bk_said:-/dev/stderr}"
  fi
}

# Fails the step with what the archiver said while it wrote data file $1, if anything.
_bk_archiverSaid() {
  local line status=0
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    _bk_error "data file $1: ${line}"; status=1
  done <"$_bk_said"
  rm -f -- "$_bk_said"; _bk_said=
  return $status
}

# The stream passes on unchanged; with checksums on, bksums takes the sums of its members
# on the way (in large blocks, so that the archiver stays the slowest part of the path).
_bk_tee() {
  if [ -n "$_bk_sums" ]; then
    bksums -a "$_bk_sumAlg" -o "$_bk_sums" "$(_bk_isTar && echo tar || echo cpio)"
    return
  fi
  cat
}
_bk_compress() { if [ -n "$softCompress" ]; then gzip -c; else cat; fi; }

WriteFileList() {
  local follow= rc=0 said=0
  [ "$1" = FOLLOW ] && follow=1
  local n=$_bk_pos sink
  _bk_said=$(mktemp) || { _bk_error "no temporary file"; return 1; }
  _bk_progress "writing $PWD"
  [ -z "$_bk_sums" ] || printf '# data file %s from %s\n' "$n" "$PWD" >>"$_bk_sums"
  case "$devType" in
    filesys)
      sink="$device/.$n.part"
      # Straight to the medium when nothing needs to see the stream on its way.
      if [ -n "$softCompress" ]; then
        _bk_stream "$follow" | _bk_tee | _bk_compress >"$sink"
      elif [ -n "$_bk_sums" ]; then
        _bk_stream "$follow" | _bk_tee >"$sink"
      else
        _bk_stream "$follow" >"$sink"
      fi
      local st=("${PIPESTATUS[@]}")
      for rc in "${st[@]}"; do [ "$rc" -eq 0 ] || break; done
      _bk_archiverSaid "$n" || said=1
      if [ "$rc" -eq 0 ] && [ "$said" -eq 0 ] && mv -f -- "$sink" "$device/$n"; then :; else
        rm -f -- "$sink"
        [ "$rc" -eq 0 ] && [ "$said" -eq 1 ] && return 1
        _bk_error "data file $n could not be written to $device (medium full?)"; return 1
      fi ;;
    disk)
      local start=${_bk_starts[n]} size end out
      [ -n "$start" ] || { rm -f -- "$_bk_said"; _bk_error "no start block for data file $n"; return 1; }
      size=$(_bk_diskSize)
      out=$(mktemp)
      _bk_stream "$follow" | _bk_tee | _bk_compress | head -c $(( size - start * 512 + 1 )) |
        dd of="$device" bs=1M seek=$((start * 512)) oflag=seek_bytes conv=notrunc 2>"$out"
      local st=("${PIPESTATUS[@]}") bytes
      _bk_archiverSaid "$n" || said=1
      bytes=$(sed -n 's/^\([0-9][0-9]*\) bytes.*/\1/p' "$out" | tail -n 1)
      rm -f -- "$out"
      end=$(( start * 512 + ${bytes:-0} ))
      if [ "${st[0]}" -ne 0 ] || [ "${st[1]}" -ne 0 ] || [ "${st[2]}" -ne 0 ] || [ "${st[4]}" -ne 0 ] ||
         [ "$end" -gt "$size" ]; then
        [ -b "$device" ] || truncate -s "$size" -- "$device"
        _bk_error "data file $n does not fit on $device (medium full)"; return 1
      fi
      [ "$said" -eq 0 ] || return 1
      _bk_starts[n + 1]=$(( (end + 511) / 512 )) ;;
    tape)
      _bk_stream "$follow" | _bk_tee | _bk_compress | _bk_tapeWrite "$(_bk_blk "$blkData")"
      local st=("${PIPESTATUS[@]}")
      _bk_archiverSaid "$n" || said=1
      if [ "${st[0]}" -ne 0 ] || [ "${st[1]}" -ne 0 ] || [ "${st[2]}" -ne 0 ] || [ "${st[3]}" -ne 0 ]; then
        _bk_error "data file $n could not be written to $device (medium full?)"; return 1
      fi
      [ "$said" -eq 0 ] || return 1 ;;
  esac
  _bk_pos=$((n + 1))
}

WFM() {
  local n=$_bk_pos
  case "$devType" in
    filesys) : >"$device/.$n.part" && mv -f -- "$device/.$n.part" "$device/$n" || { _bk_error "cannot write data file $n"; return 1; } ;;
    disk) [ -n "${_bk_starts[n]}" ] || { _bk_error "no start block for data file $n"; return 1; }
          _bk_starts[n + 1]=${_bk_starts[n]} ;;
    tape) _bk_mt weof 1 || { _bk_error "cannot write a file mark on $device"; return 1; } ;;
  esac
  _bk_pos=$((n + 1))
}

# The current data file to standard output.
_bk_dataOut() {
  local n=$_bk_pos
  case "$devType" in
    filesys) cat -- "$device/$n" ;;
    disk)
      # The data file ends where the next one the directory knows begins (a mark in
      # between may be missing), so that a restore does not stream the rest of a large disk.
      local start=${_bk_starts[n]} next= i
      for i in "${!_bk_starts[@]}"; do
        [ "$i" -gt "$n" ] && [ "${_bk_starts[i]}" -ge "$start" ] && { next=${_bk_starts[i]}; break; }
      done
      if [ -n "$next" ]; then
        dd if="$device" bs=1M skip=$((start * 512)) count=$(( (next - start) * 512 )) iflag=skip_bytes,count_bytes status=none
      else
        dd if="$device" bs=1M skip=$((start * 512)) iflag=skip_bytes status=none
      fi ;;
    tape) _bk_tapeRead "$(_bk_blk "$blkData")" ;;
  esac
}

# True when the wanted names (file $1) are all the members of the data file (file $2),
# both NUL-ended: the archiver then restores the data file whole, without the guard.
_bk_wantsAll() {
  [ -s "$2" ] && cmp -s <(sed -z 's|/$||' "$1" | LC_ALL=C sort -zu) <(sed -z 's|/$||' "$2" | LC_ALL=C sort -zu)
}

# Keeps the wanted names (file $1, NUL-ended) that stay inside the base directory: not
# absolute, without "..", not below a symbolic link on the disk; the others are reported.
# Each directory above the names is looked at once, however many files it holds.
_bk_filterNames() {
  local in=$1 out=$1.ok p line
  awk 'BEGIN { RS = ORS = "\0" }
       { p = $0; sub(/\/$/, "", p)
         while (sub(/\/[^\/]*$/, "", p)) if (!(p in seen)) { seen[p]; print p } }' "$in" >"$out.dirs"
  while IFS= read -r -d '' p; do
    if [ -L "$p" ]; then printf '%s\0' "$p"; fi
  done <"$out.dirs" >"$out.links"
  awk -v bad="$out.bad" 'BEGIN { RS = ORS = "\0" }
    FILENAME == ARGV[1] { l[$0]; next }
    { why = ""
      if ($0 ~ /^\//) why = "an absolute name"
      else if (("/" $0 "/") ~ /\/\.\.\//) why = "a name with '"'..'"'"
      else {
        p = $0; sub(/\/$/, "", p)
        while (sub(/\/[^\/]*$/, "", p)) if (p in l) { why = "below the symbolic link " p; break }
      }
      if (why == "") print; else printf "%s (%s)\n", $0, why >bad
    }' "$out.links" "$in" >"$out"
  if [ -s "$out.bad" ]; then while IFS= read -r line; do _bk_error "not restored: $line"; done <"$out.bad"; fi
  rm -f -- "$out.dirs" "$out.links" "$out.bad"
  mv -f -- "$out" "$in"
}

# Extracts the archive stream on standard input into the current directory, keeping the
# members' modes and times and replacing what is there. For cpio bsdcpio where it is
# installed, which extracts a large tree faster than GNU cpio; GNU cpio without it or
# when the flag BK_GNU_CPIO asks for it. Neither writes absolute names, ".." or through
# links (bsdcpio refuses them unless told to be insecure).
_bk_extract() {
  if _bk_isTar; then
    tar -xpf -
  elif [ "$_bk_cpio" = bsdcpio ]; then
    bsdcpio -i -dmu --quiet
  else
    cpio -i -dmu -C 65536 --no-absolute-filenames --quiet
  fi
}

# The current data file, decompressed when the medium holds it compressed.
_bk_dataPlain() {
  [ -n "$softCompress" ] || { _bk_dataOut; return; }
  _bk_dataOut | gzip -dc
  local st=("${PIPESTATUS[@]}")
  [ "${st[0]}" -eq 0 ] && [ "${st[1]}" -eq 0 ]
}

# Restores the wanted names (one a line on standard input) from the current data file.
# A data file restored whole goes straight to the archiver. Otherwise it is read once,
# through the guard (bksums -g): it passes on only the wanted members, none below a link
# the data file itself plants and no hard link to a member left out, and the archiver
# extracts whatever comes, with no names to match: matching every member against every
# wanted name takes time of the square of their number. The guard reads the data file to
# its end, so that a tape stands behind its mark.
ReadFileList() {
  local list err fmt=cpio rc=0 st line
  _bk_isTar && fmt=tar
  list=$(mktemp) && err=$(mktemp) || { _bk_error "no temporary file"; return 1; }
  _bk_progress "restoring into $PWD"
  tr '\n' '\0' >"$list"
  _bk_filterNames "$list"
  local file="$device/$_bk_pos"
  if [ "$devType" = filesys ] && [ -z "$softCompress" ] &&
     bksums -l -n "$err.all" "$fmt" <"$file" >"$err.links" && [ ! -s "$err.links" ] &&
     _bk_wantsAll "$list" "$err.all"; then
    # All of it, and no links that a member could be written through (bksums read the
    # headers only, seeking over the members).
    _bk_extract <"$file"
    rc=$?
  else
    if [ "$devType" = filesys ] && [ -z "$softCompress" ]; then
      bksums -g -w "$list" "$fmt" <"$file" 2>"$err" | _bk_extract  # a file: read where it lies
      st=(0 "${PIPESTATUS[@]}")
    else
      _bk_dataPlain | bksums -g -w "$list" "$fmt" 2>"$err" | _bk_extract
      st=("${PIPESTATUS[@]}")
    fi
    rc=${st[2]}; [ "${st[0]}" -eq 0 ] && [ "${st[1]}" -eq 0 ] || rc=1
    while IFS= read -r line; do _bk_error "${line#bksums: }"; done <"$err"
  fi
  rm -f -- "$list" "$err" "$err.all" "$err.links"
  _bk_pos=$((_bk_pos + 1))
  [ $rc -eq 0 ] || { _bk_error "restoring from data file $((_bk_pos - 1)) failed"; return 1; }
}

UpdateMediaInfo() {
  local label=$1 hdr=$2
  if [ -n "$hdr" ]; then
    [ -s "$hdr" ] || { _bk_error "the header copy $hdr is missing"; return 1; }
    if [ -n "$_bk_sums" ]; then
      cp "$_bk_sums" "$hdr.sums" || _bk_error "the checksums cannot be kept beside $hdr"
    fi
  fi
  _bk_note "medium ${label:-(new)} now described by ${hdr:-its header only}"
}

Unload() {
  case "$devType" in
    tape) _bk_mt offline || _bk_error "the tape in $device cannot be unloaded" ;;
  esac
  return 0
}

# Tells the outcome and ends the script: status 0 only when every step succeeded.
Exit() {
  local rc=$? text status
  [ $rc -eq 0 ] || [ -n "$_bk_failed" ] || _bk_error "the script stopped (status $rc)"
  if [ -s "$scriptDir/REFUSED" ]; then
    while IFS= read -r name; do _bk_error "not saved: a file name with a line feed: $name"; done <"$scriptDir/REFUSED"
  fi
  if [ -n "$_bk_failed" ]; then text=$notifyError; status=1; else text=$notifyOK; status=0; fi
  text=${text//\\n/$'\n'}
  if [ -n "$_bk_failed" ]; then text+=$'\n'; text+=$(printf '%s\n' "${_bk_errors[@]}"); fi
  _bk_note "$([ $status -eq 0 ] && echo OK || echo FAILED): ${text//$'\n'/ / }"
  # A message window when a display is usable (xmessage fails quietly otherwise).
  if [ "$notifyOK" != NO_NOTIFY ] && [ -n "$DISPLAY" ] && command -v xmessage >/dev/null 2>&1; then
    (timeout 3600 xmessage -center -- "$text" >/dev/null 2>&1 &)
  fi
  [ -n "$_bk_sums" ] && rm -f -- "$_bk_sums"
  exit $status
}

if ! _bk_flag BK_GNU_CPIO && command -v bsdcpio >/dev/null 2>&1; then _bk_cpio=bsdcpio; fi
if _bk_flag BK_CHECKSUMS; then
  _bk_sumAlg=$(_bk_flagValue BK_CHECKSUMS)
  [ "$_bk_sumAlg" = sha256 ] || _bk_sumAlg=xxh128
  _bk_sums=$(mktemp) && printf '# checksums %s\n' "$_bk_sumAlg" >"$_bk_sums"
fi
