#!/bin/sh
# Fails when the shared object exports a function outside kxnet_* and
# compat_kxnet_*, or lacks its SONAME.
set -eu
lib=$1
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
if [ "$soname" != "libkxnet_ct.so.3" ]; then
  echo "SONAME is '$soname', expected libkxnet_ct.so.3"; exit 1
fi
bad=$(nm -D --defined-only "$lib" | awk '{print $NF}' | grep -v -E '^(kxnet_|compat_kxnet_)' || true)
if [ -n "$bad" ]; then
  echo "exported outside the two prefixes:"; echo "$bad"; exit 1
fi
count=$(nm -D --defined-only "$lib" | grep -c -E ' (kxnet_|compat_kxnet_)' || true)
echo "libkxnet_ct.so.3 exports $count functions, all under kxnet_ or compat_kxnet_"
