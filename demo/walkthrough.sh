#!/usr/bin/env bash
# The library's job in one walk, driven by kxnetctl.  scripts/demo.sh runs it
# inside a fresh network and mount namespace with KXNET_ROOT at a scratch
# directory and kxnetctl and kxct on PATH; nothing here reaches the host.
set -uo pipefail
root=${KXNET_ROOT:?run it through scripts/demo.sh}
failures=0

say() { printf '\n== %s\n' "$*"; }
# Prints a command, runs it, and prints its output and any non-zero status.
step() {
  printf '$ %s\n' "$*"
  "$@" 2>&1 | sed 's/^/  /'
  local status=${PIPESTATUS[0]}
  [[ $status -eq 0 ]] || printf '  (exit status %d)\n' "$status"
  return "$status"
}
# A step that must succeed for the walk to mean anything.
must() { step "$@" || failures=$((failures + 1)); }
# The container kernel's via-physical-device switch of a bridge: a stock
# kernel has none, so the sandbox holds it as a file the library writes.
switch_fixture() {
  mkdir -p "$root/sys/class/net/$1/bridge"
  echo 0 >"$root/sys/class/net/$1/bridge/via_phys_dev"
}

say "Two stand-in NICs (veth pairs in this namespace) and three containers"
for nic in nic0 nic1; do
  ip link add "$nic" type veth peer name "$nic-wire" && ip link set "$nic" up && ip link set "$nic-wire" up
done
step ip -br link show type veth
must kxct create 101 --veth veth101.0:web
must kxct create 102 --veth veth102.0:web
must kxct create 103 --veth veth103.0
for ct in 101 102 103; do must kxct start "$ct" --addr "eth0=10.10.0.$((ct - 100))/24"; done

say "Two networks; containers configured for web join its bridge as it is made"
must kxnetctl network add web
must kxnetctl network add db --bridge brdb
bridge=$(kxnetctl network bridge web)
switch_fixture "$bridge"
switch_fixture brdb
step kxnetctl network add web

say "A NIC and a container attached, the container moved, a network renamed"
must kxnetctl attach web nic0
must kxnetctl attach web veth103.0
must kxnetctl attach db veth103.0
must kxnetctl network rename db backend
step cat "$root/etc/kx/kxnet.conf"

say "An address, and a VLAN where the kernel has 802.1Q"
must kxnetctl addr set nic1 192.0.2.10/24
if [[ -e /proc/net/vlan/config ]]; then
  must kxnetctl vlan add nic1 10
else
  echo "note: this kernel has no 802.1Q (no /proc/net/vlan/config), so the VLAN is refused here;"
  echo "      the vm lane runs the VLAN paths on Debian's stock kernel"
  step kxnetctl vlan add nic1 10
fi

say "The snapshot: as a table, and each network as a tree"
must kxnetctl show --registry
must kxnetctl show --ct-range 101-103
must kxnetctl network list
must kxnetctl network list --tree
must kxnetctl check

say "Drift: a port taken out of its bridge and the bridge downed behind the library's back"
step ip link set veth101.0 nomaster
step ip link set brdb down
step kxnetctl check && failures=$((failures + 1))

say "The drift repaired toward the registry: first what would be done, then done"
step kxnetctl check --repair --dry-run && failures=$((failures + 1))
must kxnetctl check --repair
must kxnetctl check

say "Host stop and start: the registered devices go, then come back"
must kxnetctl host stop
step ip -br link show type bridge
must kxnetctl host start
step ip -br link show master "$bridge"
must kxnetctl check

say "Cleanup"
must kxnetctl network del web
must kxnetctl network del backend
for ct in 101 102 103; do must kxct stop "$ct"; done
step cat "$root/etc/kx/kxnet.conf"
must kxnetctl check

say "The library's log (lock lines left out), last lines"
grep -v 'libkxnet: ' "$root/var/log/kxnetcfg.log" | cut -f4- | grep -v '^$' | tail -n 12 | sed 's/^/  /'

if [[ $failures -ne 0 ]]; then
  printf '\ndemo: %d steps did not go as they should\n' "$failures"
  exit 1
fi
printf '\ndemo: done, every step as expected\n'
