// The updater's road and the other commands, end to end against the target.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "SimSession.h"

using namespace bootloader;
using Values = std::vector<uint32_t>;

TEST_F(SimSession, EraseWriteReadBackAndReset) {
    // An old image sits in the application region.
    target->flash().preload(0xa000, std::vector<uint8_t>(0x1000, 0x00));

    auto erase = run({"flash-erase-region", "0xa000", "0x76000"});
    EXPECT_EQ(erase->getResponseValues(), (Values{0}));
    EXPECT_TRUE(target->flash().isErased(0xa000, 0x76000));

    const auto image = imageBytes(570480);
    auto write = run({"write-memory", "0xa000", hexText(image)});
    EXPECT_EQ(write->getResponseValues(), (Values{0}));
    EXPECT_EQ(write->getResponseDetails(), "Wrote 570480 of 570480 bytes.");
    EXPECT_EQ(target->flash().read(0xa000, 570480), image);
    EXPECT_EQ(target->dataPacketsReceived(), 17828u);  // 17827 full packets and one of 16
    EXPECT_EQ(target->flash().read(0x9fff, 1), (std::vector<uint8_t>{0xFF}));

    auto reset = run({"reset"});
    EXPECT_EQ(reset->getResponseValues(), (Values{0}));
    EXPECT_EQ(target->resetCount(), 1);
    EXPECT_FALSE(logger.contains("Ignoring missing response"));
}

TEST_F(SimSession, ResetWithoutAResponse) {
    sim::BootloaderFaults faults;
    faults.noResponse = true;
    target->setFaults(faults);
    auto reset = run({"reset"});
    EXPECT_EQ(reset->getResponseValues(), (Values{0}));
    EXPECT_EQ(target->resetCount(), 1);
    EXPECT_TRUE(logger.contains("Ignoring missing response from reset command.\n"));

    bootloader::Bootloader session(config());
    EXPECT_NO_THROW(session.reset());  // the shortcut takes the missing answer as success
    EXPECT_EQ(target->resetCount(), 2);
}

TEST_F(SimSession, WritingOverProgrammedFlashFailsWithItsStatus) {
    target->flash().preload(0xa000, std::vector<uint8_t>(64, 0x00));
    auto write = run({"write-memory", "0xa000", hexText(std::vector<uint8_t>(256, 0xA5))});
    EXPECT_EQ(write->getResponseValues(), (Values{105}));
    EXPECT_EQ(target->flash().read(0xa000, 64), std::vector<uint8_t>(64, 0x00));

    auto outside = run({"write-memory", "0xFFFF0", hexText(std::vector<uint8_t>(64, 1))});
    EXPECT_EQ(outside->getResponseValues(), (Values{10200}));
    EXPECT_EQ(outside->getResponseDetails(), "Wrote 0 of 64 bytes.");
    EXPECT_EQ(run({"configure-quadspi", "1", "0"})->getResponseValues(), (Values{10000}));
}

TEST_F(SimSession, GetPropertyTextsForEveryProperty) {
    target->setProperty(kProperty_FlashAccessSegmentSize, {0x2000});
    target->setProperty(kProperty_FlashAccessSegmentCount, {8});
    target->setProperty(kProperty_QspiInitStatus, {405});
    target->setProperty(kProperty_ExternalMemoryAttributes, {0x3, 0x68000000, 16384, 0, 0, 0});
    target->setReservedFlashRegion(0, 0x9FFF);
    const std::pair<const char*, const char*> expected[] = {
        {"1", "Current Version = Q1.4.0"},
        {"2", "Available Peripherals = USB HID"},
        {"3", "Flash Start Address = 0x00000000"},
        {"4", "Flash Size = 1 MB"},
        {"5", "Flash Sector Size = 4 KB"},
        {"6", "Flash Block Count = 2"},
        {"7",
         "Available Commands = flash-erase-all, flash-erase-region, read-memory, write-memory, "
         "fill-memory, flash-security-disable, get-property, receive-sb-file, execute, call, "
         "reset, set-property, flash-erase-all-unsecure, flash-program-once, flash-read-once, "
         "flash-read-resource"},
        {"8", "CRC Check Status = kStatus_AppCrcCheckInactive"},
        {"10", "Verify Writes Flag = ON"},
        {"11", "Max Packet Size = 32 bytes"},
        {"12", "Reserved Regions = Flash: 0x0-0x9FFF (40 KB), RAM: 0x0-0x0 (0 bytes)"},
        {"13", "Validate Regions Flag = ON"},
        {"14", "RAM Start Address = 0x1FFF0000"},
        {"15", "RAM Size = 256 KB"},
        {"16", "System Device ID = 0x23160190"},
        {"17", "Flash Security State = UNSECURE"},
        {"18", "Unique Device ID = 0000 0000 0027 0005 5155 4F52 5441 0001"},
        {"19", "Flash Access Controller (FAC) Support Flag = UNSUPPORTED"},
        {"20", "Flash Access Segment Size = 8 KB"},
        {"21", "Flash Access Segment Count = 8"},
        {"22", "Flash read margin level = NORMAL"},
        {"23", "QSPI Init Status = QSPI Not Configured."},
        {"24", "Target Version = T1.0.0"},
    };
    for (const auto& [tag, text] : expected) {
        auto c = run({"get-property", tag});
        EXPECT_EQ(status(c), 0u) << tag;
        EXPECT_EQ(c->getResponseDetails(), text) << tag;
    }
    auto quadspi = run({"get-property", "external-memory-attributes", "1"});
    EXPECT_EQ(quadspi->getResponseDetails(),
              "QuadSPI Attributes: Start Address = 0x68000000  Total Size = 16 MB  ");
    EXPECT_EQ(run({"get-property", "9"})->getResponseValues(), (Values{10300}));
    EXPECT_EQ(run({"get-property", "bogus"})->getResponseValues(), (Values{10300}));
    EXPECT_EQ(run({"get-property", "0"})->getResponseValues(), (Values{10005}));

    bootloader::Bootloader session(config());
    EXPECT_EQ(session.getVersion(), 0x51010400u);
    EXPECT_EQ(session.getSecurityState(), 0u);
    target->setSecure(true);
    EXPECT_EQ(session.getSecurityState(), 1u);
    try {
        session.execute(0xa000, 0, 0x20010000);
        FAIL() << "a secured target ran execute";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Command disallowed when security is enabled.");
    }
}

