#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "CoreTestSupport.h"
#include "ScriptedLinkDevice.h"
#include "core/CommandLink.h"

namespace {

using testing_support::attachScriptedDevice;
using testing_support::badCrcReport;
using testing_support::Bytes;
using testing_support::deviceTextReport;
using testing_support::inputReport;
using testing_support::replyReport;

class CommandLinkTest : public testing_support::CoreTest {};

TEST(LinkCrc16, CheckValues) {
    const char* text = "123456789";
    EXPECT_EQ(core::linkCrc16(reinterpret_cast<const uint8_t*>(text), 9), 0x31C3);
    const uint8_t one[1] = {0x06};
    EXPECT_EQ(core::linkCrc16(one, 1), 0x60C6);
    const uint8_t opcode22[1] = {0x22};
    EXPECT_EQ(core::linkCrc16(opcode22, 1), 0x0420);
    EXPECT_EQ(core::linkCrc16(nullptr, 0), 0x0000);
}

// Every command as it leaves the host: one 65-byte report, id 0, the frame,
// 0xFF to the end.
TEST_F(CommandLinkTest, CommandReportsCarryTheExactFrames) {
    auto device = attachScriptedDevice();
    hidport::hid_device* h = hidport::hid_open(0x2B29, 0x55, nullptr);
    ASSERT_NE(h, nullptr);

    struct Case {
        uint8_t opcode;
        Bytes frame;
    };
    const std::vector<Case> plain = {
        {core::READ_DEVICE_INFO, {0x01, 0x06, 0xC6, 0x60, 0x04}},
        {core::NORDIC_ERASE_KEYS, {0x01, 0x07, 0xE7, 0x70, 0x04}},
        {core::JUMP_TO_BL, {0x01, 0x09, 0x29, 0x91, 0x04}},
        {core::FACTORY_RESET, {0x01, 0x0D, 0xAD, 0xD1, 0x04}},
        {core::NRF_GET_VERSION, {0x01, 0x3A, 0x19, 0x97, 0x04}},
        {core::KANJI_PROGRAM_FLASH, {0x01, 0x40, 0xC4, 0x48, 0x04}},
        {0x22, {0x01, 0x22, 0x20, 0x10, 0x04, 0x04}},  // CRC 0x0420: its 0x04 is escaped
    };
    for (const Case& c : plain) EXPECT_TRUE(core::sendLinkCommand(c.opcode, h));
    EXPECT_TRUE(core::sendLinkCommandWithArgs(core::UPDATE_NORDIC, h, 0x1234, 0x12345));
    hidport::hid_close(h);

    ASSERT_EQ(device->written.size(), plain.size() + 1);
    auto check = [](const Bytes& report, const Bytes& frame) {
        ASSERT_EQ(report.size(), 65u);
        EXPECT_EQ(report[0], 0x00);
        EXPECT_EQ(Bytes(report.begin() + 1, report.begin() + 1 + static_cast<long>(frame.size())),
                  frame);
        for (size_t i = 1 + frame.size(); i < report.size(); ++i) EXPECT_EQ(report[i], 0xFF) << i;
    };
    for (size_t i = 0; i < plain.size(); ++i) check(device->written[i], plain[i].frame);
    check(device->written.back(),
          {0x01, 0x0E, 0x34, 0x12, 0x45, 0x23, 0x10, 0x01, 0x00, 0x02, 0x65, 0x04});
}

// --- Decoder -----------------------------------------------------------------

struct Decoded {
    bool complete;
    size_t length;
    Bytes bytes;
};

Decoded decode(const Bytes& report, size_t capacity = 64) {
    Bytes reply(capacity, 0xEE);
    size_t length = 99;
    bool complete = core::decodeLinkReport(report, reply, &length);
    return {complete, length, Bytes(reply.begin(), reply.begin() + static_cast<long>(length))};
}

TEST(LinkDecoder, StopsAtTheFrameEndAndStoresNoPadding) {
    Decoded d = decode(inputReport({0x01, 0x06, 0xC6, 0x60, 0x04}));
    EXPECT_TRUE(d.complete);
    EXPECT_EQ(d.bytes, (Bytes{0x06, 0xC6, 0x60}));
}

TEST(LinkDecoder, EscapesAndRestarts) {
    // Payload 06 01 02: the data byte 0x01 travels escaped and is kept.
    Bytes payload{0x06, 0x01, 0x02};
    Bytes frame = core::encodeLinkFrame(payload);
    ASSERT_EQ(frame[2], 0x10);
    Decoded escaped = decode(inputReport(frame));
    EXPECT_TRUE(escaped.complete);
    EXPECT_EQ(Bytes(escaped.bytes.begin(), escaped.bytes.begin() + 3), payload);

    // An unescaped 0x01 throws away what came before it.
    Bytes noisy{0x33, 0x44, 0x01, 0x55};
    noisy.insert(noisy.end(), frame.begin(), frame.end());
    Decoded restarted = decode(inputReport(noisy));
    EXPECT_TRUE(restarted.complete);
    EXPECT_EQ(restarted.bytes[0], 0x06);
    EXPECT_EQ(restarted.length, 5u);
}

TEST(LinkDecoder, EndByteWithFewerThanTwoBytesIsIgnored) {
    Decoded early = decode(inputReport({0x04, 0x01, 0x06, 0xC6, 0x60, 0x04}));
    EXPECT_TRUE(early.complete);
    EXPECT_EQ(early.bytes, (Bytes{0x06, 0xC6, 0x60}));

    Decoded one = decode({0x01, 0x06, 0x04, 0x07});
    EXPECT_FALSE(one.complete);
    EXPECT_EQ(one.bytes, (Bytes{0x06, 0x07}));
}

TEST(LinkDecoder, DamagedFramesAreNeverComplete) {
    // Wrong CRC: the end byte is passed over and the padding is stored.
    Decoded badCrc = decode(inputReport({0x01, 0x06, 0xC6, 0x61, 0x04}));
    EXPECT_FALSE(badCrc.complete);
    EXPECT_EQ(badCrc.length, 62u);
    // Cut by the report's end.
    Decoded cut = decode({0x01, 0x06, 0xC6});
    EXPECT_FALSE(cut.complete);
    EXPECT_EQ(cut.bytes, (Bytes{0x06, 0xC6}));
    // An escape byte as the last byte.
    Decoded dangling = decode({0x01, 0x06, 0x10});
    EXPECT_FALSE(dangling.complete);
    EXPECT_EQ(dangling.bytes, (Bytes{0x06}));
    // No frame at all.
    Decoded none = decode(Bytes(64, 0xFF));
    EXPECT_FALSE(none.complete);
    // Only the CRC of an empty payload (index 2) is not a frame.
    Decoded empty = decode({0x01, 0x00, 0x00, 0x04});
    EXPECT_FALSE(empty.complete);
}

TEST(LinkDecoder, NeverWritesPastTheReplyBuffer) {
    Bytes reply(8, 0xEE);
    Bytes guard(8, 0xAB);
    size_t length = 0;
    core::decodeLinkReport(Bytes(64, 0x42), std::span(reply.data(), 4), &length);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(reply[4], 0xEE);
}

// --- Transaction ---------------------------------------------------------------

TEST_F(CommandLinkTest, EchoedReplyAfterDeviceText) {
    auto device = attachScriptedDevice();
    device->script = {deviceTextReport("Hello from GPS\r\n"),
                      replyReport({0x06, 0x41, 7, 62, 0, 0})};
    std::array<uint8_t, 64> reply{};
    size_t length = 0;
    EXPECT_TRUE(core::linkTransaction(core::READ_DEVICE_INFO, reply, &length));
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(reply[1], 0x41);
    EXPECT_TRUE(logged("Hello from GPS\r\n"));
    EXPECT_EQ(logLines().front(), "\r\nOpening HID device\r\n");
    EXPECT_TRUE(logged("Sending command\r\n"));
    EXPECT_TRUE(logged("Waiting for response\r\n"));
    EXPECT_EQ(device->closes, 1);
    ASSERT_EQ(device->written.size(), 1u);
    EXPECT_EQ(device->written[0][2], core::READ_DEVICE_INFO);
}

TEST_F(CommandLinkTest, ThirdUnexpectedReplyEndsTheWait) {
    auto device = attachScriptedDevice();
    for (int i = 0; i < 3; ++i) device->script.push_back(replyReport({0x21, 0x00}));
    device->script.push_back(replyReport({0x06, 0x05, 7, 62, 0, 0}));
    std::array<uint8_t, 64> reply{};
    EXPECT_FALSE(core::linkTransaction(core::READ_DEVICE_INFO, reply));
    EXPECT_EQ(countLog("Unexpected command\r\n"), 3);
    EXPECT_EQ(device->reads, 3);
    EXPECT_EQ(device->closes, 1);
}

TEST_F(CommandLinkTest, TwoUnexpectedRepliesThenTheEcho) {
    auto device = attachScriptedDevice();
    device->script = {replyReport({0x21}), replyReport({0x3A, 0x01}),
                      replyReport({0x06, 0x05, 7, 62, 0, 0})};
    std::array<uint8_t, 64> reply{};
    EXPECT_TRUE(core::linkTransaction(core::READ_DEVICE_INFO, reply));
    EXPECT_EQ(countLog("Unexpected command\r\n"), 2);
}

TEST_F(CommandLinkTest, SilentDeviceEndsAfterThreeEmptyReads) {
    auto device = attachScriptedDevice();
    // A text line first, so the buffer's first byte would say "keep waiting".
    device->script = {deviceTextReport("busy\r\n")};
    std::array<uint8_t, 64> reply{};
    EXPECT_FALSE(core::linkTransaction(core::READ_DEVICE_INFO, reply));
    EXPECT_EQ(device->reads, 4);
    EXPECT_EQ(countLog("No response from device\r\n"), 3);
    EXPECT_EQ(device->closes, 1);
}

TEST_F(CommandLinkTest, DamagedEchoIsNotAccepted) {
    auto device = attachScriptedDevice();
    device->script = {badCrcReport({0x06, 0x05, 7, 62, 0, 0}),
                      inputReport({0x01, 0x06, 0x05, 0x07}),  // cut: no CRC, no end
                      replyReport({0x06, 0x05, 7, 62, 0, 0})};
    std::array<uint8_t, 64> reply{};
    size_t length = 0;
    EXPECT_TRUE(core::linkTransaction(core::READ_DEVICE_INFO, reply, &length));
    EXPECT_EQ(countLog("Damaged response (CRC mismatch)\r\n"), 2);
    EXPECT_EQ(length, 8u);

    device->script = {badCrcReport({0x06, 5, 7, 62, 0, 0}), badCrcReport({0x06, 5, 7, 62, 0, 0}),
                      badCrcReport({0x06, 5, 7, 62, 0, 0}), replyReport({0x06, 5, 7, 62, 0, 0})};
    EXPECT_FALSE(core::linkTransaction(core::READ_DEVICE_INFO, reply, &length));
    EXPECT_EQ(length, 0u);
}

TEST_F(CommandLinkTest, EndlessDeviceTextDoesNotHoldTheCaller) {
    auto device = attachScriptedDevice();
    for (int i = 0; i < 200; ++i) device->script.push_back(deviceTextReport("tick\r\n"));
    std::array<uint8_t, 64> reply{};
    EXPECT_FALSE(core::linkTransaction(core::READ_DEVICE_INFO, reply));
    EXPECT_EQ(countLog("tick\r\n"), 64);
    EXPECT_EQ(device->reads, 67);
}

TEST_F(CommandLinkTest, DeviceTextIsMadeSafeForTheLog) {
    auto device = attachScriptedDevice();
    device->script = {replyReport({0x0A, 'o', 'k', 0x07, 0x1B, '\r', '\n', 0, 'x'}),
                      replyReport({0x06, 5, 7, 62, 0, 0})};
    std::array<uint8_t, 64> reply{};
    EXPECT_TRUE(core::linkTransaction(core::READ_DEVICE_INFO, reply));
    EXPECT_TRUE(logged("ok..\r\n"));
}

TEST_F(CommandLinkTest, DeviceThatCannotBeOpened) {
    std::array<uint8_t, 64> reply{};
    EXPECT_FALSE(core::linkTransaction(core::READ_DEVICE_INFO, reply));
    EXPECT_EQ(logLines(), (std::vector<std::string>{"\r\nOpening HID device\r\n",
                                                    "Failed to open HID device\r\n"}));
    auto device = attachScriptedDevice();
    device->refuseOpen = true;
    EXPECT_FALSE(core::linkTransaction(core::READ_DEVICE_INFO, reply));
    EXPECT_EQ(device->written.size(), 0u);
}

}  // namespace
