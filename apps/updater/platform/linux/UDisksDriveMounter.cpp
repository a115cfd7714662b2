#include "platform/linux/UDisksDriveMounter.h"

#include <libudev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/linux/MountInfo.h"
#include "platform/linux/UDisksClient.h"

namespace platform {

namespace {

constexpr unsigned kGpsVendorId = 0x2B29;

std::string_view property(udev_device* dev, const char* key) {
    const char* value = udev_device_get_property_value(dev, key);
    return value ? std::string_view(value) : std::string_view();
}

bool isGpsVendor(udev_device* usb) {
    const char* text = udev_device_get_sysattr_value(usb, "idVendor");
    if (!text) return false;
    char* end = nullptr;
    const unsigned long vendor = std::strtoul(text, &end, 16);
    return end != text && vendor == kGpsVendorId;
}

// The one UDisks2 connection and object list of a call, made when first needed.
class UDisksSession {
  public:
    explicit UDisksSession(const std::string& address) : address_(address) {}

    // The block object with a file system for `deviceNumber`; null, with
    // `error`, when UDisks2 cannot be asked or does not know it.
    const udisks::BlockObject* find(uint64_t deviceNumber, std::string& error) {
        if (!open(error)) return nullptr;
        for (const udisks::BlockObject& b : blocks_) {
            if (b.deviceNumber == deviceNumber && b.hasFilesystem) return &b;
        }
        error = "UDisks2 knows no file system on it";
        return nullptr;
    }

    sd_bus* bus(std::string& error) { return open(error) ? bus_.get() : nullptr; }

  private:
    bool open(std::string& error) {
        if (!opened_) {
            opened_ = true;
            bus_ = udisks::connect(address_, openError_);
            if (bus_ && udisks::listBlockObjects(bus_.get(), blocks_, openError_) < 0) {
                if (openError_.find("ServiceUnknown") != std::string::npos ||
                    openError_.find("NameHasNoOwner") != std::string::npos) {
                    openError_ = "UDisks2 is not running";
                } else if (openError_.empty()) {
                    openError_ = "UDisks2's objects cannot be read";
                }
                bus_.reset();
            }
        }
        if (!bus_) error = openError_;
        return bus_ != nullptr;
    }

    std::string address_;
    bool opened_ = false;
    sdbus::BusPtr bus_;
    std::vector<udisks::BlockObject> blocks_;
    std::string openError_;
};

}  // namespace

std::vector<GpsFileSystem> gpsFileSystems() {
    std::vector<GpsFileSystem> out;
    udev* u = udev_new();
    if (!u) return out;
    udev_enumerate* en = udev_enumerate_new(u);
    if (en && udev_enumerate_add_match_subsystem(en, "block") >= 0 &&
        udev_enumerate_scan_devices(en) >= 0) {
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en)) {
            udev_device* dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
            if (!dev) continue;
            const std::string_view usage = property(dev, "ID_FS_USAGE");
            const bool fileSystem =
                !property(dev, "ID_FS_TYPE").empty() && (usage.empty() || usage == "filesystem");
            udev_device* usb =
                fileSystem ? udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device")
                           : nullptr;
            const char* node = udev_device_get_devnode(dev);
            if (usb && node && isGpsVendor(usb)) {
                GpsFileSystem fs;
                fs.device = node;
                fs.deviceNumber = udev_device_get_devnum(dev);
                // sysfs makes a new folder (a new inode) for every plug-in.
                const char* syspath = udev_device_get_syspath(dev);
                struct stat st {};
                fs.appearance = std::string(syspath ? syspath : "") + "#";
                if (syspath && ::stat(syspath, &st) == 0)
                    fs.appearance += std::to_string(st.st_ino);
                out.push_back(std::move(fs));
            }
            udev_device_unref(dev);
        }
    }
    if (en) udev_enumerate_unref(en);
    udev_unref(u);
    return out;
}

UDisksDriveMounter::UDisksDriveMounter(std::string busAddress, FileSystemSource fileSystems,
                                       std::string mountInfoPath)
    : busAddress_(std::move(busAddress)),
      fileSystems_(std::move(fileSystems)),
      mountInfoPath_(std::move(mountInfoPath)) {}

