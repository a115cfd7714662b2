// The updater's seams answered from a replayed trace: the USB device list of
// each scan, the removable volumes and their root folders, and the device
// events are the recorded ones. The drives are folders the session made
// with the files the recording found; what the program changes there is
// done for real and compared, by name, size and CRC-32, with what it changed
// when recorded.
#pragma once

#include "DriveChanges.h"
#include "ReplaySession.h"
#include "platform/DeviceEvents.h"
#include "platform/UsbDeviceList.h"
#include "platform/VolumeEjector.h"
#include "platform/Volumes.h"

namespace trace {

class ReplayUsbDeviceList : public platform::UsbDeviceList {
  public:
    explicit ReplayUsbDeviceList(ReplaySession& session) : session_(session) {}
    std::vector<std::string> hardwareIds() override;

  private:
    ReplaySession& session_;
};

class ReplayDeviceEvents : public platform::DeviceEvents {
  public:
    explicit ReplayDeviceEvents(ReplaySession& session) : session_(session) {}
    bool start(Sink sink) override;
    void stop() override { session_.stopEvents(); }

  private:
    ReplaySession& session_;
};

class ReplayVolumes : public platform::Volumes {
  public:
    explicit ReplayVolumes(ReplaySession& session) : session_(session) {}
    bool list(std::vector<platform::VolumeInfo>& out) override;
    bool listRoot(const std::string& root, std::vector<platform::DirEntry>& out) override;

  private:
    ReplaySession& session_;
};

// The replayed drive is a folder: taking it away safely always works.
class ReplayVolumeEjector : public platform::VolumeEjector {
  public:
    std::unique_ptr<platform::VolumeHandle> open(const std::string& root) override;
};

class ReplayFiles : public DriveChanges {
  public:
    ReplayFiles(platform::Files& inner, ReplaySession& session)
        : DriveChanges(inner), session_(session) {}

  private:
    std::optional<std::pair<int, std::string>> onDrive(const std::string& path) override {
        return session_.onDrive(path);
    }
    void changed(const char* kind, int drive, const std::string& relative, const std::string& to,
                 bool ok) override;
    void wrote(int drive, const std::string& relative, const std::optional<FileState>& file,
               bool ok) override;
    void copied(int drive, const std::string& relative, const TreeState& tree, bool ok) override;

    ReplaySession& session_;
};

}  // namespace trace
