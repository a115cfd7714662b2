#include "RunProgram.h"

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

namespace cli_testing {

std::string makeTempFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) return {};
    return pattern;
}

void removeTempFolder(const std::string& path) {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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

ProgramRunner::ProgramRunner() {
    base_ = makeTempFolder("quorta-cli");
    runtime_ = base_ + "/run";
    cache_ = base_ + "/cache";
    state_ = base_ + "/state";
    ::mkdir(runtime_.c_str(), 0700);
    ::mkdir(cache_.c_str(), 0700);
    ::mkdir(state_.c_str(), 0700);
}

ProgramRunner::~ProgramRunner() {
    removeTempFolder(base_);
}

ProgramRun ProgramRunner::run(const std::vector<std::string>& args, const std::string& input,
                              int timeoutSeconds) {
    return runProgram(QUORTA_UPDATER_PATH, args, input, timeoutSeconds);
}

ProgramRun ProgramRunner::runProgram(const std::string& programPath,
                                     const std::vector<std::string>& args, const std::string& input,
                                     int timeoutSeconds) {
    ChildProcess child;
    child.argv = {programPath};
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    child.input = input;
    child.folder = base_;
    // Each run keeps a log in the state folder: not in the developer's own home.
    child.env = {
        {"XDG_RUNTIME_DIR", runtime_}, {"XDG_CACHE_HOME", cache_}, {"XDG_STATE_HOME", state_}};
    child.timeoutSeconds = timeoutSeconds;
    return runChildProcess(child);
}

ProgramRun runChildProcess(const ChildProcess& child) {
    const std::string inPath = child.folder + "/stdin", outPath = child.folder + "/stdout",
                      errPath = child.folder + "/stderr";
    std::ofstream(inPath, std::ios::binary) << child.input;
    ProgramRun result;
    if (child.argv.empty()) return result;
    const pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        ::dup2(::open(inPath.c_str(), O_RDONLY), 0);
        ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        for (const auto& [name, value] : child.env) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<std::string> copies = child.argv;
        std::vector<char*> argv;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(child.timeoutSeconds);
    int status = 0;
    bool ended = false;
    bool asked = false;
    for (;;) {
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
            ::kill(pid, SIGTERM);
            asked = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended && !asked && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.out = readWholeFile(outPath);
    result.err = readWholeFile(errPath);
    return result;
}

}  // namespace cli_testing
