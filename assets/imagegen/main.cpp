// quorta_imagegen: the build's image step.
//
//   quorta_imagegen generate OUT_DIR ASM_FILE
//       writes a stand-in for every carried image into OUT_DIR
//   quorta_imagegen check IMAGES_DIR ASM_FILE
//       checks the real images in IMAGES_DIR against the catalogue
//
// Either way it then writes ASM_FILE, which embeds every image with .incbin,
// in catalogue order, between the symbols quorta_embedded_images and
// quorta_embedded_images_end. Nothing is written when a check fails.
#include <lz4.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/images/ImageVersionBlock.h"
#include "core/images/imageCatalogue.h"
#include "standIns.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kTool = "quorta_imagegen";
// The buffer the program decodes into; an image that needs more is refused
// there, so it is refused here too.
constexpr int kDecodeCapacity = 3'000'000;

std::string withCommas(uint64_t v) {
    std::string s = std::to_string(v);
    for (int i = int(s.size()) - 3; i > 0; i -= 3) s.insert(size_t(i), ",");
    return s;
}

// How a block decodes: the decoded length, or a negative value when the
// decoder refuses it.
int decodedLengthOf(const std::vector<uint8_t>& block, std::vector<uint8_t>& out) {
    out.resize(kDecodeCapacity);
    return LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()),
                               reinterpret_cast<char*>(out.data()), int(block.size()),
                               kDecodeCapacity);
}

bool readFile(const fs::path& path, std::vector<uint8_t>& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeFile(const fs::path& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(out.flush());
}

std::string asmString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool writeAsm(const fs::path& asmFile, const fs::path& imagesDir) {
    std::string s =
        "/* Written by quorta_imagegen: every carried image as a raw LZ4 block, in the\n"
        "   order of images::imageFiles, without padding between them. */\n"
        "    .section .rodata.quorta_images,\"a\",@progbits\n"
        "    .balign 16\n"
        "    .globl quorta_embedded_images\n"
        "    .type quorta_embedded_images, @object\n"
        "quorta_embedded_images:\n";
    for (const auto& f : images::imageFiles)
        s += "    .incbin " + asmString(fs::absolute(imagesDir / f.fileName).string()) + "\n";
    s += "    .size quorta_embedded_images, . - quorta_embedded_images\n"
         "    .globl quorta_embedded_images_end\n"
         "quorta_embedded_images_end:\n"
         "    .section .note.GNU-stack,\"\",@progbits\n";
    fs::create_directories(fs::absolute(asmFile).parent_path());
    std::ofstream out(asmFile, std::ios::trunc);
    out << s;
    return bool(out.flush());
}

int generate(const fs::path& outDir, const fs::path& asmFile) {
    fs::create_directories(outDir);
    std::vector<uint8_t> decoded;
    for (const auto& f : images::imageFiles) {
        const auto standIn = imagegen::makeStandIn(f);
        // Prove it the way the program will use it before it goes in.
        const int n = decodedLengthOf(standIn.block, decoded);
        bool good = standIn.block.size() == f.compressedLength && n == int(f.decodedLength) &&
                    std::memcmp(decoded.data(), standIn.decoded.data(), size_t(n)) == 0;
        if (good && f.kind == images::ImageKind::firmware) {
            images::ImageVersion v;
            good = images::checkImage(decoded.data(), size_t(n), &v) == images::ImageCheck::ok &&
                   v.deviceType == f.deviceType && v.variant == f.variant;
        }
        if (!good) {
            std::fprintf(stderr, "%s: the stand-in for %s does not decode as built\n", kTool,
                         f.fileName);
            return 1;
        }
        if (!writeFile(outDir / f.fileName, standIn.block)) {
            std::fprintf(stderr, "%s: cannot write %s\n", kTool,
                         (outDir / f.fileName).string().c_str());
            return 1;
        }
    }
    if (!writeAsm(asmFile, outDir)) {
        std::fprintf(stderr, "%s: cannot write %s\n", kTool, asmFile.string().c_str());
        return 1;
    }
    return 0;
}

int check(const fs::path& dir, const fs::path& asmFile) {
    std::vector<std::string> problems;
    std::vector<uint8_t> block, decoded;
    for (const auto& f : images::imageFiles) {
        const fs::path path = dir / f.fileName;
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) {
            problems.push_back(path.string() + ": missing (expected " +
                               withCommas(f.compressedLength) + " bytes)");
            continue;
        }
        const auto size = fs::file_size(path, ec);
        if (ec || !readFile(path, block)) {
            problems.push_back(path.string() + ": cannot be read");
            continue;
        }
        if (size != f.compressedLength || block.size() != f.compressedLength) {
            problems.push_back(path.string() + ": " + withCommas(block.size()) +
                               " bytes, expected " + withCommas(f.compressedLength));
            continue;
        }
        const int n = decodedLengthOf(block, decoded);
        if (n < 0)
            problems.push_back(path.string() + ": not a raw LZ4 block that decodes whole");
        else if (n != int(f.decodedLength))
            problems.push_back(path.string() + ": decodes to " + withCommas(uint64_t(n)) +
                               " bytes, expected " + withCommas(f.decodedLength));
    }
    if (!problems.empty()) {
        for (const auto& p : problems) std::fprintf(stderr, "%s: %s\n", kTool, p.c_str());
        std::fprintf(stderr,
                     "%s: %zu of %zu image files in %s do not match the catalogue; see "
                     "\"Building with the real firmware images\" in README.md\n",
                     kTool, problems.size(), images::kImageFileCount, dir.string().c_str());
        return 1;
    }
    if (!writeAsm(asmFile, dir)) {
        std::fprintf(stderr, "%s: cannot write %s\n", kTool, asmFile.string().c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc != 4 || (mode != "generate" && mode != "check")) {
        std::fprintf(stderr,
                     "usage: %s generate OUT_DIR ASM_FILE\n       %s check IMAGES_DIR ASM_FILE\n",
                     kTool, kTool);
        return 2;
    }
    try {
        return mode == "generate" ? generate(argv[2], argv[3]) : check(argv[2], argv[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kTool, e.what());
        return 1;
    }
}
