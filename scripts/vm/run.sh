#!/usr/bin/env bash
# The vm lane: boots Debian's stock kernel under qemu (tcg) on a read-only
# share of the host's root with a tmpfs overlay, and runs the guest test
# binary there, one process per test (scripts/vm/guest.sh).
#
#   run.sh GUEST_TEST_BINARY [CACHE_DIR [KXCTL_DEVICE_DAEMON]]
#
# KXCTL_DEVICE_DAEMON (kxctl-cuse) gives the guest /dev/kxctl; without it the
# tests that need the device skip themselves.
#
# Exit status: 0 all tests passed, 1 a test failed or the guest gave no end
# marker in time, 77 a prerequisite is missing (the lane is skipped).
# Environment: KXNET_VM_CACHE (kernel cache, default CACHE_DIR or
# /var/cache/kxnet-vm), KXNET_VM_TIMEOUT (seconds for the whole boot, 900),
# KXNET_VM_SMP (2), KXNET_VM_MEM (MiB, 1024), KXNET_VM_FILTER (gtest filter).
set -uo pipefail
export PATH=$PATH:/usr/sbin:/sbin

here=$(cd "$(dirname "$0")" && pwd)
binary=${1:?usage: run.sh GUEST_TEST_BINARY [CACHE_DIR]}
cache=${KXNET_VM_CACHE:-${2:-/var/cache/kxnet-vm}}
timeout_s=${KXNET_VM_TIMEOUT:-900}
boot_modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci 9pnet 9pnet_virtio netfs fscache 9p overlay"

skip() { echo "vm lane skipped: $*"; exit 77; }
note() { echo "vm lane: $*" >&2; }

daemon=${3:-}
[[ -n $daemon && -x $daemon ]] && daemon=$(readlink -f "$daemon") || daemon=""
binary=$(readlink -f "$binary")
[[ -x $binary ]] || { echo "vm lane: no guest test binary at $1"; exit 1; }

# --- Prerequisites on the host. ---
qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is not installed (package qemu-system-x86)"
busybox=""
for candidate in /bin/busybox /usr/bin/busybox; do
  if [[ -x $candidate ]] && ! ldd "$candidate" >/dev/null 2>&1; then busybox=$candidate; break; fi
done
[[ -n $busybox ]] || skip "no static busybox (package busybox-static)"
command -v depmod >/dev/null && command -v modprobe >/dev/null || skip "kmod is not installed"
for tool in ovs-vsctl ovsdb-tool ovsdb-server ovs-vswitchd; do
  command -v $tool >/dev/null || skip "Open vSwitch userspace is not installed (package openvswitch-switch)"
done

# --- The kernel: a cached unpack, or the current package fetched now. ---
kroot=$("$here/kernel.sh" "$cache") ||
  skip "no stock kernel package could be obtained (apt-get download linux-image-6.1.0-*-amd64)"
version=$(ls "$kroot/lib/modules" | head -n1)
vmlinuz=$kroot/boot/vmlinuz-$version
[[ -f $vmlinuz ]] || skip "the cached kernel at $kroot has no vmlinuz"

# --- The initramfs: busybox, the boot modules in dependency order, init. ---
work=$(mktemp -d "${TMPDIR:-/tmp}/kxnet-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
initrd=$work/initrd
mkdir -p "$initrd"/{bin,modules,proc,sys,dev,lower,rw,newroot}
cp "$busybox" "$initrd/bin/busybox"
: >"$initrd/modules/order"
for module in $boot_modules; do
  # Built-in modules print "builtin NAME"; unknown ones print nothing.
  modprobe --show-depends -d "$kroot" -S "$version" "$module" 2>/dev/null |
    awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do
  cp "$ko" "$initrd/modules/" && basename "$ko" >>"$initrd/modules/order"
done
cp "$here/init.sh" "$initrd/init"
chmod +x "$initrd/init"
cat >"$initrd/job" <<EOF
exec /bin/bash $(printf %q "$here/guest.sh") $(printf %q "$binary") $(printf %q "${KXNET_VM_FILTER:-*}") $(printf %q "$daemon")
EOF
(cd "$initrd" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$work/initrd.cpio" ||
  { echo "vm lane: initramfs could not be built"; exit 1; }

# --- Boot, bounded in time; the guest's console comes back on stdout. ---
log=$work/console.log
start=$(date +%s)
note "booting $version under tcg (timeout ${timeout_s}s)"
timeout --kill-after=10 "$timeout_s" "$qemu" -accel tcg -cpu max \
  -smp "${KXNET_VM_SMP:-2}" -m "${KXNET_VM_MEM:-1024}" \
  -kernel "$vmlinuz" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$kroot/lib/modules",mount_tag=kmods,security_model=none,readonly=on,multidevs=remap \
  -display none -monitor none -serial stdio -no-reboot -nodefaults -net none \
  </dev/null 2>&1 | tr -d '\r' | tee "$log"
qemu_status=${PIPESTATUS[0]}
note "guest ran $(($(date +%s) - start))s"

marker=$(sed -n 's/^KXVM-END status=\([0-9]*\)$/\1/p' "$log" | tail -n1)
if [[ -z $marker ]]; then
  [[ $qemu_status == 124 || $qemu_status == 137 ]] && echo "vm lane: the guest did not finish within ${timeout_s}s"
  echo "vm lane: FAILED, the guest gave no end marker (qemu status $qemu_status)"
  exit 1
fi
[[ $marker == 0 ]] && exit 0
[[ $marker == 77 ]] && exit 77
exit 1
