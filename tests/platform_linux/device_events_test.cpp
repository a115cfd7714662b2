#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/LinuxDeviceEvents.h"

using platform::classifyUevent;
using platform::DeviceEvent;
using platform::UeventFacts;

// One row a uevent and what it stands for. From udev: action, subsystem,
// devtype, ID_FS_TYPE, ID_FS_USAGE. From the kernel (block devices only):
// action, devtype, devpath, whether a whole disk is a volume.
TEST(ClassifyUevent, EachSourcesEventsAndWhatTheyStandFor) {
    auto udev = [](const char* action, const char* subsystem, const char* devtype,
                   const char* fsType = "", const char* fsUsage = "") {
        return UeventFacts{action, subsystem, devtype, fsType, fsUsage, "", false, false};
    };
    auto kernel = [](const char* action, const char* devtype, const char* devpath, bool whole) {
        return UeventFacts{action, "block", devtype, "", "", devpath, true, whole};
    };
    constexpr auto kNodes = DeviceEvent::DevNodesChanged;
    constexpr auto kArrival = DeviceEvent::VolumeArrival;
    constexpr auto kGone = DeviceEvent::VolumeRemoveComplete;
    constexpr std::optional<DeviceEvent> kNone;
    constexpr const char* kUsbDisk =
        "/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/block/sdb/sdb1";
    const std::pair<UeventFacts, std::optional<DeviceEvent>> rows[] = {
        {udev("add", "usb", "usb_device"), kNodes},
        {udev("remove", "usb", "usb_device"), kNodes},
        {udev("bind", "usb", "usb_device"), kNone},
        {udev("change", "usb", "usb_device"), kNone},
        {udev("add", "usb", "usb_interface"), kNone},  // one event per device, not per interface
        {udev("add", "hidraw", ""), kNone},
        // From udev: a file system is what makes a volume.
        {udev("add", "block", "partition", "vfat", "filesystem"), kArrival},
        {udev("remove", "block", "partition", "vfat", "filesystem"), kGone},
        {udev("remove", "block", "disk", "vfat", "filesystem"), kGone},  // no partition table
        {udev("remove", "block", "disk", "vfat", ""), kGone},            // udev without ID_FS_USAGE
        {udev("remove", "block", "disk"), kNone},  // the disk holding the partition table
        {udev("remove", "block", "disk", "swap", "other"), kNone},
        {udev("remove", "block", "disk", "crypto_LUKS", "crypto"), kNone},
        // From the kernel: every partition, and a bare disk, but nothing virtual.
        {kernel("add", "partition", kUsbDisk, false), kArrival},
        {kernel("add", "disk", kUsbDisk, false), kNone},  // its partitions carry the file systems
        {kernel("add", "disk", kUsbDisk, true), kArrival},
        {kernel("remove", "disk", kUsbDisk, true), kGone},
        {kernel("remove", "disk", "/devices/virtual/block/loop0", true), kNone},
    };
    for (const auto& [facts, event] : rows) {
        EXPECT_EQ(classifyUevent(facts), event)
            << facts.action << " " << facts.subsystem << " " << facts.devtype << " " << facts.fsType
            << " " << facts.devpath;
    }
}

namespace {

struct Collector {
    std::mutex m;
    std::condition_variable cv;
    std::vector<DeviceEvent> events;

    platform::DeviceEvents::Sink sink() {
        return [this](DeviceEvent e) {
            std::lock_guard lock(m);
            events.push_back(e);
            cv.notify_all();
        };
    }
    // Waits (in real time: the events come from the kernel) for `n` events.
    std::vector<DeviceEvent> waitFor(size_t n) {
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() >= n; });
        return events;
    }
};

