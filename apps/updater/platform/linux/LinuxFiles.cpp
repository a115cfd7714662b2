#include "platform/linux/LinuxFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace platform {

namespace {

// Every difference found is listed up to this many; the count goes on.
constexpr size_t kMaxListedDifferences = 50;
constexpr size_t kCopyChunk = 1 << 20;

// A descriptor closed on every way out.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

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

// --- Tree walks --------------------------------------------------------------

// The name a file of copyMissing is written under until it is whole; one per
// folder, so a copy cut off part way leaves at most this one file, and the
// next copy into the folder writes over it.
constexpr const char* kPassingName = ".quorta-copy.partial";

class TreeCopy {
  public:
    // `keepExisting`: copy only what the target lacks (copyMissing).
    TreeCopy(TreeResult& result, bool keepExisting)
        : result_(result), keepExisting_(keepExisting) {}

    bool copyFolder(int from, int to, const std::string& fromShown, const std::string& toShown) {
        std::vector<std::string> names;
        if (!listFolder(from, names, &result_.error, fromShown)) return false;
        for (const std::string& name : names) {
            const std::string src = join(fromShown, name);
            const std::string dst = join(toShown, name);
            struct stat st {};
            if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                result_.error = "cannot inspect " + src + ": " + errnoText(errno);
                return false;
            }
            if (S_ISDIR(st.st_mode)) {
                if (::mkdirat(to, name.c_str(), 0700) != 0 && errno != EEXIST) {
                    result_.error = "cannot create " + dst + ": " + errnoText(errno);
                    return false;
                }
                if (keepExisting_) {
                    // A file or a link that has the folder's name keeps it.
                    struct stat there {};
                    if (::fstatat(to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
                        result_.error = "cannot inspect " + dst + ": " + errnoText(errno);
                        return false;
                    }
                    if (!S_ISDIR(there.st_mode)) {
                        result_.kept.push_back(dst);
                        continue;
                    }
                }
                Fd subFrom = openFolderAt(from, name.c_str(), &result_.error, src);
                if (!subFrom.valid()) return false;
                Fd subTo = openFolderAt(to, name.c_str(), &result_.error, dst);
                if (!subTo.valid()) return false;
                if (!copyFolder(subFrom.get(), subTo.get(), src, dst)) return false;
            } else if (S_ISREG(st.st_mode) && keepExisting_ && name != kPassingName) {
                if (!copyIfMissing(from, to, name, src, dst)) return false;
            } else if (S_ISREG(st.st_mode) && !keepExisting_) {
                if (!copyOne(from, to, name, src, dst)) return false;
            } else {
                result_.skipped.push_back(src);
            }
        }
        return true;
    }

  private:
    bool copyIfMissing(int from, int to, const std::string& name, const std::string& src,
                       const std::string& dst) {
        struct stat there {};
        if (::fstatat(to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
            result_.kept.push_back(dst);
            return true;
        }
        if (errno != ENOENT) {
            result_.error = "cannot inspect " + dst + ": " + errnoText(errno);
            return false;
        }
        struct stat st {};
        Fd in = openRegularForRead(from, name.c_str(), &st, &result_.error, src);
        if (!in.valid()) return false;
        Fd out = openForWrite(to, kPassingName, 0600, &result_.error, dst);
        if (!out.valid()) return false;
        uint64_t copied = 0;
        if (!copyContent(in.get(), out.get(), uint64_t(st.st_size), dst, &result_.error, &copied) ||
            !closeWritten(out, dst, &result_.error)) {
            ::unlinkat(to, kPassingName, 0);  // fails too when the drive has gone
            return false;
        }
        // RENAME_NOREPLACE: a file that appeared meanwhile is not replaced.
        int rc = ::renameat2(to, kPassingName, to, name.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            if (::fstatat(to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
                errno = EEXIST;
            } else {
                rc = ::renameat(to, kPassingName, to, name.c_str());
            }
        }
        if (rc != 0) {
            const int err = errno;
            ::unlinkat(to, kPassingName, 0);
            if (err == EEXIST) {
                result_.kept.push_back(dst);
                return true;
            }
            result_.error = "cannot name " + dst + ": " + errnoText(err);
            return false;
        }
        // The new name is only lasting once the folder is flushed (where the
        // file system can flush a folder at all).
        if (::fsync(to) != 0 && errno != EINVAL && errno != EROFS && errno != ENOSYS &&
            errno != ENOTSUP) {
            result_.error = "cannot flush the folder of " + dst + ": " + errnoText(errno);
            return false;
        }
        result_.files += 1;
        result_.bytes += copied;
        return true;
    }

    bool copyOne(int from, int to, const std::string& name, const std::string& src,
                 const std::string& dst) {
        struct stat st {};
        Fd in = openRegularForRead(from, name.c_str(), &st, &result_.error, src);
        if (!in.valid()) return false;
        Fd out = openForWrite(to, name.c_str(), 0600, &result_.error, dst);
        if (!out.valid()) return false;
        uint64_t copied = 0;
        if (!copyContent(in.get(), out.get(), uint64_t(st.st_size), dst, &result_.error, &copied))
            return false;
        if (!closeWritten(out, dst, &result_.error)) return false;
        result_.files += 1;
        result_.bytes += copied;
        return true;
    }

    TreeResult& result_;
    bool keepExisting_;
};

class TreeDelete {
  public:
    explicit TreeDelete(TreeResult& result) : result_(result) {}

    bool emptyFolder(int dirFd, const std::string& shown) {
        std::vector<std::string> names;
        if (!listFolder(dirFd, names, &result_.error, shown)) return false;
        for (const std::string& name : names) {
            const std::string path = join(shown, name);
            struct stat st {};
            if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                result_.error = "cannot inspect " + path + ": " + errnoText(errno);
                return false;
            }
            if (S_ISDIR(st.st_mode)) {
                Fd sub = openFolderAt(dirFd, name.c_str(), &result_.error, path);
                if (!sub.valid()) return false;
                if (!emptyFolder(sub.get(), path)) return false;
                sub.reset();
                if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) {
                    result_.error = "cannot remove " + path + ": " + errnoText(errno);
                    return false;
                }
            } else {
                // A link goes itself; what it points at is never touched.
                if (S_ISLNK(st.st_mode)) result_.skipped.push_back(path);
                if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) {
                    result_.error = "cannot remove " + path + ": " + errnoText(errno);
                    return false;
                }
                if (S_ISREG(st.st_mode)) {
                    result_.files += 1;
                    result_.bytes += uint64_t(st.st_size);
                }
            }
        }
        return true;
    }

