// The simulated GPS shown to the testbed as USB devices: the adapter between
// one sim::SimulatedGps (the only device model) and what the kernel would
// show of it.
//
// It follows the GPS's own events, in their order, on a thread of its own:
// - its USB device came or went (every change of identity is a removal and
//   then an addition): the sysfs tree, the hid and hidraw devices and their
//   uevents, the hidraw node answered through hidport;
// - its drive came or went: the SCSI disk and partition with udev's
//   properties and their uevents, its line in the served mount table, and
//   its mount point in the mock UDisks2.
// What the computer does to the drive through UDisks2 (Unmount, Eject)
// comes back through computerTookDrive().
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/DeviceEvents.h"
#include "sim/emulator/DeviceTrees.h"
#include "sim/emulator/HidrawNode.h"
#include "sim/emulator/MountTable.h"

namespace sim {
class SimulatedGps;
}

namespace emu {

class Testbed;
class UDisksMock;

struct EmulatedGpsOptions {
    mode_t hidrawMode = 0666;  // who may open the hidraw node
    // How the drive is mounted: as its own file system, or (exFAT) through
    // FUSE, where the mount table says "fuseblk".
    bool exfatThroughFuse = false;
    // The volume label udev reports; unset: the GPS's own ("QUORTA").
    std::optional<std::string> driveLabel;
    // udev's work on each new hidraw node done this late: the node missing,
    // or (lateHidrawAccess) open to its owner alone, for that long.
    std::chrono::milliseconds lateHidraw{0};
    bool lateHidrawAccess = false;
    // The drive mounted read-only: the mount table says "ro", and a program
    // run as another user may not write in its folder.
    bool driveReadOnly = false;
    // The GPS's disk as it is laid out: partitioned (sdb1), or sdb alone.
    DiskPlace diskPlace;
    // After a restart (every showing of the drive but the first) the
    // desktop mounts the drive this late (real time), and, with
    // `remountMoves`, at another folder of `mountFolder` each time
    // (QUORTA, QUORTA1, ...: links to the drive's folder), leaving the old
    // mount folder behind, empty.
    std::chrono::milliseconds remountLate{0};
    bool remountMoves = false;
    std::string mountFolder;
    // How long reports a leaving device had already sent are still read.
    std::chrono::milliseconds leaveGrace{2000};
};

class EmulatedGps {
  public:
    EmulatedGps(sim::SimulatedGps& gps, Testbed& testbed, MountTable& mounts,
                EmulatedGpsOptions options, UDisksMock* udisks = nullptr);
    ~EmulatedGps();  // stops following the GPS and takes its devices away
    EmulatedGps(const EmulatedGps&) = delete;
    EmulatedGps& operator=(const EmulatedGps&) = delete;

    // Shows the GPS as it is now and follows it from then on.
    bool start(std::string* error);

    // The computer unmounted or ejected the drive: the GPS takes it away
    // until it restarts.
    void computerTookDrive();

    // Blocks until every event of the GPS so far has been shown.
    bool waitShown(std::chrono::milliseconds timeout);

    // Reads and writes of every hidraw node so far.
    HidrawNode::Counters hidCounters() const;
    // The first failure to show a device, if any.
    std::string lastError() const;

  private:
    void run();
    // `settled`: no later change of identity is waiting to be shown.
    void apply(platform::DeviceEvent event, bool settled);
    void showIdentity();
    void hideIdentity();
    void showDrive();
    void mountDrive();
    void hideDrive();
    std::string nextMountPoint();
    void fail(const std::string& what);

    sim::SimulatedGps& gps_;
    Testbed& testbed_;
    MountTable& mounts_;
    const EmulatedGpsOptions options_;
    UDisksMock* udisks_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<platform::DeviceEvent> events_;
    bool stopping_ = false;
    bool busy_ = false;
    std::string error_;

    // Only the thread below touches these.
    unsigned hidSequence_ = 0;
    std::optional<DeviceTree> shownTree_;
    bool shownApplication_ = false;
    std::optional<DeviceTree> shownDisk_;
    unsigned driveShowings_ = 0;
    std::string mountType_;
    std::string lastMountPoint_;
    std::optional<std::chrono::steady_clock::time_point> pendingMount_;

    mutable std::mutex nodesMutex_;  // changed by the thread below, counted by others
    std::unique_ptr<HidrawNode> shownNode_;
    std::vector<std::unique_ptr<HidrawNode>> retired_;  // answer stale handles

    std::thread thread_;
};

}  // namespace emu
