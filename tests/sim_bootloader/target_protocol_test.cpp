// The target answering every command as a real one would, in raw reports.
#include <atomic>
#include <thread>

#include "TargetFixture.h"

namespace simtest {
namespace {

using sim::BootloaderTarget;
using sim::FlashModel;

TEST_F(TargetTest, EraseWriteAndReadBackAnImage) {
    ASSERT_EQ(command(kCommandTag_FlashEraseRegion, {0xa000, 0x76000}), 36);
    InReport erase = readReport();
    ASSERT_EQ(erase.n, 36);
    // The generic response, byte for byte: A0 00 00 02, status 0, tag 2.
    const std::vector<uint8_t> expected{3, 0, 12, 0, 0xA0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(erase.bytes.begin(), erase.bytes.begin() + 16), expected);
    EXPECT_TRUE(std::all_of(erase.bytes.begin() + 16, erase.bytes.begin() + 36,
                            [](uint8_t b) { return b == 0; }));

    const std::vector<uint8_t> image = pattern(4096 + 100);
    ASSERT_EQ(command(kCommandTag_WriteMemory, {0xa000, static_cast<uint32_t>(image.size())},
                      kCommandFlag_HasDataPhase),
              36);
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 0u);
    sendData(image);
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 0u);
    EXPECT_EQ(target->flash().read(0xa000, static_cast<uint32_t>(image.size())), image);
    EXPECT_EQ(target->dataPacketsReceived(), (image.size() + 31) / 32);

    ASSERT_EQ(command(kCommandTag_ReadMemory, {0xa000, 100}), 36);
    InReport head = readReport();
    EXPECT_EQ(head.tag(), kCommandTag_ReadMemoryResponse);
    EXPECT_EQ(head.flags(), kCommandFlag_HasDataPhase);
    EXPECT_EQ(head.param(0), 0u);
    EXPECT_EQ(head.param(1), 100u);
    std::vector<uint32_t> lengths;
    std::vector<uint8_t> back;
    while (back.size() < 100) {
        InReport r = readReport();
        ASSERT_EQ(r.id(), kReportId_DataIn);
        lengths.push_back(r.length());
        auto p = r.payload();
        back.insert(back.end(), p.begin(), p.end());
    }
    EXPECT_EQ(lengths, (std::vector<uint32_t>{32, 32, 32, 4}));
    EXPECT_EQ(back, std::vector<uint8_t>(image.begin(), image.begin() + 100));
    EXPECT_EQ(genericStatus(kCommandTag_ReadMemory), 0u);
    EXPECT_EQ(readReport(10).n, 0);  // nothing more
}

TEST_F(TargetTest, WriteThatWouldSetClearedBitsAbortsWith105) {
    ASSERT_EQ(command(kCommandTag_WriteMemory, {0xa000, 64}, kCommandFlag_HasDataPhase), 36);
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 0u);
    sendData(std::vector<uint8_t>(64, 0x00));
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 0u);

    // Rewriting the same bytes is fine.
    writeMemory(0xa000, std::vector<uint8_t>(64, 0x00));
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 0u);

    // The first packet fits erased flash; the second meets the zeros.
    writeMemory(0x9FE0, std::vector<uint8_t>(96, 0x5A));
    InReport abort = readReport();
    EXPECT_EQ(abort.id(), kReportId_CommandIn);
    EXPECT_EQ(abort.length(), 0u);
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 105u);
    EXPECT_EQ(target->flash().read(0x9FE0, 32), std::vector<uint8_t>(32, 0x5A));
    EXPECT_EQ(target->flash().read(0xa000, 64), std::vector<uint8_t>(64, 0x00));
    EXPECT_EQ(target->strayReports(), 1);  // the third packet came after the abort
}

