// Device-change notifications: USB devices coming and going, and volumes
// arriving or being removed.
#pragma once

#include <functional>

namespace platform {

enum class DeviceEvent { DevNodesChanged, VolumeArrival, VolumeRemoveComplete };

class DeviceEvents {
public:
    using Sink = std::function<void(DeviceEvent)>;
    virtual ~DeviceEvents() = default;
    // Starts delivering events to `sink`, on a thread of the source's choosing;
    // the window moves them to its own thread.
    virtual bool start(Sink sink) = 0;
    virtual void stop() = 0;
};

}  // namespace platform
