// Safe removal through UDisks2 on the system D-Bus, as the desktop does it
// for a user who is not root.
//
// The four steps map onto UDisks2 like this:
//   lock         - advisory: succeeds when no process of ours (or of any other
//                  process /proc lets us see) holds a file, a working folder
//                  or a program on the volume, after flushing it with syncfs.
//                  UDisks2 has no volume lock; the caller keeps its 20 attempts
//                  500 ms apart, which gives a closing writer time to finish.
//   dismount     - Filesystem.Unmount; a volume no longer mounted counts as
//                  dismounted.
//   allowRemoval - always succeeds: UDisks2 has no separate step.
//   eject        - Drive.Eject, which ejects the medium and leaves the USB
//                  device in place; failing that Drive.PowerOff, but only when
//                  the drive's USB device has nothing but mass storage on it:
//                  powering off a device that also carries a HID interface (the
//                  GPS) would cut the command link that must tell it to use the
//                  files just written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/VolumeEjector.h"

namespace platform {

// True when `path` is `mountPoint` or lies below it.
bool pathIsUnder(std::string_view path, std::string_view mountPoint);

// True when a process visible under `procRoot` ("/proc") has an open file,
// its working folder or its program under `mountPoint`.
bool mountInUse(const std::string& procRoot, const std::string& mountPoint);

// The default power-off rule: the block device's USB device (found through
// sysfs) has only mass-storage interfaces (class 08). False when it cannot be
// told; a drive not on USB may be powered off.
bool powerOffLeavesNothingElse(uint64_t deviceNumber);

class UDisksVolumeEjector : public VolumeEjector {
  public:
    // May the drive of the block device `deviceNumber` (dev_t) be powered off?
    using PowerOffPolicy = std::function<bool(uint64_t deviceNumber)>;

    // `busAddress` empty: the system bus; otherwise a D-Bus address (tests run a
    // mock UDisks2 on a private bus). `procRoot` is where lock() looks for
    // processes using the volume.
    explicit UDisksVolumeEjector(std::string busAddress = {},
                                 PowerOffPolicy powerOffAllowed = &powerOffLeavesNothingElse,
                                 std::string procRoot = "/proc");

    // The UDisks2 block object whose file system is mounted at `root` (with or
    // without its trailing "/"); null when there is none or UDisks2 cannot be
    // reached (lastError() says which).
    std::unique_ptr<VolumeHandle> open(const std::string& root) override;

    std::string lastError() const;

  private:
    void setError(std::string text);

    std::string busAddress_;
    PowerOffPolicy powerOffAllowed_;
    std::string procRoot_;
    mutable std::mutex mutex_;
    std::string lastError_;
};

}  // namespace platform