TEST_F(TargetTest, RangesAndAlignmentAreChecked) {
    command(kCommandTag_WriteMemory, {FlashModel::kSize - 16, 32}, kCommandFlag_HasDataPhase);
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 10200u);
    command(kCommandTag_FlashEraseRegion, {0xFF000, 0x2000});
    EXPECT_EQ(genericStatus(kCommandTag_FlashEraseRegion), 10200u);
    command(kCommandTag_FlashEraseRegion, {0xa800, 0x1000});
    EXPECT_EQ(genericStatus(kCommandTag_FlashEraseRegion), 101u);
    command(kCommandTag_FillMemory, {0xFFFFFFF0, 0x20, 0});
    EXPECT_EQ(genericStatus(kCommandTag_FillMemory), 10200u);

    command(kCommandTag_ReadMemory, {FlashModel::kSize, 4});
    InReport r = readReport();
    EXPECT_EQ(r.tag(), kCommandTag_ReadMemoryResponse);
    EXPECT_EQ(r.param(0), 10200u);
    EXPECT_EQ(r.flags(), 0);
    EXPECT_EQ(readReport(10).n, 0);  // no data phase follows

    // The bootloader's own sectors, once reserved, are out of bounds.
    target->setReservedFlashRegion(0, 0x9FFF);
    command(kCommandTag_FlashEraseRegion, {0x9000, 0x2000});
    EXPECT_EQ(genericStatus(kCommandTag_FlashEraseRegion), 10200u);
    target->flash().preload(0, std::vector<uint8_t>(FlashModel::kSize, 0));
    command(kCommandTag_FlashEraseAll, {0});
    EXPECT_EQ(genericStatus(kCommandTag_FlashEraseAll), 0u);
    EXPECT_EQ(target->flash().read(0x9FFF, 1), std::vector<uint8_t>{0});
    EXPECT_TRUE(target->flash().isErased(0xa000, FlashModel::kSize - 0xa000));
}

TEST_F(TargetTest, SectorSizeIsReportedAndEnforced) {
    ASSERT_TRUE(target->setFlashSectorSize(0x2000));
    command(kCommandTag_GetProperty, {kProperty_FlashSectorSize, 0});
    InReport r = readReport();
    EXPECT_EQ(r.param(0), 0u);
    EXPECT_EQ(r.param(1), 0x2000u);
    command(kCommandTag_FlashEraseRegion, {0x80000, 0x15000});
    EXPECT_EQ(genericStatus(kCommandTag_FlashEraseRegion), 101u);
    command(kCommandTag_FlashEraseRegion, {0x80000, 0x16000});
    EXPECT_EQ(genericStatus(kCommandTag_FlashEraseRegion), 0u);
    EXPECT_FALSE(target->setFlashSectorSize(3000));
    EXPECT_EQ(target->property(kProperty_FlashSectorSize), std::vector<uint32_t>{0x2000});
}

TEST_F(TargetTest, UnknownUnavailableAndMalformedCommands) {
    command(0x30, {1, 2});
    EXPECT_EQ(genericStatus(0x30), 10000u);
    command(kCommandTag_ConfigureQuadSpi, {1, 0x20000000});
    EXPECT_EQ(genericStatus(kCommandTag_ConfigureQuadSpi), 10000u);
    target->setProperty(kProperty_AvailableCommands, {0x1FFFF});
    command(kCommandTag_ConfigureQuadSpi, {1, 0x20000000});
    EXPECT_EQ(genericStatus(kCommandTag_ConfigureQuadSpi), 0u);

    command(kCommandTag_FlashEraseRegion, {0xa000});
    EXPECT_EQ(genericStatus(kCommandTag_FlashEraseRegion), 4u);
    auto packet = commandPacket(kCommandTag_Reset, {});
    packet[3] = 2;  // claims two parameters it does not carry
    writeReport(kReportId_CommandOut, packet);
    EXPECT_EQ(genericStatus(kCommandTag_Reset), 4u);
    EXPECT_EQ(target->resetCount(), 0);

    // Reports that are not the protocol's are dropped without an answer.
    writeReport(7, commandPacket(kCommandTag_Reset, {}));
    writeReport(kReportId_DataOut, {1, 2, 3});
    std::vector<uint8_t> tooLong(36, 0);
    tooLong[0] = kReportId_CommandOut;
    tooLong[2] = 33;
    hidport::hid_write_timeout(dev, tooLong.data(), tooLong.size(), 100);
    EXPECT_EQ(readReport(10).n, 0);
    EXPECT_EQ(target->strayReports(), 3);
    std::vector<uint8_t> oversized(40, 0);
    EXPECT_EQ(hidport::hid_write_timeout(dev, oversized.data(), oversized.size(), 100), -1);
}

