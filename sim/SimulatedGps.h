// The simulated Quorta GPS: one object that is the device on every seam the
// updater has. It shows a USB identity for each mode (application, flash
// bootloader, ROM bootloader), answers the command link as a HID device in
// application mode, serves the bootloader protocol in its two bootloaders
// against one flash, and has a folder that plays its USB drive.
//
// What it does with the commands of the link:
// - READ_DEVICE_INFO: its record (raw id, version, two info bytes).
// - NRF_GET_VERSION: "nRF VERSION: 2.X.YY.Z" for its radio build.
// - NORDIC_ERASE_KEYS: two plain text reports.
// - JUMP_TO_BL: leaves the bus, then enumerates as its flash bootloader
//   (0x2B29 / type, or type + 60 when it runs Japanese firmware).
// - UPDATE_NORDIC: reads nrf_update.bin (and nrf_update.dat for types 11 to
//   16) from its drive, checks the image against the command's length and
//   CRC, sends progress ticks ("*") and "Succus!!", then restarts its radio
//   with the build the updater carries for its type (once a host has read
//   "Succus!!"): its USB device and drive leave and come back. A file that
//   fails the check is answered with '%'.
// - KANJI_PROGRAM_FLASH: loads the font files from its drive, checking their
//   sizes: 'A' then 'B' (Kanji_11x12.bin, Kanji_18x18.bin), or 'C'
//   (Kanji_19x19.bin, types 11 and 12); 'D' for a pack it cannot load.
// - FACTORY_RESET: empties its Quorta folder and restarts.
//
// A reset in either bootloader boots what the flash holds at 0xa000: a whole
// image of its own type comes up in application mode with the version and
// variant of its version block; anything else (erased, incomplete, damaged,
// another type's) comes up in the ROM bootloader (0x15A2 / 0x73). Powering on
// after an unplug boots the same way.
//
// The command link behaves as a hidraw node: every open handle gets its own
// copy of every report sent after it opened, and handles die with the
// enumeration they were opened on. (Two opens at the very same instant can
// meet one free slot: one of them is then refused, as by a busy node.)
//
// Every change of identity or drive raises the events a real device raises:
// DevNodesChanged when its USB device comes or goes, VolumeRemoveComplete and
// VolumeArrival when its drive does. They go to the event sink on the GPS's
// own thread, never under a lock of the GPS.
//
// Every wait of the device goes through a platform::Clock (never sleepMs, so
// the updater's own count of waits is not disturbed), so that tests and the
// --simulate mode run its timing scaled. All state is under one lock; the
// timed changes run on one thread per GPS, which the destructor joins.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/images/ImageVersionBlock.h"
#include "platform/Clock.h"
#include "platform/DeviceEvents.h"
#include "platform/UsbDeviceList.h"
#include "platform/Volumes.h"
#include "sim/BootloaderTarget.h"
#include "sim/LinkFrames.h"

namespace sim {

enum class GpsMode { Unplugged, Application, FlashBootloader, RomBootloader };
const char* gpsModeName(GpsMode mode);

// How the drive shows itself to the computer.
enum class DriveStyle {
    LabelledQuorta,        // FAT32, label "QUORTA"
    UnlabelledWithFolder,  // FAT32, no label; found by its Quorta folder
    Ntfs,                  // NTFS, no label: not the GPS's own format
};

// Named points in the device's life, where a test can have it unplugged.
enum class GpsStep {
    JumpToBootloader,  // JUMP_TO_BL arrived; the device drops off instead of restarting
    BootloaderShown,   // a bootloader (flash or ROM) has just enumerated
    Erase,             // flash-erase-region (or erase-all) arrived, before erasing
    Write,             // write-memory arrived, before any data
    BootloaderReset,   // reset arrived in a bootloader, before it is answered
    ApplicationShown,  // the application's USB device has just enumerated
    RadioUpdate,       // UPDATE_NORDIC arrived
    RadioProgramming,  // halfway through the radio's progress ticks
    FontLoading,       // KANJI_PROGRAM_FLASH arrived
    FactoryReset,      // FACTORY_RESET arrived
};
const char* gpsStepName(GpsStep step);

// The cable pulled at a step (one shot), and perhaps plugged back in.
struct UnplugPlan {
    GpsStep step = GpsStep::Write;
    // Write only: the device takes this many data packets of the write (0:
    // none) and drops off before the next one. -1: at the command itself.
    int afterDataPackets = -1;
    // Plugged back in this long (Clock ms) after; the device then boots what
    // its flash holds. Negative: it stays unplugged.
    int64_t plugBackAfterMs = -1;
    // Write only, in place of afterDataPackets: this share (0..100) of the
    // data packets the write announces.
    int afterWritePercent = -1;
};

// The device's own times, in Clock milliseconds.
struct GpsTiming {
    int leaveMs = 200;            // a restarting command until the device leaves the bus
    int bootloaderShowMs = 1500;  // off the bus until the flash bootloader enumerates
    int bootMs = 2500;            // off the bus until the application (or ROM) enumerates
    int driveMountMs = 1000;      // application enumerated until its drive mounts
    int resetLeaveMs = 20;        // reset answer read until the bootloader leaves
    // A restart follows the answer that announces it (a bootloader's reset
    // answer, "Succus!!") once a host has read it. A reset answer nobody
    // reads holds the bootloader back this long at most; "Succus!!" holds the
    // radio as long as an open handle has it still unread, looking again
    // after this long.
    int answerTimeoutMs = 10000;
    int radioCheckMs = 800;    // UPDATE_NORDIC until its first answer
    int radioTicks = 1300;     // progress ticks of a radio update
    int radioTickMs = 8;       // between two ticks
    int radioRestartMs = 500;  // "Succus!!" read until the radio restart takes the device off
    int fontLoadMs = 4000;     // per font pack
    int eraseKeysMs = 1500;    // between the two reports of NORDIC_ERASE_KEYS

