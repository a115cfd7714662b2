// The updater's seams with a recorder in between: each passes every call on
// to the real (or simulated) implementation and writes what it answered into
// the trace. Of the volumes only the removable ones are written (the drive
// search looks at no other), and of the files only those on such a volume:
// their names, sizes and CRC-32, never their contents.
#pragma once

#include <string>

#include "DriveChanges.h"
#include "TraceWriter.h"
#include "platform/DeviceEvents.h"
#include "platform/UsbDeviceList.h"
#include "platform/Volumes.h"

namespace trace {

const char* eventName(platform::DeviceEvent event);

class RecordingUsbDeviceList : public platform::UsbDeviceList {
  public:
    RecordingUsbDeviceList(platform::UsbDeviceList& inner, TraceWriter& writer)
        : inner_(inner), writer_(writer) {}
    std::vector<std::string> hardwareIds() override;

  private:
    platform::UsbDeviceList& inner_;
    TraceWriter& writer_;
};

class RecordingDeviceEvents : public platform::DeviceEvents {
  public:
    RecordingDeviceEvents(platform::DeviceEvents& inner, TraceWriter& writer)
        : inner_(inner), writer_(writer) {}
    bool start(Sink sink) override;
    void stop() override { inner_.stop(); }

  private:
    platform::DeviceEvents& inner_;
    TraceWriter& writer_;
};

class RecordingVolumes : public platform::Volumes {
  public:
    RecordingVolumes(platform::Volumes& inner, TraceWriter& writer)
        : inner_(inner), writer_(writer) {}
    bool list(std::vector<platform::VolumeInfo>& out) override;
    bool listRoot(const std::string& root, std::vector<platform::DirEntry>& out) override;

  private:
    platform::Volumes& inner_;
    TraceWriter& writer_;
};

class RecordingFiles : public DriveChanges {
  public:
    RecordingFiles(platform::Files& inner, TraceWriter& writer)
        : DriveChanges(inner), writer_(writer) {}

    platform::TreeResult compareTrees(const std::string& a, const std::string& b,
                                      platform::TreeComparison how) override;
    bool isFolder(const std::string& path) override;

  private:
    std::optional<std::pair<int, std::string>> onDrive(const std::string& path) override {
        return writer_.onDrive(path);
    }
    // What the program is about to read on a drive, as it is now: the
    // files and folders not met before.
    void reading(const std::string& path) override;
    void changed(const char* kind, int drive, const std::string& relative, const std::string& to,
                 bool ok) override;
    void wrote(int drive, const std::string& relative, const std::optional<FileState>& file,
               bool ok) override;
    void copied(int drive, const std::string& relative, const TreeState& tree, bool ok) override;

    TraceWriter& writer_;
};

}  // namespace trace