TEST_F(TargetTest, PropertiesAreReadAndSet) {
    target->setCurrentVersion('Q', 2, 1, 7);
    command(kCommandTag_GetProperty, {kProperty_CurrentVersion, 0});
    InReport r = readReport();
    EXPECT_EQ(r.tag(), kCommandTag_GetPropertyResponse);
    EXPECT_EQ(r.paramCount(), 2);
    EXPECT_EQ(r.param(0), 0u);
    EXPECT_EQ(r.param(1), versionWord('Q', 2, 1, 7));

    command(kCommandTag_GetProperty, {kProperty_UniqueDeviceId, 0});
    r = readReport();
    EXPECT_EQ(r.paramCount(), 5);
    EXPECT_EQ(r.length(), 24u);

    command(kCommandTag_GetProperty, {9, 0});
    r = readReport();
    EXPECT_EQ(r.tag(), kCommandTag_GetPropertyResponse);
    EXPECT_EQ(r.paramCount(), 1);
    EXPECT_EQ(r.param(0), 10300u);

    command(kCommandTag_SetProperty, {kProperty_VerifyWrites, 0});
    EXPECT_EQ(genericStatus(kCommandTag_SetProperty), 0u);
    EXPECT_EQ(target->property(kProperty_VerifyWrites), std::vector<uint32_t>{0});
    command(kCommandTag_SetProperty, {kProperty_FlashSizeInBytes, 4});
    EXPECT_EQ(genericStatus(kCommandTag_SetProperty), 10301u);
    command(kCommandTag_SetProperty, {kProperty_FlashReadMargin, 3});
    EXPECT_EQ(genericStatus(kCommandTag_SetProperty), 10302u);
    command(kCommandTag_SetProperty, {99, 1});
    EXPECT_EQ(genericStatus(kCommandTag_SetProperty), 10300u);
    EXPECT_THROW(target->setProperty(50, std::vector<uint32_t>(7, 0)), std::invalid_argument);
}

TEST_F(TargetTest, SecuredTargetServesOnlyWhatUnsecuresIt) {
    target->setSecure(true);
    target->setBackdoorKey(0x11111111, 0x22222222);
    command(kCommandTag_WriteMemory, {0xa000, 4}, kCommandFlag_HasDataPhase);
    EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 10001u);
    command(kCommandTag_GetProperty, {kProperty_FlashSecurityState, 0});
    EXPECT_EQ(readReport().param(1), 1u);
    command(kCommandTag_FlashSecurityDisable, {0x11111111, 0x33333333});
    EXPECT_EQ(genericStatus(kCommandTag_FlashSecurityDisable), 103u);
    command(kCommandTag_FlashSecurityDisable, {0x11111111, 0x22222222});
    EXPECT_EQ(genericStatus(kCommandTag_FlashSecurityDisable), 0u);
    EXPECT_FALSE(target->secure());

    target->setSecure(true);
    target->flash().preload(0x10000, {0});
    command(kCommandTag_FlashEraseAllUnsecure, {});
    EXPECT_EQ(genericStatus(kCommandTag_FlashEraseAllUnsecure), 0u);
    EXPECT_FALSE(target->secure());
    EXPECT_TRUE(target->flash().isErased(0, FlashModel::kSize));
}

TEST_F(TargetTest, FillProgramOnceAndResources) {
    command(kCommandTag_FillMemory, {0x20000, 6, 0x12345678});
    EXPECT_EQ(genericStatus(kCommandTag_FillMemory), 0u);
    EXPECT_EQ(target->flash().read(0x20000, 7),
              (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0x78, 0x56, 0xFF}));

    command(kCommandTag_FlashProgramOnce, {2, 8, 0xAABBCCDD, 0x01020304});
    EXPECT_EQ(genericStatus(kCommandTag_FlashProgramOnce), 0u);
    command(kCommandTag_FlashProgramOnce, {3, 4, 0});
    EXPECT_EQ(genericStatus(kCommandTag_FlashProgramOnce), 103u);  // once only
    command(kCommandTag_FlashProgramOnce, {0, 8, 0});              // 8 bytes need two words
    EXPECT_EQ(genericStatus(kCommandTag_FlashProgramOnce), 4u);
    command(kCommandTag_FlashReadOnce, {2, 8});
    InReport once = readReport();
    EXPECT_EQ(once.tag(), kCommandTag_FlashReadOnceResponse);
    EXPECT_EQ(once.paramCount(), 4);
    EXPECT_EQ(once.param(1), 8u);
    EXPECT_EQ(once.param(2), 0xAABBCCDDu);
    EXPECT_EQ(once.param(3), 0x01020304u);
    command(kCommandTag_FlashReadOnce, {15, 8});
    EXPECT_EQ(readReport().param(0), 4u);

    command(kCommandTag_FlashReadResource, {4, 8, 0});
    InReport head = readReport();
    EXPECT_EQ(head.tag(), kCommandTag_FlashReadResourceResponse);
    EXPECT_EQ(head.param(1), 8u);
    auto ifr = target->flashResource(0);
    EXPECT_EQ(readData(8), std::vector<uint8_t>(ifr.begin() + 4, ifr.begin() + 12));
    EXPECT_EQ(genericStatus(kCommandTag_FlashReadResource), 0u);
    command(kCommandTag_FlashReadResource, {2, 4, 0});
    EXPECT_EQ(readReport().param(0), 101u);
    command(kCommandTag_FlashReadResource, {0, 12, 1});
    EXPECT_EQ(readReport().param(0), 10200u);
}

