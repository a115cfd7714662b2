#include "platform/linux/XdgRunLog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/linux/XdgPaths.h"

namespace platform {

namespace {

constexpr size_t kStampLength = 19;  // 2026-03-14_09-26-53
constexpr int kMaxRunsPerSecond = 99;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string stampOf(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &local);
    return text;
}

// The run's file, created new (never an existing file or a link planted under
// its name). -1, with errno, when it cannot be.
int createRunFile(int dir, const std::string& stamp, std::string& name) {
    for (int n = 1; n <= kMaxRunsPerSecond; ++n) {
        char suffix[8] = "";
        if (n > 1) std::snprintf(suffix, sizeof suffix, "_%02d", n);
        name = stamp + suffix + ".log";
        const int fd =
            ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Removes the oldest run logs beyond `keep`, never this run's own. The names
// sort in the order the runs started.
void removeOldRunLogs(int dir, const std::string& own, size_t keep) {
    const int listFd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return;
    DIR* listing = ::fdopendir(listFd);
    if (!listing) {
        ::close(listFd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(listing)) {
        if (isRunLogName(e->d_name) && e->d_name != own) names.emplace_back(e->d_name);
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    const size_t others = keep > 0 ? keep - 1 : 0;
    for (size_t i = 0; i + others < names.size(); ++i) {
        ::unlinkat(dir, names[i].c_str(), 0);  // a folder of that name stays
    }
}

}  // namespace

bool isRunLogName(std::string_view name) {
    if (name.size() < kStampLength + 4) return false;
    for (size_t i = 0; i < kStampLength; ++i) {
        const char want = i == 4 || i == 7 || i == 13 || i == 16 ? '-' : i == 10 ? '_' : '0';
        if (want == '0' ? !isDigit(name[i]) : name[i] != want) return false;
    }
    std::string_view rest = name.substr(kStampLength);
    if (rest.size() == 7 && rest[0] == '_' && isDigit(rest[1]) && isDigit(rest[2])) {
        rest.remove_prefix(3);
    }
    return rest == ".log";
}

XdgRunLog::XdgRunLog(std::string folder, size_t keep, Now now)
    : folder_(std::move(folder)), keep_(keep), now_(std::move(now)) {}

bool XdgRunLog::start(std::string& problem) {
    std::string folder = folder_;
    if (folder.empty()) {
        const std::string base = userStateDir();
        if (base.empty()) {
            problem =
                "No log of this run is kept: neither XDG_STATE_HOME nor a home folder is known";
            return false;
        }
        folder = base + "/quorta-updater";
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    auto refuse = [&](const std::string& why) {
        problem = "No log of this run is kept in " + folder + ": " + why;
        return false;
    };

    std::string why;
    if (!makePrivateDir(folder, why)) return refuse(why);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return refuse(std::string("cannot open it: ") + std::strerror(errno));
    // Checked again on what was opened: the folder may have been swapped since.
    struct stat st {};
    if (::fstat(dir, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        ::close(dir);
        return refuse("it is not a private folder of this user");
    }
    std::string name;
    const int fd = createRunFile(dir, stampOf(now_()), name);
    if (fd < 0) {
        const int error = errno;
        ::close(dir);
        return refuse(std::string("cannot create a file there: ") + std::strerror(error));
    }
    removeOldRunLogs(dir, name, keep_);
    ::close(dir);
    file_.adopt(fd);
    path_ = folder + "/" + name;
    return true;
}

void XdgRunLog::write(std::string_view text) {
    file_.write(text);
}

}  // namespace platform