    // No time of the device's own beyond what the protocol needs: for
    // measuring the updater's own share of a run.
    static GpsTiming instant() {
        GpsTiming t;
        t.leaveMs = t.bootloaderShowMs = t.bootMs = t.driveMountMs = t.resetLeaveMs = 0;
        t.radioCheckMs = t.radioTickMs = t.radioRestartMs = t.fontLoadMs = t.eraseKeysMs = 0;
        return t;
    }
};

struct GpsFaults {
    bool silent = false;         // the link never answers
    int unexpectedReplies = 0;   // foreign replies before every answer; -1: nothing but those
    bool badCrc = false;         // every framed reply carries a wrong CRC
    int openFailures = 0;        // the next N opens of the link fail; -1: every open fails
    bool driveMissing = false;   // the drive never shows
    bool driveReadOnly = false;  // the computer cannot change anything on the drive
    // The radio does not answer NRF_GET_VERSION. Its firmware is replaced by a
    // radio update, which clears this.
    bool silentRadio = false;
    bool radioVersionTwoDots = false;  // "nRF VERSION: 2.X.YY" (no build part)
    bool radioUpdateFails = false;     // UPDATE_NORDIC is answered with '%'
    bool radioUpdateSilent = false;    // UPDATE_NORDIC is never answered
    int fontFailAfterPacks = -1;       // 'D' after this many packs loaded (0: at once)
    // Each time the flash bootloader enumerates, its first N opens fail, as a
    // node the system has not finished setting up.
    int bootloaderOpenFailures = 0;
    // Each time the application shows, opens of its link are refused for lack
    // of permission for this long (clock ms), as a node udev gives the user late.
    int64_t linkAccessLateMs = 0;
};

struct GpsConfig {
    int deviceType = 5;  // 0..16; the updater programs 4..16
    bool japanese = true;
    int versionMajor = 7;
    int versionMinor = 62;
    int infoByteA = 0;
    int infoByteB = 0;
    int32_t radioBuild = 0;        // 0: the build the type ships with
    std::string radioVersionText;  // empty: "nRF VERSION: 2.X.YY.Z" from radioBuild
    // DEVICE_TEXT lines sent before the device-information answer.
    std::vector<std::string> textBeforeDeviceInfo;
    // The folder that plays the drive. One that is missing is made, with an
    // empty Quorta folder; one that exists is taken as it is.
    std::string driveFolder;
    DriveStyle driveStyle = DriveStyle::LabelledQuorta;
    // Where the GPS is plugged in, and its serial number (its application
    // shows one; its bootloaders none): its drive is on the same USB device.
    std::string usbPath = "/devices/sim/usb1/1-1";
    std::string usbSerial = "QG0001";
    int replyDelayMs = 2;             // the device's time to answer, on the clock
    uint32_t flashSectorSize = 4096;  // of the flash behind both bootloaders
    GpsTiming timing;
    GpsFaults faults;
};

// The radio build the updater carries for a type (1333026 for types 11 to 14
// and 16, 1332013 for type 15, 1031039 for the others): what a radio update
// installs, and what a device ships with unless its config says otherwise.
int32_t currentRadioBuildFor(int deviceType);
// The build types 4 to 10 carry. Kept for callers written before the builds
// were per type; currentRadioBuildFor(type) is what a radio update installs.
inline constexpr int32_t kCarriedRadioBuild = 1031039;
// "nRF VERSION: 2.10.31.39" for build 1031039.
std::string radioVersionTextFor(int32_t build);

// Where the flash bootloader lives and the application starts.
inline constexpr uint32_t kApplicationAddress = 0xa000;

class SimulatedGps {
  public:
    explicit SimulatedGps(GpsConfig config, platform::Clock* clock = nullptr);
    ~SimulatedGps();
    SimulatedGps(const SimulatedGps&) = delete;
    SimulatedGps& operator=(const SimulatedGps&) = delete;

