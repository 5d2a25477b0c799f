#!/bin/busybox sh
# /init of the 32-bit test guest (scripts/qemu-guest.sh builds it into the initramfs beside
# busybox and the 9p modules). It mounts the host's root read-only and each work folder
# read-write at its own path, runs the command the host wrote into its run folder inside that
# tree, leaves the exit status there and powers the guest off.
#
# The kernel command line names the folders: velmora.work=DIR[:DIR...] velmora.run=DIR.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

# The 9p file system over virtio, in dependency order (no modprobe here to resolve it).
for module in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci 9pnet \
              9pnet_virtio netfs fscache 9p; do
  insmod "/modules/$module.ko" || echo "init: cannot load $module"
done

work= run=
for word in $(cat /proc/cmdline); do
  case $word in
    velmora.work=*) work=${word#velmora.work=} ;;
    velmora.run=*) run=${word#velmora.run=} ;;
  esac
done

nine="trans=virtio,version=9p2000.L,msize=512000"
mkdir -p /host
# The host root does not change while the guest runs: its pages may be cached.
mount -t 9p -o "$nine,ro,cache=loose" root /host
# A new Wine prefix is made here: 1.3 GB, more than the default half of the memory.
mount -t tmpfs -o size=3g tmpfs /host/tmp
mount -t tmpfs tmpfs /host/run
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
mkdir -p /host/dev/pts /host/dev/shm
mount -t devpts devpts /host/dev/pts
mount -t tmpfs tmpfs /host/dev/shm
index=0
for folder in $(echo "$work" | tr ':' ' '); do
  mkdir -p "/host$folder"  # a folder under /tmp lies in the guest's new, empty /tmp
  # With the page cache: without it, Wine read parts of the programs here as zeros (and they
  # crashed). Nothing on the host writes to the folder while the guest runs.
  mount -t 9p -o "$nine,cache=loose" "work$index" "/host$folder"
  index=$((index + 1))
done
# Wine's server and the tests talk over local sockets only.
ip link set lo up

chroot /host /bin/bash -c 'cd "$1" && bash ./command.sh >./output 2>&1; echo $? >./status' \
  init "$run"
sync
poweroff -f
