#!/usr/bin/env bash
# The ThreadSanitizer lane: builds the ns tests under -fsanitize=thread in
# build/tsan and runs the tests that call the library from several threads,
# each in its own process as CTest runs them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/tsan
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DKXNET_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_TSAN=ON -DKXNET_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kxnet_ns_tests
cd "$build" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -R "${KXNET_TSAN_FILTER:-^Frame\.}" --timeout 300
