// The starting point that ns tests calling the library share: fresh library
// state with the switch off and the network-scripts layout, the registry and
// network-scripts directories made, the log empty.
#pragma once

#include "frame/state.h"
#include "ns_env.h"

class LibraryTest : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kx::init_libkxnet_state(), 0);
        kx::state().ovs_enabled = 0;
        kx::state().suse_flag = 0;
        kxtest::make_dirs(kxtest::ns::at("/etc/kx"));
        kxtest::make_dirs(kxtest::ns::at("/etc/sysconfig/network-scripts"));
        kxtest::clear_log();
    }
    // Whether a subclass's SetUp should stop after this one's.
    bool stopped() { return IsSkipped() || HasFatalFailure(); }
};
