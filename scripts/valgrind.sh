#!/usr/bin/env bash
# The valgrind lane: memcheck over one run of the query and attach tests of
# the ns lane (gcc tree, build/gcc), each test in its own process as CTest
# runs them; any invalid access or definite leak fails the test.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/gcc
command -v valgrind >/dev/null || { echo "valgrind lane: skipped, valgrind is not installed"; exit 0; }
CC=gcc CXX=g++ cmake -S "$here" -B "$build" -G Ninja -DKXNET_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target kxnet_ns_tests
bin=$build/tests/kxnet_ns_tests
status=0
for t in $("$bin" --gtest_list_tests --gtest_filter="${KXNET_VALGRIND_FILTER:-QueryTest.*:AttachTest.*:-QueryTest.AddressesChanging*}" |
           awk '/^[^ ]/{s=$1} /^  /{print s $1}'); do
  if valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
       --trace-children=no "$bin" --gtest_filter="$t" >"$build/valgrind-$t.log" 2>&1; then
    echo "ok   $t"
  else
    echo "FAIL $t (see $build/valgrind-$t.log)"; status=1
  fi
done
exit $status
