// The radio version text as the GPS sends it, filtered and parsed, and the
// check value of the radio image.
#include <gtest/gtest.h>

#include <string>

#include "core/Nordic.h"

namespace {

int32_t buildOf(const std::string& raw) {
    core::RadioVersion v = core::parseRadioVersion(core::filterRadioVersionText(raw));
    return v.build.value_or(-1);
}

TEST(RadioVersionText, FilterKeepsTheVersionCharactersOnly) {
    EXPECT_EQ(core::filterRadioVersionText("nRF VERSION: 2.10.31.39"), "nR0VERSION:02.10.31.39");
    EXPECT_EQ(core::filterRadioVersionText("\x01\x0a"
                                           "VERSION 1.2\r\n\xff"),
              "VERSION01.2");
    // Stops at the first NUL.
    EXPECT_EQ(core::filterRadioVersionText(std::string("VER\0SION", 8)), "VER");
}

TEST(RadioVersionText, BuildNumbers) {
    EXPECT_EQ(buildOf("nRF VERSION: 2.10.31.39"), 1031039);
    EXPECT_EQ(buildOf("VERSION 1.13.33.26"), 1333026);
    EXPECT_EQ(buildOf("VERSION 1.10.2.7"), 102007);
    EXPECT_EQ(buildOf("VERSION 1.10.2.1234"), 102123);  // first three build digits
    EXPECT_EQ(buildOf("VERSION 1.10.2."), 102);         // no build digits
    core::RadioVersion v =
        core::parseRadioVersion(core::filterRadioVersionText("nRF VERSION: 2.10.31.39"));
    EXPECT_EQ(v.dots, 3);
    EXPECT_EQ(v.digits, "1031039");
}

TEST(RadioVersionText, OddVersionsAreNotMisread) {
    // Two dots: no build at all.
    core::RadioVersion two = core::parseRadioVersion("VERSION:2.10.31");
    EXPECT_EQ(two.dots, 2);
    EXPECT_FALSE(two.build);
    // Four dots, or none.
    EXPECT_FALSE(core::parseRadioVersion("VERSION:2.10.31.39.1").build);
    EXPECT_FALSE(core::parseRadioVersion("VERSION").build);
    // Digits that cannot be a build number are not wrapped into one.
    EXPECT_FALSE(core::parseRadioVersion("VERSION:1.99999999.99999999.1").build);
    EXPECT_EQ(buildOf("VERSION 1.99999.0.999"), 999990999);
}

TEST(ImageCrc16, CheckValueAndEmptyInput) {
    const std::string check = "123456789";
    EXPECT_EQ(core::imageCrc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()),
              0x29B1);
    EXPECT_EQ(core::imageCrc16(nullptr, 0), 0xFFFF);
}

}  // namespace
