#!/usr/bin/env bash
# The README's test command: installs what the lanes need when it is missing
# (scripts/install-deps.sh, as CI does), then runs every test lane twice: a
# g++ build with warnings as errors (with the boot lane, two systemd boots of
# the packages), and a clang build under AddressSanitizer
# and UndefinedBehaviorSanitizer.  Then each fuzz target briefly on its seed
# corpus (build/fuzz), the threaded tests under ThreadSanitizer
# (scripts/tsan.sh) and the query and attach tests under valgrind memcheck
# (scripts/valgrind.sh).  Lanes whose prerequisites are missing say so and count
# as skipped.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install-deps.sh" all
jobs=$(nproc)
status=0

if ! unshare --net --mount true 2>/dev/null; then
  echo "ns lane: skipped, it needs root with network and mount namespaces"
fi

run_tree() { # name, C compiler, C++ compiler, extra cmake flags...
  local name=$1 cc=$2 cxx=$3; shift 3
  local build=$here/build/$name
  echo "== $name: configure and build"
  CC=$cc CXX=$cxx cmake -S "$here" -B "$build" -G Ninja -DKXNET_WERROR=ON "$@" >/dev/null
  cmake --build "$build" -j "$jobs"
  echo "== $name: tests"
  (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 300) || status=1
}

run_tree gcc gcc g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_VM_BOOT=ON
# ctest shows a passing test's output nowhere: lintian's report on the
# packages, and the boot lane's two boots and their comparison, as the tests
# kept them.
if [[ -f $here/build/gcc/debs/lintian.txt ]]; then
  echo "== gcc: lintian on the packages"
  cat "$here/build/gcc/debs/lintian.txt"
fi
if [[ -f $here/build/gcc/vm-boot/lane.log ]]; then
  echo "== gcc: vm.boot"
  cat "$here/build/gcc/vm-boot/lane.log"
fi
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_tree asan clang clang++ -DCMAKE_BUILD_TYPE=Debug -DKXNET_SANITIZE=ON -DKXNET_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 \
  run_tree fuzz clang clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_FUZZ=ON -DKXNET_TESTS=OFF \
  -DKXNET_BENCH=OFF
echo "== tsan"
bash "$here/scripts/tsan.sh" || status=1
echo "== valgrind"
bash "$here/scripts/valgrind.sh" || status=1
exit $status
