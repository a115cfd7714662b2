// The updater's seams with a recorder in between: each passes every call on
// to the real (or simulated) implementation and writes what it answered into
// the trace. Of the volumes only the removable ones are written (the drive
// search looks at no other), and of the files only those on such a volume:
// their names, sizes and CRC-32, never their contents.
#pragma once

#include <string>

#include "TraceWriter.h"
#include "platform/DeviceEvents.h"
#include "platform/ForwardingFiles.h"
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

class RecordingFiles : public platform::ForwardingFiles {
  public:
    RecordingFiles(platform::Files& inner, TraceWriter& writer)
        : ForwardingFiles(inner), writer_(writer) {}

    bool createFolder(const std::string& path, bool privateMode, std::string* error) override;
    std::unique_ptr<platform::WritableFile> createFile(const std::string& path,
                                                       std::string* error) override;
    bool deleteFile(const std::string& path, std::string* error) override;
    bool copyFile(const std::string& from, const std::string& to, std::string* error) override;
    platform::TreeResult copyTree(const std::string& from, const std::string& to) override;
    platform::TreeResult copyMissing(const std::string& from, const std::string& to) override;
    platform::TreeResult deleteTree(const std::string& path) override;
    bool renameFolder(const std::string& from, const std::string& to, std::string* error) override;
    platform::TreeResult compareTrees(const std::string& a, const std::string& b,
                                      platform::TreeComparison how) override;
    bool isFolder(const std::string& path) override;

    // A file written on a drive, once it is closed.
    void noteWritten(int drive, const std::string& relative, const std::string& path, bool ok);

  private:
    platform::TreeResult noteCopied(const std::string& from, const std::string& to,
                                    platform::TreeResult result);
    // What the program is about to read on a drive, as it is now: the
    // files and folders not met before.
    void noteFound(const std::string& path);
    void noteChange(const char* op, int drive, const std::string& relative, bool ok);

    TraceWriter& writer_;
};

}  // namespace trace
