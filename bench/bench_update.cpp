// What the host adds to a full automatic update.
//
// An Osprey Max (type 13, Japanese) at 12.40 with user data on its drive is
// taken through the whole automatic update at time scale 1: backup, jump to
// the bootloader, the 45 s driver wait, erase, write, reset, factory reset,
// radio update, both font packs, restore. The update is made of fixed waits;
// everything else is the host's own work (scans, the firmware write, file
// copies and compares, decoding images). The figure is the wall time of the
// run divided by the sum of the fixed waits the updater went through
// (Clock::totalSleptMs), both taken in the same run. Target: at most 1.05.
//
// Waits on different threads overlap (the window thread scans while a worker
// waits), so the sum of the waits can exceed the wall time and hide the
// host's work. The second figure divides the wall time by the time during
// which at least one thread was in a fixed wait: what is left over is time
// no wait covered, the host's work on the road the update takes.
//
// The simulated GPS answers at once here (its own restart, radio and font
// times set to zero) so that its time is not counted as the host's; with
// --realistic-device it keeps its default times, and the figure then also
// holds the device's own seconds.
//
//   bench_update [--realistic-device] [--time-scale=F]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "UpdateRig.h"
#include "core/Backup.h"

namespace {

constexpr double kTarget = 1.05;

void writeUserData(const std::string& quorta) {
    namespace fs = std::filesystem;
    std::mt19937 random(7);
    auto write = [&](const std::string& rel, size_t size) {
        const fs::path path = fs::path(quorta) / rel;
        fs::create_directories(path.parent_path());
        std::vector<char> bytes(size);
        for (char& b : bytes) b = static_cast<char>(random());
        std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(size));
    };
    for (int i = 0; i < 40; ++i) write("Rides/ride" + std::to_string(i) + ".fit", 120'000);
    write("Settings.json", 900);
    write("Maps/region.bin", 2'000'000);
}

// A scaled clock that also remembers when each wait ran, to tell how much of
// the wall time some wait covered.
class CoverageClock : public platform::Clock {
  public:
    explicit CoverageClock(double scale) : inner_(scale) {}

    void sleepMs(int64_t ms) override {
        noteSleep(ms);
        const auto from = std::chrono::steady_clock::now();
        inner_.sleepMs(ms);
        const auto to = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex_);
        waits_.emplace_back(from, to);
    }
    int64_t nowMs() const override { return inner_.nowMs(); }
    std::chrono::microseconds realDuration(int64_t ms) const override {
        return inner_.realDuration(ms);
    }

    // Milliseconds of wall time in [start, end] during which some wait ran.
    double coveredMs(std::chrono::steady_clock::time_point start,
                     std::chrono::steady_clock::time_point end) {
        std::vector<
            std::pair<std::chrono::steady_clock::time_point, std::chrono::steady_clock::time_point>>
            spans;
        {
            std::lock_guard lock(mutex_);
            spans = waits_;
        }
        std::sort(spans.begin(), spans.end());
        double covered = 0;
        auto reach = start;
        for (auto [from, to] : spans) {
            from = std::max(from, reach);
            to = std::min(to, end);
            if (to <= from) continue;
            covered += std::chrono::duration<double, std::milli>(to - from).count();
            reach = to;
        }
        return covered;
    }

  private:
    platform::ScaledClock inner_;
    std::mutex mutex_;
    std::vector<
        std::pair<std::chrono::steady_clock::time_point, std::chrono::steady_clock::time_point>>
        waits_;
};

}  // namespace

int main(int argc, char** argv) {
    bool realisticDevice = false;
    double scale = 1.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--realistic-device") == 0) {
            realisticDevice = true;
        } else if (std::strncmp(argv[i], "--time-scale=", 13) == 0) {
            scale = std::atof(argv[i] + 13);
        } else {
            std::fprintf(stderr, "usage: %s [--realistic-device] [--time-scale=F]\n", argv[0]);
            return 2;
        }
    }
    if (!(scale > 0)) {
        std::fprintf(stderr, "bench_update: the time scale must be above 0\n");
        return 2;
    }

    CoverageClock clock(scale);
    e2e::UpdateRig rig(clock);
    sim::GpsConfig config;
    config.deviceType = 13;
    config.japanese = true;
    config.versionMajor = 12;
    config.versionMinor = 40;
    config.replyDelayMs = realisticDevice ? config.replyDelayMs : 0;
    if (!realisticDevice) config.timing = sim::GpsTiming::instant();
    sim::SimulatedGps& gps = rig.addGps(config);
    writeUserData(gps.driveFolder() + "/Quorta");
    gps.plugIn(sim::GpsMode::Application);

    // Start-up and the offer are not part of the update.
    rig.startUp();
    const auto generous = std::chrono::milliseconds(static_cast<int64_t>(600'000 * scale) + 60'000);
    if (!rig.waitFor(
            [&] {
                return rig.window.buttonVisible() &&
                       rig.window.buttonText().rfind("Update to", 0) == 0 && rig.window.idle();
            },
            generous)) {
        std::fprintf(stderr, "bench_update: the GPS was never offered an update\n");
        return 1;
    }

    const int64_t sleptBefore = rig.clock.totalSleptMs();
    const auto start = std::chrono::steady_clock::now();
    rig.clickUpdateButton();
    // The end: "Latest software is installed on device"; or, should the
    // device never report the carried radio build, the wireless worker's
    // last report handled and nothing left running.
    const bool finished = rig.waitFor(
        [&] {
            if (rig.showsLatest()) return true;
            return rig.logged("Nordic Start C gcbn:60 dlv:60\r\n") && rig.threads.running() == 0 &&
                   rig.window.idle();
        },
        std::chrono::milliseconds(static_cast<int64_t>(900'000 * scale) + 120'000));
    const auto end = std::chrono::steady_clock::now();
    const int64_t slept = rig.clock.totalSleptMs() - sleptBefore;
    if (!finished) {
        std::fprintf(stderr, "bench_update: the update did not finish\n");
        return 1;
    }

    const double wallMs = std::chrono::duration<double, std::milli>(end - start).count();
    const double waitsMs = static_cast<double>(slept) * scale;
    const double ratio = wallMs / waitsMs;
    const double coveredMs = clock.coveredMs(start, end);
    std::printf(
        "full automatic update, type 13 Japanese 12.40 -> 14.51, time scale %g, %s device\n", scale,
        realisticDevice ? "realistic" : "instant");
    std::printf("  ended with: %s\n", core::state().statusDetail().c_str());
    std::printf("  wall time            %10.1f ms\n", wallMs);
    std::printf("  fixed waits (scaled) %10.1f ms  (%lld ms of the updater's clock)\n", waitsMs,
                static_cast<long long>(slept));
    std::printf("  wall / waits         %10.4f  (target <= %.2f)\n", ratio, kTarget);
    std::printf("  covered by a wait    %10.1f ms\n", coveredMs);
    std::printf("  wall / covered       %10.4f  (%.1f ms no wait covered)\n", wallMs / coveredMs,
                wallMs - coveredMs);
    // The driver wait ends when the bootloader answers; its own line says how long it took.
    for (const std::string& line : rig.log()) {
        if (line.rfind("Driver wait: ", 0) == 0) {
            std::printf("  %s", line.substr(0, line.find('\r')).c_str());
            std::printf(" (updater's clock)\n");
        }
    }
    return realisticDevice || ratio <= kTarget ? 0 : 1;
}
