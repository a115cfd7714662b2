#include "SerialIo.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "bootloader/Logger.h"

namespace bootloader::serialio {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

int readFor(int fd, uint8_t* buffer, uint32_t count, uint32_t timeoutMs) {
    if (fd < 0) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint32_t got = 0;
    bool signalled = false;  // poll said readable since the last read
    bool hungUp = false;     // poll said the line is gone
    while (got < count) {
        // With VMIN = VTIME = 0 an empty port reads as 0 bytes (or EAGAIN).
        ssize_t n = ::read(fd, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            signalled = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return got ? static_cast<int>(got) : -1;
        }
        // Nothing more from a line that hung up (an adapter unplugged).
        if (hungUp) return got ? static_cast<int>(got) : -1;
        // Readable yet empty: waiting longer brings nothing.
        if (signalled) break;
        const int wait = remainingMs(deadline);
        if (wait == 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, wait);
        if (r < 0 && errno != EINTR) return got ? static_cast<int>(got) : -1;
        if (r == 0) break;
        if (r > 0) {
            signalled = (p.revents & POLLIN) != 0;
            hungUp = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        }
    }
    return static_cast<int>(got);
}

int writeFor(int fd, const uint8_t* buffer, uint32_t count, uint32_t timeoutMs) {
    if (fd < 0) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return done ? static_cast<int>(done) : -1;
        }
        const int wait = remainingMs(deadline);
        if (wait == 0) break;
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, wait);
        if (r < 0 && errno != EINTR) return done ? static_cast<int>(done) : -1;
        if (r > 0 && !(p.revents & POLLOUT) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            return done ? static_cast<int>(done) : -1;
        }
    }
    return static_cast<int>(done);
}

void trace(const char* open, const uint8_t* bytes, uint32_t count, const char* close) {
    Logger* logger = getLogger();
    if (!logger || logger->filterLevel != kLogTrace) return;
    logTrace("%s", open);
    for (uint32_t i = 0; i < count; ++i) {
        if (i) logTrace(" ");
        logTrace("%02x", bytes[i]);
    }
    logTrace("%s", close);
}

}  // namespace bootloader::serialio
