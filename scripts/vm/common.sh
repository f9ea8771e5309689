# What the vm lane (run.sh) and the boot lane (boot.sh) share on the host:
# the prerequisites, Debian's stock kernel, the busybox initramfs with the
# boot modules in dependency order, and the qemu command line.  Sourced; the
# caller defines skip() (prints a reason, exits 77).

vm_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The modules that mount the host's root over 9p under an overlay.
vm_boot_modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci 9pnet 9pnet_virtio netfs fscache 9p overlay"

# Sets qemu and busybox (a static one) or skips.
vm_host_tools() {
  qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is not installed (package qemu-system-x86)"
  busybox=""
  local candidate
  for candidate in /bin/busybox /usr/bin/busybox; do
    if [[ -x $candidate ]] && ! ldd "$candidate" >/dev/null 2>&1; then busybox=$candidate; break; fi
  done
  [[ -n $busybox ]] || skip "no static busybox (package busybox-static)"
  command -v depmod >/dev/null && command -v modprobe >/dev/null || skip "kmod is not installed"
}

# Sets kroot, version and vmlinuz from the cache CACHE_DIR (fetched when
# missing) or skips.
vm_kernel() { # cache dir
  kroot=$("$vm_here/kernel.sh" "$1") ||
    skip "no stock kernel package could be obtained (apt-get download linux-image-6.1.0-*-amd64)"
  version=$(ls "$kroot/lib/modules" | head -n1)
  vmlinuz=$kroot/boot/vmlinuz-$version
  [[ -f $vmlinuz ]] || skip "the cached kernel at $kroot has no vmlinuz"
}

# Makes the initramfs OUT (a newc cpio) from busybox, the modules named and
# their dependencies (modules/order lists them in load order) and INIT as
# /init; the files of EXTRA_DIR, if given, are added at its root.
vm_initramfs() { # out, init script, modules, [extra dir]
  local out=$1 init=$2 modules=$3 extra=${4:-} dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/kxnet-initrd.XXXXXX") || return 1
  mkdir -p "$dir"/{bin,modules,proc,sys,dev,lower,rw,newroot}
  cp "$busybox" "$dir/bin/busybox"
  : >"$dir/modules/order"
  local module
  for module in $modules; do
    # Built-in modules print "builtin NAME"; unknown ones print nothing.
    modprobe --show-depends -d "$kroot" -S "$version" "$module" 2>/dev/null | awk '$1 == "insmod" {print $2}'
  done | awk '!seen[$0]++' | while read -r ko; do
    cp "$ko" "$dir/modules/" && basename "$ko" >>"$dir/modules/order"
  done
  cp "$init" "$dir/init" && chmod +x "$dir/init"
  [[ -n $extra ]] && cp -a "$extra"/. "$dir"/
  (cd "$dir" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$out"
  local status=$?
  rm -rf "$dir"
  return $status
}

# Runs the guest with the host's root and the kernel's modules shared
# read-only, bounded by TIMEOUT seconds; its console goes to stdout and LOG.
# Further qemu arguments follow.  Answers qemu's (or timeout's) status.
vm_qemu() { # timeout, log, initrd, kernel command line, qemu args...
  local timeout_s=$1 log=$2 initrd=$3 append=$4
  shift 4
  timeout --kill-after=10 "$timeout_s" "$qemu" -accel tcg -cpu max \
    -smp "${KXNET_VM_SMP:-2}" -m "${KXNET_VM_MEM:-1024}" \
    -kernel "$vmlinuz" -initrd "$initrd" -append "$append" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$kroot/lib/modules",mount_tag=kmods,security_model=none,readonly=on,multidevs=remap \
    -display none -monitor none -serial stdio -no-reboot -nodefaults -net none "$@" \
    </dev/null 2>&1 | stdbuf -oL tr -d '\r' | tee "$log"
  return "${PIPESTATUS[0]}"
}
