#include "platform/linux/FlockInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/linux/XdgPaths.h"

namespace platform {

std::string instanceLockDir() {
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && run[0] == '/') {
        struct stat st {};
        if (::stat(run, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
            (st.st_mode & 077) == 0) {
            return run;
        }
    }
    std::string cache = userCacheDir();
    if (cache.empty()) return "";
    std::string dir = cache + "/quorta-updater-run";
    std::string problem;
    if (!makePrivateDir(dir, problem)) {
        std::fprintf(stderr, "quorta-updater: refusing to use %s: %s\n", dir.c_str(),
                     problem.c_str());
        return "";
    }
    return dir;
}

FlockInstanceLock::FlockInstanceLock() : dir_(instanceLockDir()) {}

FlockInstanceLock::FlockInstanceLock(std::string dir) : dir_(std::move(dir)) {}

FlockInstanceLock::~FlockInstanceLock() {
    release();
}

bool FlockInstanceLock::acquire(const std::string& name) {
    if (fd_ >= 0) {
        if (name == heldName_) return true;
        release();
    }
    if (dir_.empty() || name.empty() || name == "." || name == ".." ||
        name.find('/') != std::string::npos) {
        return false;
    }
    path_ = dir_ + "/" + name + ".lock";
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return false;
    }
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        ::close(fd);
        return false;
    }
    // Who holds it, for a person looking at the file.
    if (::ftruncate(fd, 0) == 0) {
        std::string pid = std::to_string(::getpid()) + "\n";
        ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
        (void)n;
    }
    fd_ = fd;
    heldName_ = name;
    return true;
}

void FlockInstanceLock::release() {
    // The file stays: removing it would let a third process lock a new file
    // while a second one still waits on the old one.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    heldName_.clear();
}

}  // namespace platform