bool UDisksDriveMounter::isMounted(const GpsFileSystem& fs) const {
    std::optional<std::string> table = readWholeFile(mountInfoPath_);
    if (!table) return false;
    for (const MountEntry& m : parseMountInfo(*table)) {
        if (makedev(m.major, m.minor) == fs.deviceNumber) return true;
        // A FUSE file system (exFAT, NTFS) names its device only as the source.
        if (m.source == fs.device) return true;
    }
    return false;
}

std::vector<DriveMountEvent> UDisksDriveMounter::mountUnmounted() {
    std::vector<DriveMountEvent> events;
    std::vector<GpsFileSystem> present;
    if (fileSystems_) present = fileSystems_();
    std::lock_guard lock(mutex_);

    // What has gone, or come again, is forgotten: a mount of ours went with
    // its device (UDisks2 cleans it up).
    for (auto it = known_.begin(); it != known_.end();) {
        bool same = false;
        for (const GpsFileSystem& fs : present) {
            same |= fs.deviceNumber == it->first && fs.appearance == it->second.appearance;
        }
        it = same ? std::next(it) : known_.erase(it);
    }

    UDisksSession udisks(busAddress_);
    for (const GpsFileSystem& fs : present) {
        if (known_.count(fs.deviceNumber)) continue;  // tried once already
        Known& known = known_[fs.deviceNumber];
        known.appearance = fs.appearance;
        known.device = fs.device;
        if (isMounted(fs)) continue;  // somebody else's mount

        DriveMountEvent event;
        event.device = fs.device;
        std::string error;
        const udisks::BlockObject* block = udisks.find(fs.deviceNumber, error);
        if (block && !block->mountPoints.empty()) continue;  // mounted where we cannot see
        sdbus::MessagePtr reply;
        if (block && udisks::callWithNoOptions(udisks.bus(error), block->path,
                                               udisks::kFilesystemIface, "Mount", error, &reply)) {
            const char* where = nullptr;
            if (sd_bus_message_read(reply.get(), "s", &where) >= 0 && where) {
                event.mountPoint = where;
            }
            event.kind = DriveMountEvent::Kind::Mounted;
            known.ours = true;
            known.objectPath = block->path;
            known.mountPoint = event.mountPoint;
        } else {
            // Mounted meanwhile by the desktop's own automounter: nothing to say.
            if (error.find("AlreadyMounted") != std::string::npos) continue;
            event.kind = DriveMountEvent::Kind::Refused;
            event.reason = error;
        }
        events.push_back(std::move(event));
    }
    return events;
}

std::vector<DriveMountEvent> UDisksDriveMounter::releaseMounts() {
    std::vector<DriveMountEvent> events;
    std::vector<GpsFileSystem> present;
    if (fileSystems_) present = fileSystems_();
    std::lock_guard lock(mutex_);
    UDisksSession udisks(busAddress_);
    for (auto& [number, known] : known_) {
        if (!known.ours) continue;
        known.ours = false;
        bool stillThere = false;
        for (const GpsFileSystem& fs : present) {
            stillThere |= fs.deviceNumber == number && fs.appearance == known.appearance;
        }
        if (!stillThere) continue;  // gone with the GPS
        DriveMountEvent event;
        event.device = known.device;
        event.mountPoint = known.mountPoint;
        std::string error;
        sd_bus* bus = udisks.bus(error);
        std::vector<std::string> mounts;
        if (!bus) {
            event.kind = DriveMountEvent::Kind::UnmountFailed;
            event.reason = error;
            events.push_back(std::move(event));
            continue;
        }
        if (!udisks::currentMountPoints(bus, known.objectPath, mounts) || mounts.empty()) {
            continue;  // the safe removal took it already
        }
        event.mountPoint = mounts.front();
        if (udisks::callWithNoOptions(bus, known.objectPath, udisks::kFilesystemIface, "Unmount",
                                      error)) {
            event.kind = DriveMountEvent::Kind::Unmounted;
        } else {
            event.kind = DriveMountEvent::Kind::UnmountFailed;
            event.reason = error;
        }
        events.push_back(std::move(event));
    }
    return events;
}

}  // namespace platform
