#include "platform/linux/LinuxDeviceEvents.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <set>

namespace platform {

namespace {

std::string_view text(const char* s) {
    return s ? std::string_view(s) : std::string_view();
}

// Sysfs shows the partitions of a disk as sub-folders that hold a "partition" file.
bool diskHasPartitions(const char* syspath) {
    namespace fs = std::filesystem;
    if (!syspath) return false;
    std::error_code ec;
    for (fs::directory_iterator it(syspath, ec), end; !ec && it != end; it.increment(ec)) {
        if (fs::exists(it->path() / "partition", ec)) return true;
    }
    return false;
}

}  // namespace

std::optional<DeviceEvent> classifyUevent(const UeventFacts& f) {
    bool add = f.action == "add";
    bool remove = f.action == "remove";
    if (!add && !remove) return std::nullopt;
    if (f.subsystem == "usb") {
        if (f.devtype != "usb_device") return std::nullopt;
        return DeviceEvent::DevNodesChanged;
    }
    if (f.subsystem != "block") return std::nullopt;
    bool volume;
    if (f.fromKernel) {
        bool isVirtual = f.devpath.find("/devices/virtual/") != std::string_view::npos;
        volume =
            !isVirtual && (f.devtype == "partition" || (f.devtype == "disk" && f.diskIsVolume));
    } else {
        volume = !f.fsType.empty() && (f.fsUsage.empty() || f.fsUsage == "filesystem");
    }
    if (!volume) return std::nullopt;
    return add ? DeviceEvent::VolumeArrival : DeviceEvent::VolumeRemoveComplete;
}

bool udevDaemonRunning() {
    return ::access("/run/udev/control", F_OK) == 0;
}

LinuxDeviceEvents::LinuxDeviceEvents(MonitorSource source) : requested_(source) {}

LinuxDeviceEvents::~LinuxDeviceEvents() {
    stop();
    // stop() asked from inside the sink leaves the run to be joined here.
    std::lock_guard lock(mutex_);
    finishRun();
}

std::string LinuxDeviceEvents::sourceName() const {
    return kernelSource_ ? "kernel" : "udev";
}

void LinuxDeviceEvents::finishRun() {
    if (thread_.joinable()) thread_.join();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
    stopping_ = false;
}

bool LinuxDeviceEvents::start(Sink sink) {
    std::lock_guard lock(mutex_);
    if (!sink) return false;
    if (thread_.joinable() && !stopping_) return false;  // already running
    finishRun();                                         // a run ended from inside its sink
    bool kernel = requested_ == MonitorSource::Kernel ||
                  (requested_ == MonitorSource::Automatic && !udevDaemonRunning());

    udev* u = udev_new();
    if (!u) return false;
    udev_monitor* mon = udev_monitor_new_from_netlink(u, kernel ? "kernel" : "udev");
    udev_unref(u);  // the monitor keeps its own reference
    if (!mon) return false;
    // Filter in the kernel where the source allows it; run() checks again.
    if (udev_monitor_filter_add_match_subsystem_devtype(mon, "usb", "usb_device") < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(mon, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(mon) < 0) {
        udev_monitor_unref(mon);
        return false;
    }
    // A burst of events (a hub with many devices) must not overflow the socket.
    udev_monitor_set_receive_buffer_size(mon, 1 << 20);

    // Each run has its own wake-up counter, so a stop can never be lost to
    // the next start.
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        udev_monitor_unref(mon);
        return false;
    }
    kernelSource_ = kernel;
    thread_ =
        std::thread([this, mon, fd = wakeFd_, sink = std::move(sink)] { run(mon, fd, sink); });
    return true;
}

void LinuxDeviceEvents::stop() {
    std::thread thread;
    int wakeFd;
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        if (!stopping_) {
            uint64_t one = 1;
            ssize_t n = ::write(wakeFd_, &one, sizeof one);
            (void)n;  // the counter cannot overflow from one write
            stopping_ = true;
        }
        if (thread_.get_id() == std::this_thread::get_id()) return;  // from the sink: joined later
        thread = std::move(thread_);
        wakeFd = wakeFd_;
        wakeFd_ = -1;
        stopping_ = false;
    }
    // Joined without the lock, so that a sink calling stop() meanwhile cannot block us.
    thread.join();
    ::close(wakeFd);
}

void LinuxDeviceEvents::run(void* monitorPtr, int wakeFd, Sink sink) {
    auto* mon = static_cast<udev_monitor*>(monitorPtr);
    const bool kernel = kernelSource_;
    // Whole disks announced as volumes from the kernel source, so that their
    // removal (when sysfs no longer shows them) is announced too.
    std::set<std::string> diskVolumes;
    pollfd fds[2] = {{udev_monitor_get_fd(mon), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        fds[0].revents = fds[1].revents = 0;
        int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        if (fds[0].revents & (POLLNVAL | POLLHUP)) break;
        if (!(fds[0].revents & (POLLIN | POLLERR))) continue;

        errno = 0;
        udev_device* dev = udev_monitor_receive_device(mon);
        if (!dev) {
            // Events were lost: a rescan is the safe answer.
            if (errno == ENOBUFS) sink(DeviceEvent::DevNodesChanged);
            continue;
        }
        const char* sp = udev_device_get_syspath(dev);
        std::string syspath = sp ? sp : "";
        UeventFacts facts;
        facts.action = text(udev_device_get_action(dev));
        facts.subsystem = text(udev_device_get_subsystem(dev));
        facts.devtype = text(udev_device_get_devtype(dev));
        facts.fsType = text(udev_device_get_property_value(dev, "ID_FS_TYPE"));
        facts.fsUsage = text(udev_device_get_property_value(dev, "ID_FS_USAGE"));
        facts.devpath = text(udev_device_get_devpath(dev));
        facts.fromKernel = kernel;
        if (kernel && facts.subsystem == "block" && facts.devtype == "disk") {
            if (facts.action == "add") {
                facts.diskIsVolume = !diskHasPartitions(sp);
                if (facts.diskIsVolume) diskVolumes.insert(syspath);
            } else if (facts.action == "remove") {
                facts.diskIsVolume = diskVolumes.erase(syspath) > 0;
            }
        }
        std::optional<DeviceEvent> event = classifyUevent(facts);
        udev_device_unref(dev);
        if (event) sink(*event);
    }
    udev_monitor_unref(mon);
}

}  // namespace platform
