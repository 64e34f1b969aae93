// Arbitrary bytes as one netlink uevent message.
#include <devwatch/uevent.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto event = salvor::uevent::ParseUEvent(std::span<const uint8_t>(data, size));
    if (!event)
        return 0;
    // What the parser accepts always has its header parts.
    if (event->action.empty() || event->devpath.empty() || event->devpath[0] != '/')
        std::abort();
    const int change = salvor::uevent::DeviceChangeEvent(*event);
    if (change != 0 && change != salvor::uevent::kDeviceArrival && change != salvor::uevent::kDeviceRemoveComplete)
        std::abort();
    if (change != 0 && event->subsystem != "block")
        std::abort();
    return 0;
}
