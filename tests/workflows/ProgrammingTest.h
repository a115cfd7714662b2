// The main firmware programming against the simulated bootloader target: a
// target plugged in as the device's own, its catalogue image, what flash holds.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "WorkflowTestSupport.h"
#include "core/CommandLink.h"
#include "core/FirmwareProgramming.h"
#include "core/ReportCallbacks.h"
#include "core/images/firmwareImages.h"
#include "sim/BootloaderTarget.h"

namespace testing_support {

// The decoded catalogue image, copied out of the programming run's buffer.
inline std::vector<uint8_t> catalogueImage(int type, int lv) {
    auto length = images::unpackFirmwareImage(type, lv, lv, {});
    EXPECT_TRUE(length);
    if (!length) return {};
    return std::vector<uint8_t>(images::firmwareBuffer, images::firmwareBuffer + *length);
}

class ProgrammingTest : public WorkflowTest {
  protected:
    // A flash bootloader (or ROM bootloader) on the bus, guarding its own
    // code below 0xa000 as the device's does.
    std::shared_ptr<sim::BootloaderTarget> plugTarget(uint16_t vid, uint16_t pid) {
        auto t = std::make_shared<sim::BootloaderTarget>(vid, pid, clock);
        t->setReservedFlashRegion(0, core::kApplicationAddress - 1);
        hidport::addSimulatedDevice(t);
        return t;
    }

    void connectDevice(int type, int dlv = 60) {
        core::DeviceRecord r;
        r.deviceType = type;
        r.modelName = core::deviceTypeName(type);
        r.dlv = dlv;
        r.rawId = type + (dlv == 60 ? 60 : 0);
        core::deviceRecord().store(r);
        core::reportCallbacks().currentDevice = &core::deviceRecord();
    }

    std::vector<uint8_t> flashImage(const sim::BootloaderTarget& t, size_t length) {
        return t.flash().read(core::kApplicationAddress, static_cast<uint32_t>(length));
    }

    bool anyTitleContains(const std::string& part) {
        for (const std::string& t : titles())
            if (t.find(part) != std::string::npos) return true;
        return false;
    }
};

}  // namespace testing_support
