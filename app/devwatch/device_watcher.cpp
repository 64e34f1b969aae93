#include <devwatch/device_watcher.h>

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace salvor {

using namespace uevent;

namespace {

// The multicast group the kernel itself sends uevents to (udev's re-sent
// copies go to group 2 in another format).
constexpr uint32_t kKernelUEventGroup = 1;

std::string SystemReason(const char* what, int err)
{
    return std::string("device watching is off: ") + what + ": " + std::strerror(err);
}

} // namespace

DeviceWatcher::DeviceWatcher(Callback callback, QObject* parent) : QObject(parent), m_callback(std::move(callback))
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        m_reason = SystemReason("socket(NETLINK_KOBJECT_UEVENT)", errno);
        return;
    }
    sockaddr_nl addr {};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0; // the kernel picks a unique port id
    addr.nl_groups = kKernelUEventGroup;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        m_reason = SystemReason("bind", errno);
        close(fd);
        return;
    }
    m_kernel_only = true;
    Watch(fd);
}

DeviceWatcher::DeviceWatcher(int fd, Callback callback, QObject* parent)
    : QObject(parent), m_callback(std::move(callback))
{
    if (fd < 0) {
        m_reason = "device watching is off: no socket";
        return;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        m_reason = SystemReason("fcntl", errno);
        close(fd);
        return;
    }
    Watch(fd);
}

DeviceWatcher::~DeviceWatcher()
{
    delete m_notifier;
    if (m_fd >= 0)
        close(m_fd);
}

void DeviceWatcher::Watch(int fd)
{
    m_fd = fd;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    QObject::connect(m_notifier, &QSocketNotifier::activated, this, [this] { Drain(); });
}

void DeviceWatcher::Drain()
{
    // The callback may run a nested modal loop (a message box, the progress
    // dialog); the socket is not read again from inside it.
    if (m_fd < 0 || m_draining)
        return;
    m_draining = true;
    m_notifier->setEnabled(false);

    int pending = 0;
    auto flush = [&] {
        if (pending != 0 && m_callback)
            m_callback(pending);
        pending = 0;
    };
    auto post = [&](int event) {
        if (event != pending)
            flush();
        pending = event;
    };

    std::array<uint8_t, kUEventMaxBytes + 1> buffer;
    for (;;) {
        sockaddr_nl from {};
        iovec iov {buffer.data(), buffer.size()};
        msghdr msg {};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = recvmsg(m_fd, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // The socket's queue overflowed: events were lost, so the device
            // lists may be stale. Have them read again.
            if (errno == ENOBUFS) {
                post(kDeviceArrival);
                continue;
            }
            break; // EAGAIN: nothing more waiting
        }
        if (n == 0 || (msg.msg_flags & MSG_TRUNC))
            continue;
        // Only the kernel (port 0) speaks on this group; anything else is
        // another process pretending.
        if (m_kernel_only && (msg.msg_namelen < sizeof from || from.nl_pid != 0))
            continue;
        const auto event = ParseUEvent(std::span<const uint8_t>(buffer.data(), size_t(n)));
        if (!event)
            continue;
        if (const int change = DeviceChangeEvent(*event))
            post(change);
    }
    flush();

    m_notifier->setEnabled(true);
    m_draining = false;
}

} // namespace salvor
