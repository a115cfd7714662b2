// The USB HID packetizer and peripheral against a scripted device.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "bootloader/Command.h"

using namespace bootloader;
using namespace testsupport;

namespace {

status_t readOne(FakeLink& link, PacketType type, uint32_t* length, uint8_t** p = nullptr) {
    uint8_t* packet = nullptr;
    status_t s = link.packetizer->readPacket(&packet, length, type);
    if (p) *p = packet;
    return s;
}

}  // namespace

TEST(UsbHidPacketizer, OutputReports) {
    FakeLink link;
    uint8_t five[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(link.packetizer->writePacket(five, 5, kPacketType_Command), 0);
    Bytes expected(36, 0);
    expected[0] = 1;
    expected[2] = 5;
    for (int i = 0; i < 5; ++i) expected[4 + i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(link.device->writes.back(), expected);

    uint8_t data[32];
    for (int i = 0; i < 32; ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(link.packetizer->writePacket(data, 32, kPacketType_Data), 0);
    const Bytes& r = link.device->writes.back();
    EXPECT_EQ(r[0], 2);
    EXPECT_EQ(r[2], 0x20);
    EXPECT_EQ(r[3], 0x00);
    EXPECT_EQ(Bytes(r.begin() + 4, r.end()), Bytes(data, data + 32));

    RecordingLogger logger(4);
    EXPECT_EQ(link.packetizer->writePacket(data, 4, static_cast<PacketType>(2)), 1);
    EXPECT_TRUE(logger.contains("usbhid: unsupported packet type 2\n"));
    EXPECT_NE(link.packetizer->writePacket(data, 33, kPacketType_Data), 0);
    link.device->failWrites = true;
    EXPECT_EQ(link.packetizer->writePacket(data, 4, kPacketType_Data), 1);
}

TEST(UsbHidPacketizer, AbortReportThenDrain) {
    FakeLink link;
    link.device->inputs = {generic(0, 3), report(4, Bytes(32, 1))};
    link.packetizer->abortPacket();
    Bytes expected(36, 0);
    expected[0] = 1;
    ASSERT_EQ(link.device->writes.size(), 1u);
    EXPECT_EQ(link.device->writes[0], expected);
    EXPECT_TRUE(link.device->inputs.empty());
    EXPECT_EQ(link.device->reads, 3);  // two reports, then silence

    // A device that fails every read ends the drain at once.
    link.device->reads = 0;
    for (int i = 0; i < 10; ++i) link.device->inputs.push_back({{}, -1});
    link.packetizer->drainInput();
    EXPECT_EQ(link.device->reads, 1);
}

TEST(UsbHidPacketizer, RefusesWrongIdsShortPacketsAndLongLengths) {
    FakeLink link;
    RecordingLogger logger(4);
    uint32_t length = 99;
    link.device->inputs.push_back(report(4, Bytes(8, 0)));
    EXPECT_EQ(readOne(link, kPacketType_Command, &length), 1);
    EXPECT_TRUE(logger.contains("usbhid: received unexpected report=4\n"));
    EXPECT_EQ(length, 0u);

    link.device->inputs.push_back(report(3, Bytes(32, 7), 32, 20));
    EXPECT_EQ(readOne(link, kPacketType_Command, &length), 1);
    EXPECT_TRUE(logger.contains("usbhid: received only 16 bytes of packet with length 32\n"));

    link.device->inputs.push_back(report(4, Bytes(32, 7), 40));
    EXPECT_EQ(readOne(link, kPacketType_Data, &length), 1);
    EXPECT_TRUE(logger.contains("usbhid: received only 32 bytes of packet with length 40\n"));

    link.device->inputs.push_back(report(3, {}, 0xFFFF));
    EXPECT_EQ(readOne(link, kPacketType_Command, &length), 1);

    EXPECT_EQ(readOne(link, static_cast<PacketType>(7), &length), 1);
    EXPECT_TRUE(logger.contains("usbhid: unsupported packet type 7\n"));
}

TEST(UsbHidPacketizer, ShortReadsTimeoutsAndErrors) {
    FakeLink link;
    uint32_t length = 0;
    link.device->inputs.push_back(report(3, {}, 0, 2));
    status_t s = readOne(link, kPacketType_Command, &length);
    EXPECT_EQ(s, 5);
    EXPECT_EQ(getStatusMessage(s), "Unknown error code (5)");
    EXPECT_EQ(readOne(link, kPacketType_Command, &length), 5);  // silence
    link.device->inputs.push_back({{}, -1});
    EXPECT_EQ(readOne(link, kPacketType_Command, &length), 1);
}

// Right after a write a zero-length report is noise and is read again; a
// later read call hands it up as the device's abort.
TEST(UsbHidPacketizer, ZeroLengthReports) {
    FakeLink link;
    RecordingLogger logger(4);
    uint8_t cmd[4] = {3, 0, 0, 0};
    link.packetizer->writePacket(cmd, 4, kPacketType_Command);
    link.device->inputs = {report(4, {}), report(4, Bytes(32, 9)), report(4, {})};
    uint32_t length = 0;
    uint8_t* p = nullptr;
    link.device->reads = 0;
    ASSERT_EQ(readOne(link, kPacketType_Data, &length, &p), 0);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(p[0], 9);
    EXPECT_EQ(link.device->reads, 2);
    EXPECT_TRUE(logger.contains("usbhid: received data phase abort\n"));

    ASSERT_EQ(readOne(link, kPacketType_Data, &length, &p), 0);  // second call
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(link.device->reads, 3);

    // Only zero-length reports after a write: at most 50 reads in one call.
    link.packetizer->writePacket(cmd, 4, kPacketType_Command);
    for (int i = 0; i < 80; ++i) link.device->inputs.push_back(report(3, {}));
    link.device->reads = 0;
    ASSERT_EQ(readOne(link, kPacketType_Command, &length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(link.device->reads, 50);
}

TEST(UsbHidPacketizer, AbortPollingBeforeDataOut) {
    FakeLink link;
    RecordingLogger logger(4);
    uint8_t data[8] = {};
    link.packetizer->abortEnabled = true;
    link.device->inputs.push_back(report(4, {}));
    EXPECT_EQ(link.packetizer->writePacket(data, 8, kPacketType_Data), kStatus_AbortDataPhase);
    EXPECT_TRUE(link.device->writes.empty());
    EXPECT_TRUE(logger.contains("usb hid detected receiver data abort\n"));
    // Nothing waiting: the packet goes out; commands are never held back.
    EXPECT_EQ(link.packetizer->writePacket(data, 8, kPacketType_Data), 0);
    link.device->inputs.push_back(report(4, {}));
    EXPECT_EQ(link.packetizer->writePacket(data, 4, kPacketType_Command), 0);
    EXPECT_EQ(link.device->writes.size(), 2u);
}

TEST(UsbHidPeripheral, OpenFailureNamesBothIds) {
    hidport::ScopedContext hid(hidport::Backend::Simulated);
    try {
        UsbHidPeripheral p(0x2B29, 0x4C, "000001");
        FAIL() << "opened a device that is not there";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "Error: UsbHidPeripheral() cannot open USB HID device (vid=0x2b29, "
                     "pid=0x004c).");
    }
    FakeLink link;            // a context of its own, where the peripheral opens
    link.packetizer.reset();  // closes and exits
    EXPECT_EQ(hidport::exitCount(), 1);
}
