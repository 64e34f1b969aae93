// The kernel's device events (kobject uevents) as they arrive on a netlink
// socket: "ACTION@DEVPATH\0KEY=VALUE\0KEY=VALUE\0...". The bytes come from
// outside the program, so every field is bounded and anything unexpected
// makes the whole message void.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace salvor::uevent {

// The two device-change events the main dialog acts on.
constexpr int kDeviceArrival = 0x8000;
constexpr int kDeviceRemoveComplete = 0x8004;

// Limits of one message. The kernel builds each in a 2048-byte buffer with
// at most 64 variables; a little room is left above both.
constexpr size_t kUEventMaxBytes = 8192;
constexpr size_t kUEventMaxFields = 128;

struct UEvent {
    std::string action;    // "add", "remove", "change", ...
    std::string devpath;   // "/devices/.../block/sdb"
    std::string subsystem; // "block", "usb", ...
    std::string devtype;   // "disk", "partition" (may be empty)
    std::string devname;   // "sdb" (may be empty)
};

// Parses one kernel uevent message; nullopt when it is not one (too long, no
// "@" header, a field without "=", empty action or path, a repeated or
// contradicting ACTION, DEVPATH or SUBSYSTEM, a NUL-free tail longer than
// the limit, more fields than the limit). Messages of the udev daemon
// ("libudev" header) are not kernel messages and are refused as well.
std::optional<UEvent> ParseUEvent(std::span<const uint8_t> bytes);

// The device-change event of a message: kDeviceArrival for a block device
// that was added, kDeviceRemoveComplete for one that was removed, 0 for
// everything else.
int DeviceChangeEvent(const UEvent& event);

} // namespace salvor::uevent
