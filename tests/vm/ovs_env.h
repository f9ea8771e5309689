// The vm lane's Open vSwitch: each test process runs its own ovsdb-server
// and ovs-vswitchd in its namespace, with the production paths of the
// module and the tool reached from inside the sandbox root.
#pragma once

#include "ns_env.h"

#include <filesystem>
#include <string>
#include <vector>

class OvsKernel : public NsTest {
protected:
    static constexpr const char *vsctl = "/usr/bin/ovs-vsctl";

    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        namespace ns = kxtest::ns;
        ASSERT_EQ(ns::sh("modprobe openvswitch"), 0);
        ASSERT_EQ(ns::sh("mkdir -p /etc/openvswitch /var/run/openvswitch /var/log/openvswitch && "
                         "rm -f /etc/openvswitch/conf.db && "
                         "ovsdb-tool create /etc/openvswitch/conf.db /usr/share/openvswitch/vswitch.ovsschema"),
                  0);
        ASSERT_EQ(ns::sh("ovsdb-server /etc/openvswitch/conf.db --remote=punix:/var/run/openvswitch/db.sock "
                         "--pidfile --detach --log-file"),
                  0);
        started_ = true;
        ASSERT_EQ(ns::sh("ovs-vsctl --no-wait init"), 0);
        ASSERT_EQ(ns::sh("ovs-vswitchd --pidfile --detach --log-file"), 0);
        for (const char *path : {"/sys/module/openvswitch", vsctl}) {
            std::filesystem::create_directories(std::filesystem::path(ns::at(path)).parent_path());
            std::filesystem::create_symlink(path, ns::at(path));
        }
    }

    void TearDown() override {
        if (!started_) return;
        kxtest::ns::sh("ovs-appctl -t ovs-vswitchd exit 2>/dev/null; ovs-appctl -t ovsdb-server exit 2>/dev/null");
    }

    // The lines ovs-vsctl prints for `args`.
    static std::vector<std::string> vsctl_lines(const std::string &args) {
        std::vector<std::string> list;
        std::string out = kxtest::ns::capture(std::string(vsctl) + " " + args);
        size_t start = 0;
        while (start < out.size()) {
            size_t end = out.find('\n', start);
            if (end == std::string::npos) end = out.size();
            list.push_back(out.substr(start, end - start));
            start = end + 1;
        }
        return list;
    }

    static std::vector<std::string> ports(const std::string &bridge) { return vsctl_lines("list-ports " + bridge); }

    bool started_ = false;
};
