#include "platform/linux/TextOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace platform {

void FdTextOutput::write(std::string_view text) {
    const std::string out = plainLineEnds(text);
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return;
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::write(fd_, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to write: the line is dropped, not retried forever
        done += static_cast<size_t>(n);
    }
}

void FdTextOutput::replaceFd(int fd) {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

StderrDebugOutput::StderrDebugOutput() : FdTextOutput(STDERR_FILENO) {}

LogFile::~LogFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool LogFile::open(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = "cannot write the log file \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    adopt(fd);
    return true;
}

void LogFile::adopt(int fd) {
    replaceFd(fd);
}

}  // namespace platform
