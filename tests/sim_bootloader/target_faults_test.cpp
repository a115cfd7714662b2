// Every way the target can be told to misbehave, seen from the host's side.
#include <thread>

#include "TargetFixture.h"

namespace simtest {
namespace {

using sim::BootloaderFaults;
using sim::FaultedResponse;

TEST_F(TargetTest, NoResponseStillCarriesTheCommandOut) {
    target->flash().preload(0xa000, {0});
    BootloaderFaults f;
    f.noResponse = true;
    target->setFaults(f);
    command(kCommandTag_FlashEraseRegion, {0xa000, 0x1000});
    EXPECT_EQ(readReport(100).n, 0);
    EXPECT_TRUE(target->flash().isErased(0xa000, 0x1000));

    // Only a reset goes unanswered; the device restarts all the same.
    f.commandMask = commandBit(kCommandTag_Reset);
    target->setFaults(f);
    command(kCommandTag_Reset, {});
    EXPECT_EQ(readReport(100).n, 0);
    EXPECT_EQ(target->resetCount(), 1);
    command(kCommandTag_GetProperty, {kProperty_CurrentVersion, 0});
    EXPECT_EQ(readReport().tag(), kCommandTag_GetPropertyResponse);

    // A read whose first answer is withheld sends no data either.
    f.commandMask = commandBit(kCommandTag_ReadMemory);
    f.responses = FaultedResponse::First;
    target->setFaults(f);
    command(kCommandTag_ReadMemory, {0, 64});
    EXPECT_EQ(readReport(100).n, 0);

    // Withholding only the last answer of a write keeps the data.
    f.commandMask = commandBit(kCommandTag_WriteMemory);
    f.responses = FaultedResponse::Last;
    target->setFaults(f);
    writeMemory(0xb000, pattern(32));
    EXPECT_EQ(readReport(100).n, 0);
    EXPECT_EQ(target->flash().read(0xb000, 32), pattern(32));
}

TEST_F(TargetTest, WrongTagsInTheResponse) {
    BootloaderFaults f;
    f.wrongResponseTag = 0xA7;
    target->setFaults(f);
    command(kCommandTag_FlashEraseRegion, {0xa000, 0x1000});
    InReport r = readReport();
    EXPECT_EQ(r.tag(), 0xA7);
    EXPECT_EQ(r.param(1), kCommandTag_FlashEraseRegion);

    f = {};
    f.mismatchedCommandTag = kCommandTag_ReadMemory;
    target->setFaults(f);
    command(kCommandTag_FlashEraseRegion, {0xa000, 0x1000});
    r = readReport();
    EXPECT_EQ(r.tag(), kCommandTag_GenericResponse);
    EXPECT_EQ(r.param(0), 0u);
    EXPECT_EQ(r.param(1), kCommandTag_ReadMemory);
    // Responses of their own kind carry no command tag to mismatch.
    command(kCommandTag_GetProperty, {kProperty_MaxPacketSize, 0});
    r = readReport();
    EXPECT_EQ(r.tag(), kCommandTag_GetPropertyResponse);
    EXPECT_EQ(r.param(1), 32u);
}

TEST_F(TargetTest, MalformedReports) {
    BootloaderFaults f;
    f.shortReportMissingBytes = 4;
    target->setFaults(f);
    command(kCommandTag_Reset, {});
    InReport r = readReport();
    EXPECT_EQ(r.n, 12);  // 4 header bytes and 8 of the 12 the length field counts
    EXPECT_EQ(r.length(), 12u);

    f = {};
    f.wrongReportId = kReportId_DataIn;
    target->setFaults(f);
    command(kCommandTag_Reset, {});
    EXPECT_EQ(readReport().id(), kReportId_DataIn);

    f = {};
    f.lengthField = 40;
    target->setFaults(f);
    command(kCommandTag_Reset, {});
    r = readReport();
    EXPECT_EQ(r.n, 36);
    EXPECT_EQ(r.length(), 40u);

    f = {};
    f.zeroLengthReportsBefore = 2;
    target->setFaults(f);
    command(kCommandTag_Reset, {});
    EXPECT_EQ(readReport().length(), 0u);
    EXPECT_EQ(readReport().length(), 0u);
    EXPECT_EQ(genericStatus(kCommandTag_Reset), 0u);

    f = {};
    f.readErrors = true;
    target->setFaults(f);
    command(kCommandTag_Reset, {});
    EXPECT_EQ(readReport().n, -1);
    target->setFaults({});
    EXPECT_EQ(readReport().n, 36);  // the answer was there all along
}

TEST_F(TargetTest, OpenFailsTheFirstTimes) {
    hidport::hid_close(dev);
    dev = nullptr;
    target->setFaults({.openFailures = 2});
    EXPECT_EQ(hidport::hid_open(kVendor, kProduct, nullptr), nullptr);
    EXPECT_EQ(hidport::hid_open(kVendor, kProduct, nullptr), nullptr);
    EXPECT_EQ(target->faults().openFailures, 0);
    dev = hidport::hid_open(kVendor, kProduct, nullptr);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(target->openCount(), 2);
    EXPECT_TRUE(target->isOpen());
}

TEST_F(TargetTest, SilenceAfterDataPackets) {
    target->setFaults({.silenceAfterDataPackets = 2});
    writeMemory(0xa000, pattern(100));
    EXPECT_EQ(readReport(100).n, 0);
    EXPECT_FALSE(target->flash().isErased(0xa000, 64));
    EXPECT_TRUE(target->flash().isErased(0xa040, 36));

    command(kCommandTag_ReadMemory, {0xa000, 100});
    EXPECT_EQ(readReport().param(1), 100u);
    EXPECT_EQ(readData(64), std::vector<uint8_t>(pattern(64)));
    EXPECT_EQ(readReport(100).n, 0);
    // The next command is served again.
    command(kCommandTag_GetProperty, {kProperty_CurrentVersion, 0});
    EXPECT_EQ(readReport().tag(), kCommandTag_GetPropertyResponse);
}

TEST_F(TargetTest, TargetAbortsADataPhase) {
    BootloaderFaults f;
    f.abortAfterDataPackets = 1;
    target->setFaults(f);
    writeMemory(0xa000, pattern(100));
    InReport abort = readReport();
    EXPECT_EQ(abort.id(), kReportId_CommandIn);
    EXPECT_EQ(abort.length(), 0u);
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 10002u);
    EXPECT_TRUE(target->flash().isErased(0xa020, 68));
    EXPECT_EQ(target->strayReports(), 3);

