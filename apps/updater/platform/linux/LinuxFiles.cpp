#include "platform/linux/LinuxFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/linux/LinuxFileIo.h"

namespace platform {

using namespace fileio;

namespace {

class LinuxWritableFile : public WritableFile {
  public:
    LinuxWritableFile(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
    ~LinuxWritableFile() override = default;

    bool lock(uint64_t offset, uint64_t length) override {
        return setLock(F_WRLCK, offset, length, "lock");
    }
    bool unlock(uint64_t offset, uint64_t length) override {
        return setLock(F_UNLCK, offset, length, "unlock");
    }

    size_t write(const uint8_t* data, size_t length) override {
        if (!fd_.valid()) {
            error_ = path_ + " is not open";
            return 0;
        }
        int err = 0;
        size_t done = writeAll(fd_.get(), data, length, 0, &err);
        if (done != length) {
            error_ = "writing " + path_ + " stopped after " + std::to_string(done) + " of " +
                     std::to_string(length) + " bytes: " + errnoText(err);
        }
        return done;
    }

    bool close() override {
        if (!fd_.valid()) return true;
        bool ok = true;
        if (::fsync(fd_.get()) != 0 && errno != EINVAL) {
            error_ = "cannot flush " + path_ + ": " + errnoText(errno);
            ok = false;
        }
        std::string problem;
        if (!closeWritten(fd_, path_, &problem)) {
            error_ = problem;
            ok = false;
        }
        return ok;
    }

    std::string error() const override { return error_; }

  private:
    bool setLock(short type, uint64_t offset, uint64_t length, const char* what) {
        if (!fd_.valid()) return false;
        struct flock range {};
        range.l_type = type;
        range.l_whence = SEEK_SET;
        range.l_start = off_t(offset);
        range.l_len = off_t(length);
        if (::fcntl(fd_.get(), F_OFD_SETLK, &range) != 0 && lockHeldElsewhere(errno)) {
            error_ = std::string("cannot ") + what + " " + path_ + ": " + errnoText(errno);
            return false;
        }
        return true;
    }

    Fd fd_;
    std::string path_;
    std::string error_;
};

}  // namespace

bool LinuxFiles::createFolder(const std::string& rawPath, bool privateMode, std::string* error) {
    const std::string path = trimmed(rawPath);
    if (path.empty()) {
        setError(error, "no folder named");
        return false;
    }
    if (::mkdir(path.c_str(), privateMode ? 0700 : 0755) != 0 && errno != EEXIST) {
        setError(error, "cannot create " + path + ": " + errnoText(errno));
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        setError(error, "cannot inspect " + path + ": " + errnoText(errno));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        setError(error, path + " is a symbolic link; it is not followed");
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setError(error, path + " is not a folder");
        return false;
    }
    if (privateMode && (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)) {
        setError(error, path + " is not a private folder of this user");
        return false;
    }
    return true;
}

std::unique_ptr<WritableFile> LinuxFiles::createFile(const std::string& path, std::string* error) {
    Fd fd = openForWrite(AT_FDCWD, path.c_str(), 0600, error, path);
    if (!fd.valid()) return nullptr;
    return std::make_unique<LinuxWritableFile>(std::move(fd), path);
}

bool LinuxFiles::deleteFile(const std::string& path, std::string* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        setError(error, "cannot inspect " + path + ": " + errnoText(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        setError(error, path + " is a folder");
        return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        setError(error, "cannot delete " + path + ": " + errnoText(errno));
        return false;
    }
    return true;
}

bool LinuxFiles::copyFile(const std::string& from, const std::string& to, std::string* error) {
    struct stat st {};
    Fd in = openRegularForRead(AT_FDCWD, from.c_str(), &st, error, from);
    if (!in.valid()) return false;
    Fd out = openForWrite(AT_FDCWD, to.c_str(), 0644, error, to);
    if (!out.valid()) return false;
    if (!copyContent(in.get(), out.get(), uint64_t(st.st_size), to, error, nullptr)) return false;
    return closeWritten(out, to, error);
}

bool LinuxFiles::renameFolder(const std::string& rawFrom, const std::string& rawTo,
                              std::string* error) {
    const std::string from = trimmed(rawFrom), to = trimmed(rawTo);
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) {
        setError(error, "cannot inspect " + from + ": " + errnoText(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setError(error, from + (S_ISLNK(st.st_mode) ? " is a symbolic link; it is not followed"
                                                    : " is not a folder"));
        return false;
    }
    // RENAME_NOREPLACE: whatever appears at `to` meanwhile is never replaced.
    int rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
        // A file system without the flag: check, then rename.
        if (::lstat(to.c_str(), &st) == 0) {
            errno = EEXIST;
        } else {
            rc = ::rename(from.c_str(), to.c_str());
        }
    }
    if (rc != 0) {
        setError(error, "cannot rename " + from + " to " + to + ": " + errnoText(errno));
        return false;
    }
    return true;
}

bool LinuxFiles::isFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(trimmed(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool LinuxFiles::exists(const std::string& path) {
    struct stat st {};
    return ::lstat(trimmed(path).c_str(), &st) == 0;
}

Presence LinuxFiles::presence(const std::string& path, std::string* error) {
    struct stat st {};
    const std::string p = trimmed(path);
    if (::lstat(p.c_str(), &st) == 0) return Presence::Present;
    // Only these say the name is free; a refused or failing look says nothing.
    if (errno == ENOENT) return Presence::Absent;
    setError(error, "cannot look at " + p + ": " + errnoText(errno));
    return Presence::Unknown;
}

bool LinuxFiles::readFile(const std::string& path, size_t maxBytes, std::string& content,
                          std::string* error) {
    struct stat st {};
    Fd in = openRegularForRead(AT_FDCWD, path.c_str(), &st, error, path);
    if (!in.valid()) return false;
    std::vector<uint8_t> buffer(maxBytes + 1);
    const ssize_t n = readFull(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
        setError(error, "cannot read " + path + ": " + errnoText(errno));
        return false;
    }
    if (size_t(n) > maxBytes) {
        setError(error, path + " is longer than " + std::to_string(maxBytes) + " bytes");
        return false;
    }
    content.assign(reinterpret_cast<const char*>(buffer.data()), size_t(n));
    return true;
}

}  // namespace platform
