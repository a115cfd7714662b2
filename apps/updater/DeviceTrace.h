// --record-trace and --replay-trace of quorta-updater: the recorder put
// between the program and its seams, or the replay put in place of them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/ProgramOptions.h"
#include "core/Services.h"
#include "platform/DeviceEvents.h"

namespace trace {
class HidTraceSession;
class RecordingDeviceEvents;
class RecordingFiles;
class RecordingUsbDeviceList;
class RecordingVolumes;
class ReplayDeviceEvents;
class ReplayFiles;
class ReplayUsbDeviceList;
class ReplayVolumeEjector;
class ReplayVolumes;
}  // namespace trace

class DeviceTrace {
  public:
    DeviceTrace();
    ~DeviceTrace();  // stops watching hidport and leaves it to the real backend

    // Opens the trace the options name, before any device work. False, with
    // `error`, when it cannot be written or read.
    bool open(const core::ProgramOptions& options, const std::vector<std::string>& args,
              std::string* error);
    bool replaying() const;

    // Replay: the trace's device list, volumes, events and drive in place
    // of the computer's.
    void replaceSeams(core::Services& services, platform::DeviceEvents*& events);
    // Recording: every seam the program got, with the recorder in between.
    // Replay: the files, whose changes on the replayed drive are compared.
    void wrapSeams(core::Services& services, platform::DeviceEvents*& events);

    // The run is over with `code`: the recording gets its end line (with
    // the status last shown); a replay checks that every line was met and
    // that the run ended as recorded (and ends the program with 3 when
    // not). The exit status to use.
    int finish(int code);

  private:
    std::unique_ptr<trace::HidTraceSession> hid_;
    std::unique_ptr<trace::RecordingUsbDeviceList> recordingUsb_;
    std::unique_ptr<trace::RecordingVolumes> recordingVolumes_;
    std::unique_ptr<trace::RecordingDeviceEvents> recordingEvents_;
    std::unique_ptr<trace::RecordingFiles> recordingFiles_;

    std::unique_ptr<trace::ReplayUsbDeviceList> replayUsb_;
    std::unique_ptr<trace::ReplayVolumes> replayVolumes_;
    std::unique_ptr<trace::ReplayVolumeEjector> replayEjector_;
    std::unique_ptr<trace::ReplayDeviceEvents> replayEvents_;
    std::unique_ptr<trace::ReplayFiles> replayFiles_;
};
