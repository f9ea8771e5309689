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
# build tree with the platform's stand-ins (libkxctl.so.1, kxct, kxctl-cuse),
# where BINARY_DIR/vm-boot receives the lane's log and the guest's consoles.
# Exit status: 0 both boots passed, 1 a boot failed or gave no end marker,
# 77 a prerequisite is missing.  Environment: KXNET_VM_CACHE, KXNET_VM_TIMEOUT
# (seconds per boot, 900), KXNET_VM_SMP (2), KXNET_VM_MEM (MiB, 1024).
set -uo pipefail
export PATH=$PATH:/usr/sbin:/sbin

here=$(cd "$(dirname "$0")" && pwd)
debs=$(readlink -f "${1:?usage: boot.sh DEBS_DIR BINARY_DIR [CACHE_DIR]}")
binary_dir=$(readlink -f "${2:?usage: boot.sh DEBS_DIR BINARY_DIR [CACHE_DIR]}")
cache=${KXNET_VM_CACHE:-${3:-/var/cache/kxnet-vm}}
timeout_s=${KXNET_VM_TIMEOUT:-900}

# What the lane saw, kept in BINARY_DIR/vm-boot for CI's log: its own lines,
# the guest's part of each console and the consoles whole.
report=$binary_dir/vm-boot
mkdir -p "$report" && : >"$report/lane.log"
skip() { echo "vm boot skipped: $*" | tee -a "$report/lane.log"; exit 77; }
note() { echo "vm boot: $*" | tee -a "$report/lane.log"; }
source "$here/common.sh"

# --- Prerequisites on the host. ---
vm_host_tools
command -v mkfs.ext4 >/dev/null || skip "mkfs.ext4 is not installed (package e2fsprogs)"
command -v jq >/dev/null || skip "jq is not installed"
[[ $(readlink -f /sbin/init) == */systemd ]] || skip "the host root has no systemd as /sbin/init (package systemd-sysv)"
command -v ovs-vswitchd >/dev/null || skip "Open vSwitch is not installed (package openvswitch-switch)"
for package in libkxnet-ct3 libkxnet-ct-dev kxnetctl; do
  ls "$debs/${package}_"*.deb >/dev/null 2>&1 || skip "no $package package in $debs (tool.debs builds them)"
done
platform=$binary_dir/platform
[[ -f $platform/libkxctl.so.1 && -x $platform/kxct/kxct ]] || skip "no platform stand-ins in $platform"
# A physical interface joins an Open vSwitch network through a pair that only
# the container kernel's /dev/kxctl makes; a stock kernel needs the stand-in.
[[ -x $platform/kxctl-cuse/kxctl-cuse ]] || skip "no kxctl-cuse in $platform (package libfuse3-dev)"
vm_kernel "$cache"

work=$(mktemp -d "${TMPDIR:-/tmp}/kxnet-boot.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The container kernel's /proc/kx lists, which a stock kernel lacks: the
# stand-in module, built against the kernel's own headers.  Without it the
# container's host end looks like a NIC there and is not attached.
kxproc=$("$here/kxproc.sh" "$cache" "$kroot" "$work" 2>"$work/kxproc.log") || {
  note "no /proc/kx stand-in, so the container's host end is not attached: $(tail -n1 "$work/kxproc.log")"
  kxproc=""
}

# --- The initramfs: the 9p and overlay modules, and the disk image's. ---
vm_initramfs "$work/initrd.cpio" "$here/boot-init.sh" "$vm_boot_modules virtio_blk ext4" ||
  { echo "vm boot: initramfs could not be built"; exit 1; }

# --- The upper layer's first content: the guest's own units, a minimal
# multi-user target, and every unit masked that has nothing to do in a guest
# without consoles, timers, udev or persistent state of its own: under tcg each
# started unit costs seconds. ---
upper=$work/stage/upper
units=$upper/etc/systemd/system
mkdir -p "$units/multi-user.target.wants" "$units/sysinit.target.wants" "$work/stage/work" "$upper/var/lib/kxnet-boot"
: >"$upper/etc/fstab"
echo kxnet-boot >"$upper/etc/hostname"
ln -s /lib/systemd/system/multi-user.target "$units/default.target"
# Status lines only for failures; the lane's own lines tell its progress.
mkdir -p "$upper/etc/systemd/system.conf.d"
printf '[Manager]\nShowStatus=error\n' >"$upper/etc/systemd/system.conf.d/kxnet-boot.conf"
mask() { local name; for name; do ln -sf /dev/null "$units/$name"; done; }
for wanted in /etc/systemd/system/*.wants/*; do
  name=${wanted##*/}
  case $name in
    openvswitch-switch.service | ovsdb-server.service | ovs-vswitchd.service | kxnet.service | *.target) ;;
    *) mask "$name" ;;
  esac
