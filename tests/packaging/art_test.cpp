// The window stretches a 1080 x 1922 picture into itself and the desktop picks
// icons by the size their folder names: both are checked from the PNG header,
// and the drawing script checks its own output for legibility.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "runCommand.h"

namespace {

namespace fs = std::filesystem;
using packagingtest::runCommand;
using packagingtest::shellQuote;
using packagingtest::sourceDir;

struct PngHeader {
    uint32_t width = 0;
    uint32_t height = 0;
    int bitDepth = 0;
    int colourType = 0;  // 2 RGB, 6 RGBA
};

uint32_t bigEndian32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// The PNG signature followed by the IHDR chunk, which a PNG must start with.
std::optional<PngHeader> readPngHeader(const fs::path& path) {
    std::array<unsigned char, 26> bytes{};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), bytes.size())) {
        return std::nullopt;
    }
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (!std::equal(std::begin(signature), std::end(signature), bytes.begin()) ||
        bigEndian32(&bytes[8]) != 13 || std::string(&bytes[12], &bytes[16]) != "IHDR") {
        return std::nullopt;
    }
    return PngHeader{bigEndian32(&bytes[16]), bigEndian32(&bytes[20]), bytes[24], bytes[25]};
}

fs::path artDir() {
    return sourceDir() / "assets/art";
}

TEST(Art, BackgroundIs1080By1922AndSmall) {
    fs::path png = artDir() / "background.png";
    auto header = readPngHeader(png);
    ASSERT_TRUE(header) << png << " is missing or not a PNG";
    EXPECT_EQ(header->width, 1080u);
    EXPECT_EQ(header->height, 1922u);
    EXPECT_EQ(header->bitDepth, 8);
    EXPECT_TRUE(header->colourType == 2 || header->colourType == 6) << header->colourType;
    EXPECT_LT(fs::file_size(png), 1'500'000u);
}

TEST(Art, EveryIconSizeIsThereWithItsSize) {
    const std::set<int> wanted{16, 24, 32, 48, 64, 128, 256};
    std::set<int> found;
    fs::path hicolor = artDir() / "icons/hicolor";
    ASSERT_TRUE(fs::is_directory(hicolor));
    for (const auto& entry : fs::directory_iterator(hicolor)) {
        std::string name = entry.path().filename();
        if (name == "scalable") {
            continue;
        }
        SCOPED_TRACE(name);
        int size = 0;
        char x = 0;
        int again = 0;
        ASSERT_EQ(std::sscanf(name.c_str(), "%d%c%d", &size, &x, &again), 3);
        ASSERT_EQ(x, 'x');
        ASSERT_EQ(size, again);
        auto header = readPngHeader(entry.path() / "apps/quorta-updater.png");
        ASSERT_TRUE(header) << "not a PNG";
        EXPECT_EQ(header->width, uint32_t(size));
        EXPECT_EQ(header->height, uint32_t(size));
        EXPECT_EQ(header->colourType, 6) << "icons need an alpha channel";
        found.insert(size);
    }
    EXPECT_EQ(found, wanted);

    std::string svg = packagingtest::readFile(hicolor / "scalable/apps/quorta-updater.svg");
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_NE(svg.find("viewBox=\"0 0 256 256\""), std::string::npos);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

TEST(Art, ReaderRejectsWhatIsNotAPng) {
    fs::path notPng = fs::path(QUORTA_BINARY_DIR) / "tests/packaging/not-a-png.png";
    fs::create_directories(notPng.parent_path());
    std::ofstream(notPng, std::ios::binary) << "GIF89a and then some more bytes to read";
    EXPECT_FALSE(readPngHeader(notPng));
    EXPECT_FALSE(readPngHeader(notPng.parent_path() / "absent.png"));
    fs::remove(notPng);
}

// The drawing script checks the committed files: text bands dark and plain
// enough for white and red text at the window's scale, and the pixels still
// those it draws. It needs Python with Debian's python3-pil.
TEST(Art, DrawingScriptFindsTheFilesInOrder) {
    std::string python;
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
        if (runCommand(std::string(candidate) + " -c 'import PIL'").exitCode == 0) {
            python = candidate;
            break;
        }
    }
    if (python.empty()) {
        GTEST_SKIP() << "Python 3 with PIL is not installed (Debian package python3-pil)";
    }
    auto result = runCommand(python + " " + shellQuote(artDir() / "make_art.py") + " --check");
    EXPECT_EQ(result.exitCode, 0) << result.output;
}

}  // namespace
