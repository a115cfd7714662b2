#include "platform/linux/EmulatedRoad.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace platform {

namespace {

// A descriptor number from the environment, or -1.
int descriptorIn(const char* variable) {
    const char* text = std::getenv(variable);
    if (!text || !*text) return -1;
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || fd < 3 || fd > INT_MAX) return -1;
    return int(fd);
}

}  // namespace

bool emulatedRoadDeclared() {
    const char* testbed = std::getenv("UMOCKDEV_DIR");
    const char* preload = std::getenv("LD_PRELOAD");
    if (!testbed || !*testbed || !preload ||
        std::string_view(preload).find("libumockdev-preload") == std::string_view::npos)
        return false;
    const int fd = descriptorIn(kEmulatedRoadFdVariable);
    if (fd < 0) return false;

    // The descriptor must be the emulator's memory file, not any open file.
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    const std::string_view name(target, size_t(n));
    const std::string expectedName = std::string("/memfd:") + kEmulatedRoadMemfdName;
    if (!name.starts_with(expectedName) ||
        (name.size() > expectedName.size() && name[expectedName.size()] != ' '))
        return false;

    const std::string expected = emulatedRoadDeclaration(testbed);
    std::string found(expected.size() + 1, '\0');
    const ssize_t got = ::pread(fd, found.data(), found.size(), 0);
    ::close(fd);
    return got == ssize_t(expected.size()) && found.compare(0, expected.size(), expected) == 0;
}

std::unique_ptr<EmulatorPhasePipe> EmulatorPhasePipe::fromEnvironment() {
    const int fd = descriptorIn(kEmulatedRoadPhaseFdVariable);
    if (fd < 0) return nullptr;
    struct stat st {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || flags < 0 ||
        (flags & O_ACCMODE) != O_WRONLY)
        return nullptr;
    // An emulator that stops reading never holds the update up, and nothing
    // this program starts keeps the emulator waiting for the pipe's end.
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return std::make_unique<EmulatorPhasePipe>(fd);
}

EmulatorPhasePipe::EmulatorPhasePipe(int fd) : fd_(fd) {}

EmulatorPhasePipe::~EmulatorPhasePipe() {
    if (fd_ >= 0) ::close(fd_);
}

bool EmulatorPhasePipe::send(std::string_view phaseName) {
    std::string line(phaseName);
    line += '\n';
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return false;
    // A write to a pipe nobody reads raises SIGPIPE, which would end the
    // program: it is held back on this thread and, if the write raised it,
    // taken off again, so that only EPIPE is left.
    sigset_t pipeSignal, old, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    ssize_t n;
    do {
        n = ::write(fd_, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    const int error = n < 0 ? errno : 0;
    if (error == EPIPE && !alreadyPending) {
        const timespec none{};
        while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (error == EPIPE || error == EBADF) {
        ::close(fd_);
        fd_ = -1;
    }
    // A line shorter than PIPE_BUF goes whole or not at all.
    return n == ssize_t(line.size());
}

}  // namespace platform