  private:
    TreeResult& result_;
};

class TreeCompare {
  public:
    TreeCompare(TreeResult& result, TreeComparison how) : result_(result), how_(how) {}

    // False only when the walk itself could not go on.
    bool compareFolder(int a, int b, const std::string& rel, const std::string& aShown,
                       const std::string& bShown) {
        std::vector<std::string> namesA, namesB;
        if (!listFolder(a, namesA, &result_.error, aShown)) return false;
        if (!listFolder(b, namesB, &result_.error, bShown)) return false;
        if (how_ == TreeComparison::Identical) {
            for (const std::string& name : namesB) {
                if (!std::binary_search(namesA.begin(), namesA.end(), name))
                    differ(join(rel, name) + ": only in the copy");
            }
        }
        for (const std::string& name : namesA) {
            const std::string r = join(rel, name);
            const std::string pa = join(aShown, name);
            const std::string pb = join(bShown, name);
            struct stat sa {
            }, sb{};
            if (::fstatat(a, name.c_str(), &sa, AT_SYMLINK_NOFOLLOW) != 0) {
                result_.error = "cannot inspect " + pa + ": " + errnoText(errno);
                return false;
            }
            if (::fstatat(b, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
                differ(r + ": missing");
                continue;
            }
            const mode_t ta = sa.st_mode & S_IFMT, tb = sb.st_mode & S_IFMT;
            if (ta != tb) {
                differ(r + ": not the same kind of entry");
                continue;
            }
            if (S_ISDIR(sa.st_mode)) {
                Fd subA = openFolderAt(a, name.c_str(), &result_.error, pa);
                if (!subA.valid()) return false;
                Fd subB = openFolderAt(b, name.c_str(), nullptr, pb);
                if (!subB.valid()) {
                    differ(r + ": cannot be opened in the copy");
                    continue;
                }
                if (!compareFolder(subA.get(), subB.get(), r, pa, pb)) return false;
            } else if (S_ISREG(sa.st_mode)) {
                if (!compareFile(a, b, name, r, pa, pb, sa, sb)) return false;
            } else if (S_ISLNK(sa.st_mode)) {
                result_.skipped.push_back(pa);
                if (linkText(a, name) != linkText(b, name)) differ(r + ": links differ");
            } else {
                result_.skipped.push_back(pa);
            }
        }
        return true;
    }

  private:
    static std::string linkText(int dirFd, const std::string& name) {
        std::vector<char> buf(4096);
        ssize_t n = ::readlinkat(dirFd, name.c_str(), buf.data(), buf.size());
        return n < 0 ? std::string("\0?", 2) : std::string(buf.data(), size_t(n));
    }

    bool compareFile(int a, int b, const std::string& name, const std::string& rel,
                     const std::string& pa, const std::string& pb, const struct stat& sa,
                     const struct stat& sb) {
        if (sa.st_size != sb.st_size) {
            differ(rel + ": " + std::to_string(sb.st_size) + " bytes instead of " +
                   std::to_string(sa.st_size));
            return true;
        }
        struct stat st {};
        Fd fa = openRegularForRead(a, name.c_str(), &st, &result_.error, pa);
        if (!fa.valid()) return false;
        std::string problem;
        Fd fb = openRegularForRead(b, name.c_str(), &st, &problem, pb);
        if (!fb.valid()) {
            differ(rel + ": " + problem);
            return true;
        }
        // Buffers reused from file to file, sized for the largest seen.
        const size_t want = size_t(std::min<uint64_t>(uint64_t(sa.st_size) + 1, kCopyChunk));
        if (ba_.size() < want) {
            ba_.resize(want);
            bb_.resize(want);
        }
        std::vector<uint8_t>& ba = ba_;
        std::vector<uint8_t>& bb = bb_;
        uint64_t offset = 0;
        for (;;) {
            ssize_t na = readFull(fa.get(), ba.data(), want);
            ssize_t nb = readFull(fb.get(), bb.data(), want);
            if (na < 0) {
                result_.error = "cannot read " + pa + ": " + errnoText(errno);
                return false;
            }
            if (nb < 0) {
                differ(rel + ": cannot be read in the copy");
                return true;
            }
            if (na != nb || std::memcmp(ba.data(), bb.data(), size_t(na)) != 0) {
                size_t at = 0;
                const size_t common = size_t(std::min(na, nb));
                while (at < common && ba[at] == bb[at]) ++at;
                differ(rel + ": differs at byte " + std::to_string(offset + at));
                return true;
            }
            if (na == 0) break;
            offset += uint64_t(na);
        }
        result_.files += 1;
        result_.bytes += offset;
        return true;
    }

    void differ(std::string what) {
        if (result_.differences.size() < kMaxListedDifferences)
            result_.differences.push_back(std::move(what));
    }

    TreeResult& result_;
    TreeComparison how_;
    std::vector<uint8_t> ba_, bb_;
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

TreeResult LinuxFiles::copyTree(const std::string& rawFrom, const std::string& rawTo) {
    return copyInto(rawFrom, rawTo, false);
}

TreeResult LinuxFiles::copyMissing(const std::string& rawFrom, const std::string& rawTo) {
    return copyInto(rawFrom, rawTo, true);
}

TreeResult LinuxFiles::copyInto(const std::string& rawFrom, const std::string& rawTo,
                                bool keepExisting) {
    TreeResult result;
    const std::string from = trimmed(rawFrom), to = trimmed(rawTo);
    Fd src = openRoot(from, &result.error);
    if (!src.valid()) return result;
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        result.error = to + " is a symbolic link; it is not followed";
        return result;
    }
    if (::mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) {
        result.error = "cannot create " + to + ": " + errnoText(errno);
        return result;
    }
    Fd dst = openRoot(to, &result.error);
    if (!dst.valid()) return result;
    TreeCopy copy(result, keepExisting);
    result.ok = copy.copyFolder(src.get(), dst.get(), from, to);
    return result;
}

TreeResult LinuxFiles::deleteTree(const std::string& rawPath) {
    TreeResult result;
    const std::string path = trimmed(rawPath);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            result.ok = true;
        } else {
            result.error = "cannot inspect " + path + ": " + errnoText(errno);
        }
        return result;
    }
    if (S_ISLNK(st.st_mode)) {
        result.error = path + " is a symbolic link; it is not followed";
        return result;
    }
    Fd root = openRoot(path, &result.error);
    if (!root.valid()) return result;
    TreeDelete remover(result);
    if (!remover.emptyFolder(root.get(), path)) return result;
    root.reset();
    if (::rmdir(path.c_str()) != 0 && errno != ENOENT) {
        result.error = "cannot remove " + path + ": " + errnoText(errno);
        return result;
    }
    result.ok = true;
    return result;
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

TreeResult LinuxFiles::compareTrees(const std::string& rawA, const std::string& rawB,
                                    TreeComparison how) {
    TreeResult result;
    const std::string a = trimmed(rawA), b = trimmed(rawB);
    Fd fa = openRoot(a, &result.error);
    if (!fa.valid()) return result;
    Fd fb = openRoot(b, &result.error);
    if (!fb.valid()) return result;
    TreeCompare compare(result, how);
    if (!compare.compareFolder(fa.get(), fb.get(), "", a, b)) return result;
    result.ok = result.differences.empty();
    if (!result.ok) result.error = "the trees differ";
    return result;
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
