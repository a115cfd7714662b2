#include "platform/linux/EmulatedRoad.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace platform {

bool emulatedRoadDeclared() {
    const char* fdText = std::getenv(kEmulatedRoadFdVariable);
    const char* testbed = std::getenv("UMOCKDEV_DIR");
    const char* preload = std::getenv("LD_PRELOAD");
    if (!fdText || !*fdText || !testbed || !*testbed || !preload ||
        std::string_view(preload).find("libumockdev-preload") == std::string_view::npos)
        return false;
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(fdText, &end, 10);
    if (errno != 0 || *end != '\0' || fd < 3 || fd > INT_MAX) return false;

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
    const ssize_t got = ::pread(int(fd), found.data(), found.size(), 0);
    ::close(int(fd));
    return got == ssize_t(expected.size()) && found.compare(0, expected.size(), expected) == 0;
}

}  // namespace platform
