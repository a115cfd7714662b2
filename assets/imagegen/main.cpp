// quorta_imagegen: the build's image step.
//
//   quorta_imagegen generate OUT_DIR ASM_FILE
//       writes a stand-in for every carried image into OUT_DIR
//   quorta_imagegen check IMAGES_DIR ASM_FILE
//       checks the real images in IMAGES_DIR against the catalogue
//   quorta_imagegen generate-unmarked OUT_DIR
//       writes stand-ins without the stand-in mark and no ASM_FILE: a folder
//       that passes `check`, for testing a real-images build
//
// Either way it then writes ASM_FILE, which embeds every image with .incbin,
// in catalogue order, between the symbols quorta_embedded_images and
// quorta_embedded_images_end, and the SHA-256 of every decoded image as
// quorta_image_digests. Nothing is written when a check fails.
#include <lz4.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/images/ImageVersionBlock.h"
#include "core/images/imageCatalogue.h"
#include "core/images/standInMark.h"
#include "standIns.h"

// Plain stdio and POSIX calls: this tool is compiled on every clean build,
// and the heavier stream and filesystem headers would double that time.

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

std::string joinPath(const std::string& dir, const char* name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The .incbin lines must not depend on where the assembler runs.
std::string absolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> cwd(4096);
    if (!getcwd(cwd.data(), cwd.size())) return path;
    return joinPath(cwd.data(), path.c_str());
}

bool makeDirectories(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// How a block decodes: the decoded length, or a negative value when the
// decoder refuses it.
int decodedLengthOf(const std::vector<uint8_t>& block, std::vector<uint8_t>& out) {
    out.resize(kDecodeCapacity);
    return LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()),
                               reinterpret_cast<char*>(out.data()), int(block.size()),
                               kDecodeCapacity);
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool readFile(const std::string& path, std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    data.clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool writeFile(const std::string& path, const void* data, size_t length) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(data, 1, length, f) == length;
    return (std::fclose(f) == 0) && written;
}

std::string asmString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

using Digest = std::vector<uint8_t>;

Digest sha256Of(const uint8_t* data, size_t length) {
    Digest digest(32);
    unsigned int n = 0;
    if (EVP_Digest(data, length, digest.data(), &n, EVP_sha256(), nullptr) != 1 || n != 32)
        throw std::runtime_error("SHA-256 not available");
    return digest;
}

bool writeAsm(const std::string& asmFile, const std::string& imagesDir,
              const std::vector<Digest>& digests) {
    std::string s =
        "/* Written by quorta_imagegen: every carried image as a raw LZ4 block, in the\n"
        "   order of images::imageFiles, without padding between them. */\n"
        "    .section .rodata.quorta_images,\"a\",@progbits\n"
        "    .balign 16\n"
        "    .globl quorta_embedded_images\n"
        "    .type quorta_embedded_images, @object\n"
        "quorta_embedded_images:\n";
    const std::string dir = absolutePath(imagesDir);
    for (const auto& f : images::imageFiles)
        s += "    .incbin " + asmString(joinPath(dir, f.fileName)) + "\n";
    s += "    .size quorta_embedded_images, . - quorta_embedded_images\n"
         "    .globl quorta_embedded_images_end\n"
         "quorta_embedded_images_end:\n"
         "/* The SHA-256 of every decoded image, in the same order: checked before\n"
         "   an image is written. */\n"
         "    .section .rodata.quorta_image_digests,\"a\",@progbits\n"
         "    .globl quorta_image_digests\n"
         "    .type quorta_image_digests, @object\n"
         "quorta_image_digests:\n";
    for (const Digest& d : digests) {
        s += "    .byte ";
        for (size_t i = 0; i < d.size(); ++i) s += (i ? "," : "") + std::to_string(d[i]);
        s += "\n";
    }
    s += "    .size quorta_image_digests, . - quorta_image_digests\n"
         "    .section .note.GNU-stack,\"\",@progbits\n";
    return makeDirectories(parentOf(absolutePath(asmFile))) &&
           writeFile(asmFile, s.data(), s.size());
}

