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

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

ProgramRunner::ProgramRunner() {
    char pattern[] = "/tmp/quorta-cli-XXXXXX";
    base_ = ::mkdtemp(pattern);
    runtime_ = base_ + "/run";
    cache_ = base_ + "/cache";
    state_ = base_ + "/state";
    ::mkdir(runtime_.c_str(), 0700);
    ::mkdir(cache_.c_str(), 0700);
    ::mkdir(state_.c_str(), 0700);
}

ProgramRunner::~ProgramRunner() {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
}

ProgramRun ProgramRunner::run(const std::vector<std::string>& args, const std::string& input,
                              int timeoutSeconds) {
    return runProgram(QUORTA_UPDATER_PATH, args, input, timeoutSeconds);
}

ProgramRun ProgramRunner::runProgram(const std::string& programPath,
                                     const std::vector<std::string>& args, const std::string& input,
                                     int timeoutSeconds) {
    const std::string inPath = base_ + "/stdin", outPath = base_ + "/stdout",
                      errPath = base_ + "/stderr";
    std::ofstream(inPath, std::ios::binary) << input;
    ProgramRun result;
    const pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ::setenv("XDG_CACHE_HOME", cache_.c_str(), 1);
        // Each run keeps a log there: not in the developer's own home.
        ::setenv("XDG_STATE_HOME", state_.c_str(), 1);
        std::vector<char*> argv;
        std::string program = programPath;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.out = slurp(outPath);
    result.err = slurp(errPath);
    return result;
}

}  // namespace cli_testing
