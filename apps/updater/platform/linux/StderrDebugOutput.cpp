#include "platform/linux/StderrDebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {

void StderrDebugOutput::write(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\r') out.push_back(c);
    }
    std::lock_guard lock(mutex_);
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::write(STDERR_FILENO, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to write: the line is dropped, not retried forever
        done += static_cast<size_t>(n);
    }
}

}  // namespace platform
