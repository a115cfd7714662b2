#include "core/GpsDrive.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/ReportCallbacks.h"
#include "core/Services.h"
#include "core/UpdaterState.h"
#include "platform/DriveMounter.h"
#include "platform/VolumeEjector.h"
#include "platform/Volumes.h"

namespace core {

namespace {

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

void traceRoot(const std::string& root) {
    if (platform::DebugOutput* out = services().debugOutput) out->write(root + "\n");
}

// Fetches the volume list; false ends the pass.
bool listVolumes(std::vector<platform::VolumeInfo>& volumes) {
    platform::Volumes* source = services().volumes;
    if (!source) return false;
    volumes.clear();
    return source->list(volumes);
}

bool hasGpsFolder(platform::Volumes& source, const std::string& root) {
    std::vector<platform::DirEntry> entries;
    if (!source.listRoot(root, entries)) return false;
    for (const platform::DirEntry& entry : entries) {
        if (entry.isDirectory && folderNamesGps(entry.name)) return true;
    }
    return false;
}

void logMountEvents(const std::vector<platform::DriveMountEvent>& events) {
    using Kind = platform::DriveMountEvent::Kind;
    for (const platform::DriveMountEvent& e : events) {
        const char* device = e.device.c_str();
        switch (e.kind) {
            case Kind::Mounted:
                logLinef("Mounted the GPS drive %s at %s\r\n", device, e.mountPoint.c_str());
                break;
            case Kind::Refused:
                logLinef("Cannot mount the GPS drive %s: %s\r\n", device, e.reason.c_str());
                break;
            case Kind::Unmounted:
                logLinef("Unmounted the GPS drive %s from %s\r\n", device, e.mountPoint.c_str());
                break;
            case Kind::UnmountFailed:
                logLinef("Cannot unmount the GPS drive %s from %s: %s\r\n", device,
                         e.mountPoint.c_str(), e.reason.c_str());
                break;
        }
    }
}

// A GPS drive that nothing mounted (no automounter) is mounted, so that the
// passes below see it like any other.
void mountUnmountedGpsDrive() {
    if (platform::DriveMounter* mounter = services().driveMounter) {
        logMountEvents(mounter->mountUnmounted());
    }
}

}  // namespace

bool labelNamesGps(std::string_view label) {
    return contains(label, "Quorta") || contains(label, "QUORTA") || contains(label, "quorta");
}

bool folderNamesGps(std::string_view name) {
    return contains(name, "Quorta");
}

bool isFatFamily(std::string_view fileSystem) {
    return contains(fileSystem, "FAT");
}

namespace {

constexpr unsigned kGpsVendorId = 0x2B29;

bool onUsbDevice(const platform::VolumeInfo& v, const std::string& path,
                 const std::string& serial) {
    if (!path.empty() && v.usbDevice == path) return true;
    // Plugged in elsewhere, the same GPS still has its serial number.
    return !serial.empty() && v.usbVendorId == kGpsVendorId && v.usbSerial == serial;
}

bool sameDrive(const platform::VolumeInfo& v, const platform::VolumeInfo& remembered) {
    if (!remembered.usbDevice.empty() || !remembered.usbSerial.empty()) {
        return onUsbDevice(v, remembered.usbDevice, remembered.usbSerial);
    }
    if (!remembered.device.empty()) return v.device == remembered.device;
    return v.root == remembered.root;
}

enum class Kind {
    Own,       // on the GPS's own USB device
    OtherUsb,  // on another USB device: never the GPS's
    GpsLike,   // on a GPS's USB device, but which GPS cannot be told
    Untold,    // udev cannot tell which device it is on
};

Kind kindOf(const platform::VolumeInfo& v, const std::optional<platform::UsbDevice>& gps) {
    if (gps && onUsbDevice(v, gps->path, gps->serial)) return Kind::Own;
    if (v.usbDevice.empty() && v.usbSerial.empty()) return Kind::Untold;
    if (v.usbVendorId != kGpsVendorId || gps) return Kind::OtherUsb;
    return Kind::GpsLike;
}

void sayAmbiguous(const std::vector<const platform::VolumeInfo*>& candidates) {
    std::string roots;
    for (const platform::VolumeInfo* v : candidates) {
        roots += (roots.empty() ? "" : ", ") + v->root;
    }
    logLinef("Drive search: %zu drives could be the GPS's (%s); none is used\r\n",
             candidates.size(), roots.c_str());
    sendStatus(0, kAmbiguousDriveTitle, kAmbiguousDriveDetail);
}

// One pass over the removable volumes: the one that `matches`. While the
// GPS's own drive is there, only it is looked at, whatever the others'
// labels or folders; a drive that udev places on another USB device is never
// looked at; between drives udev cannot place, no guess is made.
enum class Pass { Label, Folder };

std::optional<platform::VolumeInfo> choose(const std::vector<platform::VolumeInfo>& volumes,
                                           Pass pass, bool& ambiguous) {
    // The GPS the program talks to, as the scan saw it.
    const std::optional<platform::UsbDevice> gps = state().gpsUsbDevice();
    std::vector<const platform::VolumeInfo*> own, gpsLike, untold;
    for (const platform::VolumeInfo& v : volumes) {
        if (!v.removable) continue;
        traceRoot(v.root);
        switch (kindOf(v, gps)) {
            case Kind::Own:
                own.push_back(&v);
                break;
            case Kind::GpsLike:
                gpsLike.push_back(&v);
                break;
            case Kind::Untold:
                untold.push_back(&v);
                break;
            case Kind::OtherUsb:
                break;
        }
    }
    // Where udev places drives on USB at all and the GPS is known, its drive
    // will be on its device: one udev cannot place (a card in a slot of the
    // computer's own) is not it.
    const bool udevPlaces = std::any_of(volumes.begin(), volumes.end(), [](const auto& v) {
        return v.removable && !v.usbDevice.empty();
    });
    const std::vector<const platform::VolumeInfo*>& looked = !own.empty() || (gps && udevPlaces)
                                                                 ? own
                                                             : !gpsLike.empty() ? gpsLike
                                                                                : untold;
    platform::Volumes& source = *services().volumes;
    std::vector<const platform::VolumeInfo*> matching;
    for (const platform::VolumeInfo* v : looked) {
        const bool matches = pass == Pass::Label
                                 ? labelNamesGps(v->label)
                                 : isFatFamily(v->fileSystem) && hasGpsFolder(source, v->root);
        if (matches) matching.push_back(v);
    }
    if (matching.empty()) return std::nullopt;
    // Volumes of the GPS's own device are all its own.
    if (matching.size() == 1 || &looked == &own) return *matching.front();
    ambiguous = true;
    sayAmbiguous(matching);
    return std::nullopt;
}

// The remembered drive where it is mounted now, if it is.
std::optional<platform::VolumeInfo> lookUpAgain(const platform::VolumeInfo& remembered) {
    std::vector<platform::VolumeInfo> volumes;
    if (!listVolumes(volumes)) return std::nullopt;
    for (const platform::VolumeInfo& v : volumes) {
        if (v.removable && sameDrive(v, remembered)) return v;
    }
    return std::nullopt;
}

void remember(const platform::VolumeInfo& drive) {
    UpdaterState& st = state();
    const std::optional<platform::VolumeInfo> before = st.foundDrive();
    if (before && before->root != drive.root) {
        logLinef("The GPS drive is now at %s (was %s)\r\n", drive.root.c_str(),
                 before->root.c_str());
        if (st.gpsDriveRoot() == before->root) st.setGpsDriveRoot(drive.root);
    }
    st.setFoundDrive(drive);
}

}  // namespace

std::optional<std::string> findGpsDrive() {
    UpdaterState& st = state();
    if (std::optional<platform::VolumeInfo> remembered = st.foundDrive()) {
        // The GPS may be back from a restart with its drive unmounted, or
        // mounted elsewhere.
        mountUnmountedGpsDrive();
        if (std::optional<platform::VolumeInfo> now = lookUpAgain(*remembered)) remember(*now);
        return st.foundDriveRoot();
    }

    std::vector<platform::VolumeInfo> volumes;
    clock().sleepMs(1000);
    // After the wait: a desktop's automounter has had its chance first.
    mountUnmountedGpsDrive();
    bool ambiguous = false;
    std::optional<platform::VolumeInfo> found;
    if (listVolumes(volumes)) found = choose(volumes, Pass::Label, ambiguous);
    if (!found && !ambiguous) {
        clock().sleepMs(1000);
        if (listVolumes(volumes)) found = choose(volumes, Pass::Folder, ambiguous);
    }
    if (!found) return std::nullopt;
    remember(*found);
    return found->root;
}

std::string currentGpsDriveRoot() {
    UpdaterState& st = state();
    const std::optional<platform::VolumeInfo> remembered = st.foundDrive();
    if (!remembered || !services().volumes) return st.gpsDriveRoot();
    for (int64_t waited = 0;; waited += kDriveReturnPollMs) {
        mountUnmountedGpsDrive();
        if (std::optional<platform::VolumeInfo> now = lookUpAgain(*remembered)) {
            remember(*now);
            st.setGpsDriveRoot(now->root);
            return now->root;
        }
        if (waited >= kDriveReturnMs) break;
        clock().sleepMs(kDriveReturnPollMs);
    }
    // As before the drive could be followed: its last root (a drive ejected
    // for the radio stays away until the GPS restarts).
    logLinef("The GPS drive is not mounted now: using %s\r\n", remembered->root.c_str());
    return remembered->root;
}

void releaseGpsDriveMounts() {
    if (platform::DriveMounter* mounter = services().driveMounter) {
        logMountEvents(mounter->releaseMounts());
    }
}

namespace {

// The drive as a rider knows it: its label, or where it is mounted. (A drive
// letter has no meaning here: every mount point starts with "/".)
std::string driveName(const std::string& root) {
    std::optional<platform::VolumeInfo> drive = state().foundDrive();
    if (!drive || drive->root != root) {
        drive.reset();
        std::vector<platform::VolumeInfo> volumes;
        if (listVolumes(volumes)) {
            for (const platform::VolumeInfo& v : volumes) {
                if (v.root == root) drive = v;
            }
        }
    }
    if (drive && !drive->label.empty()) return drive->label;
    std::string name = root;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name.empty() ? "?" : name;
}

}  // namespace

void ejectGpsDrive(const std::string& root) {
    const std::string name = driveName(root);  // before it is gone
    bool dismounted = false;
    bool ejected = false;
    platform::VolumeEjector* ejector = services().volumeEjector;
    std::unique_ptr<platform::VolumeHandle> volume;
    if (ejector && !root.empty()) volume = ejector->open(root);
    if (volume) {
        for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
            if (volume->lock()) break;
            clock().sleepMs(kLockRetryMs);
        }
        if (volume->dismount()) {
            dismounted = true;
            if (volume->allowRemoval() && volume->eject()) ejected = true;
        }
        volume.reset();  // closing releases the lock
    }
    if (ejected) {
        logLinef("Media in Drive %s has been ejected safely.\r\n", name.c_str());
    } else if (dismounted) {
        logLinef("Media in Drive %s can be safely removed.\r\n", name.c_str());
    }
}

}  // namespace core
