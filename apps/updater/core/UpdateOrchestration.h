// The update state machine: turns device-change events and each freshly read
// device record into the next step of an update, from showing the connected
// device to "Latest software is installed on device".
//
// Everything here runs on the window thread. The window procedure calls the
// three device-change events below for the system's device-change events and
// onDeviceInfoRead for WM_ON_DEVICE_INFO_READ.
#pragma once

#include <cstdint>
#include <string>

#include "core/DeviceRecord.h"

namespace core {

// --- The events ---------------------------------------------------------------

void onDevNodesChanged();
void onDeviceArrival();
void onDeviceRemoveComplete();
// WM_ON_DEVICE_INFO_READ.
void onDeviceInfoRead();

// Shows the record just read, or continues a reverse upgrade.
void onGpsDeviceInfoRead();

// --- Pieces, for the events and their tests -----------------------------------

// The device runs the carried firmware and radio, and no worker is active.
bool isFullyUpdated(const DeviceRecord& record);

// "Heron GPS connected\nVer: 7.63-1031039\nJapanese" and its three other
// forms: Japanese or not, with or without a radio build.
std::string composeConnectedTitle(const DeviceRecord& record, int32_t radioBuild);

inline constexpr const char* kLatestSoftwareText = "Latest software is installed on device";

}  // namespace core
