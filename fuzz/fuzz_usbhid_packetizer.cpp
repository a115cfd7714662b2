// UsbHidPacketizer reading what a fuzzed device sends, and the command on top
// judging it: a command chosen by the input runs whole (command packet,
// response, data phase, final response) against reports from the fuzzer,
// then bare packets are read until the input is used up.
//
// Input: a flags byte (bit 0: poll for a data abort), two bytes choosing the
// command (FuzzSupport.h), then reports: a length byte (0xFF a read error)
// and that many bytes.
#include <cstdlib>
#include <memory>

#include "FuzzCheck.h"
#include "FuzzSupport.h"
#include "bootloader/Command.h"
#include "bootloader/UsbHidPacketizer.h"
#include "bootloader/UsbHidPeripheral.h"

namespace {

using fuzzing::check;

constexpr uint16_t kVendorId = 0x2B29;
constexpr uint16_t kProductId = 0x0D;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::installDiscardingLogger();
    fuzzing::ByteStream input(data, size);
    const uint8_t flags = input.take();
    std::vector<std::string> args = fuzzing::pickCommand(input);

    fuzzing::RegisteredDevice device(std::make_shared<fuzzing::FuzzedHidDevice>(
        kVendorId, kProductId, bootloader::kUsbHidReportSize, bootloader::kUsbHidReportSize,
        input));
    bootloader::UsbHidPacketizer packetizer(
        new bootloader::UsbHidPeripheral(kVendorId, kProductId, ""), 1000);
    packetizer.abortEnabled = flags & 1;

    std::unique_ptr<bootloader::Command> command = bootloader::Command::create(args);
    check(command != nullptr);
    command->sendTo(packetizer);
    command->printResponse();
    command->getResponse();

    // Whatever is left, read as packets of either kind.
    for (int i = 0; input.remaining() > 0 && i < 64; ++i) {
        uint8_t* packet = nullptr;
        uint32_t length = 0;
        const auto type = i % 2 ? bootloader::kPacketType_Data : bootloader::kPacketType_Command;
        if (packetizer.readPacket(&packet, &length, type) == bootloader::kStatus_Success) {
            check(packet != nullptr && length <= bootloader::kMaxPacketSize);
            volatile uint8_t sum = 0;
            for (uint32_t j = 0; j < length; ++j) sum = sum + packet[j];
        }
    }
    packetizer.drainInput();
    return 0;
}
