#include <gtest/gtest.h>

#include <regex>

#include "platform/linux/LinuxUsbDeviceList.h"

using platform::hardwareIdText;

TEST(HardwareId, IsBuiltFromTheSysfsAttributes) {
    EXPECT_EQ(hardwareIdText("2b29", "0055", "0100"), "USB\\VID_2B29&PID_0055&REV_0100");
    EXPECT_EQ(hardwareIdText("2b29\n", "0041\n", "0001\n"), "USB\\VID_2B29&PID_0041&REV_0001");
    EXPECT_EQ(hardwareIdText("15a2", "73", "2"), "USB\\VID_15A2&PID_0073&REV_0002");
    EXPECT_EQ(hardwareIdText("FFFF", "abcd", "0000"), "USB\\VID_FFFF&PID_ABCD&REV_0000");
}

TEST(HardwareId, IsEmptyWhenAnAttributeIsUnreadable) {
    EXPECT_EQ(hardwareIdText("", "0055", "0100"), "");
    EXPECT_EQ(hardwareIdText("2b29", "00550", "0100"), "");  // more than 16 bits
    EXPECT_EQ(hardwareIdText("2b29", "0x55", "0100"), "");
    EXPECT_EQ(hardwareIdText("2b29", "0055", "01 0"), "");
    EXPECT_EQ(hardwareIdText("2b29", "-055", "0100"), "");
}

TEST(LinuxUsbDeviceList, EnumeratesThisMachine) {
    // There may be no USB bus at all (a container); then the list is empty.
    platform::LinuxUsbDeviceList devices;
    std::vector<std::string> ids = devices.hardwareIds();
    const std::regex shape(R"(USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}&REV_[0-9A-F]{4})");
    for (const std::string& id : ids) {
        if (id.empty()) continue;  // a device that went away while listed
        EXPECT_TRUE(std::regex_match(id, shape)) << id;
    }
    std::cout << "[          ] " << ids.size() << " USB device(s) present\n";
}
