// Every fault the simulated target offers ends in a status value and a log
// line, never in a crash or a hang.
#include <filesystem>
#include <fstream>

#include "SimSession.h"

using namespace bootloader;
using Values = std::vector<uint32_t>;

namespace {

sim::BootloaderFaults faultsWith(void (*set)(sim::BootloaderFaults&)) {
    sim::BootloaderFaults f;
    set(f);
    return f;
}

}  // namespace

TEST_F(SimSession, ResponseFaultsOnAPlainCommand) {
    struct Case {
        const char* name;
        void (*set)(sim::BootloaderFaults&);
        uint32_t status;
        const char* logLine;
    } cases[] = {
        {"no response", [](sim::BootloaderFaults& f) { f.noResponse = true; }, 10004,
         "sendCommandGetResponse.readPacket error 5.\n"},
        {"wrong response tag", [](sim::BootloaderFaults& f) { f.wrongResponseTag = 0xA7; }, 10000,
         "Error: expected kCommandTag_GenericResponse (0xa0), received 0xa7\n"},
        {"mismatched command tag", [](sim::BootloaderFaults& f) { f.mismatchedCommandTag = 3; },
         10000, "Error: expected commandTag 0x2, received 0x3\n"},
        {"short report", [](sim::BootloaderFaults& f) { f.shortReportMissingBytes = 4; }, 10004,
         "usbhid: received only 8 bytes of packet with length 12\n"},
        {"wrong report id", [](sim::BootloaderFaults& f) { f.wrongReportId = 4; }, 10004,
         "usbhid: received unexpected report=4\n"},
        {"length above 32", [](sim::BootloaderFaults& f) { f.lengthField = 40; }, 10004,
         "usbhid: received only 32 bytes of packet with length 40\n"},
        {"zero-length report instead of the response",
         [](sim::BootloaderFaults& f) { f.lengthField = 0; }, 10004,
         "usbhid: received data phase abort\n"},
        {"slower than the timeout", [](sim::BootloaderFaults& f) { f.responseDelayMs = 20000; },
         10004, "sendCommandGetResponse.readPacket error 5.\n"},
        {"hung", [](sim::BootloaderFaults& f) { f.hung = true; }, 10004,
         "sendCommandGetResponse.writePacket error 1.\n"},
        {"read errors", [](sim::BootloaderFaults& f) { f.readErrors = true; }, 10004,
         "sendCommandGetResponse.readPacket error 1.\n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        target->setFaults(faultsWith(k.set));
        logger.messages.clear();
        auto c = run({"flash-erase-region", "0xa000", "0x1000"});
        EXPECT_EQ(c->getResponseValues(), (Values{k.status}));
        EXPECT_TRUE(logger.contains(k.logLine)) << logger.all();
    }
}

TEST_F(SimSession, NoiseBeforeTheResponseAndSlowAnswersAreFine) {
    sim::BootloaderFaults f;
    f.zeroLengthReportsBefore = 3;
    f.responseDelayMs = 1000;  // within the 5000 ms packet timeout
    target->setFaults(f);
    EXPECT_EQ(run({"flash-erase-region", "0xa000", "0x1000"})->getResponseValues(), (Values{0}));
    auto write = run({"write-memory", "0xa000", hexText(imageBytes(100))});
    EXPECT_EQ(write->getResponseValues(), (Values{0}));
    EXPECT_EQ(write->getResponseDetails(), "Wrote 100 of 100 bytes.");
}

TEST_F(SimSession, OpenFailsTheFirstTimes) {
    sim::BootloaderFaults f;
    f.openFailures = 2;
    target->setFaults(f);
    for (int i = 0; i < 2; ++i) {
        try {
            Bootloader session(config());
            FAIL() << "opened while the node was not ready";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(),
                         "Error: UsbHidPeripheral() cannot open USB HID device (vid=0x2b29, "
                         "pid=0x0005).");
        }
    }
    EXPECT_EQ(run({"reset"})->getResponseValues(), (Values{0}));
}

