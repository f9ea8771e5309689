// The pair creation request of the container kernel's control device
// /dev/kxctl: request 0x40405b03 carries this 64-byte record, in host byte
// order, asking for a veth pair of two named ends with given hardware
// addresses.  Written by libkxnet_ct, read by the kxctl-cuse stand-in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/ioctl.h>

struct kxctl_pair_record {
    int32_t container_id; // 0: the host
    int32_t operation;    // kxctl_pair_operation_add
    uint8_t first_address[6];
    uint8_t first_padding[2];
    int32_t first_address_length; // 6
    char first_name[16];
    uint8_t second_address[6];
    uint8_t second_padding[2];
    int32_t second_address_length; // 6
    char second_name[16];
};

static_assert(sizeof(kxctl_pair_record) == 64);
static_assert(offsetof(kxctl_pair_record, container_id) == 0);
static_assert(offsetof(kxctl_pair_record, operation) == 4);
static_assert(offsetof(kxctl_pair_record, first_address) == 8);
static_assert(offsetof(kxctl_pair_record, first_padding) == 14);
static_assert(offsetof(kxctl_pair_record, first_address_length) == 16);
static_assert(offsetof(kxctl_pair_record, first_name) == 20);
static_assert(offsetof(kxctl_pair_record, second_address) == 36);
static_assert(offsetof(kxctl_pair_record, second_padding) == 42);
static_assert(offsetof(kxctl_pair_record, second_address_length) == 44);
static_assert(offsetof(kxctl_pair_record, second_name) == 48);

inline constexpr unsigned long kxctl_pair_create_request = _IOW(0x5b, 3, kxctl_pair_record);
static_assert(kxctl_pair_create_request == 0x40405b03);
inline constexpr int32_t kxctl_pair_operation_add = 1;
