#include "sim/SimulatedMachine.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "hidport/hidport.h"

namespace sim {

namespace {

std::optional<int> parseNumber(std::string_view text, int low, int high) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

bool fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

std::string makePrivateFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorta-sim-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw std::runtime_error("cannot make a folder for the simulated GPS drive");
    return buffer.data();
}

}  // namespace

std::optional<GpsConfig> parseSimulateOption(std::string_view text, std::string* error) {
    GpsConfig config;
    std::vector<std::string_view> parts = split(text, ':');
    if (parts.size() > 3) {
        fail(error, "expected TYPE[:jp|std][:MAJOR.MINOR]");
        return std::nullopt;
    }
    std::optional<int> type = parseNumber(parts[0], 0, 16);
    if (!type) {
        fail(error, "the device type must be a number from 0 to 16");
        return std::nullopt;
    }
    config.deviceType = *type;
    for (size_t i = 1; i < parts.size(); ++i) {
        std::string_view part = parts[i];
        if (part == "jp" && i == 1) {
            config.japanese = true;
        } else if (part == "std" && i == 1) {
            config.japanese = false;
        } else if (part.find('.') != std::string_view::npos && i == parts.size() - 1) {
            std::vector<std::string_view> version = split(part, '.');
            std::optional<int> major, minor;
            if (version.size() == 2) {
                major = parseNumber(version[0], 0, 127);
                minor = parseNumber(version[1], 0, 127);
            }
            if (!major || !minor) {
                fail(error, "the version must be MAJOR.MINOR with numbers from 0 to 127");
                return std::nullopt;
            }
            config.versionMajor = *major;
            config.versionMinor = *minor;
        } else {
            fail(error, "unknown part \"" + std::string(part) +
                            "\": expected TYPE[:jp|std][:MAJOR.MINOR]");
            return std::nullopt;
        }
    }
    return config;
}

SimulatedMachine::SimulatedMachine(platform::Clock* clock)
    : clock_(clock), folder_(makePrivateFolder()) {
    hidport::setBackend(hidport::Backend::Simulated);
}

SimulatedMachine::~SimulatedMachine() {
    // No handler may be running against a GPS that is going away.
    events_.stop();
    for (auto& gps : gpses_) {
        usb_.removeGps(gps.get());
        volumes_.removeGps(gps.get());
    }
    gpses_.clear();  // unplugs them, taking them out of hidport
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

SimulatedGps& SimulatedMachine::addGps(GpsConfig config) {
    if (config.driveFolder.empty()) {
        config.driveFolder = folder_ + "/gps" + std::to_string(gpses_.size() + 1);
    }
    gpses_.push_back(std::make_unique<SimulatedGps>(std::move(config), clock_));
    SimulatedGps& gps = *gpses_.back();
    gps.setEventSink([this](platform::DeviceEvent event) { events_.raise(event); });
    usb_.addGps(&gps);
    volumes_.addGps(&gps);
    return gps;
}

}  // namespace sim
