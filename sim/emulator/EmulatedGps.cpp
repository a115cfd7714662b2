#include "sim/emulator/EmulatedGps.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "sim/SimulatedGps.h"
#include "sim/emulator/PrivateBus.h"
#include "sim/emulator/Testbed.h"

namespace emu {

namespace {

constexpr const char* kHidrawName = "hidraw0";

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// What a read-only mount refuses a program that is not root: writing in any
// folder of the drive.
void denyWrites(const std::string& root) {
    namespace fs = std::filesystem;
    std::error_code ec;
    auto deny = [](const fs::path& folder) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            ::chmod(folder.c_str(), st.st_mode & ~static_cast<mode_t>(0222));
        }
    };
    deny(root);
    for (const auto& entry : fs::recursive_directory_iterator(root, ec)) deny(entry.path());
}

}  // namespace

EmulatedGps::EmulatedGps(sim::SimulatedGps& gps, Testbed& testbed, MountTable& mounts,
                         EmulatedGpsOptions options, UDisksMock* udisks)
    : gps_(gps), testbed_(testbed), mounts_(mounts), options_(options), udisks_(udisks) {}

EmulatedGps::~EmulatedGps() {
    gps_.setEventSink(nullptr);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    hideIdentity();
    std::lock_guard lock(nodesMutex_);
    retired_.clear();
}

bool EmulatedGps::start(std::string* error) {
    // Changes from now on wait for the thread; what the GPS is now is shown
    // first, as the computer finds a GPS already plugged in.
    gps_.setEventSink([this](platform::DeviceEvent event) {
        if (event == platform::DeviceEvent::DevNodesChanged) {
            // The device shown has left the bus now; the kernel's node would
            // refuse opens at once, not once its removal is shown.
            std::lock_guard lock(nodesMutex_);
            if (shownNode_) shownNode_->refuseNewOpens();
        }
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    });
    showIdentity();
    if (gps_.driveMounted()) showDrive();
    thread_ = std::thread([this] { run(); });
    std::lock_guard lock(mutex_);
    if (error_.empty()) return true;
    if (error) *error = error_;
    return false;
}

void EmulatedGps::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        auto ready = [this] {
            return stopping_ || !events_.empty() ||
                   (pendingMount_ && std::chrono::steady_clock::now() >= *pendingMount_);
        };
        if (pendingMount_) {
            changed_.wait_until(lock, *pendingMount_, ready);
        } else {
            changed_.wait(lock, ready);
        }
        if (stopping_) return;
        if (pendingMount_ && std::chrono::steady_clock::now() >= *pendingMount_) {
            pendingMount_.reset();
            busy_ = true;
            lock.unlock();
            mountDrive();
            lock.lock();
            busy_ = false;
            changed_.notify_all();
            continue;
        }
        const platform::DeviceEvent event = events_.front();
        events_.pop_front();
        const bool settled = std::find(events_.begin(), events_.end(),
                                       platform::DeviceEvent::DevNodesChanged) == events_.end();
        busy_ = true;
        lock.unlock();
        apply(event, settled);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

bool EmulatedGps::waitShown(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return events_.empty() && !busy_; });
}

void EmulatedGps::apply(platform::DeviceEvent event, bool settled) {
    switch (event) {
        case platform::DeviceEvent::DevNodesChanged:
            // The GPS left the bus, or came back (perhaps as something else):
            // whatever is shown goes, and what the GPS is now comes, unless a
            // later change is still to be shown (each change is shown once).
            hideIdentity();
            if (settled && gps_.mode() != sim::GpsMode::Unplugged) showIdentity();
            break;
        case platform::DeviceEvent::VolumeArrival:
            if (shownApplication_ && !shownDisk_) showDrive();
            break;
        case platform::DeviceEvent::VolumeRemoveComplete:
            hideDrive();
            break;
    }
}

void EmulatedGps::showIdentity() {
    if (gps_.mode() == sim::GpsMode::Unplugged) return;
    const UsbIdentity identity = identityFor(gps_.usbVendorId(), gps_.usbProductId());
    const unsigned sequence = ++hidSequence_;
    HidrawNode::Config config;
    config.name = kHidrawName;
    config.identity = identity;
    config.syspath = hidrawSyspath(identity, sequence, kHidrawName);
    config.mode = options_.hidrawMode;
    config.late = options_.lateHidraw;
    config.lateAccess = options_.lateHidrawAccess;
    auto node = std::make_unique<HidrawNode>(testbed_, config);
    std::string error;
    // The node answers before anybody hears of the device.
    if (!node->attach(&error)) {
        fail("cannot emulate /dev/" + std::string(kHidrawName) + ": " + error);
        return;
    }
    DeviceTree tree =
        hidDeviceTree(identity, sequence, kHidrawName, node->devMajor(), node->devMinor());
    if (!testbed_.add(tree.text, &error)) {
        node->unplug(std::chrono::milliseconds(0));
        std::lock_guard lock(nodesMutex_);
        retired_.push_back(std::move(node));
        fail("cannot add the GPS's USB device: " + error);
        return;
    }
    shownTree_ = std::move(tree);
    shownApplication_ = identity.massStorage;
    std::lock_guard lock(nodesMutex_);
    shownNode_ = std::move(node);
}

