#include "sim/PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

PtyServer::PtyServer() {
    termios raw{};
    ::cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&raw, B115200);
    ::cfsetospeed(&raw, B115200);
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    }
    path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(master_);
        ::close(slave_);
        throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    }
}

PtyServer::~PtyServer() {
    stop();
    for (int fd : {master_, slave_, wake_[0], wake_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

void PtyServer::start() {
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void PtyServer::stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &byte, 1);
    thread_.join();
}

void PtyServer::send(const uint8_t* data, size_t length) {
    output_.insert(output_.end(), data, data + length);
}

void PtyServer::flushOutput() {
    while (!output_.empty()) {
        ssize_t n = ::write(master_, output_.data(), output_.size());
        if (n > 0) {
            output_.erase(output_.begin(), output_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;  // the line is full; poll says when it takes more
    }
}

void PtyServer::run() {
    // A device answers on its own time, whatever else the computer is doing;
    // the host's reads wait only tens of milliseconds. Where the system lets
    // us, this thread gets ahead of ordinary work (it sleeps nearly always).
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kNice);
    uint8_t buffer[4096];
    while (!stopping_) {
        pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (output_.empty() ? 0 : POLLOUT)), 0},
                         {wake_[0], POLLIN, 0}};
        int r = ::poll(fds, 2, kTickMs);
        if (r < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            char drain[16];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
            continue;  // the loop condition decides
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) onInput(buffer, static_cast<size_t>(n));
        }
        onTick();
        flushOutput();
    }
}

}  // namespace sim