TEST_F(SimSession, ReadMemoryToFileAndToStandardOutput) {
    const auto bytes = imageBytes(100, 7);
    target->flash().preload(0x20000, bytes);
    auto path = std::filesystem::temp_directory_path() / "quorta_e2e_read.bin";
    auto toFile = run({"read-memory", "0x20000", "100", path.string()});
    EXPECT_EQ(toFile->getResponseValues(), (Values{0, 100}));
    EXPECT_EQ(toFile->getResponseDetails(), "Read 100 of 100 bytes.");
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(got, bytes);
    std::filesystem::remove(path);

    testing::internal::CaptureStdout();
    auto toStdout = run({"read-memory", "0x20000", "20"});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(toStdout->getResponseValues(), (Values{0, 20}));
    std::string want;
    char b[4];
    for (int i = 0; i < 20; ++i) {
        std::snprintf(b, sizeof b, "%02x%c", bytes[i], i == 15 ? '\n' : ' ');
        want += b;
    }
    EXPECT_EQ(out, want + "\n");

    auto unwritable = run({"read-memory", "0", "4", "/nonexistent/dir/out.bin"});
    EXPECT_TRUE(unwritable->getResponseValues().empty());
    EXPECT_TRUE(logger.contains("Error: cannot open output data file '/nonexistent/dir/out.bin'"));
}

TEST_F(SimSession, OtherCommands) {
    EXPECT_EQ(run({"fill-memory", "0x30000", "16", "0x12", "byte"})->getResponseValues(),
              (Values{0}));
    EXPECT_EQ(target->flash().read(0x30000, 16), std::vector<uint8_t>(16, 0x12));
    EXPECT_EQ(run({"flash-erase-all"})->getResponseValues(), (Values{0}));
    EXPECT_TRUE(target->flash().isErased(0, 0x100000));
    EXPECT_EQ(run({"flash-program-once", "2", "4", "12345678"})->getResponseValues(), (Values{0}));
    EXPECT_EQ(target->programOnceWord(2), 0x12345678u);
    EXPECT_EQ(run({"flash-read-once", "2", "4"})->getResponseValues(), (Values{0, 4, 0x12345678}));
    EXPECT_EQ(run({"set-property", "10", "0"})->getResponseValues(), (Values{0}));
    EXPECT_EQ(run({"get-property", "10"})->getResponseDetails(), "Verify Writes Flag = OFF");
    EXPECT_EQ(run({"call", "0xa000", "0"})->getResponseValues().size(), 1u);
    auto resource = run({"flash-read-resource", "0", "8", "1", "/dev/null"});
    EXPECT_EQ(resource->getResponseValues(), (Values{0, 8}));

    target->setSecure(true);
    EXPECT_EQ(run({"flash-erase-region", "0", "4096"})->getResponseValues(), (Values{10001}));
    EXPECT_EQ(run({"flash-security-disable", "0123456789ABCDEF"})->getResponseValues(),
              (Values{0}));
    EXPECT_FALSE(target->secure());
}
