#!/usr/bin/env bash
# The boot lane: Debian's stock kernel under qemu (tcg) boots the host's own
# systemd as PID 1, on the host's root shared read-only with an overlay whose
# upper layer lives on a disk image, twice on the same image.  A unit of the
# image runs scripts/vm/boot-guest.sh at each boot: the first installs this
# tree's packages and defines networks, the second finds them back.
#
#   boot.sh DEBS_DIR BINARY_DIR [CACHE_DIR]
#
# DEBS_DIR holds the packages of scripts/build-debs.sh; BINARY_DIR is the
# build tree with the platform's stand-ins (libkxctl.so.1, kxct).
# Exit status: 0 both boots passed, 1 a boot failed or gave no end marker,
# 77 a prerequisite is missing.  Environment: KXNET_VM_CACHE, KXNET_VM_TIMEOUT
# (seconds per boot, 600), KXNET_VM_SMP (2), KXNET_VM_MEM (MiB, 1024).
set -uo pipefail
export PATH=$PATH:/usr/sbin:/sbin

here=$(cd "$(dirname "$0")" && pwd)
debs=$(readlink -f "${1:?usage: boot.sh DEBS_DIR BINARY_DIR [CACHE_DIR]}")
binary_dir=$(readlink -f "${2:?usage: boot.sh DEBS_DIR BINARY_DIR [CACHE_DIR]}")
cache=${KXNET_VM_CACHE:-${3:-/var/cache/kxnet-vm}}
timeout_s=${KXNET_VM_TIMEOUT:-600}
boot_modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk 9pnet 9pnet_virtio netfs fscache 9p overlay ext4"

skip() { echo "vm boot skipped: $*"; exit 77; }
note() { echo "vm boot: $*"; }

# --- Prerequisites on the host. ---
qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is not installed (package qemu-system-x86)"
busybox=""
for candidate in /bin/busybox /usr/bin/busybox; do
  if [[ -x $candidate ]] && ! ldd "$candidate" >/dev/null 2>&1; then busybox=$candidate; break; fi
done
[[ -n $busybox ]] || skip "no static busybox (package busybox-static)"
command -v depmod >/dev/null && command -v modprobe >/dev/null || skip "kmod is not installed"
command -v mkfs.ext4 >/dev/null || skip "mkfs.ext4 is not installed (package e2fsprogs)"
command -v jq >/dev/null || skip "jq is not installed"
[[ $(readlink -f /sbin/init) == */systemd ]] || skip "the host root has no systemd as /sbin/init (package systemd-sysv)"
command -v ovs-vswitchd >/dev/null || skip "Open vSwitch is not installed (package openvswitch-switch)"
for package in libkxnet-ct3 libkxnet-ct-dev kxnetctl; do
  ls "$debs/${package}_"*.deb >/dev/null 2>&1 || skip "no $package package in $debs (tool.debs builds them)"
done
[[ -f $binary_dir/platform/libkxctl.so.1 && -x $binary_dir/platform/kxct/kxct ]] ||
  skip "no platform stand-ins in $binary_dir/platform"

# --- The kernel. ---
kroot=$("$here/kernel.sh" "$cache") ||
  skip "no stock kernel package could be obtained (apt-get download linux-image-6.1.0-*-amd64)"
version=$(ls "$kroot/lib/modules" | head -n1)
vmlinuz=$kroot/boot/vmlinuz-$version
[[ -f $vmlinuz ]] || skip "the cached kernel at $kroot has no vmlinuz"

work=$(mktemp -d "${TMPDIR:-/tmp}/kxnet-boot.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- The initramfs: busybox, the boot modules in dependency order, init. ---
initrd=$work/initrd
mkdir -p "$initrd"/{bin,modules,proc,sys,dev,lower,rw,newroot}
cp "$busybox" "$initrd/bin/busybox"
: >"$initrd/modules/order"
for module in $boot_modules; do
  modprobe --show-depends -d "$kroot" -S "$version" "$module" 2>/dev/null | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
  cp "$ko" "$initrd/modules/" && basename "$ko" >>"$initrd/modules/order"
done
cp "$here/boot-init.sh" "$initrd/init"
chmod +x "$initrd/init"
(cd "$initrd" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$work/initrd.cpio" ||
  { echo "vm boot: initramfs could not be built"; exit 1; }

# --- The upper layer's first content: the guest's own units, and the host's
# enabled services masked (the guest runs no host daemons but Open vSwitch). ---
upper=$work/stage/upper
units=$upper/etc/systemd/system
mkdir -p "$units/multi-user.target.wants" "$units/sysinit.target.wants" "$work/stage/work" "$upper/var/lib/kxnet-boot"
: >"$upper/etc/fstab"
echo kxnet-boot >"$upper/etc/hostname"
for wanted in /etc/systemd/system/*.wants/*; do
  name=${wanted##*/}
  case $name in
    openvswitch-switch.service | ovsdb-server.service | ovs-vswitchd.service | kxnet.service | *.target) ;;
    *) ln -sf /dev/null "$units/$name" ;;
  esac
