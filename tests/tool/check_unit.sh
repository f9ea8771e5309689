#!/usr/bin/env bash
# systemd-analyze verify on kxnet.service as configured, with ExecStart and
# ExecStop pointing at this build's kxnetctl (the installed path need not
# exist here); also checks the ordering the host service must have.
#   check_unit.sh UNIT_TEMPLATE KXNETCTL
set -uo pipefail
template=$1 kxnetctl=$2
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
exit $fail
