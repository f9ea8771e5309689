#!/usr/bin/env bash
# systemd-analyze verify on kxnet.service and kxnet-watch.service as
# configured, with their commands pointing at this build's kxnetctl (the
# installed path need not exist here); also checks the ordering the host
# service must have, what the watcher's hardening must keep, and prints the
# watcher's systemd-analyze security score.
#   check_unit.sh UNIT_TEMPLATE WATCH_UNIT_TEMPLATE KXNETCTL
set -uo pipefail
template=$1 watch_template=$2 kxnetctl=$3
command -v systemd-analyze >/dev/null || { echo "tool.unit skipped: no systemd-analyze"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|@KXNETCTL_PATH@|$kxnetctl|" "$template" >"$dir/kxnet.service"
out=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$dir/kxnet.service" 2>&1)
status=$?
printf '%s\n' "$out"
# Complaints about units of this host that have nothing to do with ours
# (systemd-analyze reads the whole unit tree) do not count.
ours=$(grep -F 'kxnet.service' <<<"$out" || true)
if [[ $status -ne 0 && -n $ours ]]; then echo "check_unit: verify failed on kxnet.service"; exit 1; fi
fail=0
need() { grep -qx -- "$1" "$dir/kxnet.service" || { echo "check_unit: missing line: $1"; fail=1; }; }
need "Type=oneshot"
need "RemainAfterExit=yes"
need "ExecStart=$kxnetctl host start"
need "ExecStop=$kxnetctl host stop"
grep -q '^Before=.*networking.service' "$dir/kxnet.service" || { echo "check_unit: not before networking.service"; fail=1; }
grep -q '^Before=.*network.target' "$dir/kxnet.service" || { echo "check_unit: not before network.target"; fail=1; }
grep -q '^After=.*openvswitch-switch.service' "$dir/kxnet.service" || { echo "check_unit: not after openvswitch-switch.service"; fail=1; }
# Open vSwitch's units order themselves after network-pre.target: with them
# present, starting both must form no ordering cycle.
if [[ -f /lib/systemd/system/openvswitch-switch.service || -f /usr/lib/systemd/system/openvswitch-switch.service ]]; then
  cycle=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$dir/kxnet.service" openvswitch-switch.service 2>&1 |
    grep -i 'ordering cycle' || true)
  [[ -z $cycle ]] || { printf '%s\n' "$cycle"; echo "check_unit: kxnet.service and Open vSwitch form an ordering cycle"; fail=1; }
fi

# The watcher as shipped: after and bound to the host service, restarted on
# failure, and none of the settings that would break it.
sed "s|@KXNETCTL_PATH@|$kxnetctl|" "$watch_template" >"$dir/kxnet-watch.service"
out=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$dir/kxnet.service" "$dir/kxnet-watch.service" 2>&1)
status=$?
printf '%s\n' "$out"
ours=$(grep -F 'kxnet-watch.service' <<<"$out" || true)
if [[ $status -ne 0 && -n $ours ]]; then echo "check_unit: verify failed on kxnet-watch.service"; exit 1; fi
watch_need() { grep -qx -- "$1" "$dir/kxnet-watch.service" || { echo "check_unit: kxnet-watch.service lacks: $1"; fail=1; }; }
watch_need "ExecStart=$kxnetctl watch --repair"
watch_need "After=kxnet.service"
watch_need "BindsTo=kxnet.service"
watch_need "Restart=on-failure"
watch_need "NoNewPrivileges=yes"
watch_need "ProtectSystem=strict"
watch_need "ProtectHome=yes"
for breaking in PrivateTmp ProtectKernelTunables ProtectProc PrivateDevices PrivateNetwork; do
  if grep -q "^$breaking=" "$dir/kxnet-watch.service"; then echo "check_unit: kxnet-watch.service sets $breaking="; fail=1; fi
done
grep -q '^CapabilityBoundingSet=.*CAP_NET_ADMIN' "$dir/kxnet-watch.service" || { echo "check_unit: the watcher lacks CAP_NET_ADMIN"; fail=1; }
echo "systemd-analyze security kxnet-watch.service:"
systemd-analyze security --offline=yes "$dir/kxnet-watch.service" 2>&1 | tail -n 1
exit $fail
