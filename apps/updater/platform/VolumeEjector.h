// Safe removal of a volume: open, lock, dismount, allow removal, eject.
#pragma once

#include <memory>
#include <string>

namespace platform {

class VolumeHandle {
public:
    virtual ~VolumeHandle() = default;  // closing releases the lock
    virtual bool lock() = 0;
    virtual bool dismount() = 0;
    virtual bool allowRemoval() = 0;
    virtual bool eject() = 0;
};

class VolumeEjector {
public:
    virtual ~VolumeEjector() = default;
    // Null when no volume is mounted at `root`.
    virtual std::unique_ptr<VolumeHandle> open(const std::string& root) = 0;
};

}  // namespace platform
