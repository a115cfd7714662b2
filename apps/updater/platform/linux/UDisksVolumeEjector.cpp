#include "platform/linux/UDisksVolumeEjector.h"

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <sys/sysmacros.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <optional>
#include <vector>

#include "platform/linux/UDisksClient.h"

namespace platform {

namespace {

using sdbus::BusPtr;
using udisks::BlockObject;
using udisks::kDriveIface;
using udisks::kFilesystemIface;

std::string normaliseRoot(const std::string& root) {
    std::string r = root;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    return r;
}

std::string readLink(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

class UDisksVolumeHandle : public VolumeHandle {
  public:
    UDisksVolumeHandle(BusPtr bus, BlockObject block, UDisksVolumeEjector::PowerOffPolicy policy,
                       std::string procRoot)
        : bus_(std::move(bus)),
          block_(std::move(block)),
          policy_(std::move(policy)),
          procRoot_(std::move(procRoot)) {}

    bool lock() override {
        std::optional<std::vector<std::string>> mounts = currentMountPoints();
        if (!mounts) return false;
        for (const std::string& mp : *mounts) {
            if (mountInUse(procRoot_, mp)) return false;
        }
        for (const std::string& mp : *mounts) {
            int fd = ::open(mp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) continue;
            ::syncfs(fd);
            ::close(fd);
        }
        return true;
    }

    bool dismount() override {
        std::optional<std::vector<std::string>> mounts = currentMountPoints();
        if (!mounts) return false;
        if (mounts->empty()) return true;  // someone unmounted it already
        return call(block_.path, kFilesystemIface, "Unmount");
    }

    bool allowRemoval() override { return true; }

    bool eject() override {
        if (block_.drive.empty() || block_.drive == "/") return false;
        if (call(block_.drive, kDriveIface, "Eject")) return true;
        if (!policy_ || !policy_(block_.deviceNumber)) return false;
        return call(block_.drive, kDriveIface, "PowerOff");
    }

  private:
    // The safe-removal log says only what succeeded; why a step failed goes
    // to standard error for whoever looks into it.
    bool call(const std::string& path, const char* iface, const char* method) {
        std::string error;
        if (udisks::callWithNoOptions(bus_.get(), path, iface, method, error)) return true;
        std::fprintf(stderr, "quorta-updater: UDisks2 %s\n", error.c_str());
        return false;
    }

    std::optional<std::vector<std::string>> currentMountPoints() {
        std::vector<std::string> mounts;
        if (!udisks::currentMountPoints(bus_.get(), block_.path, mounts)) return std::nullopt;
        return mounts;
    }

    BusPtr bus_;
    BlockObject block_;
    UDisksVolumeEjector::PowerOffPolicy policy_;
    std::string procRoot_;
};

}  // namespace

bool pathIsUnder(std::string_view path, std::string_view mountPoint) {
    while (mountPoint.size() > 1 && mountPoint.back() == '/') mountPoint.remove_suffix(1);
    if (mountPoint.empty()) return false;
    if (mountPoint == "/") return !path.empty() && path[0] == '/';
    if (path.compare(0, mountPoint.size(), mountPoint) != 0) return false;
    return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

bool mountInUse(const std::string& procRoot, const std::string& mountPoint) {
    DIR* proc = ::opendir(procRoot.c_str());
    if (!proc) return false;
    bool inUse = false;
    while (!inUse) {
        dirent* p = ::readdir(proc);
        if (!p) break;
        if (p->d_name[0] < '0' || p->d_name[0] > '9') continue;
        std::string base = procRoot + "/" + p->d_name;
        // Processes of other users are not visible to us; UDisks2 refuses the
        // unmount if one of them is still using the volume.
        for (const char* link : {"/cwd", "/exe"}) {
            if (pathIsUnder(readLink(base + link), mountPoint)) inUse = true;
        }
        if (inUse) break;
        std::string fdDir = base + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds) continue;
        while (dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            if (pathIsUnder(readLink(fdDir + "/" + f->d_name), mountPoint)) {
                inUse = true;
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return inUse;
}

bool powerOffLeavesNothingElse(uint64_t deviceNumber) {
    udev* u = udev_new();
    if (!u) return false;
    bool allowed = false;
    udev_device* block = udev_device_new_from_devnum(u, 'b', static_cast<dev_t>(deviceNumber));
    if (block) {
        udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(block, "usb", "usb_device");
        if (!usb) {
            allowed = true;  // not on USB: nothing else shares the device
        } else if (udev_enumerate* en = udev_enumerate_new(u)) {
            allowed = true;
            int interfaces = 0;
            if (udev_enumerate_add_match_parent(en, usb) >= 0 &&
                udev_enumerate_add_match_subsystem(en, "usb") >= 0 &&
                udev_enumerate_add_match_property(en, "DEVTYPE", "usb_interface") >= 0 &&
                udev_enumerate_scan_devices(en) >= 0) {
                udev_list_entry* entry;
                udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en)) {
                    udev_device* intf =
                        udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
                    const char* cls =
                        intf ? udev_device_get_sysattr_value(intf, "bInterfaceClass") : nullptr;
                    if (!cls || std::string_view(cls).substr(0, 2) != "08") allowed = false;
                    ++interfaces;
                    if (intf) udev_device_unref(intf);
                }
            }
            if (interfaces == 0) allowed = false;  // could not be told
            udev_enumerate_unref(en);
        }
        udev_device_unref(block);
    }
    udev_unref(u);
    return allowed;
}

UDisksVolumeEjector::UDisksVolumeEjector(std::string busAddress, PowerOffPolicy powerOffAllowed,
                                         std::string procRoot)
    : busAddress_(std::move(busAddress)),
      powerOffAllowed_(std::move(powerOffAllowed)),
      procRoot_(std::move(procRoot)) {}

std::string UDisksVolumeEjector::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

void UDisksVolumeEjector::setError(std::string text) {
    std::lock_guard lock(mutex_);
    lastError_ = std::move(text);
}

std::unique_ptr<VolumeHandle> UDisksVolumeEjector::open(const std::string& root) {
    std::string mount = normaliseRoot(root);
    if (mount.empty() || mount[0] != '/') {
        setError("not a mount point: \"" + root + "\"");
        return nullptr;
    }
    std::string error;
    BusPtr bus = udisks::connect(busAddress_, error);
    if (!bus) {
        setError(error);
        return nullptr;
    }
    std::vector<BlockObject> blocks;
    if (udisks::listBlockObjects(bus.get(), blocks, error) < 0) {
        setError(error.empty() ? "cannot read the UDisks2 objects" : error);
        return nullptr;
    }
    for (BlockObject& b : blocks) {
        if (!b.hasFilesystem) continue;
        for (const std::string& mp : b.mountPoints) {
            if (normaliseRoot(mp) == mount) {
                setError("");
                return std::make_unique<UDisksVolumeHandle>(std::move(bus), std::move(b),
                                                            powerOffAllowed_, procRoot_);
            }
        }
    }
    setError("UDisks2 knows no file system mounted at " + mount);
    return nullptr;
}

}  // namespace platform
