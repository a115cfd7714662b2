// quorta-bl's serial transports: the values of --port and --bridge, and the
// simulated serial targets of --simulate-serial.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bootloader/Bootloader.h"
#include "sim/PtyServer.h"

namespace blserial {

extern const char kUsage[];

// "NAME,BAUD": fills the config's kind 1, port name and speed. False, with
// the reason in `error`, for a value that cannot be used.
bool parsePort(const std::string& value, bootloader::PeripheralConfig& config, std::string* error);

// "NAME,BAUD,FUNCTION[,SETTING...]": fills kind 2 and busBridgeConfig.
// FUNCTION is spi, i2c, can, gpio-config, gpio-set, fpga-clock or 1..6.
bool parseBridge(const std::string& value, bootloader::PeripheralConfig& config,
                 std::string* error);

// Starts a simulated serial target (TYPE uart, or spi, i2c or can behind a
// simulated bus bridge) and points the config at it. Null, with the reason
// in `error`, for an unknown TYPE or when no pseudo-terminal can be had. The
// target serves until the returned object goes.
std::unique_ptr<sim::PtyServer> startSimulatedSerial(const std::string& type,
                                                     bootloader::PeripheralConfig& config,
                                                     std::string* error);

}  // namespace blserial
