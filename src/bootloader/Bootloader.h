// The host's handle on one device running its bootloader: opens the
// transport a PeripheralConfig names and runs injected commands over it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bootloader/BusBridge.h"
#include "bootloader/Command.h"
#include "bootloader/Logger.h"
#include "bootloader/Packetizer.h"

namespace bootloader {

enum PeripheralKind : int32_t {
    kPeripheralKind_Uart = 1,       // a serial port straight to the target
    kPeripheralKind_BusBridge = 2,  // a bus-bridge adapter on a serial port
    kPeripheralKind_UsbHid = 3,
};

struct PeripheralConfig {
    int32_t peripheralKind = kPeripheralKind_UsbHid;
    std::string portName;  // serial kinds
    int32_t baudRate = 0;  // serial kinds
    uint32_t packetTimeoutMs = 5000;
    uint16_t vendorId = 0;     // USB HID
    uint16_t productId = 0;    // USB HID
    std::string serialNumber;  // USB HID; not passed on
    bool pingOnOpen = false;   // serial kinds
    // Bus bridge: what the adapter is set up for.
    BusBridgeConfig busBridgeConfig;
    // USB HID: told of every report the device took, on the thread that runs
    // the command (the application's progress follows a write by it).
    ReportSent reportSent;
};

class Bootloader {
  public:
    // Installs a FileLogger at filter level 7 when no logger is installed,
    // then opens the peripheral. Throws std::runtime_error when the device
    // cannot be opened or the kind is not supported.
    explicit Bootloader(const PeripheralConfig& config);
    virtual ~Bootloader();

    Bootloader(const Bootloader&) = delete;
    Bootloader& operator=(const Bootloader&) = delete;

    // Runs the command; its outcome stands in its response values.
    void inject(Command& command);
    void flush();
    // Serial targets only (for USB HID it just flushes): throws
    // std::runtime_error with the status text when the target does not answer.
    void ping(int retries, unsigned int delayMs, int speed);

    // Shortcuts: each throws std::runtime_error with the status text when the
    // command does not succeed.
    void execute(uint32_t entryAddress, uint32_t argument, uint32_t stackPointer);
    void reset();
    uint32_t getVersion();
    uint32_t getSecurityState();

    Packetizer* getPacketizer() const { return packetizer_.get(); }

  private:
    void injectOrThrow(Command& command);
    // The initial ping: on failure the transport is released and the error
    // is "Error: Initial ping failure: " and the ping's message.
    void pingOrRelease(int retries, unsigned int delayMs, int speed);
    uint32_t getPropertyWord(PropertyTag tag);

    std::unique_ptr<Packetizer> packetizer_;
    Logger* logger_ = nullptr;  // the logger this object installed; never freed
};

}  // namespace bootloader
