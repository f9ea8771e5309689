#!/bin/busybox sh
# The vm lane's first process in the guest: loads the boot modules, mounts the
# host's root read-only with a tmpfs overlay on top, mounts the stock kernel's
# modules, and runs the job (/job) chrooted there.  Ends with one marker line,
# "KXVM-END status=N", and powers off.
/bin/busybox mkdir -p /usr/bin /usr/sbin /sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin

finish() {
  echo "KXVM-END status=$1"
  sync
  poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for ko in $(cat /modules/order); do
  # A module that fails here is usually built in; the mounts below tell.
  insmod /modules/$ko 2>/dev/null
done

options=trans=virtio,version=9p2000.L,msize=262144,cache=loose
mount -t 9p -o $options,ro hostroot /lower || { echo "vm init: cannot mount the host root"; finish 1; }
mount -t tmpfs -o mode=0755 tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work /newroot ||
  { echo "vm init: cannot mount the overlay"; finish 1; }
modules=$(chroot /newroot readlink -f /lib/modules 2>/dev/null)
[ -n "$modules" ] || modules=/lib/modules
mkdir -p /newroot$modules
mount -t 9p -o $options,ro kmods /newroot$modules || { echo "vm init: cannot mount the modules"; finish 1; }
# The kernel's own module requests run modprobe in this first root.
mkdir -p /lib/modules
mount --bind /newroot$modules /lib/modules
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
mount -t tmpfs tmpfs /newroot/dev/shm
mount -t tmpfs -o mode=0755 tmpfs /newroot/run
# /tmp stays the host's, seen through the overlay: the tree under test may
# live there.
hostname kxnet-vm

chroot /newroot /bin/sh -c "$(cat /job)" </dev/console >/dev/console 2>&1
finish $?