void EmulatedGps::hideIdentity() {
    hideDrive();
    std::unique_ptr<HidrawNode> node;
    {
        std::lock_guard lock(nodesMutex_);
        node = std::move(shownNode_);
    }
    if (node) node->unplug(options_.leaveGrace);
    if (shownTree_) testbed_.remove(shownTree_->syspaths);
    shownTree_.reset();
    shownApplication_ = false;
    if (node) {
        std::lock_guard lock(nodesMutex_);
        retired_.push_back(std::move(node));
    }
}

void EmulatedGps::showDrive() {
    const std::optional<platform::VolumeInfo> volume = gps_.driveVolume();
    if (!volume || shownDisk_) return;
    DiskLook look;
    look.label = options_.driveLabel.value_or(volume->label);
    std::string mountType = "vfat";
    if (options_.exfatThroughFuse) {
        look.fsType = mountType = "exfat";
        look.fsVersion = "1.0";
    } else if (volume->fileSystem == "NTFS") {
        look.fsType = "ntfs";
        look.fsVersion = "";
        mountType = "ntfs3";
    } else if (volume->fileSystem == "FAT") {
        look.fsVersion = "FAT16";
    }
    DeviceTree tree = diskTree(look, options_.diskPlace);
    std::string error;
    if (!testbed_.add(tree.text, &error)) {
        fail("cannot add the GPS's drive: " + error);
        return;
    }
    shownDisk_ = std::move(tree);
    mountType_ = mountType;
    // As the desktop mounts it once udev has seen it: at once, or after a
    // restart perhaps late.
    if (++driveShowings_ > 1 && options_.remountLate.count() > 0) {
        pendingMount_ = std::chrono::steady_clock::now() + options_.remountLate;
        return;
    }
    mountDrive();
}

std::string EmulatedGps::nextMountPoint() {
    const std::string data = withoutTrailingSlash(gps_.driveFolder());
    if (!options_.remountMoves) return data;
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string point = options_.mountFolder + "/QUORTA" +
                              (driveShowings_ > 1 ? std::to_string(driveShowings_ - 1) : "");
    fs::create_directories(options_.mountFolder, ec);
    if (!lastMountPoint_.empty() && lastMountPoint_ != point) {
        // The automounter's old folder stays behind, empty.
        fs::remove(lastMountPoint_, ec);
        fs::create_directory(lastMountPoint_, ec);
    }
    fs::remove(point, ec);
    fs::create_directory_symlink(data, point, ec);
    if (ec) fail("cannot make the mount folder " + point + ": " + ec.message());
    lastMountPoint_ = point;
    return point;
}

void EmulatedGps::mountDrive() {
    if (!shownDisk_) return;
    const std::string mountPoint = nextMountPoint();
    if (options_.driveReadOnly) denyWrites(mountPoint);
    mounts_.setDriveLine(mountInfoLine(
        mountPoint, mountType_, options_.exfatThroughFuse ? DriveMount::Fuse : DriveMount::Kernel,
        options_.driveReadOnly, options_.diskPlace));
    if (udisks_) udisks_->setMountPoint(mountPoint);
}

void EmulatedGps::hideDrive() {
    pendingMount_.reset();
    if (!shownDisk_) return;
    mounts_.setDriveLine("");
    if (udisks_) udisks_->setMountPoint("");
    testbed_.remove(shownDisk_->syspaths, options_.diskPlace.blockNames());
    shownDisk_.reset();
}

void EmulatedGps::computerTookDrive() {
    gps_.removeDrive();
}

HidrawNode::Counters EmulatedGps::hidCounters() const {
    std::lock_guard lock(nodesMutex_);
    HidrawNode::Counters sum;
    auto add = [&](const HidrawNode& node) {
        const HidrawNode::Counters c = node.counters();
        sum.opens += c.opens;
        sum.writes += c.writes;
        sum.reads += c.reads;
    };
    if (shownNode_) add(*shownNode_);
    for (const auto& node : retired_) add(*node);
    return sum;
}

std::string EmulatedGps::lastError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void EmulatedGps::fail(const std::string& what) {
    std::lock_guard lock(mutex_);
    if (error_.empty()) error_ = what;
}

}  // namespace emu
