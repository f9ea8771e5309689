#!/usr/bin/env bash
# Runs at each boot of the boot lane's guest, from kxnet-boot.service under
# systemd.  First boot: installs this tree's packages and the platform's
# stand-ins, runs the packages' autopkgtests, enables the services, defines
# the networks with kxnetctl and records them, and enables the watcher.
# Second boot: finds them back without any command of ours, sees the watcher
# mend a deleted bridge and a container's host end pulled out of its bridge,
# then stops the service and removes the packages.  Ends with the marker
# line "KXBOOT-END status=N" and powers the guest off.
# Environment (from /etc/kxnet-boot.env): KXNET_BOOT_DEBS, KXNET_BOOT_PLATFORM.
set -uo pipefail
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C HOME=/root
state=/var/lib/kxnet-boot
failures=0

finish() {
  echo "KXBOOT-END status=$1"
  sync
  # Everything is written: no unit needs a graceful stop, and under tcg
  # stopping each takes seconds.
  systemctl --force poweroff
  exit 0
}
# What every process is waiting on, for a step that outlived its limit.
show_waits() {
  echo "boot: processes and their waits:"
  ps -eo pid,ppid,stat,etimes,wchan:28,args --forest | grep -v '\[.*\]$' | cut -c1-220
  echo "boot: file locks:"; cat /proc/locks
  local pid
  for pid in $(pgrep -f 'kxnetctl|kxct|ovs-vsctl|kxctl-cuse'); do
    echo "boot: kernel stack of $pid ($(tr '\0' ' ' </proc/$pid/cmdline 2>/dev/null)):"
    cat /proc/$pid/stack 2>/dev/null
  done
}
# One step: its command line, its output, and a failure counted.  A step
# that outlives its limit is reported with what it waited on, then killed,
# so a hang fails the boot with its cause instead of running out its clock.
step_limit=${KXNET_BOOT_STEP_LIMIT:-300}
step() {
  echo "+ $*"
  local started=$SECONDS
  timeout -s KILL "$step_limit" "$@" 2>&1 &
  local runner=$! status
  {
    trap 'kill $nap 2>/dev/null; exit 0' TERM
    sleep $((step_limit - 5)) & nap=$!
    wait $nap && { echo "boot: $* is still running after $((step_limit - 5))s"; show_waits; }
  } &
  local watcher=$!
  wait "$runner"
  status=$?
  kill "$watcher" 2>/dev/null; wait "$watcher" 2>/dev/null
  ((SECONDS - started < 10)) || echo "boot: (took $((SECONDS - started))s)"
  [[ $status == 0 ]] || { echo "boot: FAILED (status $status): $*"; failures=$((failures + 1)); }
  return $status
}
expect() { # description, command...
  local what=$1; shift
  if "$@"; then echo "boot: ok: $what"; else echo "boot: FAILED: $what"; failures=$((failures + 1)); fi
}

