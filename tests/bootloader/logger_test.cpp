#include "bootloader/Logger.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "bootloader/Bootloader.h"

using namespace bootloader;
using namespace testsupport;

TEST(Logger, FunctionsDoNothingWithoutALogger) {
    Logger* previous = getLogger();
    setLogger(nullptr);
    logAlways("a %d", 1);
    logError("b");
    logTrace("c");
    logAt(4, "d");
    logDefault("e");
    logString(4, "f");
    logString("g");
    EXPECT_EQ(getLogger(), nullptr);
    setLogger(previous);
}

TEST(Logger, FilterLevelsAndTheJsonLevel) {
    RecordingLogger logger(7);
    logAlways("0");
    logJson("1");
    logError("2");
    logWarning("3");
    logInfo("4");
    logInfo2("5");
    logDetail("6");
    logTrace("7");
    EXPECT_EQ(logger.all(), "0234567");  // level 1 needs filter exactly 1

    logger.messages.clear();
    logger.filterLevel = 1;
    logAlways("0");
    logJson("1");
    logError("2");
    logAt(1, "x");
    EXPECT_EQ(logger.all(), "01x");

    logger.messages.clear();
    logger.filterLevel = 4;
    logger.outputLevel = 5;
    logInfo("4");
    logInfo2("5");
    logDefault("d");  // at outputLevel 5: dropped
    logString("s");   // likewise
    logger.outputLevel = 3;
    logDefault("%d", 3);  // passes
    EXPECT_EQ(logger.all(), "43");
}

TEST(Logger, FormatsLongTextsAndKeepsPlainTextLiteral) {
    RecordingLogger logger(7);
    std::string longText(1000, 'x');
    logInfo("%s|%d", longText.c_str(), 42);
    ASSERT_EQ(logger.messages.size(), 1u);
    EXPECT_EQ(logger.messages[0], longText + "|42");
    // A file name with a '%' in it is text, not a format.
    logString(4, "cannot open '100%s.bin'");
    EXPECT_EQ(logger.messages[1], "cannot open '100%s.bin'");
}

TEST(Logger, FileLoggerHandsMessagesToTheSink) {
    std::vector<std::string> seen;
    FileLogger::setSink([&](const char* t) { seen.emplace_back(t); });
    FileLogger logger("ignored");
    logger.filterLevel = 5;
    logger.log(5, "five %d", 5);
    logger.log(6, "six");
    logger.log(std::string("plain"));
    FileLogger::setSink(nullptr);
    logger.log(4, "after");  // no sink: discarded
    EXPECT_EQ(seen, (std::vector<std::string>{"five 5", "plain"}));
}

TEST(FormatSize, UnitsAndExactMultiples) {
    EXPECT_EQ(formatSize(0), "0 bytes");
    EXPECT_EQ(formatSize(1023), "1023 bytes");
    EXPECT_EQ(formatSize(1024), "1 KB");
    EXPECT_EQ(formatSize(1536), "1.500 KB");
    EXPECT_EQ(formatSize(3ull << 20), "3 MB");
    EXPECT_EQ(formatSize((1ull << 20) + 1), "1.000 MB");
    EXPECT_EQ(formatSize(1ull << 30), "1 GB");
    EXPECT_EQ(formatSize((1ull << 30) + 1), "1.000 GB");
    EXPECT_EQ(formatSize(5ull << 30), "5 GB");
}

// The byte trace at level 7: 73 calls per 36-byte report (bracket, 36 bytes,
// 35 spaces, bracket), one by one.
TEST(Logger, ByteTraceMakesSeventyThreeCallsPerReport) {
    FakeLink link;
    RecordingLogger logger(7);
    uint8_t payload[5] = {0xde, 0xad, 0xbe, 0xef, 0x01};
    ASSERT_EQ(link.packetizer->writePacket(payload, 5, kPacketType_Command), 0);
    ASSERT_EQ(logger.messages.size(), 73u);
    EXPECT_EQ(logger.messages.front(), "[");
    EXPECT_EQ(logger.messages[1], "01");
    EXPECT_EQ(logger.messages[2], " ");
    EXPECT_EQ(logger.messages[5], "05");
    EXPECT_EQ(logger.messages[9], "de");
    EXPECT_EQ(logger.messages.back(), "]\n");

    logger.messages.clear();
    link.device->inputs.push_back(generic(0, 2));
    uint8_t* p = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(link.packetizer->readPacket(&p, &n, kPacketType_Command), 0);
    ASSERT_EQ(logger.messages.size(), 73u);
    EXPECT_EQ(logger.messages.front(), "<");
    EXPECT_EQ(logger.messages.back(), ">\n");

    // Below level 7 there is no trace at all.
    logger.messages.clear();
    logger.filterLevel = 6;
    link.packetizer->writePacket(payload, 5, kPacketType_Command);
    EXPECT_TRUE(logger.messages.empty());
}

TEST(Bootloader, InstallsOneLoggerAtLevelSevenAndRefusesOtherKinds) {
    FakeLink link;
    // Run on its own (as ctest does) no logger is installed yet.
    Logger* existing = getLogger();
    PeripheralConfig config;
    config.vendorId = 0x2B29;
    config.productId = 0x05;
    config.pingOnOpen = true;  // never pings USB HID
    { Bootloader first(config); }
    Logger* installed = getLogger();
    ASSERT_NE(installed, nullptr);
    if (!existing) {
        EXPECT_EQ(installed->filterLevel, 7);
    }
    EXPECT_TRUE(link.device->writes.empty());
    { Bootloader second(config); }
    EXPECT_EQ(getLogger(), installed);  // no second logger

    config.peripheralKind = 4;
    try {
        Bootloader b(config);
        FAIL() << "kind 4 accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error: Unsupported peripheral type(4).");
    }
    config.peripheralKind = 1;  // until the serial transports exist
    EXPECT_THROW(Bootloader b(config), std::runtime_error);
}