// `asmFile` empty: unmarked stand-ins, the files alone.
int generate(const std::string& outDir, const std::string& asmFile) {
    const bool marked = !asmFile.empty();
    if (!makeDirectories(outDir)) {
        std::fprintf(stderr, "%s: cannot create %s\n", kTool, outDir.c_str());
        return 1;
    }
    std::vector<uint8_t> decoded;
    std::vector<Digest> digests;
    for (const auto& f : images::imageFiles) {
        const auto standIn = imagegen::makeStandIn(f, marked);
        // Prove it the way the program will use it before it goes in.
        const int n = decodedLengthOf(standIn.block, decoded);
        bool good = standIn.block.size() == f.compressedLength && n == int(f.decodedLength) &&
                    std::memcmp(decoded.data(), standIn.decoded.data(), size_t(n)) == 0;
        if (good && f.kind == images::ImageKind::firmware) {
            images::ImageVersion v;
            good = images::checkImage(decoded.data(), size_t(n), &v) == images::ImageCheck::ok &&
                   v.deviceType == f.deviceType && v.variant == f.variant;
        }
        good = good && images::hasStandInMark(f.kind, decoded.data(), size_t(n)) == marked &&
               images::blockHasStandInMark(f.kind, standIn.block.data(), standIn.block.size()) ==
                   marked;
        if (!good) {
            std::fprintf(stderr, "%s: the stand-in for %s does not decode as built\n", kTool,
                         f.fileName);
            return 1;
        }
        digests.push_back(sha256Of(decoded.data(), size_t(n)));
        const std::string path = joinPath(outDir, f.fileName);
        if (!writeFile(path, standIn.block.data(), standIn.block.size())) {
            std::fprintf(stderr, "%s: cannot write %s\n", kTool, path.c_str());
            return 1;
        }
    }
    if (marked && !writeAsm(asmFile, outDir, digests)) {
        std::fprintf(stderr, "%s: cannot write %s\n", kTool, asmFile.c_str());
        return 1;
    }
    return 0;
}

int check(const std::string& dir, const std::string& asmFile) {
    std::vector<std::string> problems;
    std::vector<uint8_t> block, decoded;
    std::vector<Digest> digests;
    for (const auto& f : images::imageFiles) {
        const std::string path = joinPath(dir, f.fileName);
        if (!isRegularFile(path)) {
            problems.push_back(path + ": missing (expected " + withCommas(f.compressedLength) +
                               " bytes)");
            continue;
        }
        if (!readFile(path, block)) {
            problems.push_back(path + ": cannot be read");
            continue;
        }
        if (block.size() != f.compressedLength) {
            problems.push_back(path + ": " + withCommas(block.size()) + " bytes, expected " +
                               withCommas(f.compressedLength));
            continue;
        }
        const int n = decodedLengthOf(block, decoded);
        if (n < 0)
            problems.push_back(path + ": not a raw LZ4 block that decodes whole");
        else if (n != int(f.decodedLength))
            problems.push_back(path + ": decodes to " + withCommas(uint64_t(n)) +
                               " bytes, expected " + withCommas(f.decodedLength));
        else if (images::hasStandInMark(f.kind, decoded.data(), size_t(n)) ||
                 images::blockHasStandInMark(f.kind, block.data(), block.size()))
            problems.push_back(path + ": a stand-in image made by " + kTool + ", not the maker's");
        else
            digests.push_back(sha256Of(decoded.data(), size_t(n)));
    }
    if (!problems.empty()) {
        for (const auto& p : problems) std::fprintf(stderr, "%s: %s\n", kTool, p.c_str());
        std::fprintf(stderr,
                     "%s: %zu of %zu image files in %s do not match the catalogue; see "
                     "\"Building with the real firmware images\" in README.md\n",
                     kTool, problems.size(), images::kImageFileCount, dir.c_str());
        return 1;
    }
    if (!writeAsm(asmFile, dir, digests)) {
        std::fprintf(stderr, "%s: cannot write %s\n", kTool, asmFile.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool unmarked = mode == "generate-unmarked" && argc == 3;
    if (!unmarked && (argc != 4 || (mode != "generate" && mode != "check"))) {
        std::fprintf(stderr,
                     "usage: %s generate OUT_DIR ASM_FILE\n       %s check IMAGES_DIR ASM_FILE\n"
                     "       %s generate-unmarked OUT_DIR\n",
                     kTool, kTool, kTool);
        return 2;
    }
    try {
        if (unmarked) return generate(argv[2], "");
        return mode == "generate" ? generate(argv[2], argv[3]) : check(argv[2], argv[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kTool, e.what());
        return 1;
    }
}
