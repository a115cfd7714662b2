// The process-wide state shared by the window thread and the workers.
//
// Flags and numbers are atomics so that any thread may read or write them;
// `updateThreadActive` is tested and set with one exchange(). The texts
// (status title and detail, the GPS drive root, the drive search's memory)
// are copied in and out under a mutex and never read while being written.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/UsbDeviceList.h"
#include "platform/Volumes.h"

namespace core {

// Shown whenever no device is being handled.
inline constexpr const char* kConnectTitle = "Please connect your\nQuorta GPS Device";

class UpdaterState {
  public:
    UpdaterState() = default;
    UpdaterState(const UpdaterState&) = delete;
    UpdaterState& operator=(const UpdaterState&) = delete;

    // --- Status texts drawn by the window -----------------------------------
    std::string statusTitle() const;
    std::string statusDetail() const;
    void setStatusTitle(std::string title);
    void setStatusDetail(std::string detail);
    // Sets either text when given; a null text leaves that text unchanged.
    void setStatus(const char* title, const char* detail);

    // --- Root of the GPS's USB drive; empty until found ----------------------
    std::string gpsDriveRoot() const;
    void setGpsDriveRoot(std::string root);

    // --- The folder the backup held in this run was made in, for the status
    // text when the temporary folder cannot be had again at the restore -----
    std::string heldBackupFolder() const;
    void setHeldBackupFolder(std::string folder);

    // --- The node whose refused open the log has told of since our devices
    // were last away; empty when none. Sets it and returns the one before. --
    std::string exchangeRefusedNode(std::string node);
    std::string refusedNode() const;

    // --- The drive search's own memory: set by the first success, kept for
    // the rest of the run --------------------------------------------------
    std::optional<std::string> foundDriveRoot() const;
    void setFoundDriveRoot(std::string root);
    // The same drive as the device it is (its USB device, its block device),
    // so that it is found again wherever it is mounted next.
    std::optional<platform::VolumeInfo> foundDrive() const;
    void setFoundDrive(platform::VolumeInfo drive);
    // The GPS's USB device as the last scan saw it (the one GPS plugged in),
    // which its drive is on; none when the scan could not tell.
    std::optional<platform::UsbDevice> gpsUsbDevice() const;
    void setGpsUsbDevice(std::optional<platform::UsbDevice> device);

    // --- Flags (all start clear except logHidden) ---------------------------
    std::atomic<bool> ishf{false};  // a device in application mode is being handled
    std::atomic<bool> jbl{false};   // the bootloader-mode thread has been started
    std::atomic<bool> updateInProgress{false};
    std::atomic<bool> updateThreadActive{false};
    std::atomic<bool> scanInProgress{false};
    std::atomic<bool> factoryResetPending{false};
    std::atomic<bool> languagePackBusy{false};
    std::atomic<bool> recoveryDialogOpen{false};
    std::atomic<bool> keysErased{false};
    std::atomic<bool> reverseUpgrade{false};
    std::atomic<bool> ADF{false};
    std::atomic<bool> backupDone{false};
    std::atomic<bool> resetBeforeNordic{false};
    std::atomic<bool> sameFirmwareVersion{false};
    std::atomic<bool> sameRadioBuild{false};
    std::atomic<bool> bypassRadioVersionCheck{false};
    std::atomic<bool> logHidden{true};
    // An update has begun whose end the desktop has not been told yet.
    std::atomic<bool> updateEndUntold{false};
    // A backup of an earlier run that was never put back: the user said No
    // to putting it back (not asked again in this run), or putting it back
    // failed (not asked again until a drive goes away and comes back).
    std::atomic<bool> heldBackupDeclined{false};
    std::atomic<bool> heldBackupFailed{false};
    // Such a backup was put back: said beside the status until the GPS goes.
    std::atomic<bool> heldBackupPutBack{false};
    // A failure was shown that ends no update and so no phase tells: the
    // radio's, a menu command's, a refused image write. A terminal run that
    // met one did not do what it was asked.
    std::atomic<bool> failureShown{false};
    // Quorta GPS units (application or flash bootloader) the last scan saw;
    // with more than one, neither is read.
    std::atomic<int> gpsUnitsSeen{0};
    // A start-up question (the backup reminder, the held backup's) is open:
    // the other waits for it, so that the two never stack.
    std::atomic<bool> startUpQuestionOpen{false};

    // --- Numbers -------------------------------------------------------------
    // Image variant of the next programming run: 60 Japanese, 0 standard,
    // -99 standard chosen explicitly.
    std::atomic<int> gcbn{0};
    std::atomic<int> GRawDevID{99};
    std::atomic<int> GNormDevID{99};
    std::atomic<int32_t> deviceRadioBuild{0};
    std::atomic<int32_t> updaterRadioBuild{1031039};
    std::atomic<int> recoveryDeviceType{-99};
    std::atomic<int> recoveryVariant{-99};
    std::atomic<int> forcedDeviceType{-1};
    std::atomic<int> bootloaderVendorId{0x15A2};
    std::atomic<int> bootloaderProductId{0};
    // Product id last seen under vendor 0x2B29; the bootloader-mode thread
    // programs the device with it.
    std::atomic<int> scannedProductId{0};
    // Errors caught at the top of readDevice during this run; never reset.
    std::atomic<int> readDeviceCrashCount{0};
    // Clock time of the first refused open of the GPS's application since one
    // last worked or since none of our devices was on the bus; -1 when none
    // (openGpsApplication).
    std::atomic<int64_t> firstOpenRefusalMs{-1};

  private:
    mutable std::mutex textMutex_;
    std::string statusTitle_;
    std::string statusDetail_;
    std::string gpsDriveRoot_;
    std::string heldBackupFolder_;
    std::string refusedNode_;
    std::optional<platform::VolumeInfo> foundDrive_;
    std::optional<platform::UsbDevice> gpsUsbDevice_;
};

// The state of the current context (core/Context.h).
UpdaterState& state();

}  // namespace core
