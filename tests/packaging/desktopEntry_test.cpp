// The menu entry and the software-centre description are checked by the
// desktop's own validators, against each other, and by installing them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "runCommand.h"

namespace {

namespace fs = std::filesystem;
using packagingtest::findOnPath;
using packagingtest::readFile;
using packagingtest::runCommand;
using packagingtest::shellQuote;
using packagingtest::sourceDir;

const char* const kAppId = "org.quorta.GpsUpdater";

fs::path packagingDir() {
    return sourceDir() / "packaging/linux";
}
fs::path desktopFile() {
    return packagingDir() / (std::string(kAppId) + ".desktop");
}
fs::path metainfoFile() {
    return packagingDir() / (std::string(kAppId) + ".metainfo.xml");
}

// The value of a key in the [Desktop Entry] group, or empty.
std::string desktopValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(key + "=", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return {};
}

TEST(DesktopEntry, PassesDesktopFileValidate) {
    fs::path tool = findOnPath("desktop-file-validate");
    if (tool.empty()) {
        GTEST_SKIP()
            << "desktop-file-validate is not installed (Debian package desktop-file-utils)";
    }
    auto result = runCommand(shellQuote(tool) + " " + shellQuote(desktopFile()));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    // Warnings and hints leave the exit code at 0; the file should have none.
    EXPECT_EQ(result.output, "");
}

TEST(DesktopEntry, MetainfoPassesAppstreamValidate) {
    fs::path tool = findOnPath("appstreamcli");
    if (tool.empty()) {
        GTEST_SKIP() << "appstreamcli is not installed (Debian package appstream)";
    }
    auto result = runCommand(shellQuote(tool) + " validate --no-net " + shellQuote(metainfoFile()));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output.find("E: "), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("W: "), std::string::npos) << result.output;
}

TEST(DesktopEntry, EntryMetainfoAndIconsAgreeOnNames) {
    std::string desktop = readFile(desktopFile());
    std::string metainfo = readFile(metainfoFile());
    ASSERT_FALSE(desktop.empty());
    ASSERT_FALSE(metainfo.empty());
    EXPECT_EQ(desktopValue(desktop, "Exec"), "quorta-updater");
    EXPECT_EQ(desktopValue(desktop, "Icon"), "quorta-updater");
    // The class of the windows (the application name the window sets).
    EXPECT_EQ(desktopValue(desktop, "StartupWMClass"), "quorta-updater");
    EXPECT_NE(desktopValue(desktop, "Categories").find("Utility;"), std::string::npos);
    EXPECT_NE(metainfo.find("<id>" + std::string(kAppId) + "</id>"), std::string::npos);
    EXPECT_NE(metainfo.find("<launchable type=\"desktop-id\">" + std::string(kAppId) +
                            ".desktop</launchable>"),
              std::string::npos);
    EXPECT_NE(metainfo.find("<binary>quorta-updater</binary>"), std::string::npos);
    EXPECT_NE(metainfo.find("<component type=\"desktop-application\">"), std::string::npos);
    EXPECT_NE(metainfo.find("<content_rating"), std::string::npos);
    // The icon the entry names exists in the theme folder that is installed.
    EXPECT_TRUE(fs::exists(sourceDir() / "assets/art/icons/hicolor/48x48/apps/quorta-updater.png"));
}

// Installs the desktop component into a scratch root, as a package build
// would, and checks that every file lands where the desktop looks for it.
TEST(DesktopEntry, InstallPutsEveryFileInItsPlace) {
    fs::path root = fs::path(QUORTA_BINARY_DIR) / "tests/packaging/install-root";
    fs::remove_all(root);
    fs::create_directories(root);
    auto result = runCommand("DESTDIR=" + shellQuote(root) + " " +
                             shellQuote(QUORTA_CMAKE_COMMAND) + " --install " +
                             shellQuote(QUORTA_BINARY_DIR) + " --component desktop --prefix /usr");
    ASSERT_EQ(result.exitCode, 0) << result.output;

    fs::path rulesDir = QUORTA_UDEV_RULES_DIR;
    fs::path rules =
        rulesDir.is_absolute() ? root / rulesDir.relative_path() : root / "usr" / rulesDir;
    EXPECT_TRUE(fs::is_regular_file(rules / "70-quorta-gps.rules")) << rules;
    fs::path share = root / "usr/share";
    EXPECT_TRUE(fs::is_regular_file(share / "applications" / (std::string(kAppId) + ".desktop")));
    EXPECT_TRUE(fs::is_regular_file(share / "metainfo" / (std::string(kAppId) + ".metainfo.xml")));
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        std::string dir = std::to_string(size) + "x" + std::to_string(size);
        EXPECT_TRUE(fs::is_regular_file(share / "icons/hicolor" / dir / "apps/quorta-updater.png"))
            << dir;
    }
    EXPECT_TRUE(fs::is_regular_file(share / "icons/hicolor/scalable/apps/quorta-updater.svg"));
    fs::remove_all(root);
}

}  // namespace
