#!/usr/bin/env bash
# The ThreadSanitizer lane: builds the tests that call the library from
# several threads under -fsanitize=thread in build/tsan and runs them, each
# in its own process as CTest runs them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/tsan
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DKXNET_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_TSAN=ON -DKXNET_BENCH=OFF >/dev/null
# The threaded tests have a program of their own; another selection
# (KXNET_TSAN_FILTER, a ctest regex) takes the whole ns lane.
if [[ -n ${KXNET_TSAN_FILTER:-} ]]; then
  target=kxnet_ns_tests filter=$KXNET_TSAN_FILTER
else
  target=kxnet_thread_tests filter='^threads\.Frame\.'
fi
cmake --build "$build" -j "$(nproc)" --target "$target"
cd "$build" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -R "$filter" --timeout 300
