#!/bin/sh
# Fails when a file under src/ includes a header of a subsystem that is not
# below its own in the layering:
#   netops -> netinfo -> devices -> ifcfg -> registry -> vlan, rtnl -> frame -> sys
# A file may include its own subsystem's headers and any lower one's.
set -eu
src=$1
rank() {
  case $1 in
    sys) echo 0 ;; frame) echo 1 ;; vlan|rtnl) echo 2 ;; registry) echo 3 ;; ifcfg) echo 4 ;;
    devices) echo 5 ;; netinfo) echo 6 ;; netops) echo 7 ;; *) echo -1 ;;
  esac
}
bad=0
for file in $(cd "$src" && find . -mindepth 2 -name '*.cpp' -o -mindepth 2 -name '*.h' | sort); do
  from=$(echo "$file" | cut -d/ -f2)
  from_rank=$(rank "$from")
  if [ "$from_rank" -lt 0 ]; then
    echo "src/${file#./}: subsystem '$from' has no place in the layering"; bad=1; continue
  fi
  for to in $(sed -n 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\)/.*|\1|p' "$src/$file" | sort -u); do
    [ "$to" = "$from" ] && continue
    to_rank=$(rank "$to")
    if [ "$to_rank" -lt 0 ] || [ "$to_rank" -ge "$from_rank" ]; then
      echo "src/${file#./}: $from may not include $to"; bad=1
    fi
  done
done
[ $bad -eq 0 ] && echo "every include of src/ runs down the layering"
exit $bad
