#include "platform/linux/LinuxFileIo.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::fileio {

std::string errnoText(int err) {
    return std::strerror(err);
}

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

std::string join(const std::string& base, const std::string& name) {
    if (base.empty()) return name;
    return base + "/" + name;
}

std::string trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Why an open with O_NOFOLLOW failed, in words.
std::string openProblem(const std::string& path, int err) {
    if (err == ELOOP) return path + " is a symbolic link; it is not followed";
    if (err == ENOTDIR) return path + " is not a folder";
    return "cannot open " + path + ": " + errnoText(err);
}

// Opens a folder without following a link in its place.
Fd openFolderAt(int dirFd, const char* name, std::string* problem, const std::string& shown) {
    Fd fd(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) setError(problem, openProblem(shown, errno));
    return fd;
}

// Opens a regular file for reading; FIFOs and devices are refused without
// blocking on them.
Fd openRegularForRead(int dirFd, const char* name, struct stat* st, std::string* problem,
                      const std::string& shown) {
    Fd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        setError(problem, openProblem(shown, errno));
        return fd;
    }
    if (::fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode)) {
        setError(problem, shown + " is not a regular file");
        return Fd();
    }
    return fd;
}

// A lock refused because someone else holds it. A file system that keeps no
// locks at all (some network and FUSE mounts) refuses nobody: the write is
// still counted byte for byte, which is what keeps a short file off the GPS.
bool lockHeldElsewhere(int err) {
    return err == EAGAIN || err == EACCES;
}

// Opens (creating when missing) a regular file for writing and empties it,
// after taking a whole-file lock so that no other writer shares it.
Fd openForWrite(int dirFd, const char* name, mode_t mode, std::string* problem,
                const std::string& shown) {
    Fd fd(::openat(dirFd, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd.valid()) {
        setError(problem, openProblem(shown, errno));
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        setError(problem, shown + " is not a regular file");
        return Fd();
    }
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_OFD_SETLK, &whole) != 0 && lockHeldElsewhere(errno)) {
        setError(problem, shown + " is in use by another writer");
        return Fd();
    }
    if (::ftruncate(fd.get(), 0) != 0) {
        setError(problem, "cannot empty " + shown + ": " + errnoText(errno));
        return Fd();
    }
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

// Writes the whole buffer at `offset`; the count written (short on error).
size_t writeAll(int fd, const uint8_t* data, size_t length, off_t offset, int* err) {
    size_t done = 0;
    *err = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd, data + done, length - done, offset + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *err = n < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(n);
    }
    return done;
}

// Reads up to `length` bytes, short only at the end of the file or on error.
ssize_t readFull(int fd, uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += size_t(n);
    }
    return ssize_t(done);
}

// Copies an open regular file into another; false with the reason.
bool copyContent(int from, int to, uint64_t expected, const std::string& shownTo,
                 std::string* problem, uint64_t* copied) {
    std::vector<uint8_t> buffer(std::min<uint64_t>(std::max<uint64_t>(expected, 1), kCopyChunk));
    uint64_t total = 0;
    for (;;) {
        ssize_t n = readFull(from, buffer.data(), buffer.size());
        if (n < 0) {
            setError(problem, "cannot read the source of " + shownTo + ": " + errnoText(errno));
            return false;
        }
        if (n == 0) break;
        int err = 0;
        size_t written = writeAll(to, buffer.data(), size_t(n), off_t(total), &err);
        total += written;
        if (written != size_t(n)) {
            setError(problem, "writing " + shownTo + " stopped after " + std::to_string(total) +
                                  " bytes: " + errnoText(err));
            return false;
        }
    }
    if (total != expected) {
        setError(problem, "the source of " + shownTo + " changed size while it was copied");
        return false;
    }
    if (::fsync(to) != 0 && errno != EINVAL && errno != EROFS) {
        setError(problem, "cannot flush " + shownTo + ": " + errnoText(errno));
        return false;
    }
    if (copied) *copied = total;
    return true;
}

// Closes a written descriptor, reporting what close says (on some file
// systems the last write error only shows here).
bool closeWritten(Fd& fd, const std::string& shown, std::string* problem) {
    int raw = fd.release();
    if (raw >= 0 && ::close(raw) != 0) {
        setError(problem, "closing " + shown + " failed: " + errnoText(errno));
        return false;
    }
    return true;
}

// The names in an open folder (without "." and ".."), sorted so that walks
// and their reports are stable.
bool listFolder(int dirFd, std::vector<std::string>& names, std::string* problem,
                const std::string& shown) {
    int dupFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) {
        setError(problem, "cannot list " + shown + ": " + errnoText(errno));
        return false;
    }
    DIR* dir = ::fdopendir(dupFd);
    if (!dir) {
        setError(problem, "cannot list " + shown + ": " + errnoText(errno));
        ::close(dupFd);
        return false;
    }
    ::rewinddir(dir);
    names.clear();
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
        errno = 0;
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) {
        setError(problem, "cannot list " + shown + ": " + errnoText(err));
        return false;
    }
    std::sort(names.begin(), names.end());
    return true;
}

// Opens a tree's root as a folder; a link in its place is refused.
Fd openRoot(const std::string& path, std::string* problem) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        setError(problem, path + " is a symbolic link; it is not followed");
        return Fd();
    }
    return openFolderAt(AT_FDCWD, path.c_str(), problem, path);
}

}  // namespace platform::fileio
