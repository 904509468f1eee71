#pragma once

// What the emulated USB devices share: one interface with a bulk IN (ep1)
// and a bulk OUT (ep2) endpoint at full speed, described to FunctionFS, and
// every control request passed on to the device's own ep0 reader.
#include <endian.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

constexpr int packetSize = 64;

inline bool describeBulkPair(int ep0, std::uint8_t interfaceClass, std::uint8_t subclass,
                             std::uint8_t protocol, const std::string& name) {
    struct __attribute__((packed)) Descriptors {
        usb_functionfs_descs_head_v2 header;
        __le32 fsCount;
        usb_interface_descriptor interface;
        usb_endpoint_descriptor_no_audio in;
        usb_endpoint_descriptor_no_audio out;
    } d{};
    d.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    d.header.length = htole32(sizeof d);
    // Vendor requests go to the device, not to the interface: without
    // ALL_CTRL_RECIP FunctionFS would never pass them on.
    d.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    d.fsCount = htole32(3);
    d.interface = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0,        0, 2,
                   interfaceClass,        subclass,         protocol, 1};
    d.in = {USB_DT_ENDPOINT_SIZE,   USB_DT_ENDPOINT,     0x81,
            USB_ENDPOINT_XFER_BULK, htole16(packetSize), 0};
    d.out = {USB_DT_ENDPOINT_SIZE,   USB_DT_ENDPOINT,     0x02,
             USB_ENDPOINT_XFER_BULK, htole16(packetSize), 0};
    usb_functionfs_strings_head head{};
    const std::size_t size = sizeof head + 2 + name.size() + 1;
    head.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    head.length = htole32(static_cast<std::uint32_t>(size));
    head.str_count = htole32(1);
    head.lang_count = htole32(1);
    std::vector<char> strings(size, '\0');
    std::memcpy(strings.data(), &head, sizeof head);
    const __le16 language = htole16(0x0409);
    std::memcpy(strings.data() + sizeof head, &language, 2);
    std::memcpy(strings.data() + sizeof head + 2, name.c_str(), name.size());
    return ::write(ep0, &d, sizeof d) == sizeof d &&
           ::write(ep0, strings.data(), size) == static_cast<ssize_t>(size);
}

// Reads ep0's events until the function goes, handing each control request to answer.
template <typename Answer> void serveControl(int ep0, Answer answer) {
    usb_functionfs_event events[4];
    for (;;) {
        const ssize_t n = ::read(ep0, events, sizeof events);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        for (std::size_t i = 0; i < std::size_t(n) / sizeof events[0]; ++i) {
            if (events[i].type == FUNCTIONFS_SETUP) {
                answer(ep0, events[i].u.setup);
            }
        }
    }
}
