#!/usr/bin/env bash
# Installs with apt-get what this project needs on Debian 12, only when
# something is missing.  Used by scripts/demo.sh, scripts/test.sh and .ci/run.
#
#   install-deps.sh build   what building the library, kxnetctl and the demo needs
#   install-deps.sh all     that, and what every test lane needs (clang, the
#                           vm lane's qemu, busybox, kmod and Open vSwitch, the
#                           Debian packaging tools and lintian, logrotate,
#                           bash-completion, and systemd as the boot lane's
#                           guest init; the host itself never boots with it;
#                           gcc-12, make and the libraries of the kernel's
#                           build scripts for the boot lane's kxproc module)
set -euo pipefail
set_name=${1:-all}
build=(build-essential cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev scdoc iproute2 util-linux)
tests=(clang libclang-rt-14-dev libbenchmark-dev binutils systemd dpkg-dev file valgrind
  qemu-system-x86 busybox-static kmod openvswitch-switch libfuse3-dev fuse3
  debhelper fakeroot lintian logrotate bash-completion man-db jq e2fsprogs systemd-sysv
  gcc-12 make libelf1 libssl3)
wanted=("${build[@]}")
[[ $set_name == all ]] && wanted+=("${tests[@]}")

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Open vSwitch's service must not start on this host: a policy-rc.d that
# refuses, unless one is already there.
if [[ ! -e /usr/sbin/policy-rc.d ]]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
[[ -n ${KXNET_APT_UPDATED:-} ]] || apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