TEST_F(TargetTest, ResetAndExecuteRunTheirHooksAfterAnswering) {
    std::atomic<int> hookCalls{0};
    std::atomic<int> readableWhenHookRan{-1};
    target->setResetHook([&] {
        ++hookCalls;
        // The answer is already on its way when the target restarts.
        unsigned char buf[36];
        readableWhenHookRan = hidport::hid_read_timeout(dev, buf, sizeof buf, 0);
    });
    ASSERT_EQ(command(kCommandTag_Reset, {}), 36);
    EXPECT_EQ(hookCalls, 1);
    EXPECT_EQ(readableWhenHookRan, 36);
    EXPECT_EQ(target->resetCount(), 1);

    uint32_t seen[3] = {};
    target->setExecuteHook([&](uint32_t entry, uint32_t argument, uint32_t stack) {
        seen[0] = entry;
        seen[1] = argument;
        seen[2] = stack;
    });
    command(kCommandTag_Execute, {0xa4b5, 7, 0x20010000});
    EXPECT_EQ(genericStatus(kCommandTag_Execute), 0u);
    EXPECT_EQ(seen[0], 0xa4b5u);
    EXPECT_EQ(seen[1], 7u);
    EXPECT_EQ(seen[2], 0x20010000u);
    command(kCommandTag_Call, {0x100000, 0});
    EXPECT_EQ(genericStatus(kCommandTag_Call), 10200u);
    EXPECT_EQ(target->receivedCommands(),
              (std::vector<uint8_t>{kCommandTag_Reset, kCommandTag_Execute, kCommandTag_Call}));
}

TEST_F(TargetTest, SbFileIsTakenAndDiscarded) {
    command(kCommandTag_ReceiveSbFile, {70}, kCommandFlag_HasDataPhase);
    EXPECT_EQ(genericStatus(kCommandTag_ReceiveSbFile), 0u);
    sendData(pattern(70));
    EXPECT_EQ(genericStatus(kCommandTag_ReceiveSbFile), 0u);
    EXPECT_TRUE(target->flash().isErased(0, FlashModel::kSize));
    EXPECT_EQ(target->dataPacketsReceived(), 3u);
}

TEST_F(TargetTest, HostAbortEndsADataPhase) {
    command(kCommandTag_ReadMemory, {0, 320});
    EXPECT_EQ(readReport().tag(), kCommandTag_ReadMemoryResponse);
    EXPECT_EQ(readReport().length(), 32u);
    writeReport(kReportId_CommandOut, {});  // the host's abort
    EXPECT_EQ(genericStatus(kCommandTag_ReadMemory), 10002u);
    EXPECT_EQ(readReport(10).n, 0);
    writeReport(kReportId_CommandOut, {});  // outside a data phase: ignored
    EXPECT_EQ(readReport(10).n, 0);
}

TEST_F(TargetTest, HostAndInspectorOnDifferentThreads) {
    const std::vector<uint8_t> image = pattern(32 * 256);
    std::thread host([&] {
        writeMemory(0x40000, image);
        EXPECT_EQ(genericStatus(kCommandTag_WriteMemory), 0u);
    });
    uint64_t last = 0;
    while (last < 256) {
        uint64_t now = target->dataPacketsReceived();
        EXPECT_GE(now, last);
        last = now;
        (void)target->flash().read(0x40000, 64);
        (void)target->resetCount();
        std::this_thread::yield();
    }
    host.join();
    EXPECT_EQ(target->flash().read(0x40000, static_cast<uint32_t>(image.size())), image);
}

}  // namespace
}  // namespace simtest
