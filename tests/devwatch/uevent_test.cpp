// The kernel's uevent messages: real shapes, and one defect at a time.
#include <devwatch/uevent.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace salvor;
using namespace salvor::uevent;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::optional<UEvent> Parse(const std::string& s)
{
    const auto b = Bytes(s);
    return ParseUEvent(std::span<const uint8_t>(b.data(), b.size()));
}

// A message as the kernel sends it for a USB stick's disk.
std::string DiskAdd()
{
    using namespace std::string_literals;
    return "add@/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb\0"
           "ACTION=add\0"
           "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb\0"
           "SUBSYSTEM=block\0MAJOR=8\0MINOR=16\0DEVNAME=sdb\0DEVTYPE=disk\0DISKSEQ=9\0SEQNUM=4711\0"s;
}

std::string Replace(std::string s, const std::string& from, const std::string& to)
{
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        s.replace(at, from.size(), to);
    return s;
}

std::string Seed(const char* name)
{
    std::ifstream in(std::string(SALVOR_UEVENT_SEEDS) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST(UEvent, RealMessagesMapToTheTwoDeviceEvents)
{
    const auto add = Parse(DiskAdd());
    ASSERT_TRUE(add);
    EXPECT_EQ(add->action, "add");
    EXPECT_EQ(add->subsystem, "block");
    EXPECT_EQ(add->devtype, "disk");
    EXPECT_EQ(add->devname, "sdb");
    EXPECT_EQ(add->devpath.substr(add->devpath.size() - 10), "/block/sdb");
    EXPECT_EQ(DeviceChangeEvent(*add), kDeviceArrival);

    const auto part = Parse(Seed("remove_part"));
    ASSERT_TRUE(part);
    EXPECT_EQ(part->devtype, "partition");
    EXPECT_EQ(part->devname, "loop0p1");
    EXPECT_EQ(DeviceChangeEvent(*part), kDeviceRemoveComplete);

    // Not a block device, or not an add or remove: ignored, but well formed.
    const auto usb = Parse(Seed("usb_bind"));
    ASSERT_TRUE(usb);
    EXPECT_EQ(DeviceChangeEvent(*usb), 0);
    const auto change = Parse(Replace(Replace(DiskAdd(), "add@", "change@"), "ACTION=add", "ACTION=change"));
    ASSERT_TRUE(change);
    EXPECT_EQ(DeviceChangeEvent(*change), 0);
    const auto usb_add = Parse(Replace(DiskAdd(), "SUBSYSTEM=block", "SUBSYSTEM=usb"));
    ASSERT_TRUE(usb_add);
    EXPECT_EQ(DeviceChangeEvent(*usb_add), 0);
}

TEST(UEvent, LastFieldWithoutItsNulAndTrailingPaddingAreAccepted)
{
    std::string s = DiskAdd();
    s.pop_back(); // no NUL after SEQNUM
    ASSERT_TRUE(Parse(s));
    EXPECT_EQ(DeviceChangeEvent(*Parse(s)), kDeviceArrival);
    EXPECT_TRUE(Parse(DiskAdd() + std::string(16, '\0')));
    // A header alone is a message too (the kernel always adds variables,
    // but nothing here needs them); without SUBSYSTEM it maps to nothing.
    const auto bare = Parse(std::string("add@/devices/virtual/block/loop3"));
    ASSERT_TRUE(bare);
    EXPECT_EQ(DeviceChangeEvent(*bare), 0);
}

TEST(UEvent, MalformedMessagesAreRefusedWhole)
{
    using namespace std::string_literals;
    EXPECT_FALSE(Parse(""));
    EXPECT_FALSE(Parse(std::string(64, '\0')));
    // Header: no "@", empty action, empty or relative path.
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "add@", "add")));
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "add@", "@")));
    EXPECT_FALSE(Parse("add@\0SUBSYSTEM=block\0"s));
    EXPECT_FALSE(Parse("add@devices/block/sdb\0SUBSYSTEM=block\0"s));
    // The udev daemon's re-sent copy is not the kernel's format.
    EXPECT_FALSE(Parse("libudev\0\xca\xfe\xed\xfe"s + DiskAdd()));
    // A variable without "=" or with an empty key.
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "MAJOR=8", "MAJOR8")));
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "MAJOR=8", "=8")));
    // ACTION or DEVPATH that contradict the header, or come twice.
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "ACTION=add", "ACTION=remove")));
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "DEVPATH=/devices/pci0000:00", "DEVPATH=/devices/pci0000:01")));
    EXPECT_FALSE(Parse(DiskAdd() + "ACTION=add\0"s));
    // SUBSYSTEM empty, or two different ones (a block event dressed up).
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "SUBSYSTEM=block", "SUBSYSTEM=")));
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "SUBSYSTEM=block", "SUBSYSTEM=usb\0SUBSYSTEM=block"s)));
    // Control bytes inside a field.
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "DEVNAME=sdb", "DEVNAME=sd\nb")));
    EXPECT_FALSE(Parse(Replace(DiskAdd(), "add@", "a\x01" "dd@")));
}

TEST(UEvent, SizeAndFieldCountAreBounded)
{
    // Just inside and just over the byte limit.
    std::string big = DiskAdd();
    big += "PAD=";
    big += std::string(kUEventMaxBytes - big.size(), 'x');
    ASSERT_EQ(big.size(), kUEventMaxBytes);
    EXPECT_TRUE(Parse(big));
    EXPECT_FALSE(Parse(big + "x"));

    // Fields: the header plus kUEventMaxFields - 1 variables is the most.
    std::string many = "add@/devices/virtual/block/loop0";
    many.push_back('\0');
    for (size_t i = 1; i < kUEventMaxFields; ++i) {
        many += "K" + std::to_string(i) + "=v";
        many.push_back('\0');
    }
    EXPECT_TRUE(Parse(many));
    many += "ONE=more";
    EXPECT_FALSE(Parse(many));
}
