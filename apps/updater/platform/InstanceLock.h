// Keeps a second copy of the updater from running for the same user.
#pragma once

#include <string>

namespace platform {

class InstanceLock {
public:
    virtual ~InstanceLock() = default;  // releases the lock
    // True when this process now holds the lock named `name`.
    virtual bool acquire(const std::string& name) = 0;
    virtual void release() = 0;
};

}  // namespace platform
