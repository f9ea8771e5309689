#!/usr/bin/env bash
# Builds the project and runs the demo in a fresh network and mount namespace
# with a scratch sandbox root, so the host is never touched.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${KXNET_BUILD_DIR:-$here/build/demo}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_TESTS=OFF -DKXNET_BENCH=OFF >/dev/null
cmake --build "$build" >/dev/null
root=$(mktemp -d /tmp/kxnet-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/log" "$root/tmp" "$root/etc/kx"
unshare --net --mount -- sh -c '
  mount --make-rprivate / && umount -l /sys && mount -t sysfs sysfs /sys && ip link set lo up &&
  KXNET_ROOT="$1" PATH="$2:$PATH" "$3"' demo "$root" "$build/platform/kxct" "$build/demo/kxnet_demo"