# The links as compared across a reboot: names, kinds, masters, VLAN ids,
# addresses and state, without indexes, counters or timers; the container's
# host end (vethCTID.N, not running after a reboot) and loopback are left out,
# and so are the hardware addresses drawn anew at each start: Open vSwitch's
# and those of the pair that links the NIC's switch bridge to its network.
links_view() {
  ip -d -j link | jq -S '[.[] | select((.ifname | test("^(lo$|veth[0-9])")) | not) |
    {ifname, master, mtu, up: ((.flags // []) | index("UP") != null),
     address: (if .linkinfo.info_kind == "openvswitch" or .linkinfo.info_kind == "veth" then null else .address end),
     kind: .linkinfo.info_kind, slave_kind: .linkinfo.info_slave_kind,
     vlan: .linkinfo.info_data.id, vlan_over: (if .linkinfo.info_kind == "vlan" then .link else null end)}]
    | sort_by(.ifname)'
}
# kxnetctl's view: every record without indexes, counters and flags, and
# with the registry's addresses but not the kernel's (host start restores
# devices; the distribution's network scripts restore addresses), container
# host ends left out; hardware addresses only of the NIC and its VLAN (Open
# vSwitch's bridges and the NIC's pair draw theirs anew at each start).
show_view() {
  kxnetctl show --json --registry | jq -S '
    def container_end: if type == "object" then ((.name // .ifname // "") | tostring | test("^veth[0-9]"))
      elif type == "string" then test("^veth[0-9]") else false end;
    walk(if type == "object" then
      with_entries(select(.key | test("^(addrs|flags)$|ifindex|index|stats|bytes|packets|errors|dropped|counter") | not))
      | if has("hwaddr") and ((.type != "eth" and .type != "vlan") or .name == "ovs-system") then del(.hwaddr) else . end
    else . end)
    | walk(if type == "array" then map(select(container_end | not)) else . end)'
}

# The device is a port of network db's bridge (Open vSwitch's or Linux's).
port_of_db() { # device
  local bridge
  bridge=$(kxnetctl network bridge db) || return 1
  [[ $(ovs-vsctl port-to-br "$1" 2>/dev/null || ip -j link show "$1" | jq -r '.[0].master // empty') == "$bridge" ]]
}

# The packages' own tests (debian/tests/control), run on this installed
# system as autopkgtest would: each in a scratch directory of its own.
autopkgtests() {
  local name scratch
  for name in $(sed -n 's/^Tests:[[:space:]]*//p' "$state/autopkgtests/control"); do
    scratch=$(mktemp -d)
    if step env AUTOPKGTEST_TMP="$scratch" "$state/autopkgtests/$name"; then
      echo "autopkgtest $name: PASS"
    else
      echo "autopkgtest $name: FAIL"
    fi
    rm -rf "$scratch"
  done
}

first_boot() {
  echo "== boot 1: install, enable, define"
  step dpkg -i "$KXNET_BOOT_DEBS"/libkxnet-ct3_*.deb "$KXNET_BOOT_DEBS"/libkxnet-ct-dev_*.deb \
    "$KXNET_BOOT_DEBS"/kxnetctl_*.deb || finish 1
  # The platform's own library and container tool, which the host provides.
  local multiarch
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
  step install -m 0644 "$KXNET_BOOT_PLATFORM/libkxctl.so.1" "/usr/lib/$multiarch/libkxctl.so.1"
  step install -m 0755 "$KXNET_BOOT_PLATFORM/kxct" /usr/local/sbin/kxct
  step ldconfig
  autopkgtests
  step systemctl enable kxnet.service
  step systemctl enable --now openvswitch-switch.service
  # The administrator's switch bridge of the NIC, kept in Open vSwitch's own
  # database: a physical interface joins an Open vSwitch network through it.
  step ovs-vsctl --may-exist add-br br-kxnic0 -- --may-exist add-port br-kxnic0 kxnic0
  step kxnetctl --version
  expect "kxnetctl(8) is where man finds it" bash -c 'man -w 8 kxnetctl | grep -qx /usr/share/man/man8/kxnetctl.8.gz'
  expect "kxnet_ct(3) is where man finds it" bash -c 'man -w 3 kxnet_ct | grep -qx /usr/share/man/man3/kxnet_ct.3.gz'
  step kxnetctl network add web
  step kxnetctl attach web kxnic0
  step kxnetctl vlan add kxnic0 10
  local vlan
  vlan=$(ip -d -j link | jq -r '.[] | select(.linkinfo.info_kind == "vlan" and .linkinfo.info_data.id == 10) | .ifname')
  echo "boot: the VLAN device is ${vlan:-missing}"
  [[ -n $vlan ]] && vlan_file_mended_in_place "$vlan"
  [[ -n $vlan ]] && step kxnetctl addr set "$vlan" 192.0.2.1/24
  step kxnetctl network add db
  [[ -n ${KXNET_BOOT_KXPROC:-} ]] &&
    expect "the kxproc lists are replaced whole, as the container kernel's" bash "$KXNET_BOOT_PLATFORM/kxproc-check.sh"
  step kxct create 101 --veth veth101.0:db
  step kxct start 101 --addr eth0=198.51.100.2/24
  # The container's host end joins db only where the kernel lists it as a
  # pair (/proc/kx/veth: the kxproc module stands in for the container
  # kernel's); a stock kernel lists none, so the library would take veth101.0
  # for a NIC without a switch bridge.  Its container is stopped again before
  # the check: a reboot stops it anyway.
  expect "the container's host end veth101.0 exists" ip link show veth101.0
  if [[ -n ${KXNET_BOOT_KXPROC:-} ]]; then
    expect "/proc/kx/veth lists veth101.0 as container 101's eth0" grep -q ' veth101\.0 .* eth0 101$' /proc/kx/veth
    step kxnetctl attach db veth101.0
    expect "veth101.0 is a port of db's bridge" port_of_db veth101.0
    step kxnetctl check
  fi
  step kxnetctl network list
  step kxnetctl show
  step ovs-vsctl show
  mkdir -p "$state"
  links_view >"$state/links-1.json"
  show_view >"$state/show-1.json"
  ip -d -j link >"$state/ip-link-1.json"
  kxnetctl show --json >"$state/kxnetctl-show-1.json"
  cp /etc/kx/kxnet.conf "$state/registry-1"
  echo "boot: the registry:"; cat /etc/kx/kxnet.conf
  step kxct stop 101
  [[ -n ${KXNET_BOOT_KXPROC:-} ]] && expect "kxct stop took veth101.0 out of /proc/kx/veth" bash -c '! grep -q veth101 /proc/kx/veth'
  step kxnetctl check
  # Shipped disabled; enabled here, it runs from the next boot on.
  expect "kxnet-watch.service is shipped disabled" bash -c '[[ $(systemctl is-enabled kxnet-watch.service) == disabled ]]'
  step systemctl enable kxnet-watch.service
  touch "$state/first-boot-done"
}

# The VLAN the library made carries its mark; its ifcfg file, removed, is
# written again by check --repair with the device left standing.
vlan_file_mended_in_place() {
  local vlan=$1 index file
  expect "$vlan carries the library's mark" bash -c "[[ \$(cat /sys/class/net/$vlan/ifalias) == kxnet ]]"
  index=$(cat "/sys/class/net/$vlan/ifindex")
  for file in /etc/sysconfig/network-scripts/ifcfg-"$vlan" /etc/sysconfig/network/ifcfg-"$vlan"; do
    [[ -f $file ]] && break
  done
  [[ -f $file ]] || { echo "boot: FAILED: no ifcfg file of $vlan"; failures=$((failures + 1)); return; }
  step rm "$file"
  step kxnetctl check --repair
  expect "check --repair wrote $file again" test -f "$file"
  expect "$vlan stayed the same device (index $index)" bash -c "[[ \$(cat /sys/class/net/$vlan/ifindex) == $index ]]"
}

# The unit's start ended after Open vSwitch was up and before network.target.
ordering() {
  local ovs kxstart kxup net
  ovs=$(systemctl show -P ActiveEnterTimestampMonotonic openvswitch-switch.service)
  kxstart=$(systemctl show -P InactiveExitTimestampMonotonic kxnet.service)
  kxup=$(systemctl show -P ActiveEnterTimestampMonotonic kxnet.service)
  net=$(systemctl show -P ActiveEnterTimestampMonotonic network.target)
  echo "boot: monotonic us: openvswitch-switch up $ovs, kxnet start $kxstart, kxnet up $kxup, network.target $net"
  ((ovs > 0 && kxstart >= ovs)) || return 1
  ((net == 0 || kxup <= net))
}

# The bridge of a network as the registry names it (no command of ours).
registered_bridge() { # network id
  sed -n "s/^VNID_\([^=]*\)=\"$1\"\$/\1/p" /etc/kx/kxnet.conf
}
# The device is a port of `bridge` (Open vSwitch's or Linux's).
port_of() { # device bridge
  [[ $(ovs-vsctl port-to-br "$1" 2>/dev/null || ip -j link show "$1" 2>/dev/null | jq -r '.[0].master // empty') == "$2" ]]
}
# Takes a bridge away as an administrator would: Open vSwitch's through its
# database, a Linux bridge with ip.
delete_bridge() { # bridge
  if ovs-vsctl br-exists "$1" 2>/dev/null; then ovs-vsctl del-br "$1"; else ip link del "$1"; fi
}
# The NIC joins its network directly (Linux) or through the pair from its
# switch bridge (Open vSwitch).
uplink_on() { # bridge
  port_of veth-kxnic0.1 "$1" || port_of kxnic0 "$1"
}
pull_port() { # device bridge
  if ovs-vsctl br-exists "$2" 2>/dev/null; then ovs-vsctl del-port "$2" "$1"; else ip link set "$1" nomaster; fi
}
# Waits up to `limit` seconds for a command to succeed; prints the wait.
within() { # limit what command...
  local limit=$1 what=$2 started; shift 2
  started=$(date +%s%N)
  while ! "$@" 2>/dev/null; do
    (($(date +%s%N) - started < limit * 1000000000)) ||
      { echo "boot: FAILED: $what within ${limit}s"; failures=$((failures + 1)); return 1; }
    sleep 0.1
  done
  echo "boot: ok: $what after $((($(date +%s%N) - started) / 1000000)) ms"
}

# The watcher, enabled on the first boot, mends what is pulled from under
# the registry: no command of ours runs until both are back.
watcher_mends() {
  expect "kxnet-watch.service is active" bash -c '[[ $(systemctl is-active kxnet-watch.service) == active ]]'
  within 300 "the watcher made its first look" bash -c "journalctl -b -u kxnet-watch.service -o cat | grep -q '^watching  '"
  local web db
  web=$(registered_bridge web) db=$(registered_bridge db)
  echo "boot: web is on ${web:-nothing}, db on ${db:-nothing}"
  [[ -n $web && -n $db ]] || { echo "boot: FAILED: the registry lacks web or db"; failures=$((failures + 1)); return; }
  local container_end=""
  if [[ -n ${KXNET_BOOT_KXPROC:-} ]]; then
    step kxct start 101 --addr eth0=198.51.100.2/24
    within 120 "the container's host end veth101.0 is a port of $db" port_of veth101.0 "$db" && container_end=1
  fi
  expect "network web's bridge $web deleted" delete_bridge "$web"
  [[ -n $container_end ]] && expect "veth101.0 pulled out of $db" pull_port veth101.0 "$db"
  within 60 "the watcher brought $web back" test -e "/sys/class/net/$web"
  within 60 "the watcher linked kxnic0 to $web again" uplink_on "$web"
  [[ -n $container_end ]] && within 60 "the watcher put veth101.0 back on $db" port_of veth101.0 "$db"
  echo "+ journalctl -u kxnet-watch.service"
  journalctl -b -u kxnet-watch.service --no-pager -o short-monotonic | tail -n 30
  [[ -n ${KXNET_BOOT_KXPROC:-} ]] && step kxct stop 101
  step kxnetctl check
}

second_boot() {
  echo "== boot 2: the networks back"
  expect "kxnet.service is active" bash -c '[[ $(systemctl is-active kxnet.service) == active ]]'
  step systemctl status --no-pager kxnet.service
  step kxnetctl check
  links_view >"$state/links-2.json"
  show_view >"$state/show-2.json"
  echo "boot: links compared (first boot, then this one):"
  if diff -u "$state/links-1.json" "$state/links-2.json"; then
    echo "boot: ok: the devices, ports and VLANs are back ($(jq length "$state/links-2.json") links)"
  else
    echo "boot: FAILED: the links differ"; failures=$((failures + 1))
  fi
  if diff -u "$state/show-1.json" "$state/show-2.json"; then
    echo "boot: ok: kxnetctl show --json --registry is the same"
  else
    echo "boot: FAILED: kxnetctl show --json --registry differs"; failures=$((failures + 1))
  fi
  expect "the registry is unchanged" cmp "$state/registry-1" /etc/kx/kxnet.conf
  expect "kxnet.service ran after Open vSwitch and before network.target" ordering
  # systemd-analyze critical-chain answers only once the boot is finished,
  # which this unit is part of: the unit's order as systemd holds it.
  step systemctl show --no-pager -p After -p Before kxnet.service
  watcher_mends
  local bridges
  bridges=$(sed -n 's/^VNID_\([^=]*\)=.*/\1/p' /etc/kx/kxnet.conf)
  step systemctl stop kxnet.service
  expect "stopping kxnet.service stopped the watcher" bash -c '[[ $(systemctl is-active kxnet-watch.service) != active ]]'
  for bridge in $bridges; do
    expect "stopping the service removed $bridge" bash -c "! ip link show $bridge >/dev/null 2>&1"
  done
  expect "no VLAN device is left" bash -c '[[ -z $(ip -d -j link | jq -r ".[] | select(.linkinfo.info_kind == \"vlan\") | .ifname") ]]'
  echo "+ journalctl -u kxnet.service"
  journalctl -b -u kxnet.service --no-pager -o short-monotonic | tee "$state/journal"
  expect "the journal shows the service's start and stop" bash -c \
    "grep -q 'Finished kxnet.service\|Started kxnet.service' $state/journal && grep -q 'Stopped kxnet.service\|Deactivated' $state/journal"
  step dpkg -r kxnetctl libkxnet-ct-dev libkxnet-ct3
  expect "the packages are removed" bash -c '! dpkg-query -W -f="\${Status}\n" kxnetctl libkxnet-ct3 2>/dev/null | grep -q "ok installed"'
  expect "the registry stays after removal" test -s /etc/kx/kxnet.conf
}

echo "boot: kernel $(uname -r), PID 1 is $(readlink /proc/1/exe)"
echo "boot: the system was up in $(cut -d' ' -f1 /proc/uptime)s"
[[ -n ${KXNET_BOOT_KXPROC:-} ]] && expect "the kxproc module gives /proc/kx/veth and /proc/kx/vmth" test -w /proc/kx/veth -a -w /proc/kx/vmth
# A build host's policy-rc.d (which keeps its own Open vSwitch from starting)
# is not this system's.  man-db's index of every manual page, rebuilt by its
# trigger, takes minutes under tcg; man -w finds pages without it.
rm -f /usr/sbin/policy-rc.d /var/lib/man-db/auto-update
if [[ -e $state/first-boot-done ]]; then second_boot; else first_boot; fi
echo "boot: $failures failures"
((failures == 0)) && finish 0
finish 1
