#include "platform/linux/VolumeProbe.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/linux/MountInfo.h"

namespace platform {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

// The smallest cluster count of a FAT32 volume; below it the format is FAT16
// or FAT12, whatever the volume calls itself.
constexpr uint64_t kFat32MinClusters = 65525;

}  // namespace

bool isFatType(std::string_view type) {
    std::string t = lower(type);
    return t == "vfat" || t == "msdos" || t == "fat" || t == "umsdos";
}

std::string fileSystemName(std::string_view type, std::string_view version, uint64_t clusterCount) {
    std::string t = lower(type);
    if (isFatType(t)) {
        if (!version.empty()) return version.find("32") != std::string_view::npos ? "FAT32" : "FAT";
        return clusterCount >= kFat32MinClusters ? "FAT32" : "FAT";
    }
    if (t == "exfat") return "exFAT";
    if (t == "ntfs" || t == "ntfs3") return "NTFS";
    return upper(type);
}

std::string effectiveFileSystemType(std::string_view mountType, std::string_view udevType) {
    bool fuse = mountType == "fuseblk" || mountType.substr(0, 5) == "fuse.";
    if (fuse && !udevType.empty()) return std::string(udevType);
    return std::string(mountType);
}

std::string decodeLabelEnc(std::string_view encoded) {
    std::string out;
    out.reserve(encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(encoded[i]);
        if (encoded[i] == '\\' && i + 3 < encoded.size() && encoded[i + 1] == 'x' &&
            hexValue(encoded[i + 2]) >= 0 && hexValue(encoded[i + 3]) >= 0) {
            byte = static_cast<unsigned char>(hexValue(encoded[i + 2]) * 16 +
                                              hexValue(encoded[i + 3]));
            i += 3;
        }
        if (byte < 0x20 || byte == 0x7F) continue;
        out.push_back(static_cast<char>(byte));
    }
    return out;
}

std::string volumeLabel(std::string_view labelEnc, std::string_view label) {
    if (!labelEnc.empty()) return decodeLabelEnc(labelEnc);
    return decodeLabelEnc(label);  // drops control characters; it has no escapes
}

bool pathIsOnUsb(std::string_view path) {
    size_t pos = 0;
    while ((pos = path.find("/usb", pos)) != std::string_view::npos) {
        size_t i = pos + 4;
        size_t digits = 0;
        while (i < path.size() && path[i] >= '0' && path[i] <= '9') {
            ++i;
            ++digits;
        }
        if (digits > 0 && (i == path.size() || path[i] == '/')) return true;
        pos += 4;
    }
    return false;
}

BlockDeviceInfo probeBlockDevice(const std::string& sysRoot, unsigned major, unsigned minor) {
    namespace fs = std::filesystem;
    BlockDeviceInfo info;
    std::error_code ec;
    fs::path link =
        fs::path(sysRoot) / "dev" / "block" / (std::to_string(major) + ":" + std::to_string(minor));
    fs::path device = fs::canonical(link, ec);
    if (ec) return info;
    info.found = true;
    info.devicePath = device.string();
    fs::path disk = device;
    if (fs::exists(device / "partition", ec)) disk = device.parent_path();
    info.diskPath = disk.string();
    if (auto removable = readWholeFile((disk / "removable").string())) {
        info.removable = trim(*removable) == "1";
    }
    std::string relative = device.string();
    std::string root = fs::canonical(sysRoot, ec).string();
    if (!ec && relative.compare(0, root.size(), root) == 0) relative = relative.substr(root.size());
    info.onUsb = pathIsOnUsb(relative);
    if (!info.onUsb) return info;
    for (fs::path parent = disk.parent_path();
         parent.has_relative_path() && parent.string().size() > root.size();
         parent = parent.parent_path()) {
        std::optional<std::string> vendor = readWholeFile((parent / "idVendor").string());
        if (!vendor) continue;
        info.usbDevicePath = parent.string().substr(root.size());
        info.usbVendorId =
            static_cast<unsigned>(std::strtoul(std::string(trim(*vendor)).c_str(), nullptr, 16));
        if (auto serial = readWholeFile((parent / "serial").string()))
            info.usbSerial = std::string(trim(*serial));
        break;
    }
    return info;
}

}  // namespace platform
