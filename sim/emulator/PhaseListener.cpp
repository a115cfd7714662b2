#include "sim/emulator/PhaseListener.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace emu {

namespace {

// Longer than any phase's name: a longer line names none, and is not kept.
constexpr size_t kLongestLine = 64;
// How often the thread looks whether the child has ended.
constexpr int kStopCheckMs = 50;

}  // namespace

PhaseListener::PhaseListener() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    readEnd_ = fds[0];
    writeEnd_ = fds[1];
}

PhaseListener::~PhaseListener() {
    stop();
    if (writeEnd_ >= 0) ::close(writeEnd_);
    if (readEnd_ >= 0) ::close(readEnd_);
}

void PhaseListener::listen(Hook hook) {
    if (!ok() || thread_.joinable()) return;
    ::close(writeEnd_);
    writeEnd_ = -1;
    thread_ = std::thread([this, hook = std::move(hook)] { run(hook); });
}

void PhaseListener::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

void PhaseListener::run(const Hook& hook) {
    std::string line;
    bool tooLong = false;
    char buffer[512];
    for (;;) {
        pollfd p{readEnd_, POLLIN, 0};
        // Read from the stop on only what is already there.
        const bool last = stopping_;
        const int ready = ::poll(&p, 1, last ? 0 : kStopCheckMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            if (last || ready < 0) return;
            continue;
        }
        const ssize_t n = ::read(readEnd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // every writer has gone
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                if (line.size() < kLongestLine) {
                    line += buffer[i];
                } else {
                    tooLong = true;
                }
                continue;
            }
            if (!tooLong) {
                if (std::optional<core::UpdatePhase> phase = core::updatePhaseNamed(line)) {
                    hook(*phase);
                }
            }
            line.clear();
            tooLong = false;
        }
    }
}

}  // namespace emu