done
mask getty.target serial-getty@ttyS0.service console-getty.service getty@tty1.service \
  timers.target apt-daily.timer apt-daily-upgrade.timer systemd-timesyncd.service \
  dbus.service dbus.socket systemd-logind.service systemd-user-sessions.service \
  systemd-update-utmp.service systemd-update-utmp-runlevel.service \
  systemd-ask-password-wall.path systemd-ask-password-console.path \
  systemd-journal-flush.service systemd-random-seed.service systemd-pstore.service \
  systemd-binfmt.service proc-sys-fs-binfmt_misc.automount systemd-firstboot.service \
  systemd-machine-id-commit.service systemd-repart.service systemd-pcrphase.service \
  systemd-pcrphase-sysinit.service systemd-sysusers.service systemd-modules-load.service \
  systemd-remount-fs.service systemd-hwdb-update.service systemd-journal-catalog-update.service \
  ldconfig.service systemd-update-done.service \
  dev-hugepages.mount dev-mqueue.mount sys-kernel-config.mount sys-kernel-debug.mount \
  sys-kernel-tracing.mount sys-fs-fuse-connections.mount tmp.mount \
  systemd-udevd.service systemd-udev-trigger.service systemd-udev-settle.service \
  e2scrub_reap.service remote-fs.target cryptsetup.target veritysetup.target integritysetup.target
# What the guest installs and runs comes with the image: the packages, the
# platform's stand-ins and the guest's script.
lane=$upper/var/lib/kxnet-boot
mkdir -p "$lane/debs" "$lane/platform"
cp "$debs"/libkxnet-ct3_*.deb "$debs"/libkxnet-ct-dev_*.deb "$debs"/kxnetctl_*.deb "$lane/debs/"
cp -L "$platform/libkxctl.so.1" "$platform/kxct/kxct" "$platform/kxctl-cuse/kxctl-cuse" "$lane/platform/"
cp "$here/boot-guest.sh" "$lane/boot-guest.sh"
cp -r "$here/../../debian/tests" "$lane/autopkgtests"
[[ -n $kxproc ]] && cp "$kxproc" "$lane/platform/" && cp "$here/../../platform/kxproc/check.sh" "$lane/platform/kxproc-check.sh"
cat >"$upper/etc/kxnet-boot.env" <<EOF2
KXNET_BOOT_DEBS=/var/lib/kxnet-boot/debs
KXNET_BOOT_PLATFORM=/var/lib/kxnet-boot/platform
KXNET_BOOT_KXPROC=${kxproc:+1}
EOF2
# The host's NIC: a dummy device with a fixed address, made before
# kxnet.service as a driver would.
cat >"$units/kxnet-boot-nic.service" <<'EOF2'
[Unit]
Description=The boot lane's network card (a dummy device)
DefaultDependencies=no
Before=kxnet.service openvswitch-switch.service ovsdb-server.service
[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/sbin/ip link add kxnic0 address 02:00:00:00:10:01 type dummy
ExecStart=/sbin/ip link set kxnic0 up
[Install]
WantedBy=sysinit.target
EOF2
# The container kernel's control device, which a stock kernel lacks: the
# platform's stand-in, there at every boot before kxnet.service.
cat >"$units/kxnet-boot-kxctl.service" <<'EOF2'
[Unit]
Description=The container kernel's /dev/kxctl (CUSE stand-in)
DefaultDependencies=no
Before=kxnet.service
[Service]
Type=simple
ExecStartPre=/sbin/modprobe cuse
ExecStart=/var/lib/kxnet-boot/platform/kxctl-cuse -f
ExecStartPost=/bin/sh -c 'for i in $$(seq 100); do [ -c /dev/kxctl ] && exit 0; sleep 0.1; done; exit 1'
[Install]
WantedBy=sysinit.target
EOF2
# The container kernel's pair lists, there from boot as on a host that has
# them: the stand-in module, loaded at every boot before kxnet.service.
cat >"$units/kxnet-boot-kxproc.service" <<'EOF2'
[Unit]
Description=The container kernel's /proc/kx lists (the kxproc stand-in module)
DefaultDependencies=no
Before=kxnet.service
ConditionPathExists=/var/lib/kxnet-boot/platform/kxproc.ko
[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/sbin/insmod /var/lib/kxnet-boot/platform/kxproc.ko
[Install]
WantedBy=sysinit.target
EOF2
ln -s ../kxnet-boot-nic.service "$units/sysinit.target.wants/kxnet-boot-nic.service"
ln -s ../kxnet-boot-kxctl.service "$units/sysinit.target.wants/kxnet-boot-kxctl.service"
ln -s ../kxnet-boot-kxproc.service "$units/sysinit.target.wants/kxnet-boot-kxproc.service"
cat >"$units/kxnet-boot.service" <<EOF2
[Unit]
Description=The boot lane's checks
# kxnet.service orders itself by hand (no default dependencies), so the
# target it is wanted by does not wait for it.
After=multi-user.target kxnet.service
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

# Sparse: only what the guest writes takes room.
image=$work/disk.img
mkfs.ext4 -q -F -L kxnet-boot -d "$work/stage" "$image" 512M || { echo "vm boot: the disk image could not be made"; exit 1; }

# --- Two boots on the same image. ---
# The image is scratch: the guest's flushes stop at the host's page cache
# (cache=unsafe), where the second boot finds what the first wrote.
boot() { # number
  local log=$work/console-$1.log start status marker
  start=$(date +%s)
  note "boot $1: $version under tcg with systemd (timeout ${timeout_s}s)"
  vm_qemu "$timeout_s" "$log" "$work/initrd.cpio" \
    "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
    -drive file="$image",if=virtio,format=raw,cache=unsafe
  status=$?
  cp "$log" "$report/console-$1.log"
  sed -n '/^boot: kernel/,/^KXBOOT-END/p' "$log" >>"$report/lane.log"
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
