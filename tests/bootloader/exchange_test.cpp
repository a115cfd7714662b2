// Commands over the USB HID packetizer against a scripted device: the packets
// on the wire, the response checks, the data phases and the result texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "bootloader/Command.h"
#include "bootloader/DataPacket.h"

using namespace bootloader;
using namespace testsupport;

namespace {

std::unique_ptr<Command> run(FakeLink& link, std::vector<std::string> args) {
    auto c = Command::create(args);
    EXPECT_TRUE(c) << args[0];
    if (c) c->sendTo(*link.packetizer);
    return c;
}

Bytes payloadOf(const Bytes& r) {
    uint32_t length = r[2] | (r[3] << 8);
    return Bytes(r.begin() + 4, r.begin() + 4 + length);
}

using Values = std::vector<uint32_t>;

std::string hexOf(size_t n) {
    std::string s = "{{";
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned>(i & 0xFF));
        s += b;
    }
    return s + "}}";
}

}  // namespace

TEST(Exchange, WriteMemoryOfOneHundredBytes) {
    FakeLink link;
    link.device->inputs = {generic(0, 4), generic(0, 4)};
    auto c = run(link, {"write-memory", "0xa000", hexOf(100)});
    const auto& w = link.device->writes;
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0][0], 1);
    EXPECT_EQ(payloadOf(w[0]),
              (Bytes{0x04, 0x01, 0x00, 0x02, 0x00, 0xA0, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00}));
    size_t sizes[] = {32, 32, 32, 4};
    Bytes all;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w[1 + i][0], 2);
        Bytes p = payloadOf(w[1 + i]);
        EXPECT_EQ(p.size(), sizes[i]);
        all.insert(all.end(), p.begin(), p.end());
    }
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(all[i], i);
    EXPECT_EQ(c->getResponseValues(), (Values{0}));
    EXPECT_EQ(c->getResponseDetails(), "Wrote 100 of 100 bytes.");
}

TEST(Exchange, WriteMemoryRefusedOrCutShort) {
    FakeLink link;
    link.device->inputs = {generic(10001, 4)};
    auto refused = run(link, {"write-memory", "0xa000", hexOf(100)});
    EXPECT_EQ(refused->getResponseValues(), (Values{10001}));
    EXPECT_EQ(refused->getResponseDetails(), "Wrote 0 of 100 bytes.");
    EXPECT_EQ(link.device->writes.size(), 1u);

    // Writes start failing after the first data packet: the final response
    // is still read, and silence there is a missing response.
    FakeLink broken;
    RecordingLogger logger(4);
    broken.device->inputs = {generic(0, 4)};
    broken.device->onWrite = [&](const Bytes& r) {
        if (r[0] == 2) broken.device->failWrites = true;
    };
    auto cut = run(broken, {"write-memory", "0xa000", hexOf(100)});
    EXPECT_EQ(cut->getResponseValues(), (Values{10004}));
    EXPECT_EQ(cut->getResponseDetails(), "Wrote 0 of 100 bytes.");
    EXPECT_TRUE(logger.contains("Data phase write aborted by status 0x1 Failure.\n"));
}

TEST(Exchange, WriteMemoryFromFileKeepsToTheLimit) {
    FakeLink link;
    auto path = std::filesystem::temp_directory_path() / "quorta_bl_write_limit.bin";
    {
        std::ofstream f(path, std::ios::binary);
        for (int i = 0; i < 100; ++i) f.put(static_cast<char>(i));
    }
    link.device->inputs = {generic(0, 4), generic(0, 4)};
    auto c = run(link, {"write-memory", "0", path.string(), "40"});
    ASSERT_EQ(link.device->writes.size(), 3u);
    EXPECT_EQ(payloadOf(link.device->writes[2]).size(), 8u);  // never past the limit
    EXPECT_EQ(c->getResponseDetails(), "Wrote 40 of 40 bytes.");
    std::filesystem::remove(path);

    RecordingLogger logger(4);
    auto missing = run(link, {"write-memory", "0", "/nonexistent/image.bin"});
    EXPECT_TRUE(missing->getResponseValues().empty());
    EXPECT_TRUE(logger.contains("Error: cannot open input data file '/nonexistent/image.bin'"));
}

