#!/usr/bin/env bash
# Sources kxnetctl's bash completion (with bash-completion's helpers when they
# are installed, as in an interactive shell) and asks it for completions of
# command lines, against a sandbox registry with two networks.
#   check_completion.sh COMPLETION_FILE
set -uo pipefail
file=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/etc/kx"
printf 'VNID_br0="web"\nIFLST_br0="eth1"\nVNID_br1="db"\nVLAN_eth1="10"\n' >"$dir/etc/kx/kxnet.conf"
export KXNET_ROOT=$dir

helpers=/usr/share/bash-completion/bash_completion
# Each case: the command line up to the cursor ("_" for an empty last word),
# words that must be offered, and words that must not ("-" for none).
cases=(
  "kxnetctl _|network attach show check|web"
  "kxnetctl ne|network|attach"
  "kxnetctl --|--json --version --help|--tree"
  "kxnetctl --json _|network vlan|--json"
  "kxnetctl network _|add del rename list bridge|web"
  "kxnetctl network del _|web db|lo br0"
  "kxnetctl network rename w|web|db"
  "kxnetctl network add _|-|web db lo"
  "kxnetctl network list --|--tree|--bridge"
  "kxnetctl attach _|web db|lo"
  "kxnetctl attach web _|lo|web db"
  "kxnetctl --color never attach web _|lo|web never"
  "kxnetctl detach _|lo|web"
  "kxnetctl vlan add _|lo|add"
  "kxnetctl vlan add lo _|-|lo"
  "kxnetctl addr set lo _|dhcp|lo"
  "kxnetctl show --|--ct --all --network --registry|--tree"
  "kxnetctl show --network _|web db|lo"
  "kxnetctl show --kind _|eth bridge vlan all|web"
  "kxnetctl show --name l|lo|web"
  "kxnetctl --colour _|auto always never|web"
  "kxnetctl host _|start stop|web"
  "kxnetctl check --|--repair --dry-run --prune|--tree"
  "kxnetctl watch --|--repair --dry-run|--prune"
)

run_case() { # line, with helpers (yes/no)
  local line=$1 with=$2
  bash --norc --noprofile -c '
    [[ $2 == yes ]] && source "$3"
    source "$1"
    read -ra COMP_WORDS <<<"$4"
    [[ ${COMP_WORDS[-1]} == _ ]] && COMP_WORDS[-1]=""
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE}
    _kxnetctl kxnetctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$file" "$with" "$helpers" "$line"
}

fail=0
modes=(no)
[[ -r $helpers ]] && modes+=(yes)
for with in "${modes[@]}"; do
  for entry in "${cases[@]}"; do
    IFS='|' read -r line want avoid <<<"$entry"
    got=$(run_case "$line" "$with")
    for word in $want; do
      [[ $word == - ]] && continue
      grep -qx -- "$word" <<<"$got" || { echo "completion (helpers: $with) of '$line' lacks $word: $(echo $got)"; fail=1; }
    done
    for word in $avoid; do
      [[ $word == - ]] && continue
      grep -qx -- "$word" <<<"$got" && { echo "completion (helpers: $with) of '$line' offers $word: $(echo $got)"; fail=1; }
    done
  done
done
((fail == 0)) && echo "check_completion: ${#cases[@]} command lines complete as expected (helpers: ${modes[*]})"
exit $fail
