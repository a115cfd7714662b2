#include "platform/linux/LinuxVolumes.h"

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <utility>

#include "platform/linux/MountInfo.h"
#include "platform/linux/VolumeProbe.h"

namespace platform {

namespace {

std::string property(udev_device* dev, const char* key) {
    const char* value = udev_device_get_property_value(dev, key);
    return value ? value : "";
}

// The block device behind a mount: its own number for a kernel file system;
// for a FUSE file system on a block device (ntfs-3g, exfat-fuse) the number
// of the device node named as its source.
bool blockDeviceOf(const MountEntry& m, unsigned& major, unsigned& minor) {
    if (m.major != 0) {
        major = m.major;
        minor = m.minor;
        return true;
    }
    if (m.fsType != "fuseblk" || m.source.compare(0, 5, "/dev/") != 0) return false;
    struct stat st {};
    if (::stat(m.source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    major = ::major(st.st_rdev);
    minor = ::minor(st.st_rdev);
    return true;
}

// The data-cluster count of a mounted FAT volume: the FAT driver reports its
// clusters as the file system's blocks.
uint64_t fatClusterCount(const std::string& mountPoint) {
    struct statvfs sv {};
    if (::statvfs(mountPoint.c_str(), &sv) != 0) return 0;
    return sv.f_blocks;
}

}  // namespace

VolumeProperties udevVolumeProperties(unsigned major, unsigned minor) {
    VolumeProperties p;
    udev* u = udev_new();
    if (!u) return p;
    if (udev_device* dev = udev_device_new_from_devnum(u, 'b', makedev(major, minor))) {
        p.fsType = property(dev, "ID_FS_TYPE");
        p.fsVersion = property(dev, "ID_FS_VERSION");
        p.label = property(dev, "ID_FS_LABEL");
        p.labelEnc = property(dev, "ID_FS_LABEL_ENC");
        udev_device_unref(dev);
    }
    udev_unref(u);
    return p;
}

LinuxVolumes::LinuxVolumes()
    : LinuxVolumes("/proc/self/mountinfo", "/sys", &udevVolumeProperties) {}

LinuxVolumes::LinuxVolumes(std::string mountInfoPath, std::string sysRoot,
                           PropertySource properties)
    : mountInfoPath_(std::move(mountInfoPath)),
      sysRoot_(std::move(sysRoot)),
      properties_(std::move(properties)) {}

bool LinuxVolumes::list(std::vector<VolumeInfo>& out) {
    out.clear();
    std::optional<std::string> table = readWholeFile(mountInfoPath_);
    if (!table) return false;
    std::set<std::pair<unsigned, unsigned>> seen;
    for (const MountEntry& m : parseMountInfo(*table)) {
        if (m.root != "/") continue;  // a bind mount of a sub-folder
        unsigned major = 0, minor = 0;
        if (!blockDeviceOf(m, major, minor)) continue;
        if (!seen.insert({major, minor}).second) continue;

        VolumeProperties props = properties_ ? properties_(major, minor) : VolumeProperties{};
        BlockDeviceInfo dev = probeBlockDevice(sysRoot_, major, minor);

        VolumeInfo v;
        v.root = m.mountPoint;
        if (v.root.back() != '/') v.root += '/';
        v.removable = isRemovableDrive(dev);
        v.label = volumeLabel(props.labelEnc, props.label);
        std::string type = effectiveFileSystemType(m.fsType, props.fsType);
        uint64_t clusters = 0;
        if (props.fsVersion.empty() && isFatType(type)) {
            clusters = fatClusterCount(m.mountPoint);
        }
        v.fileSystem = fileSystemName(type, props.fsVersion, clusters);
        v.readOnly = hasMountOption(m.options, "ro") || hasMountOption(m.superOptions, "ro");
        v.device = std::to_string(major) + ":" + std::to_string(minor);
        v.usbDevice = dev.usbDevicePath;
        v.usbVendorId = dev.usbVendorId;
        v.usbSerial = dev.usbSerial;
        out.push_back(std::move(v));
    }
    return true;
}

bool LinuxVolumes::listRoot(const std::string& root, std::vector<DirEntry>& out) {
    out.clear();
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        DirEntry entry;
        entry.name = e->d_name;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            entry.isDirectory = ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                S_ISDIR(st.st_mode);
        } else {
            entry.isDirectory = e->d_type == DT_DIR;
        }
        out.push_back(std::move(entry));
    }
    ::closedir(dir);
    return true;
}

}  // namespace platform