TEST(Exchange, PlainCommandsOnTheWire) {
    FakeLink link;
    link.device->inputs = {generic(0, 2)};
    auto erase = run(link, {"flash-erase-region", "0xa000", "0x76000"});
    EXPECT_EQ(payloadOf(link.device->writes.back()),
              (Bytes{0x02, 0x00, 0x00, 0x02, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x60, 0x07, 0x00}));
    EXPECT_EQ(erase->getResponseValues(), (Values{0}));

    link.device->inputs = {generic(0, 3)};  // answers another command
    auto mismatched = run(link, {"flash-erase-region", "0xa000", "0x76000"});
    EXPECT_EQ(mismatched->getResponseValues(), (Values{10000}));

    link.device->inputs = {report(3, packet(0xA7, {0, 2}))};  // wrong response tag
    auto wrongTag = run(link, {"flash-erase-all"});
    EXPECT_EQ(wrongTag->getResponseValues(), (Values{10000}));

    link.device->inputs = {generic(105, 5)};
    auto fill = run(link, {"fill-memory", "0x10", "8", "0x1234", "short"});
    EXPECT_EQ(payloadOf(link.device->writes.back()), packet(5, {0x10, 8, 0x12341234}));
    EXPECT_EQ(fill->getResponseValues(), (Values{105}));

    link.device->inputs = {generic(0, 14)};
    run(link, {"flash-program-once", "1", "8", "0000000100000002"});
    EXPECT_EQ(payloadOf(link.device->writes.back()), packet(14, {1, 8, 1, 2}));

    auto silent = run(link, {"flash-erase-all-unsecure"});
    EXPECT_EQ(silent->getResponseValues(), (Values{10004}));
}

TEST(Exchange, ResetAndExecuteWithoutResponse) {
    FakeLink link;
    RecordingLogger logger(4);
    auto reset = run(link, {"reset"});
    EXPECT_EQ(payloadOf(link.device->writes.back()), (Bytes{0x0B, 0, 0, 0}));
    EXPECT_EQ(reset->getResponseValues(), (Values{0}));
    EXPECT_TRUE(logger.contains("Ignoring missing response from reset command.\n"));

    auto exec = run(link, {"execute", "0xa000", "0", "0x20010000"});
    EXPECT_EQ(exec->getResponseValues(), (Values{0}));
    EXPECT_TRUE(logger.contains("Ignoring missing response from execute command.\n"));

    link.device->inputs = {generic(10001, 11)};  // an answer that is not success stands
    EXPECT_EQ(run(link, {"reset"})->getResponseValues(), (Values{10001}));
}

TEST(Exchange, GetPropertyListAndTexts) {
    FakeLink link;
    RecordingLogger logger(4);
    auto list = run(link, {"get-property", "list-properties"});
    EXPECT_TRUE(link.device->writes.empty());
    EXPECT_EQ(list->getResponseValues(), (Values{10005}));
    EXPECT_TRUE(logger.contains("The possible properties for the get-property command are\n"));
    EXPECT_TRUE(logger.contains("    25 or 'external-memory-attributes'\n"));

    struct Case {
        std::vector<std::string> args;
        std::vector<uint32_t> words;
        const char* text;
    } cases[] = {
        {{"get-property", "18"},
         {0x11112222, 0x33334444, 0xAAAA0001},
         "Unique Device ID = 1111 2222 3333 4444 AAAA 0001"},
        {{"get-property", "20"}, {2048}, "Flash Access Segment Size = 2 KB"},
        {{"get-property", "21"}, {8}, "Flash Access Segment Count = 8"},
        {{"get-property", "23"}, {405}, "QSPI Init Status = QSPI Not Configured."},
        {{"get-property", "22"}, {7}, "Flash read margin level = UNKNOWN (7)"},
        {{"get-property", "2"},
         {0x1FF},
         "Available Peripherals = UART, I2C Slave, SPI Slave, "
         "CAN, USB HID, USB CDC, USB DFU"},
        {{"get-property", "25", "1"},
         {0x1F, 0x68000000, 8192, 256, 4096, 65536},
         "QuadSPI Attributes: Start Address = 0x68000000  Total Size = 8 MB  Page Size = 256 "
         "bytes  Sector Size = 4 KB  Block Size = 64 KB "},
        {{"get-property", "25"}, {0x2, 0, 1, 0, 0, 0}, "UNKNOWN Attributes: Total Size = 1 KB  "},
        {{"get-property", "12"},
         {0, 0x3FFF, 0x20000000, 0x20000000},
         "Reserved Regions = Flash: 0x0-0x3FFF (16 KB), RAM: 0x20000000-0x20000000 (0 bytes)"},
    };
    for (const auto& k : cases) {
        std::vector<uint32_t> params = {0};
        params.insert(params.end(), k.words.begin(), k.words.end());
        link.device->inputs = {report(3, packet(0xA7, params))};
        auto c = run(link, k.args);
        EXPECT_EQ(c->getResponseDetails(), k.text) << k.args[1];
        EXPECT_EQ(c->getResponseValues().size(), 1 + k.words.size());
    }
    EXPECT_EQ(payloadOf(link.device->writes.back()), packet(7, {12, 0}));
}

