// The updater's seams answered from a replayed trace: the USB device list of
// each scan, the removable volumes and their root folders, and the device
// events are the recorded ones. The drives are folders the session made
// with the files the recording found; what the program changes there is
// done for real and compared, by name, size and CRC-32, with what it changed
// when recorded.
#pragma once

#include "ReplaySession.h"
#include "platform/DeviceEvents.h"
#include "platform/ForwardingFiles.h"
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

class ReplayFiles : public platform::ForwardingFiles {
  public:
    ReplayFiles(platform::Files& inner, ReplaySession& session)
        : ForwardingFiles(inner), session_(session) {}

    bool createFolder(const std::string& path, bool privateMode, std::string* error) override;
    std::unique_ptr<platform::WritableFile> createFile(const std::string& path,
                                                       std::string* error) override;
    bool deleteFile(const std::string& path, std::string* error) override;
    bool copyFile(const std::string& from, const std::string& to, std::string* error) override;
    platform::TreeResult copyTree(const std::string& from, const std::string& to) override;
    platform::TreeResult copyMissing(const std::string& from, const std::string& to) override;
    platform::TreeResult deleteTree(const std::string& path) override;
    bool renameFolder(const std::string& from, const std::string& to, std::string* error) override;

    // A file written on a drive has been closed: compared with the trace.
    void checkWritten(int drive, const std::string& relative, const std::string& path, bool ok);

  private:
    platform::TreeResult checkCopied(const std::string& from, const std::string& to,
                                     platform::TreeResult result);
    void checkChange(const char* op, int drive, const std::string& relative, bool ok,
                     const std::string& to = "");

    ReplaySession& session_;
};

}  // namespace trace