TEST_F(SimSession, WriteMemoryFaultsMidPhase) {
    const std::string hex = hexText(imageBytes(32 * 40));
    sim::BootloaderFaults f;

    f.silenceAfterDataPackets = 10;
    target->setFaults(f);
    auto silent = run({"write-memory", "0xa000", hex});
    EXPECT_EQ(silent->getResponseValues(), (Values{10004}));
    EXPECT_EQ(silent->getResponseDetails(), "Wrote 1280 of 1280 bytes.");  // all went out
    EXPECT_TRUE(logger.contains("Data phase final response readPacket error 5.\n"));

    target->flash().eraseAll();
    f = {};
    f.abortAfterDataPackets = 5;
    target->setFaults(f);
    auto aborted = run({"write-memory", "0xa000", hex});
    EXPECT_EQ(aborted->getResponseValues(), (Values{10002}));

    target->flash().eraseAll();
    f = {};
    f.unplugAfterDataPackets = 5;
    target->setFaults(f);
    logger.messages.clear();
    auto unplugged = run({"write-memory", "0xa000", hex});
    EXPECT_EQ(unplugged->getResponseValues(), (Values{10004}));
    EXPECT_TRUE(logger.contains("Data phase write aborted by status 0x1 Failure.\n"));
    EXPECT_EQ(unplugged->getResponseDetails(), "Wrote 160 of 1280 bytes.");
    EXPECT_THROW(Bootloader session(config()), std::runtime_error);  // gone from the bus
}

TEST_F(SimSession, ReadMemoryFaultsMidPhase) {
    sim::BootloaderFaults f;
    f.abortAfterDataPackets = 3;
    target->setFaults(f);
    auto aborted = run({"read-memory", "0", "1024", "/dev/null"});
    EXPECT_EQ(aborted->getResponseValues(), (Values{10002, 96}));
    EXPECT_TRUE(logger.contains("Data phase aborted by sender\n"));

    f = {};
    f.silenceAfterDataPackets = 3;
    target->setFaults(f);
    auto silent = run({"read-memory", "0", "1024", "/dev/null"});
    EXPECT_EQ(silent->getResponseValues(), (Values{10004, 96}));
    EXPECT_EQ(silent->getResponseDetails(), "Read 96 of 1024 bytes.");

    f = {};
    f.shortDataPackets = true;
    f.shortReportMissingBytes = 2;
    target->setFaults(f);
    auto shortData = run({"read-memory", "0", "64", "/dev/null"});
    EXPECT_EQ(shortData->getResponseValues().back(), 0u);  // nothing taken from a cut packet
    EXPECT_NE(status(shortData), 0u);

    f = {};
    f.noResponse = true;
    f.responses = sim::FaultedResponse::Last;
    target->setFaults(f);
    auto noFinal = run({"read-memory", "0", "64", "/dev/null"});
    EXPECT_EQ(noFinal->getResponseValues(), (Values{10004, 64}));
}

TEST_F(SimSession, ReceiveSbFileSeesTheTargetAbort) {
    auto path = std::filesystem::temp_directory_path() / "quorta_e2e.sb";
    {
        std::ofstream out(path, std::ios::binary);
        auto bytes = imageBytes(32 * 20);
        out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    EXPECT_EQ(run({"receive-sb-file", path.string()})->getResponseValues(), (Values{0}));

    sim::BootloaderFaults f;
    f.abortAfterDataPackets = 4;
    target->setFaults(f);
    uint64_t before = target->dataPacketsReceived();
    auto aborted = run({"receive-sb-file", path.string()});
    EXPECT_EQ(aborted->getResponseValues(), (Values{10002}));
    EXPECT_EQ(aborted->getResponseDetails(), "Wrote 128 of 640 bytes.");
    EXPECT_TRUE(logger.contains("usb hid detected receiver data abort\n"));
    EXPECT_EQ(target->dataPacketsReceived() - before, 4u);  // nothing sent after the abort
    std::filesystem::remove(path);
}
