#!/usr/bin/env bash
# Finds or fetches the vm lane's kernel: Debian's current stock 6.1 image
# (the package linux-image-amd64 depends on), fetched with apt-get download,
# unpacked with dpkg -x and indexed with depmod under CACHE_DIR.
#
#   kernel.sh CACHE_DIR
#
# Prints the unpack directory (boot/vmlinuz-*, lib/modules/*); exit status 1
# with a reason on stderr when no kernel can be had.
set -uo pipefail
export PATH=$PATH:/usr/sbin:/sbin
cache=${1:?usage: kernel.sh CACHE_DIR}

note() { echo "vm kernel: $*" >&2; }

cached_kernel() {
  local dir
  for dir in "$cache"/linux-image-*/; do
    [[ -f $dir/ready ]] && { echo "${dir%/}"; return 0; }
  done
  return 1
}

kernel_package() {
  local name
  name=$(apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-6\.1\.0-[0-9]*-amd64\)$/\1/p' | head -n1)
  [[ -n $name ]] || name=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' 2>/dev/null |
    awk '{print $1}' | sort -V | tail -n1)
  echo "$name"
}

fetch_kernel() {
  for tool in apt-get apt-cache dpkg depmod; do
    command -v $tool >/dev/null || { note "$tool is missing"; return 1; }
  done
  local package version unpack
  package=$(kernel_package)
  [[ -n $package ]] || { note "apt knows no linux-image-6.1.0-*-amd64 package"; return 1; }
  unpack=$cache/$package
  mkdir -p "$cache" || return 1
  note "fetching $package"
  rm -f "$cache/$package"_*.deb
  (cd "$cache" && apt-get download -qq "$package" 2>/dev/null) || { note "apt-get download $package failed"; return 1; }
  rm -rf "$unpack"
  dpkg -x "$cache/$package"_*.deb "$unpack" || return 1
  rm -f "$cache/$package"_*.deb
  version=$(ls "$unpack/lib/modules" | head -n1)
  depmod -b "$unpack" "$version" || return 1
  touch "$unpack/ready"
}

cached_kernel || { fetch_kernel && cached_kernel; }
