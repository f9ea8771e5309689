#!/usr/bin/env bash
# Checks the Debian packages that scripts/build-debs.sh built (their names,
# contents and dependencies), unpacks them into a scratch root, and builds and
# runs a small consumer against them with pkg-config and with CMake.
#   check_packages.sh DEBS_DIR BINARY_DIR
set -uo pipefail
debs_dir=$1 binary_dir=$2
for tool in dpkg-deb pkg-config cc; do
  command -v "$tool" >/dev/null || { echo "tool.packages skipped: no $tool"; exit 77; }
done
work=$(mktemp -d /tmp/kxnet-packages-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "check_packages: $*"; exit 1; }
# Listings are read whole before they are searched: under pipefail, a grep -q
# that stops at its match leaves the writer to die of SIGPIPE, and the match
# then reads as a miss.
contents() { dpkg-deb -c "$1" | awk '{print $6}'; }
control_files() { dpkg-deb --ctrl-tarfile "$1" | tar -t; }

deb() { ls "$debs_dir"/"$1"_*.deb 2>/dev/null | head -n1; }
lib=$(deb libkxnet-ct3) dev=$(deb libkxnet-ct-dev) tool=$(deb kxnetctl)
if [[ -z $lib && -z $dev && -z $tool ]]; then
  echo "tool.packages skipped: no packages in $debs_dir (tool.debs builds them)"
  exit 77
fi
[[ -n $lib && -n $dev && -n $tool ]] || { ls "$debs_dir"; fail "expected libkxnet-ct3, libkxnet-ct-dev and kxnetctl packages"; }
[[ -n $(deb libkxnet-ct3-dbgsym) && -n $(deb kxnetctl-dbgsym) ]] || fail "expected the -dbgsym packages"

field() { dpkg-deb -f "$1" "$2"; }
echo "libkxnet-ct3 Depends: $(field "$lib" Depends)"
echo "libkxnet-ct-dev Depends: $(field "$dev" Depends)"
echo "kxnetctl Depends: $(field "$tool" Depends)"
grep -q 'libc6 (>=' <<<"$(field "$lib" Depends)" || fail "libkxnet-ct3 lacks its libc6 dependency (dpkg-shlibdeps)"
grep -q 'libkxnet-ct3 (= ' <<<"$(field "$dev" Depends)" || fail "libkxnet-ct-dev must depend on the same libkxnet-ct3"
# kxnetctl links the library's objects statically, yet works on the data the
# library keeps (registry, log, lock file): the dependency is written out.
grep -q 'libkxnet-ct3 (= ' <<<"$(field "$tool" Depends)" || fail "kxnetctl must depend on libkxnet-ct3"
grep -q 'libstdc++6' <<<"$(field "$tool" Depends)" || fail "kxnetctl lacks its libstdc++6 dependency (dpkg-shlibdeps)"
# The platform's libkxctl.so.1 is the host's: no package of ours names it.
for p in "$lib" "$tool"; do
  grep -qi 'kxctl' <<<"$(field "$p" Depends)" && fail "$(basename "$p") depends on a package for libkxctl.so.1"
  grep -q 'libkxctl' <<<"$(contents "$p")" && fail "$(basename "$p") ships libkxctl"
done
grep -qx './symbols' <<<"$(control_files "$lib")" || fail "libkxnet-ct3 has no symbols file"
grep -qx './triggers' <<<"$(control_files "$lib")" || fail "libkxnet-ct3 has no ldconfig trigger"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
expect_in() { grep -qx -- "$2" <<<"$(contents "$1")" || fail "$(basename "$1") lacks $2"; }
expect_in "$lib" "./usr/lib/$multiarch/libkxnet_ct.so.3"
expect_in "$dev" "./usr/lib/$multiarch/libkxnet_ct.so"
expect_in "$dev" "./usr/include/kxnet_ct.h"
expect_in "$dev" "./usr/lib/$multiarch/pkgconfig/kxnet_ct.pc"
expect_in "$dev" "./usr/lib/$multiarch/cmake/kxnet_ct/kxnet_ctConfig.cmake"
expect_in "$dev" "./usr/share/man/man3/kxnet_ct.3.gz"
expect_in "$tool" "./usr/sbin/kxnetctl"
expect_in "$tool" "./usr/share/man/man8/kxnetctl.8.gz"
expect_in "$tool" "./lib/systemd/system/kxnet.service"
expect_in "$tool" "./lib/systemd/system/kxnet-watch.service"
# The host service is enabled on install; the watcher is shipped disabled.
postinst=$(dpkg-deb --ctrl-tarfile "$tool" | tar -xO ./postinst 2>/dev/null)
grep -q "deb-systemd-helper enable 'kxnet.service'" <<<"$postinst" || fail "kxnet.service is not enabled on install"
# (dh_installsystemd --no-enable: enabled again on upgrade only where it was.)
grep -q "deb-systemd-helper debian-installed 'kxnet-watch.service'" <<<"$postinst" ||
  fail "kxnet-watch.service is enabled on install"
expect_in "$tool" "./etc/logrotate.d/kxnet"
expect_in "$tool" "./usr/share/bash-completion/completions/kxnetctl"
grep -qx /etc/logrotate.d/kxnet <<<"$(dpkg-deb --ctrl-tarfile "$tool" | tar -xO ./conffiles 2>/dev/null)" ||
  fail "the logrotate file is not a conffile of kxnetctl"

root=$work/root
for p in "$lib" "$dev" "$tool"; do dpkg-deb -x "$p" "$root" || fail "cannot unpack $p"; done
libdir=$root/usr/lib/$multiarch
# The platform's libkxctl.so.1 comes from the host; here, the stand-in.
export LD_LIBRARY_PATH=$libdir:$binary_dir/platform
mkdir -p "$work/consumer"
cat >"$work/consumer/consumer.c" <<'C'
#include <kxnet_ct.h>
#include <stdio.h>
#include <stdlib.h>
int main(void) {
    kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_ALL, NULL, NULL, "lo", 0, 0);
    if (filter == NULL) return 1;
    printf("filter for %s over kinds %u\n", filter->name, filter->type_mask);
    kxnet_release_filter(filter);
    return kxnet_br_new("bad id", NULL) == KXNET_ERR_INVALID ? 0 : 2;
}
C
mkdir -p "$work/sandbox/var/log" "$work/sandbox/tmp"
export KXNET_ROOT=$work/sandbox

flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config --cflags --libs kxnet_ct) ||
  fail "pkg-config does not find kxnet_ct"
echo "pkg-config: $flags"
cc -o "$work/consumer/by-pkg-config" "$work/consumer/consumer.c" $flags -Wl,-rpath-link,"$binary_dir/platform" ||
  fail "the consumer does not build with pkg-config"
"$work/consumer/by-pkg-config" || fail "the consumer built with pkg-config does not run"

cat >"$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(kxnet_ct 3 REQUIRED)
add_executable(by-cmake consumer.c)
target_link_libraries(by-cmake PRIVATE kxnet_ct::kxnet_ct)
CM
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,-rpath-link,$binary_dir/platform" >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; fail "find_package(kxnet_ct) fails"; }
cmake --build "$work/consumer/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the consumer does not build with CMake"; }
"$work/consumer/build/by-cmake" || fail "the consumer built with CMake does not run"
LD_LIBRARY_PATH=$libdir:$binary_dir/platform "$root/usr/sbin/kxnetctl" --help >/dev/null || fail "the packaged kxnetctl does not run"
echo "check_packages: three packages built, unpacked and used"
