// Argument rules of Command::create, the tables and the number parses.
#include "bootloader/Command.h"

#include <gtest/gtest.h>

#include "bootloader/DataPacket.h"

using namespace bootloader;

namespace {

std::unique_ptr<Command> make(std::vector<std::string> args) {
    return Command::create(args);
}

template <class T>
T* as(const std::unique_ptr<Command>& c) {
    return dynamic_cast<T*>(c.get());
}

}  // namespace

TEST(Tables, StatusTextsAndUnknownCodes) {
    EXPECT_EQ(getStatusMessage(0), "Success.");
    EXPECT_EQ(getStatusMessage(407), "QSPI Command Timeout");
    EXPECT_EQ(getStatusMessage(10004), "No response packet from target device.");
    EXPECT_EQ(getStatusMessage(10005), "No response packet from target device was expected.");
    EXPECT_EQ(getStatusMessage(10503), "No response received for command.");
    EXPECT_EQ(getStatusMessage(5), "Unknown error code (5)");
    EXPECT_EQ(getStatusMessage(107), "Unknown error code (107)");
    EXPECT_EQ(getStatusMessage(-1), "Unknown error code (-1)");
    EXPECT_EQ(getStatusMessage(0x7FFFFFFF), "Unknown error code (2147483647)");
    for (const auto& e : kCommandTable) EXPECT_EQ(e.mask, 1u << (e.tag - 1)) << e.name;
    for (size_t i = 0; i < 26; ++i) EXPECT_EQ(kPropertyTable[i].tag, i);
}

