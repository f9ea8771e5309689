#!/bin/sh
# Fails when the shared object exports a function outside kxnet_* and
# compat_kxnet_*, lacks its SONAME, or does not export a function that the
# public header declares.  Usage: check_exports.sh LIB HEADER [NAME...], the
# NAMEs being declared functions allowed to be missing for now; one of them
# that is exported after all fails too, so the list only ever shrinks.
set -eu
lib=$1
header=$2
shift 2
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
if [ "$soname" != "libkxnet_ct.so.3" ]; then
  echo "SONAME is '$soname', expected libkxnet_ct.so.3"; exit 1
fi
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u)
bad=$(printf '%s\n' "$exported" | grep -v -E '^(kxnet_|compat_kxnet_)' || true)
if [ -n "$bad" ]; then
  echo "exported outside the two prefixes:"; echo "$bad"; exit 1
fi
# Every declaration starts with KXNET_API and names its function just before
# the opening parenthesis, on the same line.
declared=$(sed -n 's/^KXNET_API[^(]*[^A-Za-z0-9_(]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort -u)
if [ -z "$declared" ]; then
  echo "no function declarations found in $header"; exit 1
fi
allowed=$(printf '%s\n' "$@" | sort -u)
missing=$(printf '%s\n' "$declared" | grep -v -x -F "$exported" || true)
unexpected=$(printf '%s\n' "$missing" | grep -v -x -F -e "" ${allowed:+-e "$allowed"} || true)
if [ -n "$unexpected" ]; then
  echo "declared in $(basename "$header") but not exported:"; echo "$unexpected"; exit 1
fi
stale=$(printf '%s\n' "$allowed" | grep -x -F "$exported" || true)
if [ -n "$stale" ]; then
  echo "allowed to be missing but exported (drop them from the list):"; echo "$stale"; exit 1
fi
count=$(printf '%s\n' "$exported" | grep -c . || true)
ndeclared=$(printf '%s\n' "$declared" | grep -c .)
echo "libkxnet_ct.so.3 exports $count functions, all under kxnet_ or compat_kxnet_;" \
  "$ndeclared declared, $(printf '%s\n' "$missing" | grep -c . || true) not yet built"
