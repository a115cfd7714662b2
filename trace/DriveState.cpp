#include "DriveState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "crc/crc32.h"

namespace trace {

namespace fs = std::filesystem;

std::optional<FileState> fileStateAt(const std::string& path, const std::string& name) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    FileState state;
    state.path = name;
    uint32_t crc = 0;
    uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        crc = crc::crc32(buffer, static_cast<size_t>(n), crc);
        state.size += static_cast<uint64_t>(n);
    }
    ::close(fd);
    if (state.size >= kSmallestFileWithCrc) state.crc32 = crc;
    return state;
}

namespace {

void walk(const fs::path& folder, const std::string& prefix, TreeState& tree) {
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const fs::path path = folder / name;
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (ec) continue;
        if (fs::is_directory(status)) {
            tree.folders.push_back(relative);
            walk(path, relative, tree);
        } else if (fs::is_regular_file(status)) {
            if (std::optional<FileState> f = fileStateAt(path.string(), relative)) {
                tree.files.push_back(*f);
            }
        }
    }
}

}  // namespace

TreeState treeStateAt(const std::string& folder, const std::string& prefix) {
    TreeState tree;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(folder, ec))) return tree;
    walk(folder, prefix, tree);
    std::sort(tree.folders.begin(), tree.folders.end());
    std::sort(tree.files.begin(), tree.files.end(),
              [](const FileState& a, const FileState& b) { return a.path < b.path; });
    return tree;
}

TreeState copiedState(const std::string& from, const std::string& to, const std::string& prefix) {
    const TreeState source = treeStateAt(from, "");
    TreeState copied;
    auto under = [&](const std::string& path) {
        return prefix.empty() ? path : prefix + "/" + path;
    };
    for (const std::string& folder : source.folders) copied.folders.push_back(under(folder));
    for (const FileState& file : source.files) {
        if (std::optional<FileState> f = fileStateAt(to + "/" + file.path, under(file.path))) {
            copied.files.push_back(*f);
        }
    }
    return copied;
}

DriveFiles filesLeft(int drive, const std::string& root, const std::set<std::string>& tops) {
    DriveFiles left;
    left.drive = drive;
    std::error_code ec;
    if (root.empty() || !fs::is_directory(fs::symlink_status(root, ec))) return left;
    for (const std::string& top : tops) {
        const std::string path = (fs::path(root) / top).string();
        // The program's own files at the root (radio, fonts) are the GPS's to
        // take: the rider's are in folders.
        if (!fs::is_directory(fs::symlink_status(path, ec))) continue;
        for (FileState& f : treeStateAt(path, top).files) left.files.push_back(std::move(f));
    }
    for (FileState& f : left.files) f.crc32.reset();  // names and sizes only
    std::sort(left.files.begin(), left.files.end(),
              [](const FileState& a, const FileState& b) { return a.path < b.path; });
    return left;
}

bool makeTree(const std::string& root, const TreeState& tree, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::error_code ec;
    for (const std::string& folder : tree.folders) {
        fs::create_directories(fs::path(root) / folder, ec);
        if (ec) return fail("cannot make " + folder + ": " + ec.message());
    }
    for (const FileState& file : tree.files) {
        const fs::path path = fs::path(root) / file.path;
        fs::create_directories(path.parent_path(), ec);
        // A short file, kept by its size only, is made of zeros.
        const std::optional<std::vector<uint8_t>> tail =
            file.crc32 ? crc::crc32ContentTail(file.size, *file.crc32) : std::vector<uint8_t>();
        if (!tail) {
            return fail("no file of " + std::to_string(file.size) + " bytes has CRC-32 " +
                        crcText(*file.crc32) + " (" + file.path + ")");
        }
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return fail("cannot make " + file.path + ": " + std::strerror(errno));
        bool ok = true;
        const uint64_t zeros = file.size - tail->size();
        if (zeros > 0) ok = ::ftruncate(fd, static_cast<off_t>(zeros)) == 0;
        if (ok && !tail->empty()) {
            ok = ::pwrite(fd, tail->data(), tail->size(), static_cast<off_t>(zeros)) ==
                 static_cast<ssize_t>(tail->size());
        }
        const int e = errno;
        ::close(fd);
        if (!ok) return fail("cannot write " + file.path + ": " + std::strerror(e));
    }
    return true;
}

}  // namespace trace
