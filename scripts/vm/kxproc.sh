#!/usr/bin/env bash
# Builds the stand-in for the container kernel's /proc/kx lists
# (platform/kxproc) for the vm lanes' kernel, against that kernel's own
# headers: linux-headers-ABI-amd64, linux-headers-ABI-common and
# linux-kbuild-6.1 of the kernel package's version, fetched with apt-get
# download and unpacked with dpkg -x under CACHE_DIR, beside the kernel.
# gcc-12 and make (build-essential) build it, as they build Debian's kernel.
#
#   kxproc.sh CACHE_DIR KERNEL_DIR OUT_DIR
#
# KERNEL_DIR is kernel.sh's unpack directory.  Prints the path of the module
# built under OUT_DIR; exit status 1 with a reason on stderr when none can be.
set -uo pipefail
export PATH=$PATH:/usr/sbin:/sbin
usage="usage: kxproc.sh CACHE_DIR KERNEL_DIR OUT_DIR"
cache=${1:?$usage}
kroot=$(readlink -f "${2:?$usage}")
out=${3:?$usage}
source_dir=$(cd "$(dirname "$0")/../../platform/kxproc" && pwd)

fail() { echo "vm kxproc: $*" >&2; exit 1; }

# The Debian version of the kernel's source package, from the image's own
# changelog: a signed image names the version it signs.
kernel_version() {
  local changelog
  changelog=$(ls "$kroot"/usr/share/doc/linux-image-*/changelog*.gz 2>/dev/null | head -n1)
  [[ -n $changelog ]] || return 1
  zcat "$changelog" | sed -n '1,20{s/^ *\* Sign kernel from linux \([^ ]*\)$/\1/p}' | head -n1 | grep . ||
    zcat "$changelog" | sed -n '1s/^linux[^ ]* (\([^)]*\)).*/\1/p' | grep .
}

# Unpacks the three header packages of ABI at VERSION into DIR, whose build
# tree then includes its common part from there rather than from /usr/src.
fetch_headers() { # abi, version, dir
  local abi=$1 debian_version=$2 dir=$3 fetch=$cache/headers-download package
  rm -rf "$fetch" "$dir" && mkdir -p "$fetch" || return 1
  (cd "$fetch" && apt-get download -qq "linux-headers-$abi-amd64=$debian_version" \
    "linux-headers-$abi-common=$debian_version" 2>/dev/null) ||
    { rm -rf "$fetch"; echo "apt-get download of the headers $debian_version of $abi failed"; return 1; }
  # The build scripts of the same series: the archive keeps only its newest
  # linux-kbuild-6.1, which can be a release ahead of the newest signed image.
  (cd "$fetch" && apt-get download -qq "linux-kbuild-6.1=$debian_version" 2>/dev/null) || {
    echo "vm kxproc: linux-kbuild-6.1 $debian_version is no longer in the archive; its newest 6.1 scripts build the module" >&2
    (cd "$fetch" && apt-get download -qq linux-kbuild-6.1 2>/dev/null)
  } || { rm -rf "$fetch"; echo "apt-get download of linux-kbuild-6.1 failed"; return 1; }
  for package in "$fetch"/*.deb; do
    dpkg -x "$package" "$dir" || { rm -rf "$fetch"; echo "dpkg -x $package failed"; return 1; }
  done
  rm -rf "$fetch"
  sed -i "s|^include /usr/src/|include $dir/usr/src/|" "$dir/usr/src/linux-headers-$abi-amd64/Makefile" || return 1
  echo "$debian_version" >"$dir/ready"
}

for tool in apt-get dpkg make gcc-12 zcat; do
  command -v $tool >/dev/null || fail "$tool is missing"
done
mkdir -p "$cache" "$out" && cache=$(readlink -f "$cache") && out=$(readlink -f "$out") || fail "cannot make $cache and $out"
abi=$(ls "$kroot/lib/modules" 2>/dev/null | head -n1)
abi=${abi%-amd64}
[[ -n $abi ]] || fail "no kernel modules in $kroot"
debian_version=$(kernel_version) || fail "the kernel in $kroot names no Debian version"
headers=$cache/linux-headers-$abi
if [[ $(cat "$headers/ready" 2>/dev/null) != "$debian_version" ]]; then
  echo "vm kxproc: fetching the headers $debian_version of $abi" >&2
  reason=$(fetch_headers "$abi" "$debian_version" "$headers") || fail "${reason:-the headers could not be unpacked}"
fi

build=$out/kxproc-build
rm -rf "$build" && mkdir -p "$build" && cp "$source_dir"/kxproc.c "$source_dir"/Kbuild "$source_dir"/Makefile "$build"/ ||
  fail "cannot copy the module's source to $build"
make -C "$build" KDIR="$headers/usr/src/linux-headers-$abi-amd64" >"$build/make.log" 2>&1 ||
  fail "the module did not build against $abi: $(grep -m1 -E 'error:|\*\*\*' "$build/make.log")"
[[ -f $build/kxproc.ko ]] || fail "make left no kxproc.ko"
echo "$build/kxproc.ko"
