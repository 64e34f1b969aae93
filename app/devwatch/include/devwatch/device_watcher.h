// Tells the main dialog when a block device arrives or leaves. The kernel
// announces devices on a netlink socket (NETLINK_KOBJECT_UEVENT); the socket
// is watched on the user-interface thread, so the callback runs there, with
// uevent::kDeviceArrival (0x8000) or uevent::kDeviceRemoveComplete (0x8004).
//
// Where the socket cannot be opened (a sandbox without netlink, a seccomp
// filter) the watcher is inert: it never calls back and Reason() says why.
#pragma once

#include <devwatch/uevent.h>

#include <QObject>

#include <functional>
#include <string>

class QSocketNotifier;

namespace salvor {

class DeviceWatcher : public QObject {
public:
    using Callback = std::function<void(int event)>;

    // Opens the kernel's uevent socket.
    explicit DeviceWatcher(Callback callback, QObject* parent = nullptr);
    // Watches a datagram socket the caller opened (one message per datagram,
    // any sender). Takes ownership of `fd`. Used by the tests.
    DeviceWatcher(int fd, Callback callback, QObject* parent = nullptr);
    ~DeviceWatcher() override;

    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    bool IsActive() const { return m_fd >= 0; }
    // Why the watcher is inert ("" while it is active).
    const std::string& Reason() const { return m_reason; }
    // The watched socket (-1 when inert), for diagnostics and tests.
    int SocketFd() const { return m_fd; }

    // Reads every message waiting on the socket and calls back once per run
    // of equal events (a disk and its partitions arrive as one burst). Runs
    // by itself when the socket becomes readable.
    void Drain();

private:
    void Watch(int fd);

    Callback m_callback;
    int m_fd = -1;
    bool m_kernel_only = false;
    bool m_draining = false;
    QSocketNotifier* m_notifier = nullptr;
    std::string m_reason;
};

} // namespace salvor
