// The fixture of the end-to-end suites: a fresh rig per test, and the
// simulated GPS configurations they start from.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../sim_gps/SimGpsConfigs.h"
#include "UpdateRig.h"

namespace e2e {

using namespace std::chrono_literals;
using testing_support::gpsConfig;

class UpdateE2eTest : public ::testing::Test {
  protected:
    // Every wait of the updater and of the GPS runs a hundred times faster.
    static constexpr double kTimeScale = 0.01;

    void SetUp() override { rig = std::make_unique<UpdateRig>(kTimeScale); }
    void TearDown() override {
        if (HasFailure() || std::getenv("QUORTA_E2E_DESCRIBE")) describe();
        rig.reset();
    }

    // What the window and the device ended with, for a failed test's output.
    void describe() {
        std::printf("title: [%s]\ndetail: [%s]\nbutton: %d [%s] progress: %d destroyed: %d\n",
                    core::state().statusTitle().c_str(), core::state().statusDetail().c_str(),
                    rig->window.buttonVisible(), rig->window.buttonText().c_str(),
                    rig->window.progressVisible(), rig->window.destroyed());
        for (const Box& b : rig->window.boxes())
            std::printf("box %s: %s\n", b.caption.c_str(), b.text.c_str());
        const auto log = rig->log();
        const size_t from = log.size() > 60 ? log.size() - 60 : 0;
        for (size_t i = from; i < log.size(); ++i) std::printf("log| %s", log[i].c_str());
        std::printf("\n");
        for (const StatusCall& c : rig->statuses())
            std::printf("status %d [%s] [%s]\n", c.complete, c.title ? c.title->c_str() : "-",
                        c.detail ? c.detail->c_str() : "-");
        for (auto* gps : gpses)
            for (const std::string& line : gps->activity()) std::printf("gps| %s\n", line.c_str());
    }

    // Plugged in and started: the window shows the device with its offer.
    sim::SimulatedGps& connect(sim::GpsConfig config) {
        sim::SimulatedGps& gps = addGps(std::move(config));
        gps.plugIn(sim::GpsMode::Application);
        rig->startUp();
        return gps;
    }

    bool waitForOffer() {
        return rig->waitFor(
            [this] {
                return rig->window.buttonVisible() &&
                       rig->window.buttonText().rfind("Update to", 0) == 0 && rig->window.idle();
            },
            30s);
    }

    bool waitForLatest() {
        return rig->waitFor([this] { return rig->showsLatest(); }, 30s);
    }

    // Every file below `root` by its path relative to it, with its bytes;
    // folders as entries without bytes.
    static std::map<std::string, std::vector<uint8_t>> snapshotTree(const std::string& root) {
        namespace fs = std::filesystem;
        std::map<std::string, std::vector<uint8_t>> out;
        std::error_code ec;
        if (!fs::is_directory(root, ec)) return out;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec)) {
            const std::string rel = fs::relative(it->path(), root, ec).string();
            if (it->is_directory(ec)) {
                out[rel + "/"];
                continue;
            }
            std::ifstream in(it->path(), std::ios::binary);
            out[rel] = std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
        }
        return out;
    }

    // The user's data on a GPS drive: ride files, settings, a nested folder
    // and an empty one, with content that no two files share.
    static void writeUserData(const std::string& quortaFolder) {
        namespace fs = std::filesystem;
        std::mt19937 random(1234);
        auto write = [&](const std::string& rel, size_t size) {
            const fs::path path = fs::path(quortaFolder) / rel;
            fs::create_directories(path.parent_path());
            std::vector<char> bytes(size);
            for (char& b : bytes) b = static_cast<char>(random());
            std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(size));
        };
        write("Rides/2024-05-01.fit", 150'000);
        write("Rides/2024-05-03.fit", 90'001);
        write("Settings.json", 713);
        write("Maps/Kanto/region.bin", 400'000);
        write("Empty.txt", 0);
        fs::create_directories(fs::path(quortaFolder) / "Routes");
    }

    sim::SimulatedGps& addGps(sim::GpsConfig config) {
        sim::SimulatedGps& gps = rig->addGps(std::move(config));
        gpses.push_back(&gps);
        return gps;
    }

    // The Osprey Max from 12.40, whose update takes every road (backup,
    // firmware, factory reset, radio, fonts, restore), with the rider's data
    // on its drive; not yet plugged in.
    struct RidersGps {
        sim::SimulatedGps& gps;
        std::string quorta;                                  // the rider's folder on the drive
        std::map<std::string, std::vector<uint8_t>> before;  // what it held
    };
    RidersGps addRidersGps() {
        sim::SimulatedGps& gps = addGps(gpsConfig(13, true, 12, 40));
        std::string quorta = gps.driveFolder() + "/Quorta";
        writeUserData(quorta);
        return {gps, quorta, snapshotTree(quorta)};
    }

    std::unique_ptr<UpdateRig> rig;
    std::vector<sim::SimulatedGps*> gpses;
};

}  // namespace e2e
