// Firmware programming runs that do not go through: a sector size the device
// will not tell, an erase refused, writes cut short or refused, retries.
#include <gtest/gtest.h>

#include <functional>

#include "ProgrammingTest.h"
#include "core/StatusReporting.h"

namespace {

using sim::BootloaderFaults;
using sim::protocol::commandBit;
using testing_support::catalogueImage;
using testing_support::ProgrammingTest;
using namespace sim::protocol;

// Timeout, garbage or a failure status: 4 KiB, and the log says so. On a
// device with larger sectors that tail erase is refused; the write's own
// status then ends the run.
TEST_F(ProgrammingTest, AnUnreadableSectorSizeIsTakenAs4KiB) {
    struct Case {
        const char* name;
        uint32_t sector;
        std::function<void(sim::BootloaderTarget&)> spoil;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"timeout", 0x1000,
         [](sim::BootloaderTarget& t) {
             BootloaderFaults f;
             f.commandMask = commandBit(kCommandTag_GetProperty);
             f.noResponse = true;
             t.setFaults(f);
         },
         "Flash sector size could not be read (No response packet from target device.): using "
         "4 KiB\r\n"},
        {"garbage", 0x1000, [](sim::BootloaderTarget& t) { t.setProperty(5, {3000}); },
         "Flash sector size could not be read (answer 0xbb8): using 4 KiB\r\n"},
        {"unknown property on 8 KiB sectors", 0x2000,
         [](sim::BootloaderTarget& t) { t.removeProperty(5); },
         "Flash sector size could not be read (Unknown property.): using 4 KiB\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hidport::clearSimulatedDevices();
        log.clear();
        statusCalls.clear();
        auto target = plugTarget(core::kGpsVendorId, 12);
        ASSERT_TRUE(target->setFlashSectorSize(c.sector));
        ASSERT_EQ(target->flash().preload(0xa000, std::vector<uint8_t>(0x96000, 0x00)), 0);
        c.spoil(*target);
        connectDevice(12, 0);
        core::state().gcbn = 0;

        EXPECT_TRUE(core::programInBootloaderMode(12, core::kGpsVendorId));
        EXPECT_TRUE(logged(c.line));
        EXPECT_TRUE(logged("Erasing 0x13000 bytes from 0x80000\r\n"));  // 559,544 bytes
        EXPECT_EQ(target->resetCount(), 1);
        if (c.sector == 0x1000) {
            EXPECT_TRUE(flashImage(*target, 559544) == catalogueImage(12, 0));
            EXPECT_EQ(titles().back(), "Condor Chroma Flashing success");
        } else {
            EXPECT_TRUE(
                logged("Flash erase past the region refused: kStatus_FlashAlignmentError\r\n"));
            EXPECT_FALSE(hasTitle("Condor Chroma Flashing success"));
            EXPECT_EQ(statuses().back().detail, "Flashing did not complete");
        }
    }
}

// A device that does not erase the region gets nothing written over it; it
// is restarted into what it holds, and the error shown.
TEST_F(ProgrammingTest, ARefusedOrUnansweredEraseWritesNothing) {
    for (bool answered : {true, false}) {
        SCOPED_TRACE(answered);
        hidport::clearSimulatedDevices();
        statusCalls.clear();
        auto target = plugTarget(core::kGpsVendorId, 5 + 60);
        if (answered) {
            ASSERT_TRUE(target->setFlashSectorSize(0x4000));  // 0xa000 is not on a sector
        } else {
            BootloaderFaults faults;
            faults.commandMask = commandBit(kCommandTag_FlashEraseRegion);
            faults.noResponse = true;
            target->setFaults(faults);
        }
        connectDevice(5);
        core::state().gcbn = 60;

        EXPECT_FALSE(core::programInBootloaderMode(5 + 60, core::kGpsVendorId));
        EXPECT_EQ(target->receivedCommands(),
                  (std::vector<uint8_t>{kCommandTag_GetProperty, kCommandTag_FlashEraseRegion,
                                        kCommandTag_Reset}));
        EXPECT_TRUE(logged("Flash erase failed\r\n"));
        EXPECT_FALSE(hasTitle("Heron GPS Flashing success"));
        EXPECT_EQ(statuses().back().title,
                  "There was a problem updating your Heron GPS. Please try again or contact "
                  "Quorta technical support.");
        // No answer is not a refusal: it says the GPS did not answer.
        EXPECT_EQ(statuses().back().detail, answered ? "The flash could not be erased"
                                                     : "The GPS did not answer the erase command");
    }
}

// A write whose exchange did not complete, or that the device refused, never
// ends in success; the device is still told to restart.
TEST_F(ProgrammingTest, IncompleteWritesEndInTheErrorAndStillReset) {
    struct Case {
        const char* name;
        BootloaderFaults faults;
    };
    std::vector<Case> cases;
    {
        BootloaderFaults f;
        f.commandMask = commandBit(kCommandTag_WriteMemory);
        f.silenceAfterDataPackets = 500;
        cases.push_back({"no final response", f});
    }
    {
        BootloaderFaults f;
        f.commandMask = commandBit(kCommandTag_WriteMemory);
        f.abortAfterDataPackets = 500;
        cases.push_back({"aborted data phase", f});
    }
    {
        BootloaderFaults f;
        f.commandMask = commandBit(kCommandTag_WriteMemory);
        f.responses = sim::FaultedResponse::First;
        f.wrongResponseTag = kCommandTag_GetPropertyResponse;
        cases.push_back({"refused before any data", f});
    }
    {
        // Every byte sent, but the device failed to program them.
        BootloaderFaults f;
        f.commandMask = commandBit(kCommandTag_WriteMemory);
        f.abortAfterDataPackets = 500;
        f.abortStatus = sim::protocol::kStatus_FlashCommandFailure;
        cases.push_back({"refused by the device (105)", f});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hidport::clearSimulatedDevices();
        statusCalls.clear();
        auto target = plugTarget(core::kGpsVendorId, 5 + 60);
        target->setFaults(c.faults);
        connectDevice(5);
        core::state().gcbn = 60;

        EXPECT_TRUE(core::programInBootloaderMode(5 + 60, core::kGpsVendorId));
        EXPECT_EQ(target->resetCount(), 1);
        EXPECT_FALSE(hasTitle("Heron GPS Flashing success"));
        ASSERT_FALSE(statuses().empty());
        const testing_support::StatusCall last = statuses().back();
        EXPECT_EQ(last.complete, 1);
        EXPECT_EQ(last.title,
                  "There was a problem updating your Heron GPS. Please try again or contact "
                  "Quorta technical support.");
        EXPECT_EQ(last.detail, "Flashing did not complete");
    }
}

TEST_F(ProgrammingTest, RetriesCountOverTheWholeRun) {
    // Opens that fail three times, then a device that answers.
    auto target = plugTarget(core::kGpsVendorId, 9);
    BootloaderFaults f;
    f.openFailures = 3;
    target->setFaults(f);
    core::state().bootloaderVendorId = core::kGpsVendorId;
    core::state().bootloaderProductId = 9;
    core::WriteResult result = core::WriteResult::Incomplete;
    EXPECT_TRUE(core::programFlash(&result));
    EXPECT_EQ(result, core::WriteResult::Written);
    EXPECT_EQ(countLog("Program Crash - retrying\n\r"), 3);
    EXPECT_EQ(core::programmingErrorCounts().program, 3);

    // No device at all: the erase gives up on its tenth error.
    hidport::clearSimulatedDevices();
    EXPECT_FALSE(core::eraseFlash());
    EXPECT_EQ(countLog("Erase Crash - retrying\n\r"), 9);
    EXPECT_EQ(statuses().back().complete, 1);
    EXPECT_EQ(statuses().back().title, "Failed to erase flash");
    // The counter is never reset: the next error ends the erase at once.
    EXPECT_FALSE(core::eraseFlash());
    EXPECT_EQ(countLog("Erase Crash - retrying\n\r"), 9);

    const int64_t before = clock.totalSleptMs();
    EXPECT_FALSE(core::resetDevice());
    EXPECT_EQ(countLog("Reset Crash - retrying\n\r"), 4);
    EXPECT_EQ(clock.totalSleptMs() - before, 4 * 2000);
    EXPECT_EQ(statuses().back().title, "Failed to reset device");

    // Six more failed opens use up the write's ten.
    EXPECT_FALSE(core::programFlash());
    EXPECT_EQ(countLog("Program Crash - retrying\n\r"), 9);
    EXPECT_EQ(statuses().back().title, "Program device failed");
}

TEST_F(ProgrammingTest, EraseFailureEndsTheRunWithTheError) {
    connectDevice(5);
    EXPECT_FALSE(core::programInBootloaderMode(5 + 60, core::kGpsVendorId));
    EXPECT_TRUE(logged("Flash erase failed\r\n"));
    EXPECT_FALSE(logged("Programming flash\r\n"));
    EXPECT_EQ(statuses().back().title,
              "There was a problem updating your Heron GPS. Please try again or contact Quorta "
              "technical support.");

    // Without a device record the error names no model.
    core::reportCallbacks().currentDevice = nullptr;
    EXPECT_FALSE(core::programInBootloaderMode(5 + 60, core::kGpsVendorId));
    EXPECT_EQ(titles().front(), "Heron GPS connected\nErasing");
    EXPECT_TRUE(hasTitle("Emergency mode"));
    EXPECT_EQ(statuses().back().title, "There was a problem updating your GPS");
    EXPECT_EQ(statuses().back().detail, "Please try again or contact Quorta technical support.");
}

}  // namespace
