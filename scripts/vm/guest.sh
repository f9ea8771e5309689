#!/usr/bin/env bash
# Runs in the vm lane's guest (chrooted on the overlay of the host's root):
# loads the modules the tests rely on, then runs every test of the guest
# binary in its own process and prints one result line per test.
#
#   guest.sh GUEST_TEST_BINARY [GTEST_FILTER [KXCTL_DEVICE_DAEMON]]
#
# The daemon, when given, provides /dev/kxctl through CUSE for the whole run.
#
# Exit status: 0 all passed, 1 a test failed, 77 every test skipped.
set -uo pipefail
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C
binary=$1
filter=${2:-*}
daemon=${3:-}
per_test_timeout=${KXNET_VM_TEST_TIMEOUT:-300}
# KXNET_VM_STREAM: each test's lines on the console as they come.

echo "vm guest: kernel $(uname -r)"
for module in 8021q dummy openvswitch veth bridge cuse ipip ip_gre sit; do
  modprobe "$module" || echo "vm guest: modprobe $module failed"
done
# With the modules in, the kernel's own module requests are turned off: a
# probe of an absent device by name asks for two modules (netdev-NAME, NAME),
# and each request runs modprobe, 0.1 s under tcg.
printf '\n' >/proc/sys/kernel/modprobe
mkdir -p /var/run/openvswitch /etc/openvswitch /var/log/openvswitch

# The container kernel's control device, in userspace.
if [[ -n $daemon ]]; then
  "$daemon" || echo "vm guest: $daemon failed to start"
  for _ in $(seq 50); do [[ -c /dev/kxctl ]] && break; sleep 0.1; done
  [[ -c /dev/kxctl ]] || echo "vm guest: /dev/kxctl did not appear"
fi

tests=$("$binary" --gtest_list_tests --gtest_filter="$filter" | awk '
  /^[^ ]/ { suite = $1; next }
  /^  [^ ]/ { print suite $1 }')
[[ -n $tests ]] || { echo "vm guest: no tests listed"; exit 1; }

# Daemons a crashed test left behind would hold the next test's pidfiles.
stop_leftovers() {
  local daemon
  for daemon in ovs-vswitchd ovsdb-server; do
    [[ -e /var/run/openvswitch/$daemon.pid ]] && ovs-appctl -t "$daemon" exit >/dev/null 2>&1
  done
  return 0
}

passed=0 failed=0 skipped=0
for name in $tests; do
  if [[ -n ${KXNET_VM_STREAM:-} ]]; then
    # A long test's lines as they come; its output is not repeated on failure.
    timeout --kill-after=5 "$per_test_timeout" "$binary" --gtest_filter="$name" 2>&1 | tee /tmp/kxvm-test.out
    status=${PIPESTATUS[0]}
    output=$(grep '^\[  SKIPPED \]' /tmp/kxvm-test.out)
  else
    output=$(timeout --kill-after=5 "$per_test_timeout" "$binary" --gtest_filter="$name" 2>&1)
    status=$?
  fi
  stop_leftovers
  if [[ $status != 0 ]]; then
    result=FAIL failed=$((failed + 1))
    [[ -n ${KXNET_VM_STREAM:-} ]] || printf '%s\n' "$output"
  elif grep -q '^\[  SKIPPED \]' <<<"$output"; then
    result=SKIP skipped=$((skipped + 1))
    grep -v '^\[' <<<"$output" | grep -v '^$' | head -n3 || true
  else
    result=PASS passed=$((passed + 1))
  fi
  echo "vm test: $result $name"
done
echo "vm guest: $passed passed, $failed failed, $skipped skipped"
((failed == 0)) || exit 1
((passed > 0)) || exit 77
exit 0
