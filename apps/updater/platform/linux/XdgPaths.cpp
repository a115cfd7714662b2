#include "platform/linux/XdgPaths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace platform {

namespace {

std::string homeDir() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result &&
        result->pw_dir && result->pw_dir[0] == '/') {
        return result->pw_dir;
    }
    return "";
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

std::string userCacheDir() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/') return cache;
    std::string home = homeDir();
    return home.empty() ? "" : home + "/.cache";
}

std::string userStateDir() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') return state;
    std::string home = homeDir();
    return home.empty() ? "" : home + "/.local/state";
}

bool makePrivateDir(const std::string& path, std::string& problem) {
    if (path.empty() || path[0] != '/') {
        problem = "not an absolute path";
        return false;
    }
    std::string dir = path;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    // Parents first; they are the user's own (~/.cache) and may be shared
    // folders, so only their existence matters.
    for (size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
        std::string parent = dir.substr(0, pos);
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
            problem = "cannot create " + parent + ": " + std::strerror(errno);
            return false;
        }
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot create it: " + std::string(std::strerror(errno));
        return false;
    }
    // Check what is there now without following a link planted in its place.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        problem = std::string("cannot inspect it: ") + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        problem = "it is a symbolic link";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        problem = "it is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        problem = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        // The user's own folder, left open by a umask or an older program:
        // closed here, through a handle that cannot be a link swapped in
        // since the check.
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat now {};
        const bool same = fd >= 0 && ::fstat(fd, &now) == 0 && now.st_dev == st.st_dev &&
                          now.st_ino == st.st_ino && now.st_uid == ::geteuid();
        const bool closed = same && ::fchmod(fd, 0700) == 0;
        const int err = errno;
        if (fd >= 0) ::close(fd);
        if (!closed) {
            problem = "it is open to other users (mode " + modeText(st.st_mode) +
                      ") and cannot be made private" +
                      (same ? ": " + std::string(std::strerror(err)) : "");
            return false;
        }
    }
    return true;
}

XdgPaths::XdgPaths() = default;

XdgPaths::XdgPaths(std::string cacheDir) : cacheDir_(std::move(cacheDir)) {}

std::string XdgPaths::stagingDir(std::string* problem) {
    return privateFolder("Quorta", problem);
}

std::string XdgPaths::tempDir(std::string* problem) {
    return privateFolder("quorta-updater", problem);
}

std::string XdgPaths::privateFolder(const char* name, std::string* problem) {
    std::string base = cacheDir_.empty() ? userCacheDir() : cacheDir_;
    std::string why;
    if (base.empty()) {
        why = "No cache folder: neither XDG_CACHE_HOME nor a home folder is known.";
    } else {
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        const std::string path = base + "/" + name;
        std::string reason;
        if (makePrivateDir(path, reason)) return path + "/";
        why = "Cannot use " + path + ": " + reason + ".";
    }
    std::fprintf(stderr, "quorta-updater: %s\n", why.c_str());
    if (problem) *problem = why;
    return "";
}

}  // namespace platform
