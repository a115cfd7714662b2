// The emulated USB road's cost (quorta-gps-emulator, umockdev).
//
// 1. The largest image (570,480 bytes, 17,828 data reports) written through
//    the emulated flash bootloader by the bootloader library on the real
//    hidapi backend (libhidapi-hidraw): reports per second, and the CPU time
//    of the program that writes and of the emulator that answers.
// 2. The automatic update of a Japanese type 13 from 12.40 at
//    --time-scale=0.05, through the emulator and with --simulate, one run
//    each: the emulator must not be what the update waits on.
//
// The program runs itself under the emulator for 1 (--write-client).
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bootloader/Bootloader.h"
#include "bootloader/Command.h"
#include "hidport/hidport.h"

namespace {

constexpr size_t kImageSize = 570480;
constexpr uint16_t kVendor = 0x2B29;
constexpr uint16_t kType11 = 11;  // standard: its bootloader's product id is the type

double nowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double ownCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// User and system time of another process (the emulator, our parent).
double processCpuMs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string hexText(size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string s = "{{";
    uint32_t seed = 2024;
    for (size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        const auto b = static_cast<uint8_t>(seed >> 16);
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s + "}}";
}

bool sendJumpToBootloader() {
    hidport::hid_device* app = hidport::hid_open(kVendor, 0x55, nullptr);
    if (!app) return false;
    unsigned char report[65];
    std::memset(report, 0xFF, sizeof report);
    const unsigned char frame[] = {0x00, 0x01, 0x09, 0x29, 0x91, 0x04};  // JUMP_TO_BL
    std::memcpy(report, frame, sizeof frame);
    const bool sent = hidport::hid_write_timeout(app, report, sizeof report, -1) > 0;
    hidport::hid_close(app);
    hidport::hid_exit();
    return sent;
}

bool runCommand(bootloader::PeripheralConfig config, std::vector<std::string> args) {
    auto command = bootloader::Command::create(std::move(args));
    if (!command) return false;
    try {
        bootloader::Bootloader session(config);
        session.inject(*command);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench: %s\n", e.what());
        return false;
    }
    const auto& values = command->getResponseValues();
    if (values.empty() || values[0] != 0) {
        std::fprintf(stderr, "bench: %s: status %d\n", command->getName().c_str(),
                     values.empty() ? -1 : static_cast<int>(values[0]));
        return false;
    }
    return true;
}

// Under the emulator, with a type 11 standard GPS in application mode.
int writeClient() {
    hidport::setBackend(hidport::Backend::Real);
    if (!sendJumpToBootloader()) {
        std::fprintf(stderr, "bench: the GPS's application did not open\n");
        return 1;
    }
    bootloader::PeripheralConfig config;
    config.peripheralKind = bootloader::kPeripheralKind_UsbHid;
    config.vendorId = kVendor;
    config.productId = kType11;
    config.packetTimeoutMs = 5000;
    bool shown = false;
    for (int i = 0; i < 200 && !shown; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (hidport::hid_device* bl = hidport::hid_open(kVendor, kType11, nullptr)) {
            hidport::hid_close(bl);
            shown = true;
        }
    }
    const bool erased = shown && runCommand(config, {"flash-erase-region", "0xa000", "0x8c000"});
    if (!erased) {
        std::fprintf(stderr, "bench: the flash bootloader did not erase\n");
        return 1;
    }
    const std::string text = hexText(kImageSize);
    const pid_t emulator = ::getppid();
    const double w0 = nowMs(), c0 = ownCpuMs(), e0 = processCpuMs(emulator);
    const bool written = runCommand(config, {"write-memory", "0xa000", text});
    const double w1 = nowMs(), c1 = ownCpuMs(), e1 = processCpuMs(emulator);
    if (!written) {
        std::fprintf(stderr, "bench: the write did not complete\n");
        return 1;
    }
    const double reports = static_cast<double>((kImageSize + 31) / 32 + 2);
    std::printf("wrote %zu bytes: %.0f ms, %.0f reports/s, CPU %.0f ms writer + %.0f ms emulator\n",
                kImageSize, w1 - w0, reports / ((w1 - w0) / 1000.0), c1 - c0, e1 - e0);
    return 0;
}

// Runs a program with private runtime and cache folders; its wall time.
double timedRun(const std::vector<std::string>& args, const std::string& base, int* code) {
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base + "/run");
    std::filesystem::create_directories(base + "/cache");
    ::chmod((base + "/run").c_str(), 0700);
    std::fflush(stdout);
    const double start = nowMs();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("XDG_RUNTIME_DIR", (base + "/run").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (base + "/cache").c_str(), 1);
        std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
        (void)quiet;
        std::vector<char*> argv;
        std::vector<std::string> copies = args;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return nowMs() - start;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--write-client") == 0) return writeClient();

    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    const std::string base = "/tmp/quorta-bench-usb-" + std::to_string(::getpid());
    int code = 0;
    std::printf("== through the emulated flash bootloader\n");
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(QUORTA_EMULATOR_PATH, QUORTA_EMULATOR_PATH, "--gps=11:std:7.62", "--", self.c_str(),
                "--write-client", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: the write under the emulator failed\n");
        return 1;
    }
    std::fflush(stdout);

    std::printf("== type 13 from 12.40 at --time-scale=0.05\n");
    const double emulated =
        timedRun({QUORTA_EMULATOR_PATH, "--gps=13:jp:12.40", "--time-scale=0.05", "--",
                  QUORTA_UPDATER_PATH, "--cli", "--yes", "--update"},
                 base, &code);
    std::printf("through the emulator: %.1f s (exit %d)\n", emulated / 1000.0, code);
    const double simulated = timedRun({QUORTA_UPDATER_PATH, "--cli", "--yes", "--update",
                                       "--simulate=13:jp:12.40", "--time-scale=0.05"},
                                      base, &code);
    std::printf("with --simulate:      %.1f s (exit %d)\n", simulated / 1000.0, code);
    std::filesystem::remove_all(base);
    return 0;
}
