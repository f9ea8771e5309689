#!/usr/bin/env bash
# Runs the README's demo against this build tree and checks that its output
# shows each step the demo is there to show.
#   check_demo.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
source_dir=$1 binary_dir=$2
if ! unshare --net --mount true 2>/dev/null; then
  echo "tool.demo skipped: needs root with network and mount namespaces"
  exit 77
fi
out=$(KXNET_BUILD_DIR=$binary_dir KXNET_DEMO_BUILT=1 bash "$source_dir/scripts/demo.sh" 2>&1)
status=$?
printf '%s\n' "$out"
[[ $status -eq 0 ]] || { echo "check_demo: the demo exited with status $status"; exit 1; }
missing=0
expect() {
  grep -qF -- "$1" <<<"$out" || { echo "check_demo: the output lacks: $1"; missing=$((missing + 1)); }
}
expect '$ kxnetctl network add web'
expect 'network "db" on bridge brdb'
expect 'kxnetctl: network "web" already exists'
expect '$ kxnetctl attach web nic0'
expect '$ kxnetctl attach db veth103.0'
expect '$ kxnetctl network rename db backend'
expect '$ kxnetctl addr set nic1 192.0.2.10/24'
expect '$ kxnetctl vlan add nic1 10'
expect 'CT  NAME'
expect '└─ '
expect 'clean: 2 networks'
expect 'pair-detached  container 101: veth101.0 (network "web") is not a port of'
expect 'would repair  bridge brdb of network "backend" was down: host start (kxnet_init_devices)'
expect 'repaired  container 101: veth101.0 was out of bridge'
expect '$ kxnetctl host stop'
expect '$ kxnetctl host start'
expect '$ kxnetctl network del backend'
expect 'demo: done, every step as expected'
[[ $missing -eq 0 ]]
