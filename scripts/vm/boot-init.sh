#!/bin/busybox sh
# The boot lane's first process in the guest: loads the boot modules, mounts
# the host's root read-only under an overlay whose upper layer lives on the
# disk image (/dev/vda, ext4), so it is kept from one boot to the next, mounts
# the stock kernel's modules there, and hands over to the system's own
# /sbin/init (systemd) with switch_root.
/bin/busybox mkdir -p /usr/bin /usr/sbin /sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin

fail() {
  echo "boot init: $*"
  echo "KXBOOT-END status=1"
  sync
  poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for ko in $(cat /modules/order); do
  insmod /modules/$ko 2>/dev/null
done
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -b /dev/vda ] && break; sleep 0.2; done

options=trans=virtio,version=9p2000.L,msize=262144
mount -t 9p -o $options,ro hostroot /lower || fail "cannot mount the host root"
mount -t ext4 /dev/vda /rw || fail "cannot mount the disk image"
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /newroot ||
  fail "cannot mount the overlay"
modules=$(chroot /newroot readlink -f /lib/modules 2>/dev/null)
[ -n "$modules" ] || modules=/lib/modules
mkdir -p /newroot$modules
mount -t 9p -o $options,ro kmods /newroot$modules || fail "cannot mount the modules"
chroot /newroot /bin/sh -c '[ -x /sbin/init ]' || fail "the host root has no /sbin/init (package systemd)"
mount --move /dev /newroot/dev
umount /sys /proc
exec switch_root /newroot /sbin/init