// The MurmurHash2 that libudev uses for its in-kernel subsystem filters.
uint32_t murmur2(const std::string& s) {
    const uint32_t m = 0x5bd1e995;
    uint32_t len = static_cast<uint32_t>(s.size());
    uint32_t h = len;
    const auto* data = reinterpret_cast<const unsigned char*>(s.data());
    while (len >= 4) {
        uint32_t k;
        std::memcpy(&k, data, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        len -= 4;
    }
    switch (len) {
        case 3:
            h ^= static_cast<uint32_t>(data[2]) << 16;
            [[fallthrough]];
        case 2:
            h ^= static_cast<uint32_t>(data[1]) << 8;
            [[fallthrough]];
        case 1:
            h ^= data[0];
            h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

// Sends a message shaped as the udev daemon sends it to its listeners.
// Returns false when this process may not send to the udev group.
bool sendUdevEvent(const std::vector<std::string>& properties, const std::string& subsystem,
                   const std::string& devtype) {
    struct Header {
        char prefix[8];
        uint32_t magic, headerSize, propertiesOff, propertiesLen;
        uint32_t subsystemHash, devtypeHash, tagBloomHi, tagBloomLo;
    } h{};
    std::string props;
    for (const std::string& p : properties) props += p + '\0';
    std::memcpy(h.prefix, "libudev", 8);
    h.magic = htonl(0xfeedcafe);
    h.headerSize = sizeof h;
    h.propertiesOff = sizeof h;
    h.propertiesLen = static_cast<uint32_t>(props.size());
    h.subsystemHash = htonl(murmur2(subsystem));
    h.devtypeHash = devtype.empty() ? 0 : htonl(murmur2(devtype));
    std::string msg(reinterpret_cast<const char*>(&h), sizeof h);
    msg += props;

    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return false;
    sockaddr_nl dest{};
    dest.nl_family = AF_NETLINK;
    dest.nl_groups = 2;  // the udev daemon's group
    ssize_t n =
        ::sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
    ::close(fd);
    return n == static_cast<ssize_t>(msg.size());
}

}  // namespace

TEST(LinuxDeviceEvents, StartsAndStopsCleanlyOnBothSources) {
    for (auto source : {platform::MonitorSource::Kernel, platform::MonitorSource::Udev}) {
        platform::LinuxDeviceEvents events(source);
        Collector c;
        events.stop();  // before start: nothing to do
        ASSERT_TRUE(events.start(c.sink()));
        EXPECT_EQ(events.sourceName(),
                  source == platform::MonitorSource::Kernel ? "kernel" : "udev");
        EXPECT_FALSE(events.start(c.sink()));  // already running
        events.stop();
        events.stop();
        ASSERT_TRUE(events.start(c.sink()));  // and again after a stop
    }                                         // the destructor stops the second run
}

TEST(LinuxDeviceEvents, AutomaticPicksTheSourceThatRuns) {
    platform::LinuxDeviceEvents events;
    Collector c;
    ASSERT_TRUE(events.start(c.sink()));
    EXPECT_EQ(events.sourceName(), platform::udevDaemonRunning() ? "udev" : "kernel");
}

// One test, so that no other test of this program sends to the udev group meanwhile.
TEST(LinuxDeviceEvents, DeliversUdevEventsOnItsThreadAndStopsFromTheSink) {
    platform::LinuxDeviceEvents events(platform::MonitorSource::Udev);
    Collector c;
    ASSERT_TRUE(events.start(c.sink()));

    const std::string usb = "/devices/quorta-test/usb9/9-9";
    if (!sendUdevEvent({"ACTION=add", "DEVPATH=" + usb + "/9-9:1.0", "SUBSYSTEM=usb",
                        "DEVTYPE=usb_interface", "SEQNUM=900001"},
                       "usb", "usb_interface")) {
        GTEST_SKIP() << "this process may not send to the udev netlink group (needs CAP_NET_ADMIN)";
    }
    ASSERT_TRUE(sendUdevEvent(
        {"ACTION=add", "DEVPATH=" + usb, "SUBSYSTEM=usb", "DEVTYPE=usb_device", "SEQNUM=900002"},
        "usb", "usb_device"));
    ASSERT_TRUE(sendUdevEvent({"ACTION=add", "DEVPATH=" + usb + "/host9/block/sdz",
                               "SUBSYSTEM=block", "DEVTYPE=disk", "SEQNUM=900003"},
                              "block", "disk"));
    ASSERT_TRUE(sendUdevEvent(
        {"ACTION=add", "DEVPATH=" + usb + "/host9/block/sdz/sdz1", "SUBSYSTEM=block",
         "DEVTYPE=partition", "ID_FS_TYPE=vfat", "ID_FS_USAGE=filesystem", "SEQNUM=900004"},
        "block", "partition"));
    ASSERT_TRUE(sendUdevEvent(
        {"ACTION=remove", "DEVPATH=" + usb + "/host9/block/sdz/sdz1", "SUBSYSTEM=block",
         "DEVTYPE=partition", "ID_FS_TYPE=vfat", "ID_FS_USAGE=filesystem", "SEQNUM=900005"},
        "block", "partition"));

    std::vector<DeviceEvent> got = c.waitFor(3);
    events.stop();
    std::vector<DeviceEvent> expected = {DeviceEvent::DevNodesChanged, DeviceEvent::VolumeArrival,
                                         DeviceEvent::VolumeRemoveComplete};
    EXPECT_EQ(got, expected);

    // A stop asked from inside the sink ends the run at once; start() then
    // joins it before a new run begins.
    platform::LinuxDeviceEvents stopping(platform::MonitorSource::Udev);
    Collector d;
    ASSERT_TRUE(stopping.start([&](DeviceEvent e) {
        stopping.stop();  // must neither block nor deadlock
        d.sink()(e);
    }));
    const std::vector<std::string> usbAdd = {"ACTION=add", "DEVPATH=/devices/quorta-test/usb9/9-8",
                                             "SUBSYSTEM=usb", "DEVTYPE=usb_device",
                                             "SEQNUM=900010"};
    ASSERT_TRUE(sendUdevEvent(usbAdd, "usb", "usb_device"));
    ASSERT_EQ(d.waitFor(1).size(), 1u);
    ASSERT_TRUE(sendUdevEvent(usbAdd, "usb", "usb_device"));
    EXPECT_TRUE(stopping.start(d.sink()));  // joins the ended run first
    ASSERT_TRUE(sendUdevEvent(usbAdd, "usb", "usb_device"));
    std::vector<DeviceEvent> afterRestart = d.waitFor(2);
    stopping.stop();
    EXPECT_EQ(afterRestart.size(), 2u);  // the event sent while stopped was not delivered
}