    f.abortAfterDataPackets = 2;
    f.abortStatus = 10201;
    target->setFaults(f);
    command(kCommandTag_ReadMemory, {0xa000, 100});
    EXPECT_EQ(readReport().tag(), kCommandTag_ReadMemoryResponse);
    EXPECT_EQ(readReport().length(), 32u);
    EXPECT_EQ(readReport().length(), 32u);
    abort = readReport();
    EXPECT_EQ(abort.id(), kReportId_DataIn);
    EXPECT_EQ(abort.length(), 0u);
    EXPECT_EQ(genericStatus(kCommandTag_ReadMemory), 10201u);

    // Right at the start: no data at all.
    f.abortAfterDataPackets = 0;
    target->setFaults(f);
    command(kCommandTag_ReadMemory, {0xa000, 100});
    EXPECT_EQ(readReport().tag(), kCommandTag_ReadMemoryResponse);
    EXPECT_EQ(readReport().length(), 0u);
    EXPECT_EQ(genericStatus(kCommandTag_ReadMemory), 10201u);
}

TEST_F(TargetTest, UnplugFailsEverythingAndWakesAReader) {
    std::thread unplugger([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        target->unplug();
    });
    EXPECT_EQ(readReport(-1).n, -1);  // would wait for ever
    unplugger.join();
    EXPECT_EQ(command(kCommandTag_Reset, {}), -1);
    EXPECT_EQ(hidport::hid_open(kVendor, kProduct, nullptr), nullptr);

    target->plugIn();
    EXPECT_EQ(command(kCommandTag_Reset, {}), 36);
    EXPECT_EQ(genericStatus(kCommandTag_Reset), 0u);
}

TEST_F(TargetTest, UnplugAfterDataPackets) {
    target->setFaults({.unplugAfterDataPackets = 1});
    command(kCommandTag_ReadMemory, {0, 64});
    EXPECT_EQ(readReport().tag(), kCommandTag_ReadMemoryResponse);
    EXPECT_EQ(readReport().length(), 32u);
    EXPECT_EQ(readReport().n, -1);
    EXPECT_FALSE(target->pluggedIn());

    target->plugIn();
    command(kCommandTag_WriteMemory, {0xa000, 64}, kCommandFlag_HasDataPhase);
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 0u);
    EXPECT_EQ(writeReport(kReportId_DataOut, pattern(32)), 36);
    EXPECT_EQ(writeReport(kReportId_DataOut, pattern(32)), -1);
    EXPECT_EQ(target->flash().read(0xa000, 32), pattern(32));
}

TEST_F(TargetTest, HungTargetTimesWritesOut) {
    target->setFaults({.hung = true});
    EXPECT_EQ(command(kCommandTag_Reset, {}), -1);
    EXPECT_EQ(readReport(100).n, 0);
    EXPECT_EQ(target->resetCount(), 0);
    target->setFaults({});
    EXPECT_EQ(command(kCommandTag_Reset, {}), 36);
    EXPECT_EQ(genericStatus(kCommandTag_Reset), 0u);
}

TEST_F(TargetTest, SlowResponseArrivesAfterItsDelay) {
    target->setFaults({.responseDelayMs = 3000});  // 30 ms of wall time on this clock
    command(kCommandTag_FlashEraseRegion, {0xa000, 0x76000});
    EXPECT_EQ(readReport(0).n, 0);
    InReport r = readReport(60000);
    EXPECT_EQ(r.n, 36);
    EXPECT_EQ(r.param(1), kCommandTag_FlashEraseRegion);
}

}  // namespace
}  // namespace simtest
