#!/usr/bin/env bash
# Runs a command in a small QEMU guest that executes 32-bit x86 code, for machines whose kernel
# refuses it: qemu-guest.sh SECONDS COMMAND [ARG...]
#
# The guest is Debian's own kernel (the package linux-image-amd64 names, unpacked, not
# installed) with an initramfs of busybox and the 9p modules; scripts/qemu-guest-init.sh is its
# /init. It sees this machine's root read-only and the project folder read-write at the same
# path, runs COMMAND there with bash in the current folder, and this script exits with
# COMMAND's status, after printing its output. Kernel and initramfs are made from Debian's
# packages once and kept in build/qemu/guest. A guest still running after SECONDS is stopped, and
# the script then fails with the guest's console.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=$1
shift
guest="$VELMORA_ROOT/build/qemu/guest"
modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci 9pnet
         9pnet_virtio netfs fscache 9p)

make_guest() {
  local kernel_package version work="$guest.making"
  kernel_package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: //p' | head -1)
  velmora_log "making the 32-bit test guest from $kernel_package and busybox-static"
  rm -rf "$work"
  mkdir -p "$work/download" "$work/root/bin" "$work/root/modules"
  (cd "$work/download" && apt-get download -q "$kernel_package" >/dev/null 2>&1)
  dpkg-deb -x "$work"/download/*.deb "$work/kernel"
  version=$(ls "$work/kernel/lib/modules")
  for module in "${modules[@]}"; do
    find "$work/kernel/lib/modules/$version" -name "$module.ko" -exec cp {} "$work/root/modules" \;
    [ -f "$work/root/modules/$module.ko" ] || { echo "no $module.ko in $kernel_package" >&2; exit 1; }
  done
  cp /bin/busybox "$work/root/bin/busybox"
  install -m 755 "$VELMORA_ROOT/scripts/qemu-guest-init.sh" "$work/root/init"
  mkdir -p "$work/root/proc" "$work/root/sys" "$work/root/dev"
  (cd "$work/root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -9) >"$work/initrd.img"
  cp "$work/kernel/boot/vmlinuz-$version" "$work/vmlinuz"
  mkdir -p "$guest"
  mv "$work/vmlinuz" "$work/initrd.img" "$guest/"
  rm -rf "$work"
}
# The initramfs carries the init script: a changed script makes a new guest.
if [ ! -f "$guest/vmlinuz" ] || [ "$VELMORA_ROOT/scripts/qemu-guest-init.sh" -nt "$guest/initrd.img" ]
then
  make_guest
fi

# The command, its folder and the environment it needs, for the guest's bash.
run=$(mktemp -d "$VELMORA_ROOT/build/qemu/run.XXXXXX")
velmora_on_exit "rm -rf '$run'"
{
  printf 'export PATH=%q HOME=/tmp VELMORA_IN_GUEST=1 WINEDEBUG=%q WINEPREFIX=%q\n' "$PATH" \
    "$WINEDEBUG" \
    "${VELMORA_GUEST_WINEPREFIX:-/tmp/wineprefix}"
  printf 'cd %q &&' "$PWD"
  printf ' %q' "$@"
  printf '\n'
} >"$run/command.sh"

# -accel tcg: software emulation; KVM here does not take a standard guest (it stops on
#   MSR 0x10a or an emulation failure).
# -cpu qemu64: QEMU 7.2's default "max" model makes the guest kernel oops at iret in 32-bit Wine.
# -m 4G: the guest's /tmp (memory) holds a new Wine prefix, 1.3 GB.
# -smp 1: a second virtual CPU made nothing faster under software emulation.
# -no-reboot with panic=-1: a guest kernel panic ends QEMU instead of looping.
# -virtfs multidevs=remap: the host's root spans several file systems whose inode numbers
#   would otherwise collide in the guest.
case "$VELMORA_ROOT" in *[[:space:]:]*)
  echo "qemu-guest.sh: the project folder's path holds a space or a colon" >&2; exit 2 ;;
esac
status=0
# --foreground: QEMU stays in the caller's process group, where a caller may stop it.
timeout --foreground -k 10 "$seconds" qemu-system-x86_64 -accel tcg -cpu qemu64 -m 4G -smp 1 \
  -display none -monitor none -serial "file:$run/console.log" -no-reboot \
  -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
  -append "console=ttyS0 quiet panic=-1 velmora.work=$VELMORA_ROOT velmora.run=$run" \
  -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$VELMORA_ROOT,mount_tag=work0,security_model=none,multidevs=remap" ||
  status=$?
[ ! -f "$run/output" ] || cat "$run/output"
if [ ! -f "$run/status" ]; then
  [ "$status" -ne 124 ] || echo "qemu-guest.sh: the guest was stopped after $seconds s" >&2
  echo "qemu-guest.sh: the command did not finish in the guest; its console:" >&2
  tail -n 40 "$run/console.log" >&2 || true
  exit 1
fi
exit "$(cat "$run/status")"
