#include "platform/linux/MountInfo.h"

#include <gtest/gtest.h>

#include <tuple>

using platform::MountEntry;
using platform::parseMountInfo;
using platform::parseMountInfoLine;
using platform::unescapeMountField;

TEST(MountInfo, UnescapesTheKernelsOctalEscapes) {
    EXPECT_EQ(unescapeMountField(R"(/media/rider/MY\040GPS)"), "/media/rider/MY GPS");
    EXPECT_EQ(unescapeMountField(R"(/a\011b\012c\134d)"), "/a\tb\nc\\d");
    // UTF-8 written out byte by byte as octal is put back together.
    EXPECT_EQ(unescapeMountField(R"(/media/\303\251t\303\251)"), "/media/\xC3\xA9t\xC3\xA9");
}

TEST(MountInfo, LeavesMalformedEscapesAsText) {
    EXPECT_EQ(unescapeMountField(R"(/a\04)"), R"(/a\04)");  // cut short at the end
    EXPECT_EQ(unescapeMountField(R"(/a\0)"), R"(/a\0)");
    EXPECT_EQ(unescapeMountField(R"(/a\)"), R"(/a\)");
    EXPECT_EQ(unescapeMountField(R"(/a\089)"), R"(/a\089)");    // 8 and 9 are not octal
    EXPECT_EQ(unescapeMountField(R"(/a\777)"), R"(/a\777)");    // beyond a byte
    EXPECT_EQ(unescapeMountField(R"(/a\000b)"), R"(/a\000b)");  // a NUL cannot be in a path
    EXPECT_EQ(unescapeMountField(R"(\\040)"), "\\ ");           // only the second starts an escape
}

TEST(MountInfo, ParsesFieldsAroundOptionalTags) {
    const char* table =
        "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
        "112 27 8:17 / /media/rider/QUORTA\\040GPS rw,nosuid,nodev shared:60 master:3 - vfat "
        "/dev/sdb1 rw,fmask=0022,dmask=0022,codepage=437\n"
        "113 27 0:45 / /run/user/1000 rw,nosuid - tmpfs tmpfs rw,size=1000k\n"
        "114 27 8:33 /sub/dir /mnt/bind rw - ext4 /dev/sdc1 rw";  // no newline at the end
    // Every field of every entry, so that a failure names both.
    auto fields = [](const MountEntry& e) {
        return std::tie(e.mountId, e.parentId, e.major, e.minor, e.root, e.mountPoint, e.options,
                        e.fsType, e.source, e.superOptions);
    };
    const std::vector<MountEntry> expected = {
        {27, 1, 254, 0, "/", "/", "rw,relatime", "ext4", "/dev/vda", "rw,discard"},
        {112, 27, 8, 17, "/", "/media/rider/QUORTA GPS", "rw,nosuid,nodev", "vfat", "/dev/sdb1",
         "rw,fmask=0022,dmask=0022,codepage=437"},
        {113, 27, 0, 45, "/", "/run/user/1000", "rw,nosuid", "tmpfs", "tmpfs", "rw,size=1000k"},
        {114, 27, 8, 33, "/sub/dir", "/mnt/bind", "rw", "ext4", "/dev/sdc1", "rw"}};
    const std::vector<MountEntry> m = parseMountInfo(table);
    ASSERT_EQ(m.size(), expected.size());
    for (size_t i = 0; i < m.size(); ++i) EXPECT_EQ(fields(m[i]), fields(expected[i])) << i;
}

TEST(MountInfo, SkipsLinesThatAreNotWellFormed) {
    const char* table =
        "\n"
        "garbage\n"
        "27 1 254:0 / / rw - ext4\n"                     // no source
        "27 1 254:0 / / rw shared:1 ext4 /dev/vda rw\n"  // no separator
        "x 1 254:0 / / rw - ext4 /dev/vda rw\n"          // id not a number
        "27 1 2540 / / rw - ext4 /dev/vda rw\n"          // no major:minor
        "27 1 8:-1 / / rw - ext4 /dev/vda rw\n"          // negative minor
        "27 1 8:1 / relative rw - ext4 /dev/vda rw\n"    // mount point not absolute
        "28 1 8:1 / /ok rw - ext4 /dev/sda1 rw\n";
    std::vector<MountEntry> m = parseMountInfo(table);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].mountPoint, "/ok");
    EXPECT_FALSE(parseMountInfoLine("").has_value());
}

// Found by fuzz_mountinfo: a raw NUL inside a field became part of the mount
// point, which every later system call would cut short at the NUL and so
// reach another folder. The kernel never writes one; the line is refused.
TEST(MountInfo, RefusesALineWithARawNul) {
    using namespace std::string_literals;
    const std::string table = "40 22 8:17 / /media/ride"s + '\0' +
                              "GPS rw - vfat /dev/sdb1 rw\n"
                              "41 22 8:18 / /media/ok rw - vfat /dev/sdc1 rw\n";
    std::vector<MountEntry> m = parseMountInfo(table);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].mountPoint, "/media/ok");
}

TEST(MountInfo, ThisMachinesTableParsesWhole) {
    std::optional<std::string> text = platform::readWholeFile("/proc/self/mountinfo");
    ASSERT_TRUE(text.has_value());
    size_t lines = 0;
    for (char c : *text) lines += c == '\n';
    std::vector<MountEntry> m = parseMountInfo(*text);
    EXPECT_EQ(m.size(), lines);  // the kernel's own table has no line we cannot read
    bool sawRoot = false;
    for (const MountEntry& e : m) sawRoot |= e.mountPoint == "/";
    EXPECT_TRUE(sawRoot);
}