TEST(Exchange, MalformedPropertyResponsesAreRecordedNotTrusted) {
    FakeLink link;
    RecordingLogger logger(4);
    // Announces seven words, carries two: only what arrived is used.
    Bytes truncated = packet(0xA7, {0, 0x4B010400});
    truncated[3] = 7;
    link.device->inputs = {report(3, truncated)};
    auto c = run(link, {"get-property", "1"});
    EXPECT_EQ(c->getResponseValues(), (Values{0, 0x4B010400}));
    EXPECT_EQ(c->getResponseDetails(), "Current Version = K1.4.0");
    EXPECT_TRUE(logger.contains("announces 7 parameters but carries 2"));

    // Too few words for the text: no text, a warning.
    link.device->inputs = {report(3, packet(0xA7, {0, 1, 2}))};
    auto regions = run(link, {"get-property", "12"});
    EXPECT_EQ(regions->getResponseDetails(), "");

    link.device->inputs = {report(3, packet(0xA7, {0, 1}, kCommandFlag_HasDataPhase))};
    EXPECT_EQ(run(link, {"get-property", "1"})->getResponseValues(), (Values{10000}));

    link.device->inputs = {report(3, packet(0xA3, {0, 4}))};
    EXPECT_EQ(run(link, {"get-property", "1"})->getResponseValues(), (Values{10000}));

    link.device->inputs = {generic(10300, 7)};
    EXPECT_EQ(run(link, {"get-property", "9"})->getResponseValues(), (Values{10300}));

    link.device->inputs = {report(3, {0xA0, 0})};  // shorter than a header
    EXPECT_EQ(run(link, {"get-property", "1"})->getResponseValues(), (Values{10000}));
}

TEST(Exchange, ReadMemoryToFile) {
    FakeLink link;
    auto path = std::filesystem::temp_directory_path() / "quorta_bl_read.bin";
    Bytes first(32), second(8);
    for (int i = 0; i < 32; ++i) first[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 8; ++i) second[i] = static_cast<uint8_t>(100 + i);
    link.device->inputs = {report(3, packet(0xA3, {0, 40})), report(4, first), report(4, second),
                           generic(0, 3)};
    auto c = run(link, {"read-memory", "0x1000", "40", path.string()});
    EXPECT_EQ(payloadOf(link.device->writes[0]), packet(3, {0x1000, 40}));
    EXPECT_EQ(c->getResponseValues(), (Values{0, 40}));
    EXPECT_EQ(c->getResponseDetails(), "Read 40 of 40 bytes.");
    std::ifstream f(path, std::ios::binary);
    Bytes got((std::istreambuf_iterator<char>(f)), {});
    Bytes want = first;
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_EQ(got, want);
    std::filesystem::remove(path);
}

