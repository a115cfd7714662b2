// The build's image step, run as the build runs it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/images/imageCatalogue.h"

namespace fs = std::filesystem;

namespace {

class ImageStep : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quorta-imagegen-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Runs the tool; its standard error lands in `errors`.
    int run(const std::string& mode, const fs::path& dir, const fs::path& asmFile = {}) {
        const fs::path errFile = root / "stderr.txt";
        const std::string asmArg = asmFile.empty() ? "" : " '" + asmFile.string() + "'";
        const std::string cmd = std::string("'") + QUORTA_IMAGEGEN + "' " + mode + " '" +
                                dir.string() + "'" + asmArg + " 2> '" + errFile.string() + "'";
        const int status = std::system(cmd.c_str());
        errors = read(errFile);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path root;
    std::string errors;
};

TEST_F(ImageStep, GeneratesTheSameBytesEveryTimeAndTheCheckTakesThemOnlyUnmarked) {
    ASSERT_EQ(run("generate", root / "a", root / "a.S"), 0) << errors;
    ASSERT_EQ(run("generate", root / "b", root / "b.S"), 0) << errors;
    ASSERT_EQ(run("generate-unmarked", root / "real"), 0) << errors;
    for (const auto& f : images::imageFiles) {
        const std::string a = read(root / "a" / f.fileName);
        EXPECT_EQ(a.size(), f.compressedLength) << f.fileName;
        EXPECT_TRUE(a == read(root / "b" / f.fileName)) << f.fileName;
        EXPECT_EQ(read(root / "real" / f.fileName).size(), f.compressedLength) << f.fileName;
    }
    // A folder of stand-ins is never taken for the maker's images: every
    // file is named, the main images, the radio's and the fonts alike.
    EXPECT_NE(run("check", root / "a", root / "marked.S"), 0);
    for (const auto& f : images::imageFiles)
        EXPECT_NE(errors.find(std::string(f.fileName) + ": a stand-in image"), std::string::npos)
            << f.fileName;
    EXPECT_FALSE(fs::exists(root / "marked.S"));

    ASSERT_EQ(run("check", root / "real", root / "check.S"), 0) << errors;
    const std::string asmText = read(root / "check.S");
    EXPECT_NE(asmText.find("quorta_embedded_images:"), std::string::npos);
    EXPECT_NE(asmText.find(".incbin \"" + (root / "real" / "radio_init_15.lz4").string() + "\""),
              std::string::npos);
    EXPECT_NE(asmText.find("quorta_image_digests:"), std::string::npos);
}

TEST_F(ImageStep, CheckNamesEveryFileThatDoesNotMatch) {
    ASSERT_EQ(run("generate-unmarked", root / "real"), 0) << errors;
    ASSERT_EQ(run("generate", root / "gen", root / "gen.S"), 0) << errors;
    const fs::path dir = root / "real";
    // One stand-in among the others.
    fs::copy_file(root / "gen" / "radio_09.lz4", dir / "radio_09.lz4",
                  fs::copy_options::overwrite_existing);
    fs::resize_file(dir / "firmware_07_standard.lz4", 356'108);
    {
        std::ofstream grow(dir / "radio_12.lz4", std::ios::binary | std::ios::app);
        grow.put('\0');
    }
    fs::remove(dir / "Kanji_19x19.bin.lz4");
    {
        // Right size, wrong contents: the first token now asks for more
        // literals than the block holds.
        std::fstream damage(dir / "firmware_05_japanese.lz4",
                            std::ios::binary | std::ios::in | std::ios::out);
        damage.put(char(0xF0));
        for (int i = 0; i < 4000; ++i) damage.put(char(0xFF));
    }

    EXPECT_NE(run("check", dir, root / "real.S"), 0);
    EXPECT_NE(errors.find("firmware_07_standard.lz4: 356,108 bytes, expected 356,109"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("radio_12.lz4: 103,171 bytes, expected 103,170"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("Kanji_19x19.bin.lz4: missing"), std::string::npos) << errors;
    EXPECT_NE(errors.find("firmware_05_japanese.lz4: not a raw LZ4 block"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("radio_09.lz4: a stand-in image"), std::string::npos) << errors;
    EXPECT_NE(errors.find("5 of 46 image files"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("firmware_04_standard.lz4"), std::string::npos) << errors;
    // Nothing to embed from a folder that failed.
    EXPECT_FALSE(fs::exists(root / "real.S"));
}

TEST_F(ImageStep, RefusesUnknownModes) {
    EXPECT_EQ(run("make", root / "x", root / "x.S"), 2);
    EXPECT_NE(errors.find("usage:"), std::string::npos);
}

}  // namespace
