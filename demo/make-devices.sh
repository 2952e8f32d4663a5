#!/bin/sh
# Makes the demo installation's devices in DEMO_DIR (default: demo/run beside this
# script), with the programs and catalogues of BUILD_DIR (default: build/release):
#
#   env/devices.Velmar   the device catalogue:
#                          unixFS   a directory tree (media/fs), mounted by command
#                          mod1GB   a removable disk backed by an image file
#                          exa8500  a virtual tape drive (media/exa8500)
#                          exa8500  a virtual tape on "localhost", reached through the
#                                   remote shell stand-in and our remote tape server
#   env/devices.cfg      the file-system device's mount and unmount commands: mounting
#                        makes mnt/demofs appear (a link to media/fs) and prints it;
#                        without media/fs (no medium) the mount fails
#   demo.env             the settings to source before running the tools
#
# Tests make their devices with this script too, so the demo and the tests agree.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
demo=${1:-$here/run}
build=${2:-$here/../build/release}
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
build=$(cd "$build" && pwd)
bin=$build/bin

mkdir -p "$demo/env" "$demo/bin" "$demo/media/fs" "$demo/mnt" "$demo/dat" "$demo/tmp" \
  "$demo/customer" "$demo/projects"
# The message catalogues of the build, seen through the installation's own env/.
for lang in "$build"/env/*/; do
  [ -d "$lang" ] || continue
  [ -e "$demo/env/$(basename "$lang")" ] || ln -s "$lang" "$demo/env/$(basename "$lang")"
done

# The removable disk: a sparse image of the medium's size.
[ -f "$demo/media/mod1GB.img" ] || truncate -s 1073741824 "$demo/media/mod1GB.img"

# The tape drives: virtual tapes, 4 GB each.
for t in exa8500 remote-tape; do
  [ -d "$demo/media/$t" ] || "$bin/vtape" create "$demo/media/$t" 4G
done

cat > "$demo/bin/fs-mount" <<MOUNT
#!/bin/sh
# Mounts the demo file system: its mount point appears, and is printed.
[ -d "$demo/media/fs" ] || { echo "fs-mount: no medium in $demo/media/fs" >&2; exit 1; }
ln -sfn "$demo/media/fs" "$demo/mnt/demofs" && echo "$demo/mnt/demofs"
MOUNT
cat > "$demo/bin/fs-umount" <<UMOUNT
#!/bin/sh
# Unmounts the demo file system: its mount point goes away.
rm -f "$demo/mnt/demofs"
UMOUNT
chmod 755 "$demo/bin/fs-mount" "$demo/bin/fs-umount"

cat > "$demo/env/devices.Velmar" <<CATALOGUE
# Devices of the demo installation: class:host:device:alternative name:description
# An empty host is this machine.
unixFS::$demo/media/fs:demofs:File system (demo directory)
mod1GB::$demo/media/mod1GB.img:mod1:MO disk 1 GB (image file)
exa8500::$demo/media/exa8500:exa1:Exabyte 8500 (virtual tape)
exa8500:localhost:$demo/media/remote-tape:exa2:Mammoth on localhost (remote tape server)
CATALOGUE

cat > "$demo/env/devices.cfg" <<CONFIG
# Settings per device; the section is the device's alternative name.
[demofs]
mountCmd = $demo/bin/fs-mount
umountCmd = $demo/bin/fs-umount
capacity = 1073741824
CONFIG

cat > "$demo/demo.env" <<ENV
# Source this before running the tools on the demo installation.
ZOLTENV=$demo/env; export ZOLTENV
ZOLTDAT=$demo/dat; export ZOLTDAT
TMP=$demo/tmp; export TMP
VM_CUSTOMER=$demo/customer; export VM_CUSTOMER
VM_PROJECTS=$demo/projects; export VM_PROJECTS
VM_REMOTE_SHELL=vrsh; export VM_REMOTE_SHELL
PATH=$bin:\$PATH; export PATH
ENV
echo "$demo"
