// The program's collaborators, set once at start-up before any device code
// runs, and reached from the logic's argument-less operations.
#pragma once

#include <functional>
#include <string>

#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/DesktopNotifier.h"
#include "platform/DriveMounter.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/RunLog.h"
#include "platform/SleepInhibitor.h"
#include "platform/Threads.h"
#include "platform/UsbDeviceList.h"
#include "platform/VolumeEjector.h"
#include "platform/Volumes.h"

namespace core {

class Window;

struct Services {
    platform::Clock* clock = nullptr;  // null: the shared clock
    platform::UsbDeviceList* usbDevices = nullptr;
    platform::Volumes* volumes = nullptr;
    platform::VolumeEjector* volumeEjector = nullptr;
    platform::DebugOutput* debugOutput = nullptr;
    platform::DebugOutput* logFile = nullptr;  // --log-file: the log view's lines
    platform::RunLog* runLog = nullptr;        // the same lines, kept per run for support
    platform::Paths* paths = nullptr;
    platform::Files* files = nullptr;                    // null: no file work can be done
    Window* window = nullptr;                            // null until the main window exists
    platform::Threads* threads = nullptr;                // null: a process-wide StdThreads
    platform::SleepInhibitor* sleepInhibitor = nullptr;  // null: no lock is taken
    platform::DriveMounter* driveMounter = nullptr;      // null: only mounted drives are seen
    platform::DesktopNotifier* notifier = nullptr;       // null: the end of an update is not told

    // Starts the bootloader-mode thread when the scan sees the GPS in its
    // flash bootloader: core::startOnBootloaderModeThread (UpdateWorkers.h).
    std::function<void()> startOnBootloaderModeThread;
};

Services& services();
void setServices(const Services& s);

// The clock every wait goes through.
platform::Clock& clock();

// What the workers are started through.
platform::Threads& threads();

}  // namespace core
