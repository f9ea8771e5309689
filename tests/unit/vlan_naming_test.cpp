// VLAN device names by naming type, and the naming type read from the
// kernel's VLAN config header.
#include "test_support.h"
#include "vlan/naming.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string name_of(const char *device, unsigned vid) {
    char out[16];
    kx::vlan_device_name(device, vid, out);
    return out;
}

void write_config(const kxtest::scratch_root &root, const std::string &type_line) {
    kxtest::write_file(root.at("/proc/net/vlan/config"),
                       "VLAN Dev name    | VLAN ID\n" + type_line + "\neth0.5  | 5  | eth0\n");
}

TEST(VlanNaming, EachTypeFormsItsName) {
    const std::pair<int, const char *> cases[] = {
        {0, "vlan0005"}, {1, "eth0.0005"}, {2, "vlan5"}, {3, "eth0.5"}};
    for (auto [type, expected] : cases) {
        kx::vlan_name_type() = type;
        EXPECT_EQ(name_of("eth0", 5), expected) << "type " << type;
    }
}

TEST(VlanNaming, LongNameIsCutTo15Characters) {
    kx::vlan_name_type() = 3;
    EXPECT_EQ(name_of("abcdefghijkl", 4095), "abcdefghijkl.40");
    kx::vlan_name_type() = 1;
    EXPECT_EQ(name_of("abcdefghijklmnopq", 7), "abcdefghijklmno");
}

TEST(VlanNaming, TypeTextsCompareAsWholeWords) {
    kx::vlan_name_type_set("VLAN_NAME_TYPE_PLUS_VID_NO_PAD");
    EXPECT_EQ(kx::vlan_name_type(), 2);
    kx::vlan_name_type_set("VLAN_NAME_TYPE_PLUS_VID");
    EXPECT_EQ(kx::vlan_name_type(), 0);
    kx::vlan_name_type_set("VLAN_NAME_TYPE_RAW_PLUS_VID");
    EXPECT_EQ(kx::vlan_name_type(), 1);
    kx::vlan_name_type_set("VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD");
    EXPECT_EQ(kx::vlan_name_type(), 3);
    for (const char *other : {"VLAN_NAME_TYPE_PLUS", "VLAN_NAME_TYPE_PLUS_VIDX", "", "vlan"}) {
        kx::vlan_name_type() = 0;
        kx::vlan_name_type_set(other);
        EXPECT_EQ(kx::vlan_name_type(), 3) << other;
    }
}

TEST(VlanNaming, HeaderSetsTheType) {
    kxtest::scratch_root root;
    write_config(root, "Name-Type: VLAN_NAME_TYPE_PLUS_VID_NO_PAD");
    kx::read_vlan_config(0);
    EXPECT_EQ(name_of("eth0", 5), "vlan5");
    write_config(root, "Name-Type: VLAN_NAME_TYPE_PLUS_VID");
    kx::read_vlan_config(0);
    EXPECT_EQ(name_of("eth0", 5), "vlan0005");
    write_config(root, "Name-Type: VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD");
    kx::read_vlan_config(0);
    EXPECT_EQ(name_of("eth0", 5), "eth0.5");
}

TEST(VlanNaming, MissingShortOrForeignHeaderKeepsTheType) {
    kxtest::scratch_root root;
    kx::vlan_name_type() = 3;
    kx::read_vlan_config(0); // no file
    EXPECT_EQ(name_of("eth0", 5), "eth0.5");

    kxtest::write_file(root.at("/proc/net/vlan/config"), "only one line\n");
    kx::read_vlan_config(0);
    EXPECT_EQ(kx::vlan_name_type(), 3);

    kx::vlan_name_type() = 1;
    write_config(root, "Kind: VLAN_NAME_TYPE_PLUS_VID");
    kx::read_vlan_config(0);
    EXPECT_EQ(kx::vlan_name_type(), 1);
    write_config(root, "Name-Type");
    kx::read_vlan_config(0);
    EXPECT_EQ(kx::vlan_name_type(), 1);
}

std::string device_lines_seen;
void collect_device_lines(std::FILE *stream) {
    int c = 0;
    while ((c = std::fgetc(stream)) != EOF) device_lines_seen.push_back(static_cast<char>(c));
}

TEST(VlanNaming, DeviceReaderStartsAfterTheHeader) {
    kxtest::scratch_root root;
    write_config(root, "Name-Type: VLAN_NAME_TYPE_PLUS_VID_NO_PAD");
    device_lines_seen.clear();
    kx::read_vlan_config(0, collect_device_lines);
    EXPECT_EQ(device_lines_seen, "");
    kx::read_vlan_config(1, collect_device_lines);
    EXPECT_EQ(device_lines_seen, "eth0.5  | 5  | eth0\n");
    EXPECT_EQ(kx::vlan_name_type(), 2);
}

} // namespace
