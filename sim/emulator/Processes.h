// Starting and ending the emulator's own child processes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace emu {

struct SpawnPlan {
    std::vector<std::string> argv;   // argv[0] is looked up on PATH
    std::vector<std::string> set;    // "NAME=value" added to (or replacing in) the environment
    std::vector<std::string> unset;  // names taken out of the environment
    int stdoutFd = -1;               // -1: inherited
    int stderrFd = -1;
    // Descriptors the child keeps (dbus-daemon's --print-address, the
    // emulator's declaration and its phase pipe); all others close on exec.
    std::vector<int> keepFds;
    // Run as this user (needs root): supplementary groups dropped, then the
    // group and the user set, before the program starts.
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    // The child sees a udev daemon's /run/udev/control, in a mount namespace
    // of its own (needs root), and so takes udev's event source as on a
    // desktop. The testbed cannot give it one: umockdev's preload redirects
    // /sys, /dev and /proc, not /run.
    bool udevDaemon = false;
    // Ended when the emulator ends, however it ends.
    bool dieWithParent = true;
};

// The child's id, or -1 (errno set) when it could not be started. A program
// that cannot be run makes the child exit with 127 (not found) or 126.
pid_t spawnProcess(const SpawnPlan& plan);

// SIGTERM, then SIGKILL if it has not ended after a while; reaps it.
void endProcess(pid_t& pid);

// Waits for the child and returns its exit code as a shell gives it
// (128 + signal number for a child ended by a signal).
int waitExitCode(pid_t pid);

}  // namespace emu
