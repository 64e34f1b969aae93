// The watcher on a socket: messages written to the other end of a datagram
// socket pair come back through the socket notifier on the event loop.
#include <devwatch/device_watcher.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace salvor;
using namespace salvor::uevent;

namespace {

class QtCoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "devwatch_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            m_app = new QCoreApplication(argc, argv);
    }
    void TearDown() override
    {
        delete m_app;
        m_app = nullptr;
    }

private:
    QCoreApplication* m_app = nullptr;
};

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new QtCoreEnvironment);

std::string Message(const std::string& action, const std::string& name, const std::string& subsystem = "block",
                    const std::string& type = "disk")
{
    const std::string path = "/devices/virtual/block/" + name;
    std::string m = action + "@" + path;
    for (const std::string& f : {"ACTION=" + action, "DEVPATH=" + path, "SUBSYSTEM=" + subsystem,
                                 "DEVNAME=" + name, "DEVTYPE=" + type, std::string("SEQNUM=77")}) {
        m.push_back('\0');
        m += f;
    }
    m.push_back('\0');
    return m;
}

// A socket pair whose one end the watcher owns.
struct Pair {
    int writer = -1;
    int reader = -1;
    Pair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) == 0) {
            reader = fds[0];
            writer = fds[1];
        }
    }
    ~Pair()
    {
        if (writer >= 0)
            close(writer);
    }
    void Send(const std::string& m) const { ASSERT_EQ(send(writer, m.data(), m.size(), 0), ssize_t(m.size())); }
};

// Runs the event loop until `events` holds `want` entries or 2 s passed,
// then a little longer so that an extra event would show.
void RunUntil(const std::vector<int>& events, size_t want)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (events.size() >= want)
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    loop.exec();
    QEventLoop settle;
    QTimer::singleShot(50, &settle, &QEventLoop::quit);
    settle.exec();
}

} // namespace

TEST(DeviceWatcher, BlockAddAndRemoveReachTheCallbackThroughTheNotifier)
{
    Pair pair;
    ASSERT_GE(pair.reader, 0);
    std::vector<int> events;
    DeviceWatcher watcher(pair.reader, [&](int e) { events.push_back(e); });
    ASSERT_TRUE(watcher.IsActive()) << watcher.Reason();
    EXPECT_EQ(watcher.Reason(), "");

    pair.Send(Message("add", "sdb"));
    RunUntil(events, 1);
    EXPECT_EQ(events, std::vector<int>({kDeviceArrival}));

    pair.Send(Message("remove", "sdb"));
    RunUntil(events, 2);
    EXPECT_EQ(events, std::vector<int>({kDeviceArrival, kDeviceRemoveComplete}));
}

TEST(DeviceWatcher, OtherEventsAndGarbageAreIgnored)
{
    Pair pair;
    ASSERT_GE(pair.reader, 0);
    std::vector<int> events;
    DeviceWatcher watcher(pair.reader, [&](int e) { events.push_back(e); });
    ASSERT_TRUE(watcher.IsActive());

    pair.Send(Message("change", "sdb"));
    pair.Send(Message("add", "1-1", "usb", "usb_device"));
    pair.Send(std::string("\xff\xfe garbage without any structure"));
    pair.Send(std::string(kUEventMaxBytes + 100, 'A')); // longer than any message
    pair.Send(Message("bind", "1-1", "usb", "usb_device"));
    RunUntil(events, 1);
    EXPECT_TRUE(events.empty());

    // The watcher still works after all that.
    pair.Send(Message("add", "sdc"));
    RunUntil(events, 1);
    EXPECT_EQ(events, std::vector<int>({kDeviceArrival}));
}

TEST(DeviceWatcher, ABurstCallsBackOncePerRunOfEqualEvents)
{
    Pair pair;
    ASSERT_GE(pair.reader, 0);
    std::vector<int> events;
    DeviceWatcher watcher(pair.reader, [&](int e) { events.push_back(e); });
    ASSERT_TRUE(watcher.IsActive());

    // A card with two partitions arrives, then leaves; all queued before the
    // loop runs, as the kernel sends them.
    pair.Send(Message("add", "sdd"));
    pair.Send(Message("add", "sdd1", "block", "partition"));
    pair.Send(Message("change", "sdd"));
    pair.Send(Message("add", "sdd2", "block", "partition"));
    pair.Send(Message("remove", "sdd2", "block", "partition"));
    pair.Send(Message("remove", "sdd1", "block", "partition"));
    pair.Send(Message("remove", "sdd"));
    RunUntil(events, 2);
    EXPECT_EQ(events, std::vector<int>({kDeviceArrival, kDeviceRemoveComplete}));
}

TEST(DeviceWatcher, ACallbackThatRunsANestedLoopIsNotReentered)
{
    Pair pair;
    ASSERT_GE(pair.reader, 0);
    std::vector<int> events;
    int depth = 0, deepest = 0;
    DeviceWatcher* self = nullptr;
    DeviceWatcher watcher(pair.reader, [&](int e) {
        ++depth;
        deepest = std::max(deepest, depth);
        events.push_back(e);
        if (events.size() == 1) {
            // As a message box would: a nested loop while more arrives.
            pair.Send(Message("remove", "sdb"));
            QEventLoop nested;
            QTimer::singleShot(100, &nested, &QEventLoop::quit);
            nested.exec();
            self->Drain(); // a direct call from inside is refused too
        }
        --depth;
    });
    self = &watcher;
    pair.Send(Message("add", "sdb"));
    RunUntil(events, 2);
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(events, std::vector<int>({kDeviceArrival, kDeviceRemoveComplete}));
}

TEST(DeviceWatcher, AnUnusableSocketLeavesItInertWithAReason)
{
    std::vector<int> events;
    DeviceWatcher none(-1, [&](int e) { events.push_back(e); });
    EXPECT_FALSE(none.IsActive());
    EXPECT_NE(none.Reason().find("device watching is off"), std::string::npos);
    none.Drain();
    EXPECT_TRUE(events.empty());

    // A descriptor that is not open at all.
    DeviceWatcher closed(1000000, [&](int e) { events.push_back(e); });
    EXPECT_FALSE(closed.IsActive());
    EXPECT_NE(closed.Reason().find("fcntl"), std::string::npos) << closed.Reason();
}

TEST(DeviceWatcher, KernelSocketIsEitherActiveOrSaysWhyNot)
{
    std::vector<int> events;
    DeviceWatcher watcher([&](int e) { events.push_back(e); });
    if (!watcher.IsActive()) {
        EXPECT_NE(watcher.Reason().find("device watching is off"), std::string::npos);
        GTEST_SKIP() << watcher.Reason();
    }
    EXPECT_EQ(watcher.Reason(), "");

    // Another process (here: this one) may send to the watcher's port
    // directly; only the kernel's messages count.
    sockaddr_nl own {};
    socklen_t len = sizeof own;
    ASSERT_EQ(getsockname(watcher.SocketFd(), reinterpret_cast<sockaddr*>(&own), &len), 0);
    const int spoofer = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    ASSERT_GE(spoofer, 0);
    sockaddr_nl to {};
    to.nl_family = AF_NETLINK;
    to.nl_pid = own.nl_pid;
    const std::string m = Message("add", "sdz");
    const ssize_t sent = sendto(spoofer, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(spoofer);
    if (sent != ssize_t(m.size()))
        GTEST_SKIP() << "this kernel refuses user messages on the uevent socket";
    RunUntil(events, 1);
    EXPECT_TRUE(events.empty());
}