TEST(Parse, StrictAndPlainNumbers) {
    uint32_t v = 7;
    EXPECT_TRUE(stringToUint("0x1F", &v));
    EXPECT_EQ(v, 0x1Fu);
    EXPECT_TRUE(stringToUint("010", &v));
    EXPECT_EQ(v, 8u);
    EXPECT_TRUE(stringToUint("4294967295", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_FALSE(stringToUint("4294967296", &v));  // would wrap to 0
    EXPECT_FALSE(stringToUint("", &v));
    EXPECT_FALSE(stringToUint("-4", &v));
    EXPECT_FALSE(stringToUint(" -4", &v));
    v = 0;
    EXPECT_FALSE(stringToUint("12ab", &v));
    EXPECT_EQ(v, 12u);  // what was parsed stays
    EXPECT_EQ(parseNumber("0xa000"), 0xa000u);
    EXPECT_EQ(parseNumber("word"), 0u);
    EXPECT_EQ(parseNumber("12ab"), 12u);
}

TEST(Create, NamesAreExactAndCountsChecked) {
    EXPECT_TRUE(make({"reset"}));
    EXPECT_FALSE(make({"Reset"}));
    EXPECT_FALSE(make({"reset", "1"}));
    EXPECT_FALSE(make({"no-such-command"}));
    EXPECT_FALSE(make({}));
    EXPECT_TRUE(make({"flash-erase-all"}));
    EXPECT_TRUE(make({"flash-erase-all-unsecure"}));
    EXPECT_FALSE(make({"flash-erase-region", "0xa000"}));
    EXPECT_FALSE(make({"execute", "1", "2"}));
    EXPECT_TRUE(make({"execute", "1", "2", "3"}));
    EXPECT_TRUE(make({"call", "1", "2"}));
    EXPECT_TRUE(make({"receive-sb-file", "x.sb"}));
    EXPECT_TRUE(make({"configure-quadspi", "1", "0x2000"}));
    EXPECT_TRUE(make({"flash-read-resource", "0", "8", "1"}));
    EXPECT_TRUE(make({"flash-read-resource", "0", "8", "1", "out.bin"}));
    EXPECT_FALSE(make({"flash-read-resource", "0", "8"}));
    EXPECT_FALSE(make({"set-property", "10", "-1"}));
    auto sp = make({"set-property", "verify-writes", "1"});  // names are not taken
    ASSERT_TRUE(sp);
    EXPECT_EQ(as<SetProperty>(sp)->propertyTag, 0u);
}

TEST(Create, PlainAndStrictNumbersPerCommand) {
    auto erase = make({"flash-erase-region", "0xa000", "0x76000"});
    ASSERT_TRUE(erase);
    EXPECT_EQ(as<FlashEraseRegion>(erase)->startAddress, 0xa000u);
    EXPECT_EQ(as<FlashEraseRegion>(erase)->byteCount, 0x76000u);
    // The plain parse takes what it gets ...
    auto minus = make({"flash-erase-region", "start", "-4"});
    ASSERT_TRUE(minus);
    EXPECT_EQ(as<FlashEraseRegion>(minus)->startAddress, 0u);
    EXPECT_EQ(as<FlashEraseRegion>(minus)->byteCount, 0xFFFFFFFCu);
    // ... the strict one refuses.
    EXPECT_FALSE(make({"read-memory", "0", "-4"}));
    EXPECT_FALSE(make({"read-memory", "0x", "4"}));
    auto read = make({"read-memory", "0xa000", "16", "out.bin"});
    ASSERT_TRUE(read);
    EXPECT_EQ(as<ReadMemory>(read)->dataFile, "out.bin");
}

TEST(Create, FillMemoryUnits) {
    auto word = make({"fill-memory", "0", "4", "0x12345678"});
    ASSERT_TRUE(word);
    EXPECT_EQ(as<FillMemory>(word)->pattern, 0x12345678u);
    auto shortUnit = make({"fill-memory", "0", "4", "0x1234", "short"});
    ASSERT_TRUE(shortUnit);
    EXPECT_EQ(as<FillMemory>(shortUnit)->pattern, 0x12341234u);
    auto byteUnit = make({"fill-memory", "0", "4", "0x1234", "byte"});
    ASSERT_TRUE(byteUnit);
    EXPECT_EQ(as<FillMemory>(byteUnit)->pattern, 0x34343434u);
    EXPECT_TRUE(make({"fill-memory", "0", "4", "1", "word"}));
    EXPECT_FALSE(make({"fill-memory", "0", "4", "1", "long"}));
    EXPECT_FALSE(make({"fill-memory", "0", "4", "x"}));
}

TEST(Create, GetPropertyByTagOrName) {
    auto byTag = make({"get-property", "1"});
    auto byName = make({"get-property", "current-version"});
    ASSERT_TRUE(byTag && byName);
    EXPECT_EQ(as<GetProperty>(byTag)->property.tag, 1u);
    EXPECT_STREQ(as<GetProperty>(byName)->property.name, "current-version");
    for (const char* odd : {"99", "banana"}) {
        auto c = make({"get-property", odd});
        ASSERT_TRUE(c) << odd;
        EXPECT_EQ(as<GetProperty>(c)->property.tag, 255u);
        EXPECT_STREQ(as<GetProperty>(c)->property.name, "invalid-property");
    }
    auto memId = make({"get-property", "25", "1x"});  // lenient memory id
    ASSERT_TRUE(memId);
    EXPECT_EQ(as<GetProperty>(memId)->memoryId, 1u);
    auto negative = make({"get-property", "25", "-3"});
    ASSERT_TRUE(negative);
    EXPECT_EQ(as<GetProperty>(negative)->memoryId, 0u);
}

TEST(Create, KeysAndOnceData) {
    auto key = make({"flash-security-disable", "0123456789ABCDEF"});
    ASSERT_TRUE(key);
    EXPECT_EQ(as<FlashSecurityDisable>(key)->keyWord1, 0x01234567u);
    EXPECT_EQ(as<FlashSecurityDisable>(key)->keyWord2, 0x89ABCDEFu);
    EXPECT_FALSE(make({"flash-security-disable", "0123456789ABCDE"}));

    auto once4 = make({"flash-program-once", "2", "4", "AABBCCDD"});
    ASSERT_TRUE(once4);
    EXPECT_EQ(as<FlashProgramOnce>(once4)->dataWord1, 0xAABBCCDDu);
    auto once8 = make({"flash-program-once", "2", "8", "AABBCCDD11223344"});
    ASSERT_TRUE(once8);
    EXPECT_EQ(as<FlashProgramOnce>(once8)->dataWord2, 0x11223344u);
    EXPECT_FALSE(make({"flash-program-once", "2", "8", "AABBCCDD"}));  // second word missing
    EXPECT_FALSE(make({"flash-program-once", "2", "6", "AABBCCDD"}));
    EXPECT_FALSE(make({"flash-program-once", "2", "4", "AABBCC"}));
    EXPECT_TRUE(make({"flash-read-once", "1", "8"}));
    EXPECT_FALSE(make({"flash-read-once", "1", "2"}));
}

TEST(Create, WriteMemoryHexData) {
    EXPECT_FALSE(make({"write-memory", "0xa000", "{{}}"}));
    auto one = make({"write-memory", "0xa000", "{{00}}"});
    ASSERT_TRUE(one);
    EXPECT_EQ(as<WriteMemory>(one)->dataText, "{{00}}");
    EXPECT_TRUE(make({"write-memory", "0xa000", "image.bin", "16"}));  // a file, checked later
    EXPECT_FALSE(make({"write-memory", "0xa000"}));

    HexDataProducer hex;
    EXPECT_EQ(hex.initFromString("{{12 34,Ab\ncD e}}"), 5u);
    EXPECT_EQ(hex.bytes(), (std::vector<uint8_t>{0x12, 0x34, 0xAB, 0xCD, 0x0E}));
    uint8_t buffer[32];
    EXPECT_EQ(hex.getData(buffer, 3), 3u);
    EXPECT_EQ(hex.getData(buffer, 32), 2u);
    EXPECT_FALSE(hex.hasMoreData());
}
