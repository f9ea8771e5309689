// The CUSE stand-in for the container kernel's /dev/kxctl: the pair request
// makes a veth pair with the given names and addresses in the caller's
// network namespace (the daemon lives in the guest's first one); malformed
// records get EINVAL, other requests ENOTTY.
#include "ns_env.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ns = kxtest::ns;

namespace {

constexpr unsigned long pair_request = 0x40405b03;

struct record_bytes {
    unsigned char bytes[64] = {};
    void put_int(size_t at, int32_t value) { std::memcpy(bytes + at, &value, sizeof value); }
    void put_name(size_t at, const char *name) { std::memcpy(bytes + at, name, std::strlen(name)); }
};

record_bytes pair_record(const char *first, const char *second) {
    record_bytes record;
    record.put_int(0, 0);
    record.put_int(4, 1);
    const unsigned char first_address[6] = {0xfe, 0, 0, 0, 0x5b, 0x01};
    const unsigned char second_address[6] = {0xfe, 0, 0, 0, 0x5b, 0x02};
    std::memcpy(record.bytes + 8, first_address, 6);
    record.put_int(16, 6);
    record.put_name(20, first);
    std::memcpy(record.bytes + 36, second_address, 6);
    record.put_int(44, 6);
    record.put_name(48, second);
    return record;
}

class KxctlDevice : public NsTest {
protected:
    void SetUp() override {
        NsTest::SetUp();
        if (IsSkipped()) return;
        struct stat device {};
        if (stat("/dev/kxctl", &device) != 0 || !S_ISCHR(device.st_mode))
            GTEST_SKIP() << "no /dev/kxctl in this guest (kxctl-cuse not built)";
        fd_ = open("/dev/kxctl", O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd_, 0) << std::strerror(errno);
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
    }
    // 0 or the errno of the request.
    int request(unsigned long number, void *argument) {
        return ioctl(fd_, number, argument) == 0 ? 0 : errno;
    }
    int fd_ = -1;
};

} // namespace

TEST_F(KxctlDevice, PairIsMadeInTheCallersNamespace) {
    record_bytes record = pair_record("kx-a", "kx-b");
    ASSERT_EQ(request(pair_request, record.bytes), 0);
    EXPECT_EQ(ns::sysfs("kx-a", "address"), "fe:00:00:00:5b:01");
    EXPECT_EQ(ns::sysfs("kx-b", "address"), "fe:00:00:00:5b:02");
    EXPECT_NE(ns::capture("ip -o link show kx-a").find("kx-a@kx-b"), std::string::npos);
    EXPECT_NE(ns::sh("nsenter --net=/proc/1/ns/net ip link show kx-a >/dev/null 2>&1"), 0)
        << "the daemon's own namespace stays untouched";

    EXPECT_EQ(request(pair_request, record.bytes), EEXIST) << "the kernel's answer is passed on";
}

TEST_F(KxctlDevice, MalformedRecordsAndOtherRequestsAreRefused) {
    record_bytes long_name = pair_record("kx-c", "kx-d");
    std::memset(long_name.bytes + 20, 'x', 16);
    record_bytes empty_name = pair_record("", "kx-d");
    record_bytes short_address = pair_record("kx-c", "kx-d");
    short_address.put_int(44, 5);
    record_bytes long_address = pair_record("kx-c", "kx-d");
    long_address.put_int(16, 8);
    record_bytes remove = pair_record("kx-c", "kx-d");
    remove.put_int(4, 2);
    for (record_bytes *bad : {&long_name, &empty_name, &short_address, &long_address, &remove})
        EXPECT_EQ(request(pair_request, bad->bytes), EINVAL);
    EXPECT_FALSE(ns::device_exists("kx-c"));
    EXPECT_FALSE(ns::device_exists("kx-d"));

    record_bytes good = pair_record("kx-c", "kx-d");
    EXPECT_EQ(request(_IOW(0x5b, 4, record_bytes), good.bytes), ENOTTY);
    EXPECT_EQ(request(_IOR(0x5b, 3, record_bytes), good.bytes), ENOTTY);
    EXPECT_EQ(request(_IO(0x5b, 3), nullptr), ENOTTY);
    EXPECT_FALSE(ns::device_exists("kx-c"));
}
