#!/usr/bin/env bash
# The packaged logrotate file against the library's log in a sandbox root:
# a call, logrotate -f, a second call; the second call's lines (with their
# lock lines) are in the new log and the first call's in the rotated one, and
# a second rotation compresses the older file.
#   check_rotation.sh KXNETCTL LOGROTATE_FILE
set -uo pipefail
kxnetctl=$1 rules=$2
command -v logrotate >/dev/null || { echo "tool.rotation skipped: no logrotate"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/var/log" "$dir/tmp" "$dir/etc/kx"
export KXNET_ROOT=$dir
log=$dir/var/log/kxnetcfg.log
fail() { echo "check_rotation: $*"; exit 1; }

# The packaged rules, pointed at the sandbox's log.
conf=$dir/logrotate.conf
sed "s|^/var/log/kxnetcfg.log|$log|" "$rules" >"$conf"
chmod 0644 "$conf"
grep -q "^$log {" "$conf" || fail "the logrotate file names no /var/log/kxnetcfg.log"
rotate() { logrotate -f -s "$dir/state" "$conf" || fail "logrotate -f failed"; }

# One library call in a process of known id; its log lines carry that id.
call() {
  bash -c 'echo $$ >"$1"; exec "$2" network list >/dev/null' _ "$dir/pid" "$kxnetctl" || fail "kxnetctl failed"
  cat "$dir/pid"
}
lines_of() { # pid, file
  awk -F '\t' -v pid="$1" '$2 == pid' "$2"
}
has_lock_lines() { # pid, file (read whole: a grep -q in a pipe fails its writer under pipefail)
  local lines
  lines=$(lines_of "$1" "$2")
  grep -q 'grab_excl_kxnetlock done' <<<"$lines" && grep -q 'release_kxnetlock done' <<<"$lines"
}

first=$(call)
has_lock_lines "$first" "$log" || fail "the first call logged no lock lines"
rotate
[[ -f $log.1 ]] || fail "the rotation left no $log.1"
has_lock_lines "$first" "$log.1" || fail "the first call's lines are not in the rotated file"
second=$(call)
[[ -f $log ]] || fail "the second call made no new log"
has_lock_lines "$second" "$log" || fail "the second call's lines are not in the new log"
[[ -z $(lines_of "$second" "$log.1") ]] || fail "the second call wrote into the rotated file"
[[ -z $(lines_of "$first" "$log") ]] || fail "the first call's lines are in the new log"

rotate
[[ -f $log.2.gz ]] || fail "the second rotation did not compress the older file"
zcat "$log.2.gz" >"$dir/older" || fail "cannot read $log.2.gz"
has_lock_lines "$first" "$dir/older" || fail "the compressed file lost the first call's lines"
has_lock_lines "$second" "$log.1" || fail "the second call's lines are not in the newest rotated file"
echo "check_rotation: each call's lines are in the file that was current at its time"
