// Device-change events from a udev monitor, on a thread of their own.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/DeviceEvents.h"

namespace platform {

enum class MonitorSource {
    Automatic,  // udev when its daemon runs, else the kernel
    Udev,       // events after udev has probed them (file-system properties known)
    Kernel,     // raw kernel events, for systems without a udev daemon
};

// What a uevent says, as far as the classification needs it.
struct UeventFacts {
    std::string_view action;     // "add", "remove", "change", "bind", ...
    std::string_view subsystem;  // "usb", "block", ...
    std::string_view devtype;    // "usb_device", "usb_interface", "disk", "partition"
    std::string_view fsType;     // ID_FS_TYPE (udev source only)
    std::string_view fsUsage;    // ID_FS_USAGE (udev source only)
    std::string_view devpath;    // "/devices/..."
    bool fromKernel = false;
    // Kernel source only: whether a whole disk carries its file system itself
    // (no partition table). Known from sysfs when it is added, and from what
    // was seen at its arrival when it is removed.
    bool diskIsVolume = false;
};

// The event a uevent stands for, if any: a USB device added or removed is
// "device nodes changed"; a block device with a file system added or removed
// is a volume arriving or going. From the kernel source the format is not
// known, so every partition, and a whole disk without partitions, counts as a
// volume; loop, RAM and device-mapper devices (under /devices/virtual) never do.
std::optional<DeviceEvent> classifyUevent(const UeventFacts& facts);

// True when a udev daemon runs on this machine (its control socket exists).
bool udevDaemonRunning();

class LinuxDeviceEvents : public DeviceEvents {
  public:
    explicit LinuxDeviceEvents(MonitorSource source = MonitorSource::Automatic);
    ~LinuxDeviceEvents() override;  // stops

    // Opens the monitor and starts its thread; events after this returns are
    // not missed. False when the monitor cannot be opened or it already runs.
    bool start(Sink sink) override;
    // Wakes the thread and joins it; the sink is not called after this returns.
    // Called from inside the sink it only asks the thread to end.
    void stop() override;

    // The source in use while running ("udev" or "kernel").
    std::string sourceName() const;

  private:
    void run(void* monitor, int wakeFd, Sink sink);
    void finishRun();  // with mutex_ held

    MonitorSource requested_;
    std::mutex mutex_;
    std::thread thread_;
    int wakeFd_ = -1;
    bool stopping_ = false;  // asked to end, perhaps not joined yet
    std::atomic<bool> kernelSource_{false};
};

}  // namespace platform
