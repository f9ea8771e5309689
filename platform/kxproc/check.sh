#!/usr/bin/env bash
# Checks the loaded kxproc module's lists as their readers rely on them: a
# writer's text replaces the whole list when it closes, not before; a failed
# write publishes nothing; an appending writer adds to the list; readers in
# small pieces see one text.  Leaves both lists as the bare header.  One line
# per failed check on stdout; exit status 1 when any failed.
#
#   check.sh [DIR]    (DIR: /proc/kx)
set -u
dir=${1:-/proc/kx}
header="Version: 1.0"
failed=0

fail() { echo "kxproc check: $*"; failed=1; }
is() { # what, list, expected text
  [[ $(cat "$dir/$2") == "$3" ]] || fail "$1: $2 holds '$(head -c 200 "$dir/$2")'"
}

for list in veth vmth; do
  [[ -r $dir/$list && -w $dir/$list ]] || { fail "no writable $dir/$list"; exit 1; }
done

printf '%s\na vethA b eth0 101\nc vethB d eth1 101\n' "$header" >"$dir/veth"
is "a text replaces the list" veth "$(printf '%s\na vethA b eth0 101\nc vethB d eth1 101' "$header")"
printf '%s\n' "$header" >"$dir/veth"
is "a shorter text leaves nothing of the longer one" veth "$header"
is "the other list is its own" vmth "$header"
echo "e vethC f eth0 7" >>"$dir/veth"
is "an appending writer adds a line" veth "$(printf '%s\ne vethC f eth0 7' "$header")"

exec {writer}>"$dir/vmth"
printf '%s\ntun7\n' "$header" >&"$writer"
is "a writer's text is not seen while it writes" vmth "$header"
exec {writer}>&-
is "a writer's text is the list once it closes" vmth "$(printf '%s\ntun7' "$header")"
: >"$dir/vmth"
is "a writer that writes nothing empties the list" vmth ""

# Past the module's 64 KiB a write fails and the list keeps its old text.
printf '%s\n' "$header" >"$dir/veth"
{ echo "$header"; for i in $(seq 2000); do echo "02:00:00:00:00:01 veth$i.0 02:00:00:00:00:02 eth0 $i"; done; } \
  >"$dir/veth" 2>/dev/null && fail "a text past 64 KiB was taken"
is "a failed writer leaves the list as it was" veth "$header"

{ echo "$header"; for i in $(seq 1000); do echo "02:00:00:00:00:01 veth$i.0 02:00:00:00:00:02 eth0 $i"; done; } >"$dir/veth"
[[ $(wc -l <"$dir/veth") == 1001 ]] || fail "a list of 1000 pairs holds $(wc -l <"$dir/veth") lines"
dd if="$dir/veth" bs=7 2>/dev/null | cmp -s - "$dir/veth" || fail "reads of 7 bytes give another text"

printf '%s\n' "$header" >"$dir/veth"
printf '%s\n' "$header" >"$dir/vmth"
exit $failed
