// The serial framing on a scripted line: frame bytes, acknowledgements, the
// CRC and NAK rules, the target's ping, and the host's ping.
#include <gtest/gtest.h>

#include <memory>

#include "SerialTestSupport.h"
#include "bootloader/SerialPacketizer.h"
#include "bootloader/UartPeripheral.h"

using namespace serialtest;
using bootloader::kPacketType_Command;
using bootloader::kPacketType_Data;
using bootloader::SerialPacketizer;

namespace {

const Bytes kAck = {0x5A, 0xA1};
const Bytes kNak = {0x5A, 0xA2};
const Bytes kAckAbort = {0x5A, 0xA3};
const Bytes kResetPacket = {0x0B, 0x00, 0x00, 0x00};
const Bytes kResetFrame = {0x5A, 0xA4, 0x04, 0x00, 0x6F, 0x46, 0x0B, 0x00, 0x00, 0x00};

class SerialPacketizerTest : public ::testing::Test {
  protected:
    SerialPacketizerTest() : line(new ScriptedLine), packetizer(line, 50) {
        packetizer.setSleepFunction([this](uint32_t ms) { sleeps.push_back(ms); });
    }

    Bytes readOne(bootloader::PacketType type, bootloader::status_t* status = nullptr) {
        uint8_t* packet = nullptr;
        uint32_t length = 0;
        bootloader::status_t s = packetizer.readPacket(&packet, &length, type);
        if (status) *status = s;
        return packet ? Bytes(packet, packet + length) : Bytes{};
    }

