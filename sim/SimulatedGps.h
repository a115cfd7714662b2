// The simulated Quorta GPS: one object that is the device on every seam the
// updater has. It shows a USB identity for each mode (application, flash
// bootloader, ROM bootloader), answers the command link as a HID device in
// application mode, and has a folder that plays its USB drive.
//
// Every wait of the device goes through a platform::Clock, so that tests and
// the --simulate mode run its timing scaled.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Volumes.h"
#include "sim/LinkFrames.h"

namespace sim {

enum class GpsMode { Unplugged, Application, FlashBootloader, RomBootloader };

// How the drive shows itself to the computer.
enum class DriveStyle {
    LabelledQuorta,        // FAT32, label "QUORTA"
    UnlabelledWithFolder,  // FAT32, no label; found by its Quorta folder
    Ntfs,                  // NTFS, no label: not the GPS's own format
};

struct GpsFaults {
    bool silent = false;        // the link never answers
    int unexpectedReplies = 0;  // foreign replies before every answer; -1: nothing but those
    bool badCrc = false;        // every framed reply carries a wrong CRC
    int openFailures = 0;       // the next N opens fail; -1: every open fails
    bool driveMissing = false;  // the drive never shows
};

struct GpsConfig {
    int deviceType = 5;  // 0..16; the updater programs 4..16
    bool japanese = true;
    int versionMajor = 7;
    int versionMinor = 62;
    int infoByteA = 0;
    int infoByteB = 0;
    int32_t radioBuild = 0;        // 0: the current build for the type
    std::string radioVersionText;  // empty: "nRF VERSION: 2.X.YY.Z" from radioBuild
    // DEVICE_TEXT lines sent before the device-information answer.
    std::vector<std::string> textBeforeDeviceInfo;
    std::string driveFolder;  // the folder that plays the drive; made if missing
    DriveStyle driveStyle = DriveStyle::LabelledQuorta;
    int replyDelayMs = 2;  // the device's time to answer, on the clock
    GpsFaults faults;
};

// The radio build a device of this type carries when current.
int32_t currentRadioBuildFor(int deviceType);
// "nRF VERSION: 2.10.31.39" for build 1031039.
std::string radioVersionTextFor(int32_t build);

class SimulatedGps {
  public:
    explicit SimulatedGps(GpsConfig config, platform::Clock* clock = nullptr);
    ~SimulatedGps();
    SimulatedGps(const SimulatedGps&) = delete;
    SimulatedGps& operator=(const SimulatedGps&) = delete;

    // --- USB identity --------------------------------------------------------
    // Plug in (or change mode at once). In application mode the command link
    // is reachable through hidport and the drive is mounted.
    void plugIn(GpsMode mode = GpsMode::Application);
    void unplug();
    GpsMode mode() const;
    // "USB\VID_2B29&PID_0055&REV_0100" and the like; "" when unplugged.
    std::string hardwareId() const;
    uint16_t usbVendorId() const;
    uint16_t usbProductId() const;
    // The id the device reports over the link: its type, plus 60 if Japanese.
    int rawId() const;

    // --- The drive ----------------------------------------------------------
    bool driveMounted() const;
    // The volume as the computer sees it; none while not mounted.
    std::optional<platform::VolumeInfo> driveVolume() const;
    std::string driveRoot() const;  // the folder with a trailing "/"
    std::string driveFolder() const;
    // The computer dismounted or ejected the drive: it stays away until the
    // device is plugged in again.
    void removeDrive();

    // --- State and faults ----------------------------------------------------
    GpsConfig config() const;
    void setFaults(const GpsFaults& faults);
    void setVersion(int major, int minor);
    void setRadioBuild(int32_t build);

    // What reached the device: every command frame, and every open attempt.
    std::vector<LinkCommandFrame> receivedCommands() const;
    int openAttempts() const;

    struct State;

  private:
    class AppLink;
    void registerLink(bool reachable);

    std::shared_ptr<State> state_;
    std::shared_ptr<AppLink> link_;
    std::mutex identityMutex_;  // one change of identity at a time
    bool linkRegistered_ = false;
};

}  // namespace sim