    // --- USB identity --------------------------------------------------------
    // Plug in (or change mode at once), as a test sets the scene. In
    // application mode the command link is reachable and the drive mounted at
    // once. Plugging in the ROM bootloader leaves the flash without a bootable
    // application (the reason a device sits there), unless it already holds
    // none. Cancels every timed change in progress.
    void plugIn(GpsMode mode = GpsMode::Application);
    // Pulls the cable: cancels every timed change in progress.
    void unplug();
    // Plugs in and boots what the flash holds: the application (its drive
    // mounts after driveMountMs) or the ROM bootloader.
    void powerOn();
    GpsMode mode() const;
    // "USB\VID_2B29&PID_0055&REV_0100" and the like; "" when unplugged.
    std::string hardwareId() const;
    uint16_t usbVendorId() const;
    uint16_t usbProductId() const;
    // Where it is plugged in and the serial number it shows now.
    platform::UsbDevice usbDevice() const;
    // The id the device reports over the link: its type, plus 60 if Japanese.
    int rawId() const;

    // Blocks until the device is in `mode` (Clock ms; false on timeout).
    bool waitForMode(GpsMode mode, int64_t timeoutMs) const;
    // Blocks until the drive is (or is not) mounted.
    bool waitForDrive(bool mounted, int64_t timeoutMs) const;
    // Blocks until no timed change is pending and every event was handed to
    // the sink.
    bool waitUntilSettled(int64_t timeoutMs) const;

    // Where its events go (called on the GPS's thread, outside its locks).
    void setEventSink(std::function<void(platform::DeviceEvent)> sink);

    // --- The drive ----------------------------------------------------------
    bool driveMounted() const;
    // The volume as the computer sees it; none while not mounted.
    std::optional<platform::VolumeInfo> driveVolume() const;
    std::string driveRoot() const;  // the folder with a trailing "/"
    std::string driveFolder() const;
    // The computer dismounted or ejected the drive: it stays away until the
    // device restarts.
    void removeDrive();

    // --- Bootloaders and flash -----------------------------------------------
    // The two bootloaders, for faults and for looking at what the host did.
    // Their flash is kept in step: the flash bootloader's is the device's
    // flash whenever the ROM bootloader is not the one enumerated.
    BootloaderTarget& flashBootloader();
    BootloaderTarget& romBootloader();
    // Bytes of the device's flash as it stands.
    std::vector<uint8_t> readFlash(uint32_t address, uint32_t length) const;
    // What a boot would find at 0xa000.
    images::ImageCheck checkFlashImage(images::ImageVersion* version = nullptr) const;
    // Puts an image at 0xa000 as the factory would (bytes beyond it erased).
    void loadFlashImage(const std::vector<uint8_t>& image);

    // --- State and faults ----------------------------------------------------
    GpsConfig config() const;
    void setFaults(const GpsFaults& faults);
    void setTiming(const GpsTiming& timing);
    // The running firmware's version; the flash gets a matching image.
    void setVersion(int major, int minor);
    void setRadioBuild(int32_t build);
    int32_t radioBuild() const;
    // One-shot cable pull at a step; replaces an earlier plan.
    void unplugAt(const UnplugPlan& plan);
    // Pulls the cable now and plugs it back in after `plugBackAfterMs` (Clock
    // ms; negative: it stays unplugged); the device then boots what its
    // flash holds. `why` goes to the activity.
    void pullCable(int64_t plugBackAfterMs, const std::string& why = "unplugged");
    void clearUnplugPlan();

    // What reached the device: every command frame, and every open attempt
    // of the link.
    std::vector<LinkCommandFrame> receivedCommands() const;
    int openAttempts() const;
    // What the device did, one line per deed ("JUMP_TO_BL", "booted 7.63
    // Japanese", "boot failed: image checksum mismatch", "radio programmed",
    // "radio update refused: ...", "fonts: A (Kanji_11x12.bin loaded)",
    // "factory reset: Quorta folder emptied", "unplugged at Erase", ...).
    std::vector<std::string> activity() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace sim
