// Every Linux implementation of the platform interfaces, for the program's
// entry to construct:
//   LinuxUsbDeviceList   -> UsbDeviceList
//   LinuxDeviceEvents    -> DeviceEvents
//   LinuxVolumes         -> Volumes
//   UDisksVolumeEjector  -> VolumeEjector
//   UDisksDriveMounter   -> DriveMounter
//   FlockInstanceLock    -> InstanceLock
//   StderrDebugOutput    -> DebugOutput (LogFile: the --log-file copy)
//   XdgPaths             -> Paths
//   LinuxFiles           -> Files
//   LogindInhibitor      -> SleepInhibitor
//   XdgRunLog            -> RunLog
//   FreedesktopNotifier  -> DesktopNotifier
#pragma once

#include "platform/linux/FlockInstanceLock.h"
#include "platform/linux/FreedesktopNotifier.h"
#include "platform/linux/LinuxDeviceEvents.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/LinuxUsbDeviceList.h"
#include "platform/linux/LinuxVolumes.h"
#include "platform/linux/LogindInhibitor.h"
#include "platform/linux/TextOutput.h"
#include "platform/linux/UDisksDriveMounter.h"
#include "platform/linux/UDisksVolumeEjector.h"
#include "platform/linux/XdgPaths.h"
#include "platform/linux/XdgRunLog.h"
