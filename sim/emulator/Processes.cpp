#include "sim/emulator/Processes.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace emu {

namespace {

std::vector<std::string> childEnvironment(const SpawnPlan& plan) {
    std::vector<std::string> env;
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    auto overridden = [&](const std::string& name) {
        for (const std::string& u : plan.unset) {
            if (u == name) return true;
        }
        for (const std::string& s : plan.set) {
            if (nameOf(s) == name) return true;
        }
        return false;
    };
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        if (!overridden(nameOf(entry))) env.push_back(std::move(entry));
    }
    env.insert(env.end(), plan.set.begin(), plan.set.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

pid_t spawnProcess(const SpawnPlan& plan) {
    if (plan.argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    // Everything the child needs is made before fork: between fork and exec
    // a threaded process may only make plain system calls.
    std::vector<std::string> argvStrings = plan.argv;
    std::vector<std::string> envStrings = childEnvironment(plan);
    std::vector<char*> argv = pointers(argvStrings);
    std::vector<char*> envp = pointers(envStrings);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid != 0) return pid;

    if (plan.stdoutFd >= 0) ::dup2(plan.stdoutFd, 1);
    if (plan.stderrFd >= 0) ::dup2(plan.stderrFd, 2);
    for (const int fd : plan.keepFds) ::fcntl(fd, F_SETFD, 0);
    if (plan.udevDaemon) {
        // Before the change of user: only root may make the namespace.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ::_exit(126);
        }
        const bool haveFolder = ::access("/run/udev", F_OK) == 0;
        if (::mount("tmpfs", haveFolder ? "/run/udev" : "/run", "tmpfs", MS_NOSUID | MS_NODEV,
                    "mode=0755") != 0) {
            ::_exit(126);
        }
        if (!haveFolder) ::mkdir("/run/udev", 0755);
        const int control = ::open("/run/udev/control", O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (control < 0) ::_exit(126);
        ::close(control);
    }
    if (plan.gid) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(*plan.gid) != 0) ::_exit(126);
    }
    if (plan.uid && ::setuid(*plan.uid) != 0) ::_exit(126);
    // After the change of user: changing credentials clears it.
    if (plan.dieWithParent) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
    }
    ::signal(SIGPIPE, SIG_DFL);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(errno == ENOENT ? 127 : 126);
}

void endProcess(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

int waitExitCode(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 125;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 125;
}

}  // namespace emu
