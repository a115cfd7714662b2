// One updater per user: an exclusive flock on a file in the user's runtime
// folder. The kernel drops the lock when the process ends, however it ends.
#pragma once

#include <string>

#include "platform/InstanceLock.h"

namespace platform {

// $XDG_RUNTIME_DIR when it is a private folder of the user's; otherwise
// <cache>/quorta-updater-run, made private. "" when neither can be had.
std::string instanceLockDir();

class FlockInstanceLock : public InstanceLock {
  public:
    FlockInstanceLock();                          // the folder of instanceLockDir()
    explicit FlockInstanceLock(std::string dir);  // another folder (tests)
    ~FlockInstanceLock() override;

    // Locks "<dir>/<name>.lock". False when another process (or another lock
    // object) holds it, or the name or folder is unusable. True again while
    // this object already holds `name`.
    bool acquire(const std::string& name) override;
    void release() override;

    // The lock file of the last acquire, "" before.
    const std::string& lockPath() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
    std::string heldName_;
    int fd_ = -1;
};

}  // namespace platform
