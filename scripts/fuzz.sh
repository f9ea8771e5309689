#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined-behaviour
# sanitizers) in build/fuzz and runs each in turn on its seed corpus.
#   scripts/fuzz.sh [seconds per target] [target...]
# New inputs go to build/fuzz/fuzz/work/<target>; crashes to build/fuzz/crashes.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}; shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(registry kernel_lists ifcfg ifcfg_shell rtnl link_lines store)
build=$here/build/fuzz
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DKXNET_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_FUZZ=ON -DKXNET_TESTS=OFF -DKXNET_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/crashes"
status=0
for t in "${targets[@]}"; do
  work=$build/fuzz/work/$t
  mkdir -p "$work"
  echo "== fuzz_$t: ${seconds}s"
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -runs=10000000 -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" \
    "$work" "$here/fuzz/corpus/$t" 2>&1 | grep -E '^(stat::|#[0-9]+ +DONE|==[0-9]+==ERROR|SUMMARY|Done)' \
    || status=1
done
exit $status
