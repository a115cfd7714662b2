#include "EmulatorRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "RunProgram.h"

namespace usb_testing {

namespace fs = std::filesystem;

Emulator::Emulator() {
    base_ = cli_testing::makeTempFolder("quorta-usb");
    folder("run");
    folder("cache");
}

Emulator::~Emulator() {
    cli_testing::removeTempFolder(base_);
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
    const std::string reportPath = base_ + "/report";
    fs::remove(reportPath);
    // A fresh cache: no backup of an earlier run (the folder itself stays,
    // with its owner).
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(base_ + "/cache", ec)) {
        fs::remove_all(entry.path(), ec);
    }
    cli_testing::ChildProcess child;
    child.argv = std::move(args);
    child.input = input;
    child.folder = base_;
    child.timeoutSeconds = timeoutSeconds;
    // For the sanitized build: a defect of hidapi's, not ours.
    std::string lsan = "suppressions=" + std::string(QUORTA_USB_LSAN_SUPPRESSIONS);
    if (const char* old = std::getenv("LSAN_OPTIONS"); old && *old) lsan += ":" + std::string(old);
    child.env = {{"XDG_RUNTIME_DIR", base_ + "/run"},
                 {"XDG_CACHE_HOME", base_ + "/cache"},
                 {"LSAN_OPTIONS", lsan}};
    const cli_testing::ProgramRun run = cli_testing::runChildProcess(child);
    EmulatorRun result;
    result.exitCode = run.exitCode;
    result.out = run.out;
    result.err = run.err;
    result.report = cli_testing::readWholeFile(reportPath);
    return result;
}

std::optional<std::string> whyNotRunnable() {
    if (::access("/dev/ptmx", R_OK | W_OK) != 0)
        return "no /dev/ptmx for the emulated hidraw nodes";
    return std::nullopt;
}

}  // namespace usb_testing
