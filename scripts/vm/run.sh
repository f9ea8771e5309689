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
# KXNET_VM_SMP (2), KXNET_VM_MEM (MiB, 1024), KXNET_VM_FILTER (gtest filter);
# for the guest: KXNET_VM_TEST_TIMEOUT (seconds per test, 300),
# KXNET_VM_STREAM (each test's lines as they come), KXNET_CRASH_VLAN_KILLS.
set -uo pipefail
export PATH=$PATH:/usr/sbin:/sbin

here=$(cd "$(dirname "$0")" && pwd)
binary=${1:?usage: run.sh GUEST_TEST_BINARY [CACHE_DIR]}
cache=${KXNET_VM_CACHE:-${2:-/var/cache/kxnet-vm}}
timeout_s=${KXNET_VM_TIMEOUT:-900}

skip() { echo "vm lane skipped: $*"; exit 77; }
note() { echo "vm lane: $*" >&2; }
source "$here/common.sh"

daemon=${3:-}
[[ -n $daemon && -x $daemon ]] && daemon=$(readlink -f "$daemon") || daemon=""
binary=$(readlink -f "$binary")
[[ -x $binary ]] || { echo "vm lane: no guest test binary at $1"; exit 1; }

# --- Prerequisites on the host. ---
vm_host_tools
for tool in ovs-vsctl ovsdb-tool ovsdb-server ovs-vswitchd; do
  command -v $tool >/dev/null || skip "Open vSwitch userspace is not installed (package openvswitch-switch)"
done
vm_kernel "$cache"

# --- The initramfs: busybox, the boot modules, init and the job. ---
work=$(mktemp -d "${TMPDIR:-/tmp}/kxnet-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/extra"
# The guest's own settings pass into its job: the time per test and the
# crash lane's count of kills.
guest_env=""
for name in KXNET_VM_TEST_TIMEOUT KXNET_VM_STREAM KXNET_CRASH_VLAN_KILLS; do
  [[ -n ${!name:-} ]] && guest_env+="$name=$(printf %q "${!name}") "
done
cat >"$work/extra/job" <<EOF
${guest_env}exec /bin/bash $(printf %q "$here/guest.sh") $(printf %q "$binary") $(printf %q "${KXNET_VM_FILTER:-*}") $(printf %q "$daemon")
EOF
vm_initramfs "$work/initrd.cpio" "$here/init.sh" "$vm_boot_modules" "$work/extra" ||
  { echo "vm lane: initramfs could not be built"; exit 1; }

# --- Boot, bounded in time; the guest's console comes back on stdout. ---
log=$work/console.log
start=$(date +%s)
note "booting $version under tcg (timeout ${timeout_s}s)"
vm_qemu "$timeout_s" "$log" "$work/initrd.cpio" "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init"
qemu_status=$?
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
