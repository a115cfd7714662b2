#pragma once

// The descriptor-level pieces shared by LinuxFiles' single-file operations
// (LinuxFiles.cpp) and its tree walks (LinuxFileTrees.cpp). Internal to
// this folder.

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform::fileio {

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

std::string errnoText(int err);

void setError(std::string* error, std::string text);

std::string join(const std::string& base, const std::string& name);

std::string trimmed(std::string path);

// Why an open with O_NOFOLLOW failed, in words.
std::string openProblem(const std::string& path, int err);

// Opens a folder without following a link in its place.
Fd openFolderAt(int dirFd, const char* name, std::string* problem, const std::string& shown);

// Opens a regular file for reading; FIFOs and devices are refused without
// blocking on them.
Fd openRegularForRead(int dirFd, const char* name, struct stat* st, std::string* problem,
                      const std::string& shown);

// A lock refused because someone else holds it. A file system that keeps no
// locks at all (some network and FUSE mounts) refuses nobody: the write is
// still counted byte for byte, which is what keeps a short file off the GPS.
bool lockHeldElsewhere(int err);

// Opens (creating when missing) a regular file for writing and empties it,
// after taking a whole-file lock so that no other writer shares it.
Fd openForWrite(int dirFd, const char* name, mode_t mode, std::string* problem,
                const std::string& shown);

// Writes the whole buffer at `offset`; the count written (short on error).
size_t writeAll(int fd, const uint8_t* data, size_t length, off_t offset, int* err);

// Reads up to `length` bytes, short only at the end of the file or on error.
ssize_t readFull(int fd, uint8_t* data, size_t length);

// Copies an open regular file into another; false with the reason.
bool copyContent(int from, int to, uint64_t expected, const std::string& shownTo,
                 std::string* problem, uint64_t* copied);

// Closes a written descriptor, reporting what close says (on some file
// systems the last write error only shows here).
bool closeWritten(Fd& fd, const std::string& shown, std::string* problem);

// The names in an open folder (without "." and ".."), sorted so that walks
// and their reports are stable.
bool listFolder(int dirFd, std::vector<std::string>& names, std::string* problem,
                const std::string& shown);

// Opens a tree's root as a folder; a link in its place is refused.
Fd openRoot(const std::string& path, std::string* problem);

}  // namespace platform::fileio
