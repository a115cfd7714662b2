#include "EmulatorRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace usb_testing {

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

Emulator::Emulator() {
    char pattern[] = "/tmp/quorta-usb-XXXXXX";
    base_ = ::mkdtemp(pattern);
    folder("run");
    folder("cache");
}

Emulator::~Emulator() {
    std::error_code ec;
    fs::remove_all(base_, ec);
}

std::string Emulator::folder(const std::string& name) {
    const std::string path = base_ + "/" + name;
    ::mkdir(path.c_str(), 0700);
    return path;
}

void Emulator::giveTo(uid_t uid, gid_t gid) {
    ::chmod(base_.c_str(), 0755);
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(base_, ec)) {
        ::lchown(entry.path().c_str(), uid, gid);
    }
}

EmulatorRun Emulator::run(const std::vector<std::string>& emulatorArgs,
                          const std::vector<std::string>& programArgs, const std::string& input,
                          int timeoutSeconds) {
    std::vector<std::string> args = {QUORTA_EMULATOR_PATH};
    args.insert(args.end(), emulatorArgs.begin(), emulatorArgs.end());
    args.push_back("--report=" + base_ + "/report");
    args.push_back("--");
    args.insert(args.end(), programArgs.begin(), programArgs.end());
    return execute(std::move(args), input, timeoutSeconds);
}

EmulatorRun Emulator::runDirectly(const std::vector<std::string>& programArgs,
                                  const std::string& input, int timeoutSeconds) {
    return execute(programArgs, input, timeoutSeconds);
}

EmulatorRun Emulator::execute(std::vector<std::string> args, const std::string& input,
                              int timeoutSeconds) {
    const std::string inPath = base_ + "/stdin", outPath = base_ + "/stdout",
                      errPath = base_ + "/stderr", reportPath = base_ + "/report";
    std::ofstream(inPath, std::ios::binary) << input;
    fs::remove(reportPath);
    // A fresh cache: no backup of an earlier run (the folder itself stays,
    // with its owner).
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(base_ + "/cache", ec)) {
        fs::remove_all(entry.path(), ec);
    }

    EmulatorRun result;
    const pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        ::dup2(::open(inPath.c_str(), O_RDONLY), 0);
        ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        ::setenv("XDG_RUNTIME_DIR", (base_ + "/run").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (base_ + "/cache").c_str(), 1);
        // For the sanitized build: a defect of hidapi's, not ours.
        std::string lsan = "suppressions=" + std::string(QUORTA_USB_LSAN_SUPPRESSIONS);
        if (const char* old = std::getenv("LSAN_OPTIONS"); old && *old)
            lsan += ":" + std::string(old);
        ::setenv("LSAN_OPTIONS", lsan.c_str(), 1);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    bool ended = false;
    bool asked = false;
    while (!ended) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now > deadline + std::chrono::seconds(10)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        if (now > deadline && !asked) {
            // The emulator ends its program and cleans up after itself.
            ::kill(pid, SIGTERM);
            asked = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended && !asked && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    result.report = slurp(reportPath);
    return result;
}

std::optional<std::string> whyNotRunnable() {
    if (::access("/dev/ptmx", R_OK | W_OK) != 0)
        return "no /dev/ptmx for the emulated hidraw nodes";
    return std::nullopt;
}

bool inOrder(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& p : parts) {
        at = text.find(p, at);
        if (at == std::string::npos) return false;
        at += p.size();
    }
    return true;
}

}  // namespace usb_testing
