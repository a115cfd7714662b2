#include "core/GpsDrive.h"

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

std::optional<std::string> findGpsDrive() {
    UpdaterState& st = state();
    if (std::optional<std::string> remembered = st.foundDriveRoot()) {
        // The GPS may be back from a restart with its drive unmounted.
        mountUnmountedGpsDrive();
        return remembered;
    }

    std::vector<platform::VolumeInfo> volumes;
    clock().sleepMs(1000);
    // After the wait: a desktop's automounter has had its chance first.
    mountUnmountedGpsDrive();
    if (listVolumes(volumes)) {
        for (const platform::VolumeInfo& v : volumes) {
            if (!v.removable) continue;
            if (labelNamesGps(v.label)) st.setFoundDriveRoot(v.root);
            traceRoot(v.root);
        }
    }

    if (!st.foundDriveRoot()) {
        clock().sleepMs(1000);
        if (listVolumes(volumes)) {
            platform::Volumes& source = *services().volumes;
            for (const platform::VolumeInfo& v : volumes) {
                if (!v.removable) continue;
                if (isFatFamily(v.fileSystem) && hasGpsFolder(source, v.root)) {
                    st.setFoundDriveRoot(v.root);
                }
                traceRoot(v.root);
            }
        }
    }
    return st.foundDriveRoot();
}

void releaseGpsDriveMounts() {
    if (platform::DriveMounter* mounter = services().driveMounter) {
        logMountEvents(mounter->releaseMounts());
    }
}

void ejectGpsDrive(const std::string& root) {
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
    const char letter = root.empty() ? '?' : root[0];
    if (ejected) {
        logLinef("Media in Drive %c has been ejected safely.\r\n", letter);
    } else if (dismounted) {
        logLinef("Media in Drive %c can be safely removed.\r\n", letter);
    }
}

}  // namespace core
