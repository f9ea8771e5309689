#!/usr/bin/env bash
# The README's first command: installs what the build needs when it is
# missing, builds kxnetctl, the library and the container stand-in, then runs
# demo/walkthrough.sh in a fresh network and mount namespace with a scratch
# sandbox root, so the host is never touched.
#
#   KXNET_BUILD_DIR   the build tree to use (default build/demo)
#   KXNET_DEMO_BUILT  set: use the tree as it is, build nothing, install nothing
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${KXNET_BUILD_DIR:-$here/build/demo}
if [[ -z ${KXNET_DEMO_BUILT:-} ]]; then
  bash "$here/scripts/install-deps.sh" build
  echo "demo: building kxnetctl and the container stand-in in $build"
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_TESTS=OFF -DKXNET_BENCH=OFF >/dev/null
  cmake --build "$build" --target kxnetctl kxct >/dev/null
fi
root=$(mktemp -d /tmp/kxnet-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/log" "$root/tmp" "$root/etc/kx" "$root/etc/sysconfig/network-scripts"
# The kernel's VLAN list, where it has one, seen under the sandbox root too.
if [[ -d /proc/net/vlan ]]; then mkdir -p "$root/proc/net" && ln -s /proc/net/vlan "$root/proc/net/vlan"; fi
unshare --net --mount -- sh -c '
  mount --make-rprivate / && umount -l /sys && mount -t sysfs sysfs /sys && ip link set lo up &&
  KXNET_ROOT="$1" PATH="$2:$3:$PATH" bash "$4"' demo "$root" \
  "$build/tools/kxnetctl" "$build/platform/kxct" "$here/demo/walkthrough.sh"
