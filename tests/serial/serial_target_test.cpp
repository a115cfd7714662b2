// The UART transport over a real pseudo-terminal against the simulated serial
// target: the wire bytes, the ping, whole images, and a line that misbehaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "SerialSimSupport.h"
#include "bootloader/SerialPacketizer.h"
#include "bootloader/UartPeripheral.h"
#include "sim/SerialBootloaderTarget.h"

using namespace serialtest;
using bootloader::Bootloader;

namespace {

class SerialTargetTest : public ::testing::Test {
  protected:
    sim::SerialTargetEngine& engine() { return target.engine(); }
    // A packetizer straight on the port, for the byte-level checks.
    std::unique_ptr<bootloader::SerialPacketizer> openPacketizer(int baud = 115200,
                                                                 uint32_t timeoutMs = 1000) {
        auto packetizer = std::make_unique<bootloader::SerialPacketizer>(
            new bootloader::UartPeripheral(target.path().c_str(), baud), timeoutMs);
        packetizer->setSleepFunction([this](uint32_t ms) {
            sleeps.push_back(ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        });
        return packetizer;
    }

    RecordingLogger log;
    sim::SerialBootloaderTarget target;
    std::vector<uint32_t> sleeps;
};

TEST_F(SerialTargetTest, ResetTravelsAsItsFrameAndIsAcknowledged) {
    {
        Bootloader session(uartConfig(target.path()));
        auto reset = run(session, {"reset"});
        EXPECT_EQ(status(*reset), 0u);
    }  // the session's end acknowledges the response
    const Bytes frame = {0x5A, 0xA4, 0x04, 0x00, 0x6F, 0x46, 0x0B, 0x00, 0x00, 0x00};
    ASSERT_TRUE(waitFor([&] { return engine().stats().acks == 1; }));
    EXPECT_EQ(engine().hostBytes(), concat({frame, {0x5A, 0xA1}}));
    EXPECT_EQ(target.target().resetCount(), 1);
}

TEST_F(SerialTargetTest, OversizedPacketIsRefusedAndNothingGoesOnTheLine) {
    auto packetizer = openPacketizer();
    Bytes big(33, 0xEE);
    EXPECT_EQ(packetizer->writePacket(big.data(), 33, bootloader::kPacketType_Command), 4);
    EXPECT_TRUE(log.contains("Error: invalid packet or packet size 33\r\n"));
    // What reaches the target next is the following frame, with nothing before it.
    const Bytes reset = {0x0B, 0, 0, 0};
    EXPECT_EQ(packetizer->writePacket(reset.data(), 4, bootloader::kPacketType_Command), 0);
    EXPECT_EQ(engine().hostBytes(),
              (Bytes{0x5A, 0xA4, 0x04, 0x00, 0x6F, 0x46, 0x0B, 0x00, 0x00, 0x00}));
}

struct SpeedCase {
    int baud;
    uint32_t sleepMs;
};

class PingSpeedTest : public SerialTargetTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(PingSpeedTest, PingWaitsForTheAnswerToCrossTheLine) {
    auto packetizer = openPacketizer(GetParam().baud);
    bootloader::PingResponse response;
    EXPECT_EQ(packetizer->ping(0, 0, &response, GetParam().baud), 0);
    EXPECT_EQ(response.version, sim::SerialTargetEngine::kPingVersion);
    EXPECT_EQ(response.options, 0);
    ASSERT_FALSE(sleeps.empty());
    EXPECT_EQ(sleeps.back(), GetParam().sleepMs);
    EXPECT_EQ(engine().stats().pings, 1);
}

INSTANTIATE_TEST_SUITE_P(Bauds, PingSpeedTest,
                         ::testing::Values(SpeedCase{115200, 20}, SpeedCase{9600, 29}));

TEST_F(SerialTargetTest, SessionPingsOnOpenAndFailsCleanlyWhenUnanswered) {
    auto config = uartConfig(target.path(), 9600);
    config.pingOnOpen = true;
    {
        Bootloader session(config);
        auto property = run(session, {"get-property", "1"});
        EXPECT_EQ(status(*property), 0u);
        EXPECT_EQ(session.getPacketizer()->framingVersion, sim::SerialTargetEngine::kPingVersion);
    }
    auto openingError = [&](const sim::SerialFaults& faults) -> std::string {
        engine().setFaults(faults);
        try {
            Bootloader session(config);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "opened";
    };
    sim::SerialFaults noAnswer;
    noAnswer.ignorePing = true;
    EXPECT_EQ(openingError(noAnswer),
              "Error: Initial ping failure: No response received for ping command.");
    sim::SerialFaults badCrc;
    badCrc.badPingCrc = true;
    EXPECT_EQ(openingError(badCrc), "Error: Initial ping failure: Invalid CRC value.");
    // The port was given back each time: it opens again.
    engine().setFaults({});
    EXPECT_EQ(openingError({}), "opened");
}

TEST_F(SerialTargetTest, FullImageWrittenAndReadBackEqual) {
    const Image image(kFullImageBytes);
    TempFile readBack("uart-readback.bin");
    {
        Bootloader session(uartConfig(target.path()));
        auto erase = run(session, {"flash-erase-region", "0xa000", "0x76000"});
        EXPECT_EQ(status(*erase), 0u);
        auto write = run(session, {"write-memory", "0xa000", image.hex});
        EXPECT_EQ(status(*write), 0u);
        EXPECT_EQ(write->getResponseDetails(), "Wrote 285240 of 285240 bytes.");
        auto read = run(session, {"read-memory", "0xa000", hexArg(kFullImageBytes), readBack.path});
        EXPECT_EQ(status(*read), 0u);
    }
    EXPECT_EQ(target.flash().read(0xa000, kFullImageBytes), image.bytes);
    EXPECT_EQ(readBack.read(), image.bytes);
    EXPECT_EQ(engine().stats().naksSent, 0);
}

TEST_F(SerialTargetTest, BadCrcOnADataFrameIsNakedOnceAndReadAgain) {
    const Image image(200, 3);
    target.flash().preload(0x20000, image.bytes);
    engine().setFaults({.frameType = sim::framing::kData, .badCrcFrames = 1});
    TempFile readBack("crc-readback.bin");
    {
        Bootloader session(uartConfig(target.path()));
        auto read = run(session, {"read-memory", "0x20000", "200", readBack.path});
        EXPECT_EQ(status(*read), 0u);
    }
    EXPECT_EQ(readBack.read(), image.bytes);
    EXPECT_EQ(engine().stats().naks, 1);
    EXPECT_TRUE(log.contains("Error: invalid crc 0x"));
}

TEST_F(SerialTargetTest, FlashThatRefusesDataAbortsThePhaseWithAckAbort) {
    // Bits already cleared cannot be set again: the first data packet is refused.
    target.flash().preload(0xa000, Bytes(64, 0x00));
    const Image image(256, 5);
    Bootloader session(uartConfig(target.path()));
    auto write = run(session, {"write-memory", "0xa000", image.hex});
    EXPECT_EQ(status(*write), 105u);
    EXPECT_EQ(write->getResponseDetails(), "Wrote 0 of 256 bytes.");
    EXPECT_TRUE(log.contains("Data phase write aborted by status 0x2712"));
    EXPECT_EQ(engine().stats().ackAbortsSent, 1);
    EXPECT_EQ(engine().stats().dataFrames, 1);
}

TEST_F(SerialTargetTest, HostAbortOfADataInPhaseIsSentAsAckAbort) {
    auto packetizer = openPacketizer();
    // read-memory 0xa000, 128 bytes: the response, then data frames.
    const Bytes command = {0x03, 0x00, 0x00, 0x02, 0x00, 0xA0, 0, 0, 0x80, 0, 0, 0};
    ASSERT_EQ(packetizer->writePacket(command.data(), 12, bootloader::kPacketType_Command), 0);
    uint8_t* packet = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(packetizer->readPacket(&packet, &length, bootloader::kPacketType_Command), 0);
    ASSERT_EQ(packetizer->readPacket(&packet, &length, bootloader::kPacketType_Data), 0);
    EXPECT_EQ(length, 32u);
    packetizer->abortPacket();
    ASSERT_EQ(packetizer->readPacket(&packet, &length, bootloader::kPacketType_Command), 0);
    ASSERT_EQ(length, 12u);
    EXPECT_EQ(packet[0], 0xA0);                    // generic response
    EXPECT_EQ(packet[4] | packet[5] << 8, 10002);  // data phase aborted
    EXPECT_EQ(engine().stats().ackAborts, 1);
}

TEST_F(SerialTargetTest, PortIsOpenedForOneUserAtATime) {
    auto openingError = [&](long speed) -> std::string {
        try {
            bootloader::UartPeripheral port(target.path().c_str(), speed);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "opened";
    };
    const std::string busy = "Error: UartPeripheral() cannot open PC UART port(" + target.path() +
                             "), speed(115200 Hz).";
    {
        bootloader::UartPeripheral first(target.path().c_str(), 115200);
        EXPECT_EQ(openingError(115200), busy);
    }
    EXPECT_EQ(openingError(115200), "opened");
    // A speed the line cannot be set to is refused, not run at another.
    EXPECT_EQ(openingError(12345), "Error: UartPeripheral() cannot open PC UART port(" +
                                       target.path() + "), speed(12345 Hz).");
}

TEST(SerialPortGone, ReadsFailAtOnceInsteadOfWaitingOut) {
    RecordingLogger log;
    auto target = std::make_unique<sim::SerialBootloaderTarget>();
    bootloader::SerialPacketizer packetizer(
        new bootloader::UartPeripheral(target->path().c_str(), 115200), 60000);
    target.reset();  // the adapter is unplugged
    uint8_t* packet = nullptr;
    uint32_t length = 0;
    // 1, not the timeout (5) after a minute: the port said it was gone.
    EXPECT_EQ(packetizer.readPacket(&packet, &length, bootloader::kPacketType_Command), 1);
}

// --- A line that misbehaves ---------------------------------------------------

class SerialFaultTest : public SerialTargetTest {
  protected:
    std::unique_ptr<bootloader::Command> getProperty(uint32_t timeoutMs = 300) {
        Bootloader session(uartConfig(target.path(), 115200, timeoutMs));
        return run(session, {"get-property", "1"});
    }
};

TEST_F(SerialFaultTest, NoiseBeforeEveryFrameIsSkipped) {
    engine().setFaults({.garbageBytes = 3});
    auto property = getProperty();
    EXPECT_EQ(status(*property), 0u);
    EXPECT_EQ(property->getResponseValues().at(1), 0x51010400u);
}

TEST_F(SerialFaultTest, WrongStartByteEndsInATimeout) {
    engine().setFaults({.startByte = 0x5B});
    auto property = getProperty();
    EXPECT_EQ(status(*property), 10004u);
    EXPECT_TRUE(log.contains("Error: read_start_byte() timedout after "));
    EXPECT_TRUE(log.contains("sendCommandGetResponse.writePacket error 5."));
}

TEST_F(SerialFaultTest, LengthAbove32IsCutAndTheFrameAskedForAgain) {
    engine().setFaults({.frameType = sim::framing::kCommand, .lengthField = 40});
    auto property = getProperty();
    EXPECT_EQ(status(*property), 0u);
    EXPECT_EQ(engine().stats().naks, 1);
    EXPECT_TRUE(log.contains("Error: invalid crc 0x"));
}

TEST_F(SerialFaultTest, WrongPacketTypeIsNoResponse) {
    engine().setFaults({.frameType = sim::framing::kCommand, .packetType = sim::framing::kData});
    auto property = getProperty();
    EXPECT_EQ(status(*property), 10004u);
    EXPECT_TRUE(log.contains("Error: read_data_packet found unexpected packet type 0xa5\r\n"));
}

TEST_F(SerialFaultTest, SilenceMidFrameEndsInATimeout) {
    engine().setFaults({.frameType = sim::framing::kCommand,
                        .silenceAfterBytes = 9});  // header and three payload bytes
    auto property = getProperty();
    EXPECT_EQ(status(*property), 10004u);
    EXPECT_TRUE(log.contains("sendCommandGetResponse.readPacket error 5."));
}

// The two loops without a count: they go on while the target answers, and
// end once the line falls silent.
TEST_F(SerialFaultTest, EndlessNakResendsUntilTheLineFallsSilent) {
    sim::SerialFaults faults;
    faults.nakFrames = -1;
    engine().setFaults(faults);
    auto packetizer = openPacketizer(115200, 300);
    std::atomic<int> result{-1};
    std::thread host([&] {
        const Bytes reset = {0x0B, 0, 0, 0};
        result = packetizer->writePacket(reset.data(), 4, bootloader::kPacketType_Command);
    });
    EXPECT_TRUE(waitFor([&] { return engine().stats().naksSent >= 20; }));
    EXPECT_EQ(result, -1);  // still resending
    faults.silent = true;
    engine().setFaults(faults);
    host.join();
    EXPECT_EQ(result, 5);
    EXPECT_EQ(engine().stats().commandFrames, 0);
}

TEST_F(SerialFaultTest, EndlessBadCrcNaksUntilTheLineFallsSilent) {
    sim::SerialFaults faults;
    faults.frameType = sim::framing::kCommand;
    faults.badCrcFrames = -1;
    engine().setFaults(faults);
    std::atomic<uint32_t> result{0xDEADu};
    std::thread host([&] { result = status(*getProperty()); });
    EXPECT_TRUE(waitFor([&] { return engine().stats().naks >= 20; }));
    EXPECT_EQ(result, 0xDEADu);  // still asking
    faults.silent = true;
    engine().setFaults(faults);
    host.join();
    EXPECT_EQ(result, 10004u);
}

}  // namespace
