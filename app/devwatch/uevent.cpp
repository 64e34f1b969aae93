#include <devwatch/uevent.h>

#include <algorithm>
#include <string_view>

namespace salvor::uevent {

namespace {

// A field may hold only printable bytes: a control byte inside a kernel
// message means it is not one.
bool IsPlainText(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b >= 0x20 && b != 0x7f;
    });
}

// Sets `slot` from a KEY=VALUE field; a second, different value for the same
// key voids the message.
bool Assign(std::string& slot, bool& seen, std::string_view value)
{
    if (seen && slot != value)
        return false;
    slot.assign(value);
    seen = true;
    return true;
}

} // namespace

std::optional<UEvent> ParseUEvent(std::span<const uint8_t> bytes)
{
    if (bytes.empty() || bytes.size() > kUEventMaxBytes)
        return std::nullopt;
    const std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    // Split on NUL. A final field without its NUL is taken as it is; empty
    // fields (padding after the last NUL) are skipped.
    std::string_view fields[kUEventMaxFields];
    size_t count = 0;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\0', pos);
        if (end == std::string_view::npos)
            end = all.size();
        if (end > pos) {
            if (count == kUEventMaxFields)
                return std::nullopt;
            fields[count++] = all.substr(pos, end - pos);
        }
        pos = end + 1;
    }
    if (count == 0)
        return std::nullopt;

    const std::string_view header = fields[0];
    if (header == "libudev")
        return std::nullopt;
    const size_t at = header.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 >= header.size() || !IsPlainText(header))
        return std::nullopt;

    UEvent event;
    event.action.assign(header.substr(0, at));
    event.devpath.assign(header.substr(at + 1));
    if (event.devpath.front() != '/')
        return std::nullopt;

    bool seen_action = false, seen_path = false, seen_subsystem = false, seen_type = false, seen_name = false;
    for (size_t i = 1; i < count; ++i) {
        const std::string_view field = fields[i];
        const size_t eq = field.find('=');
        if (eq == std::string_view::npos || eq == 0 || !IsPlainText(field))
            return std::nullopt;
        const std::string_view key = field.substr(0, eq);
        const std::string_view value = field.substr(eq + 1);
        bool ok = true;
        if (key == "ACTION") {
            // The header's action and ACTION= must agree.
            ok = value == event.action && !seen_action;
            seen_action = true;
        } else if (key == "DEVPATH") {
            ok = value == event.devpath && !seen_path;
            seen_path = true;
        } else if (key == "SUBSYSTEM") {
            ok = !value.empty() && Assign(event.subsystem, seen_subsystem, value);
        } else if (key == "DEVTYPE") {
            ok = Assign(event.devtype, seen_type, value);
        } else if (key == "DEVNAME") {
            ok = Assign(event.devname, seen_name, value);
        }
        if (!ok)
            return std::nullopt;
    }
    return event;
}

int DeviceChangeEvent(const UEvent& event)
{
    if (event.subsystem != "block")
        return 0;
    if (event.action == "add")
        return kDeviceArrival;
    if (event.action == "remove")
        return kDeviceRemoveComplete;
    return 0;
}

} // namespace salvor::uevent