TEST(Exchange, ReadMemoryTellsWhatArrived) {
    FakeLink link;
    RecordingLogger logger(4);
    auto path = std::filesystem::temp_directory_path() / "quorta_bl_read2.bin";
    // The target announces 8 of the 16 asked for.
    link.device->inputs = {report(3, packet(0xA3, {0, 8})), report(4, Bytes(8, 1)), generic(0, 3)};
    auto fewer = run(link, {"read-memory", "0", "16", path.string()});
    EXPECT_EQ(fewer->getResponseValues(), (Values{0, 8}));
    EXPECT_EQ(fewer->getResponseDetails(), "Read 8 of 16 bytes.");

    // An abort (zero-length report on a later read) mid-phase.
    link.device->inputs = {report(3, packet(0xA3, {0, 64})), report(4, Bytes(32, 1)), report(4, {}),
                           generic(10002, 3)};
    auto aborted = run(link, {"read-memory", "0", "64", path.string()});
    EXPECT_EQ(aborted->getResponseValues(), (Values{10002, 32}));
    EXPECT_TRUE(logger.contains("Data phase aborted by sender\n"));

    // Silence mid-phase.
    link.device->inputs = {report(3, packet(0xA3, {0, 64})), report(4, Bytes(32, 1))};
    auto silent = run(link, {"read-memory", "0", "64", path.string()});
    EXPECT_EQ(silent->getResponseValues(), (Values{10004, 32}));
    EXPECT_TRUE(logger.contains("Read data packet error. Sending ACK.\n"));

    // A response with a foreign tag is a failure, never a success.
    link.device->inputs = {report(3, packet(0xA7, {0, 64}))};
    auto foreign = run(link, {"read-memory", "0", "64", path.string()});
    EXPECT_EQ(foreign->getResponseValues(), (Values{10000, 0}));
    EXPECT_TRUE(
        logger.contains("Error: expected kCommandTag_ReadMemoryResponse (0xa3), received 0xa7\n"));

    link.device->inputs = {generic(10200, 3)};
    auto refused = run(link, {"read-memory", "0", "64", path.string()});
    EXPECT_EQ(refused->getResponseValues(), (Values{10200, 0}));
    EXPECT_EQ(refused->getResponseDetails(), "Read 0 of 64 bytes.");
    std::filesystem::remove(path);
}

TEST(Exchange, StdOutConsumerLayout) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    {
        StdOutDataConsumer consumer(out);
        Bytes bytes(18);
        for (int i = 0; i < 18; ++i) bytes[i] = static_cast<uint8_t>(i);
        consumer.processData(bytes.data(), 10);
        consumer.processData(bytes.data() + 10, 8);
        consumer.finalize();
    }
    std::fclose(out);
    EXPECT_STREQ(text, "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n10 11 \n");
    std::free(text);
}

TEST(Exchange, ResponseTextAndJson) {
    FakeLink link;
    RecordingLogger logger(4);
    link.device->inputs = {report(3, packet(0xA7, {0, 0x4B010400}))};
    auto c = run(link, {"get-property", "1"});
    logger.messages.clear();
    c->printResponse();
    EXPECT_EQ(logger.all(),
              "Response status = 0 (0x0) Success.\n"
              "Response word 1 = 1258357760 (0x4b010400)\n"
              "Current Version = K1.4.0\n");
    EXPECT_EQ(c->getResponse(),
              "{\n   \"command\" : \"get-property\",\n   \"response\" : [ 1258357760 ],\n"
              "   \"status\" : {\n      \"description\" : \"0 (0x0) Success.\",\n"
              "      \"value\" : 0\n   }\n}\n");
    logger.filterLevel = 1;  // the JSON text travels at level 1 only
    logger.messages.clear();
    c->printResponse();
    EXPECT_EQ(logger.all(), c->getResponse());

    link.device->inputs = {generic(10001, 2)};
    auto e = run(link, {"flash-erase-region", "0", "4096"});
    EXPECT_NE(e->getResponse().find("\"description\" : \"10001 (0x2711) Command disallowed when "
                                    "security is enabled.\""),
              std::string::npos);
    EXPECT_NE(e->getResponse().find("\"response\" : []"), std::string::npos);
}
