// Main of the ns lane: enters a fresh namespace and sandbox root, then runs
// the tests of this process (CTest starts one process per test).
#include "ns_env.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) listing = true;
    ::testing::InitGoogleTest(&argc, argv);
    kxtest::ns::enter(listing);
    if (!listing && !kxtest::ns::available())
        std::printf("%s\n", kxtest::ns::unavailable_reason().c_str());
    int result = RUN_ALL_TESTS();
    kxtest::ns::leave();
    return result;
}
