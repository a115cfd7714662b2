// The simulated bootloader target on a serial port: a SerialTargetEngine
// served on the master side of a pseudo-terminal pair. The host opens path()
// as its UART; the line speed is whatever the host sets (a pseudo-terminal
// moves bytes at once).
//
//   sim::SerialBootloaderTarget target;      // serving from here on
//   UartPeripheral port(target.path().c_str(), 115200);
#pragma once

#include "platform/Clock.h"
#include "sim/PtyServer.h"
#include "sim/SerialTargetEngine.h"

namespace sim {

class SerialBootloaderTarget : public PtyServer {
  public:
    explicit SerialBootloaderTarget(platform::Clock& clock = platform::sharedClock());
    ~SerialBootloaderTarget() override;

    SerialTargetEngine& engine() { return engine_; }
    BootloaderTarget& target() { return engine_.target(); }
    FlashModel& flash() { return engine_.flash(); }

  protected:
    void onInput(const uint8_t* data, size_t length) override;
    void onTick() override;

  private:
    void forward();

    SerialTargetEngine engine_;
};

}  // namespace sim