done
for name in serial-getty@ttyS0.service console-getty.service getty@tty1.service systemd-timesyncd.service apt-daily.timer \
  apt-daily-upgrade.timer; do
  ln -sf /dev/null "$units/$name"
done
# What the guest installs and runs comes with the image: the packages, the
# platform's stand-ins and the guest's script.
lane=$upper/var/lib/kxnet-boot
mkdir -p "$lane/debs" "$lane/platform"
cp "$debs"/libkxnet-ct3_*.deb "$debs"/libkxnet-ct-dev_*.deb "$debs"/kxnetctl_*.deb "$lane/debs/"
cp -L "$binary_dir/platform/libkxctl.so.1" "$binary_dir/platform/kxct/kxct" "$lane/platform/"
cp "$here/boot-guest.sh" "$lane/boot-guest.sh"
cat >"$upper/etc/kxnet-boot.env" <<EOF2
KXNET_BOOT_DEBS=/var/lib/kxnet-boot/debs
KXNET_BOOT_PLATFORM=/var/lib/kxnet-boot/platform
EOF2
# The host's NIC: a dummy device with a fixed address, made before
# kxnet.service as a driver would.
cat >"$units/kxnet-boot-nic.service" <<'EOF2'
[Unit]
Description=The boot lane's network card (a dummy device)
DefaultDependencies=no
Before=kxnet.service openvswitch-switch.service
[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/sbin/ip link add kxnic0 address 02:00:00:00:10:01 type dummy
ExecStart=/sbin/ip link set kxnic0 up
[Install]
WantedBy=sysinit.target
EOF2
ln -s ../kxnet-boot-nic.service "$units/sysinit.target.wants/kxnet-boot-nic.service"
cat >"$units/kxnet-boot.service" <<EOF2
[Unit]
Description=The boot lane's checks
After=multi-user.target
[Service]
Type=oneshot
EnvironmentFile=/etc/kxnet-boot.env
ExecStart=/bin/bash /var/lib/kxnet-boot/boot-guest.sh
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
TimeoutStartSec=infinity
[Install]
WantedBy=multi-user.target
EOF2
ln -s ../kxnet-boot.service "$units/multi-user.target.wants/kxnet-boot.service"

image=$work/disk.img
mkfs.ext4 -q -F -L kxnet-boot -d "$work/stage" "$image" 1G || { echo "vm boot: the disk image could not be made"; exit 1; }

# --- Two boots on the same image. ---
boot() { # number
  local log=$work/console-$1.log start status marker
  start=$(date +%s)
  note "boot $1: $version under tcg with systemd (timeout ${timeout_s}s)"
  timeout --kill-after=10 "$timeout_s" "$qemu" -accel tcg -cpu max \
    -smp "${KXNET_VM_SMP:-2}" -m "${KXNET_VM_MEM:-1024}" \
    -kernel "$vmlinuz" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init systemd.show_status=error" \
    -drive file="$image",if=virtio,format=raw \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$kroot/lib/modules",mount_tag=kmods,security_model=none,readonly=on,multidevs=remap \
    -display none -monitor none -serial stdio -no-reboot -nodefaults -net none \
    </dev/null 2>&1 | stdbuf -oL tr -d '\r' | tee "$log"
  status=${PIPESTATUS[0]}
  note "boot $1: the guest ran $(($(date +%s) - start))s"
  marker=$(sed -n 's/^KXBOOT-END status=\([0-9]*\)$/\1/p' "$log" | tail -n1)
  if [[ -z $marker ]]; then
    [[ $status == 124 || $status == 137 ]] && note "boot $1: the guest did not finish within ${timeout_s}s"
    note "boot $1: FAILED, no end marker (qemu status $status)"
    return 1
  fi
  [[ $marker == 0 ]] || { note "boot $1: FAILED (status $marker)"; return 1; }
  note "boot $1: passed"
}
lane_start=$(date +%s)
boot 1 || exit 1
boot 2 || exit 1
note "both boots passed in $(($(date +%s) - lane_start))s"
