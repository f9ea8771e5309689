#!/usr/bin/env bash
# The README's test command.  Installs what the lanes need when it is missing
# (scripts/install-deps.sh, as CI does), then:
#
#   test.sh          the lanes that run on this host: unit, ns, tool, abi,
#                    arch and the crash kills in a g++ build with warnings as
#                    errors and in a clang build under AddressSanitizer and
#                    UndefinedBehaviorSanitizer, and the threaded tests under
#                    ThreadSanitizer (scripts/tsan.sh)
#   test.sh --full   all of that, and the lanes that boot a guest under qemu
#                    (vm.lane, vm.crash, vm.boot with the packages'
#                    autopkgtests), the packages themselves (tool.debs,
#                    tool.packages), each fuzz target briefly on its seed
#                    corpus, and the query and attach tests under valgrind
#                    memcheck (scripts/valgrind.sh)
#
# Lanes whose prerequisites are missing say so and count as skipped.  The
# last line names the lanes a run left out.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
full=0
case ${1:-} in
  --full) full=1 ;;
  "") ;;
  *) echo "usage: test.sh [--full]" >&2; exit 2 ;;
esac
bash "$here/scripts/install-deps.sh" all
jobs=$(nproc)
status=0
started=$SECONDS

if ! unshare --net --mount true 2>/dev/null; then
  echo "ns lane: skipped, it needs root with network and mount namespaces"
fi

# What runs on the host alone: every test but the guest lanes (label vm) and
# the packages that the boot lane installs.
host_tests=(-LE vm -E '^tool\.(debs|packages)$')

run_tree() { # name, ctest selection (array name), C compiler, C++ compiler, cmake flags...
  local name=$1 cc=$3 cxx=$4
  local -n selection=$2
  shift 4
  local build=$here/build/$name
  echo "== $name: configure and build ($((SECONDS - started)) s)"
  CC=$cc CXX=$cxx cmake -S "$here" -B "$build" -G Ninja -DKXNET_WERROR=ON "$@" >/dev/null
  cmake --build "$build" -j "$jobs"
  echo "== $name: tests ($((SECONDS - started)) s)"
  (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 300 "${selection[@]}") || status=1
}

if ((full)); then
  gcc_tests=()
  run_tree gcc gcc_tests gcc g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_VM_LANE=ON -DKXNET_VM_BOOT=ON -DKXNET_BENCH=ON
  # ctest shows a passing test's output nowhere: lintian's report on the
  # packages, and the boot lane's two boots, the autopkgtests and the
  # comparison, as the tests kept them.
  if [[ -f $here/build/gcc/debs/lintian.txt ]]; then
    echo "== gcc: lintian on the packages"
    cat "$here/build/gcc/debs/lintian.txt"
  fi
  if [[ -f $here/build/gcc/vm-boot/lane.log ]]; then
    echo "== gcc: vm.boot"
    cat "$here/build/gcc/vm-boot/lane.log"
  fi
else
  # No benchmarks: no host test runs them.
  run_tree gcc host_tests gcc g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_VM_LANE=OFF -DKXNET_VM_BOOT=OFF -DKXNET_BENCH=OFF
fi
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_tree asan host_tests clang clang++ -DCMAKE_BUILD_TYPE=Debug -DKXNET_SANITIZE=ON -DKXNET_BENCH=OFF
echo "== tsan ($((SECONDS - started)) s)"
bash "$here/scripts/tsan.sh" || status=1
if ((full)); then
  no_tests=()
  ASAN_OPTIONS=detect_leaks=1 \
    run_tree fuzz no_tests clang clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKXNET_FUZZ=ON -DKXNET_TESTS=OFF \
    -DKXNET_BENCH=OFF
  echo "== valgrind ($((SECONDS - started)) s)"
  bash "$here/scripts/valgrind.sh" || status=1
  echo "test.sh: every lane ran, in $((SECONDS - started)) s (status $status)"
else
  echo "test.sh: host lanes in $((SECONDS - started)) s (status $status); left to --full: the guest lanes" \
    "(vm.lane, vm.crash, vm.boot and the autopkgtests), tool.debs, tool.packages, the fuzz smoke, valgrind"
fi
# What failed, once more at the end, where a log cut short in the middle
# still shows it.
if ((status != 0)); then
  echo "== what failed"
  for tree in "$here"/build/*/; do
    failed=$tree/Testing/Temporary/LastTestsFailed.log
    [[ -s $failed ]] || continue
    echo "$(basename "$tree"): $(cut -d: -f2 "$failed" | tr '\n' ' ')"
    grep -hE '(: Failure$|FAILED|hung|ran past|Expected|Which is|  Actual)' "$tree/Testing/Temporary/LastTest.log" |
      head -n 40 || true
  done
  grep -h 'FAILED' "$here/build/gcc/vm-boot/lane.log" 2>/dev/null || true
fi
exit $status
