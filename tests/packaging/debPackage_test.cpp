// `make package` builds one .deb; it must carry every file the install puts
// in place, under /usr, and name the runtime libraries it needs.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "runCommand.h"

namespace {

namespace fs = std::filesystem;
using packagingtest::findOnPath;
using packagingtest::runCommand;
using packagingtest::shellQuote;

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) out.push_back(item);
    return out;
}

// Where the rules sit in the package: under the /usr prefix unless absolute.
std::string rulesDir() {
    std::string dir = QUORTA_UDEV_RULES_DIR;
    return dir.rfind('/', 0) == 0 ? "." + dir : "./usr/" + dir;
}

TEST(DebPackage, CarriesEveryInstalledFile) {
    if (findOnPath("dpkg-deb").empty())
        GTEST_SKIP() << "dpkg-deb is not installed (Debian package dpkg)";
    fs::path scratch = fs::path(QUORTA_BINARY_DIR) / "deb-test";
    fs::remove_all(scratch);
    fs::create_directories(scratch);

    auto built = runCommand(shellQuote(QUORTA_CPACK_COMMAND) + " -G DEB --config " +
                            shellQuote(fs::path(QUORTA_BINARY_DIR) / "CPackConfig.cmake") + " -B " +
                            shellQuote(scratch));
    ASSERT_EQ(built.exitCode, 0) << built.output;
    fs::path deb;
    for (const auto& entry : fs::directory_iterator(scratch))
        if (entry.path().extension() == ".deb") deb = entry.path();
    ASSERT_FALSE(deb.empty()) << built.output;

    auto contents = runCommand("dpkg-deb -c " + shellQuote(deb));
    ASSERT_EQ(contents.exitCode, 0) << contents.output;
    std::vector<std::string> expected = {
        rulesDir() + "/70-quorta-gps.rules",
        "./usr/share/applications/org.quorta.GpsUpdater.desktop",
        "./usr/share/metainfo/org.quorta.GpsUpdater.metainfo.xml",
        "./usr/share/man/man1/quorta-updater.1.gz",
        "./usr/share/man/man1/quorta-bl.1.gz",
        std::string("./usr/share/doc/") + QUORTA_PACKAGE_NAME + "/copyright",
        std::string("./usr/share/doc/") + QUORTA_PACKAGE_NAME + "/changelog.gz",
    };
    // Every size of the icon there is.
    fs::path art = packagingtest::sourceDir() / "assets/art/icons";
    for (const auto& entry : fs::recursive_directory_iterator(art)) {
        std::string name = entry.path().filename().string();
        if (name == "quorta-updater.png" || name == "quorta-updater.svg")
            expected.push_back("./usr/share/icons/" + fs::relative(entry.path(), art).string());
    }
    ASSERT_GE(expected.size(), 9u) << "no icons found under " << art;
    for (const std::string& program : split(QUORTA_INSTALLED_PROGRAMS))
        expected.push_back("./usr/bin/" + program);
    for (const std::string& file : expected) {
        EXPECT_NE(contents.output.find(" " + file + "\n"), std::string::npos)
            << file << " is missing from\n"
            << contents.output;
    }
    // Nothing from the build or the tests rides along.
    EXPECT_EQ(contents.output.find("test_"), std::string::npos) << contents.output;
    EXPECT_EQ(contents.output.find("/include/"), std::string::npos) << contents.output;

    auto depends = runCommand("dpkg-deb -f " + shellQuote(deb) + " Depends");
    ASSERT_EQ(depends.exitCode, 0) << depends.output;
    for (const char* package : {"libhidapi-hidraw0", "libjsoncpp25", "libudev1", "libsystemd0",
                                "libqt6widgets6", "libqt6core6", "libc6"}) {
        EXPECT_NE(depends.output.find(package), std::string::npos) << depends.output;
    }

    // A package of test images cannot be mistaken for the updater: its name
    // differs, and so does what it says of itself.
    auto fields = runCommand("dpkg-deb -f " + shellQuote(deb) + " Package Description Conflicts");
    ASSERT_EQ(fields.exitCode, 0) << fields.output;
    const bool testImages = std::string(QUORTA_PACKAGE_NAME) == "quorta-updater-demo";
    EXPECT_NE(fields.output.find(std::string("Package: ") + QUORTA_PACKAGE_NAME + "\n"),
              std::string::npos)
        << fields.output;
    EXPECT_EQ(fields.output.find("cannot update a real GPS") != std::string::npos, testImages)
        << fields.output;
    EXPECT_EQ(fields.output.find("Conflicts: quorta-updater\n") != std::string::npos, testImages)
        << fields.output;

    if (findOnPath("lintian").empty()) {
        std::cout << "lintian is not installed (scripts/install-deps.sh --extra): not run\n";
    } else {
        // No error; warnings are for the reader of the output.
        auto lint = runCommand("lintian --no-cfg --fail-on error " + shellQuote(deb));
        EXPECT_EQ(lint.exitCode, 0) << lint.output;
    }
    fs::remove_all(scratch);
}

}  // namespace
