#include "sim/DriveFolder.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace sim::drive {

namespace fs = std::filesystem;

namespace {

// Opens without following a link; -1 otherwise.
int openNoFollow(const std::string& path, bool directory) {
    int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    if (directory) flags |= O_DIRECTORY;
    return ::open(path.c_str(), flags);
}

// Sets or clears the immutable attribute. True when done, or when the file
// system has no such attribute (write permission then has to do).
bool setImmutable(int fd, bool on) {
    int attributes = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &attributes) != 0) return true;
    const int wanted = on ? (attributes | FS_IMMUTABLE_FL) : (attributes & ~FS_IMMUTABLE_FL);
    if (wanted == attributes) return true;
    if (::ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0) return true;
    // Without the capability to set it, only permissions protect the drive;
    // that is enough for an unprivileged process, and clearing cannot fail
    // for a flag we could never set.
    return errno == EPERM || errno == ENOTTY || errno == EOPNOTSUPP;
}

bool changeEntry(const std::string& path, bool directory, bool readOnly) {
    const int fd = openNoFollow(path, directory);
    if (fd < 0) return false;
    bool ok = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ok = false;
    } else {
        // Writable again first, or the mode cannot change while immutable.
        if (!readOnly) ok = setImmutable(fd, false) && ok;
        const mode_t writeBits = S_IWUSR | S_IWGRP | S_IWOTH;
        const mode_t mode = readOnly ? (st.st_mode & ~writeBits) : (st.st_mode | S_IWUSR);
        if (::fchmod(fd, mode & 07777) != 0) ok = false;
        if (readOnly) ok = setImmutable(fd, true) && ok;
    }
    ::close(fd);
    return ok;
}

}  // namespace

std::optional<std::vector<uint8_t>> readFile(const std::string& path) {
    const int fd = openNoFollow(path, false);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (done != bytes.size()) return std::nullopt;
    return bytes;
}

std::optional<uint64_t> fileSize(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

bool emptyFolder(const std::string& folder) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(folder, ec);
    if (fs::is_symlink(status)) return false;  // not ours to empty through
    if (!fs::exists(status)) return fs::create_directories(folder, ec);
    bool ok = true;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        // remove_all removes a link itself, never what it points at.
        std::error_code removeError;
        fs::remove_all(it->path(), removeError);
        if (removeError) ok = false;
    }
    return ok && !ec;
}

bool setReadOnly(const std::string& root, bool readOnly) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec))) return false;
    bool ok = true;
    std::vector<std::pair<std::string, bool>> entries;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status st = it->symlink_status(ec);
        if (fs::is_directory(st)) {
            entries.emplace_back(it->path().string(), true);
        } else if (fs::is_regular_file(st)) {
            entries.emplace_back(it->path().string(), false);
        }
    }
    if (ec) ok = false;
    // The root last when locking, first when unlocking: its children stay
    // reachable either way, since attributes are set through open handles.
    if (!readOnly) ok = changeEntry(root, true, false) && ok;
    for (const auto& [path, directory] : entries) ok = changeEntry(path, directory, readOnly) && ok;
    if (readOnly) ok = changeEntry(root, true, true) && ok;
    return ok;
}

}  // namespace sim::drive