    RecordingLogger log{7};
    ScriptedLine* line;  // owned by the packetizer
    SerialPacketizer packetizer;
    std::vector<uint32_t> sleeps;
};

TEST_F(SerialPacketizerTest, ResetCommandTravelsAsItsFrameAndAnAckEndsTheWrite) {
    line->add(kAck);
    EXPECT_EQ(packetizer.writePacket(kResetPacket.data(), 4, kPacketType_Command), 0);
    ASSERT_EQ(line->writes.size(), 1u);
    EXPECT_EQ(line->writes[0], kResetFrame);

    // A data packet goes out as type A5 with its CRC over header and payload.
    const Bytes data = {1, 2, 3};
    line->add(kAck);
    EXPECT_EQ(packetizer.writePacket(data.data(), 3, kPacketType_Data), 0);
    EXPECT_EQ(line->writes[1], frame(0xA5, data));
}

TEST_F(SerialPacketizerTest, OversizedOrMissingPacketsAreRefusedWithNothingSent) {
    Bytes big(33, 0x11);
    EXPECT_EQ(packetizer.writePacket(big.data(), 33, kPacketType_Command), 4);
    EXPECT_EQ(packetizer.writePacket(nullptr, 0, kPacketType_Command), 4);
    EXPECT_TRUE(line->writes.empty());
    EXPECT_EQ(log.count("Error: invalid packet or packet size 33\r\n"), 1);
    EXPECT_EQ(log.count("Error: invalid packet or packet size 0\r\n"), 1);
    // The largest packet is fine.
    Bytes full(32, 0x22);
    line->add(kAck);
    EXPECT_EQ(packetizer.writePacket(full.data(), 32, kPacketType_Data), 0);
    EXPECT_EQ(line->writes.at(0).size(), 38u);
}

TEST_F(SerialPacketizerTest, AnswersToAFrame) {
    // NAK: the very same frame again, until an ACK.
    line->add(concat({kNak, kNak, kAck}));
    EXPECT_EQ(packetizer.writePacket(kResetPacket.data(), 4, kPacketType_Command), 0);
    ASSERT_EQ(line->writes.size(), 3u);
    EXPECT_EQ(line->writes[1], kResetFrame);
    EXPECT_EQ(line->writes[2], kResetFrame);

    // ACK-abort stops a data phase.
    line->writes.clear();
    line->add(kAckAbort);
    EXPECT_EQ(packetizer.writePacket(kResetPacket.data(), 4, kPacketType_Data), 10002);
    EXPECT_EQ(line->writes.size(), 1u);

    // Anything else is no acknowledgement; noise before the start byte is skipped.
    line->add({0x00, 0x13, 0x5A, 0xA7});
    EXPECT_EQ(packetizer.writePacket(kResetPacket.data(), 4, kPacketType_Command), 10501);
    EXPECT_TRUE(log.contains(
        "Error: Unexpected sync byte 0xa7 received, expected Ack, AckAbort or Nak\r\n"));

    // Silence: the start byte never comes.
    EXPECT_EQ(packetizer.writePacket(kResetPacket.data(), 4, kPacketType_Command), 5);
    EXPECT_TRUE(log.contains("Error: read_start_byte() timedout after "));
}

TEST_F(SerialPacketizerTest, AReceivedPacketIsAcknowledgedLazily) {
    const Bytes response = genericResponse(0, 0x0B);
    line->add(frame(0xA4, response));
    EXPECT_EQ(readOne(kPacketType_Command), response);
    EXPECT_TRUE(line->writes.empty());  // no ACK yet
    EXPECT_TRUE(packetizer.isAckNeeded());

    // The next write sends it first, then waits 100 ms before the frame.
    line->add(kAck);
    EXPECT_EQ(packetizer.writePacket(kResetPacket.data(), 4, kPacketType_Command), 0);
    ASSERT_EQ(line->writes.size(), 2u);
    EXPECT_EQ(line->writes[0], kAck);
    EXPECT_EQ(line->writes[1], kResetFrame);
    EXPECT_EQ(sleeps, std::vector<uint32_t>{100});
    EXPECT_FALSE(packetizer.isAckNeeded());

    // flush sends it too; abortPacket turns it into ACK-abort.
    line->add(frame(0xA5, {9, 9}));
    readOne(kPacketType_Data);
    packetizer.flush();
    EXPECT_EQ(line->writes.back(), kAck);
    line->add(frame(0xA5, {8}));
    readOne(kPacketType_Data);
    packetizer.abortPacket();
    EXPECT_FALSE(packetizer.isAckNeeded());
    packetizer.flush();
    EXPECT_EQ(line->writes.back(), kAckAbort);
    const size_t before = line->writes.size();
    packetizer.flush();  // nothing pending any more
    EXPECT_EQ(line->writes.size(), before);
}

TEST_F(SerialPacketizerTest, ABadCrcIsNakedAndReadAgain) {
    Bytes bad = frame(0xA5, {1, 2, 3, 4});
    bad[4] ^= 0x01;
    const uint16_t received = bad[4] | bad[5] << 8;
    line->add(bad);
    line->add(frame(0xA5, {1, 2, 3, 4}));
    EXPECT_EQ(readOne(kPacketType_Data), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(line->writes, std::vector<Bytes>{kNak});
    char text[64];
    std::snprintf(text, sizeof text, "Error: invalid crc 0x%x, expected 0x%x\r\n", received,
                  received ^ 0x01);
    EXPECT_EQ(log.count(text), 1);
}

TEST_F(SerialPacketizerTest, ALengthAbove32IsCutAndFailsItsCrc) {
    // 40 bytes announced and sent: 32 are read, the CRC cannot match, the
    // rest is noise before the frame sent again.
    Bytes payload(40, 0x00);
    line->add(frame(0xA4, payload));
    line->add(frame(0xA4, genericResponse(0, 7)));
    EXPECT_EQ(readOne(kPacketType_Command), genericResponse(0, 7));
    EXPECT_EQ(line->writes, std::vector<Bytes>{kNak});
}

TEST_F(SerialPacketizerTest, WrongFramesEndTheRead) {
    bootloader::status_t status = 0;
    line->add(frame(0xA5, {1}));
    EXPECT_TRUE(readOne(kPacketType_Command, &status).empty());
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(log.contains("Error: read_data_packet found unexpected packet type 0xa5\r\n"));

    // A frame that stops half-way: the read of the payload times out.
    Bytes cut = frame(0xA4, genericResponse(0, 7));
    cut.resize(9);
    line->input.clear();
    line->add(cut);
    EXPECT_TRUE(readOne(kPacketType_Command, &status).empty());
    EXPECT_EQ(status, 5);
    EXPECT_FALSE(packetizer.isAckNeeded());

    uint32_t length = 1;
    EXPECT_EQ(packetizer.readPacket(nullptr, &length, kPacketType_Command), 4);
    EXPECT_TRUE(log.contains("Error: invalid packet\r\n"));
}

TEST_F(SerialPacketizerTest, TheTargetsPingIsAnswered) {
    const Bytes answer = {0x5A, 0xA7, 0x03, 0x02, 0x01, 0x50, 0x00, 0x00, 0xAA, 0xEA};
    bootloader::status_t status = 0;
    line->add({0x5A, 0xA6});
    readOne(kPacketType_Command, &status);
    EXPECT_EQ(status, 10003);
    EXPECT_EQ(line->writes, std::vector<Bytes>{answer});

    // The read ends there; the frame that follows is read by the next one.
    line->add(frame(0xA4, genericResponse(0, 7)));
    EXPECT_EQ(readOne(kPacketType_Command, &status), genericResponse(0, 7));
    EXPECT_EQ(status, 0);
}

struct PingCase {
    int speed;
    uint32_t expectedSleep;
};

class SerialPingTest : public SerialPacketizerTest,
                       public ::testing::WithParamInterface<PingCase> {};

TEST_P(SerialPingTest, ReadsTheAnswerAfterItCrossedTheLine) {
    Bytes answer = {0x5A, 0xA7, 0x00, 0x03, 0x01, 0x50, 0x34, 0x12};
    crc::Crc16 ctx;
    crc::crc16Init(ctx);
    crc::crc16Update(ctx, answer.data(), answer.size());
    const uint16_t crc = crc::crc16Finalize(ctx);
    answer.push_back(static_cast<uint8_t>(crc));
    answer.push_back(static_cast<uint8_t>(crc >> 8));
    line->onWrite = [&](const Bytes& w) {
        if (w == Bytes{0x5A, 0xA6}) line->add(answer);
    };
    bootloader::PingResponse response;
    EXPECT_EQ(packetizer.ping(0, 0, &response, GetParam().speed), 0);
    EXPECT_EQ(response.version, 0x50010300u);
    EXPECT_EQ(response.options, 0x1234);
    EXPECT_EQ(packetizer.framingVersion, 0x50010300u);
    EXPECT_EQ(packetizer.framingOptions, 0x1234);
    EXPECT_EQ(sleeps, std::vector<uint32_t>{GetParam().expectedSleep});
    EXPECT_EQ(log.count("Ping responded in 1 attempt(s)\n"), 1);
    EXPECT_EQ(log.count("Framing protocol version = 0x50010300, options = 0x1234\n"), 1);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SerialPingTest,
                         ::testing::Values(PingCase{115200, 20}, PingCase{9600, 29},
                                           PingCase{57600, 21}));

TEST_F(SerialPacketizerTest, PingFailures) {
    // No start byte: every attempt pings once, with the delay after each.
    EXPECT_EQ(packetizer.ping(2, 7, nullptr, 0), 10500);
    EXPECT_EQ(line->writes.size(), 3u);
    EXPECT_EQ(sleeps.back(), 7u);

    // An answer of the wrong type.
    line->writes.clear();
    line->onWrite = [&](const Bytes&) { line->add({0x5A, 0xA1}); };
    EXPECT_EQ(packetizer.ping(0, 0, nullptr, 0), 10501);

    // A wrong CRC.
    line->input.clear();
    line->onWrite = [&](const Bytes&) {
        line->add({0x5A, 0xA7, 0x00, 0x03, 0x01, 0x50, 0x00, 0x00, 0x00, 0x00});
    };
    EXPECT_EQ(packetizer.ping(0, 0, nullptr, 0), 10502);
    EXPECT_TRUE(log.contains("Error: ping crc16 failed, received 0x0, expected 0x"));
    EXPECT_EQ(packetizer.framingVersion, 0u);

    // The second attempt is answered.
    line->input.clear();
    int pings = 0;
    line->onWrite = [&](const Bytes&) {
        if (++pings == 2) line->add(frame(0xA1, {}));  // starts 5A A1: wrong type, but seen
    };
    EXPECT_EQ(packetizer.ping(3, 0, nullptr, 0), 10501);
    EXPECT_EQ(log.count("Ping responded in 2 attempt(s)\n"), 1);
}

TEST_F(SerialPacketizerTest, AFailedAcknowledgementIsReturnedAndLogged) {
    line->add(frame(0xA4, genericResponse(0, 7)));
    readOne(kPacketType_Command);
    line->failWrites = true;
    EXPECT_EQ(packetizer.writePacket(kResetPacket.data(), 4, kPacketType_Command), 1);
    EXPECT_TRUE(log.contains("Error: cannot send sync packet 0xa1, status = 0x1\r\n"));
    EXPECT_EQ(line->writes.size(), 1u);  // the ACK only; no frame after it
}

TEST(UartPortName, DevicePathsAndOpenErrors) {
    using bootloader::UartPeripheral;
    EXPECT_EQ(UartPeripheral::portPath("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(UartPeripheral::portPath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(UartPeripheral::portPath("serial/by-id/x"), "/dev/serial/by-id/x");
    EXPECT_TRUE(UartPeripheral::isSupportedSpeed(9600));
    EXPECT_FALSE(UartPeripheral::isSupportedSpeed(12345));

    RecordingLogger log;
    auto opening = [](const char* name, long speed) -> std::string {
        try {
            UartPeripheral port(name, speed);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "opened";
    };
    EXPECT_EQ(opening("ttyQuortaMissing", 115200),
              "Error: UartPeripheral() cannot open PC UART port(ttyQuortaMissing), "
              "speed(115200 Hz).");
    EXPECT_TRUE(log.contains("/dev/ttyQuortaMissing"));
    // Not a serial port, and a speed the port cannot run at.
    EXPECT_EQ(opening("/dev/null", 9600),
              "Error: UartPeripheral() cannot open PC UART port(/dev/null), speed(9600 Hz).");
    EXPECT_EQ(opening("/dev/null", 12345),
              "Error: UartPeripheral() cannot open PC UART port(/dev/null), speed(12345 Hz).");
}

}  // namespace
