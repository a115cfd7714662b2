// SerialPacketizer reading a fuzzed line: the ping and its answer, or a
// command chosen by the input run whole against the line's bytes (frames,
// acknowledgements, NAKs and the target's own pings), then bare packets until
// the line runs dry.
//
// Input: a mode byte (below 0x40: ping with mode % 3 retries; else a
// command), two bytes choosing the command (FuzzSupport.h), then the bytes
// the target sends.
#include <cstdlib>
#include <memory>

#include "FuzzCheck.h"
#include "FuzzSupport.h"
#include "bootloader/Command.h"
#include "bootloader/SerialPacketizer.h"

using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::installDiscardingLogger();
    fuzzing::ByteStream input(data, size);
    const uint8_t mode = input.take();
    std::vector<std::string> args = fuzzing::pickCommand(input);

    bootloader::SerialPacketizer packetizer(new fuzzing::FuzzedLine(input), 1000);
    packetizer.setSleepFunction([](uint32_t) {});
    std::unique_ptr<bootloader::Command> command = bootloader::Command::create(args);
    check(command != nullptr);

    try {
        if (mode < 0x40) {
            bootloader::PingResponse response;
            if (packetizer.ping(mode % 3, 0, &response, mode & 1 ? 115200 : 0) ==
                bootloader::kStatus_Success) {
                check(packetizer.framingVersion == response.version);
            }
        } else {
            command->sendTo(packetizer);
        }
        for (int i = 0; i < 64; ++i) {
            uint8_t* packet = nullptr;
            uint32_t length = 0;
            const auto type =
                i % 2 ? bootloader::kPacketType_Data : bootloader::kPacketType_Command;
            if (packetizer.readPacket(&packet, &length, type) == bootloader::kStatus_Success) {
                check(packet != nullptr && length <= bootloader::kMaxPacketSize);
                volatile uint8_t sum = 0;
                for (uint32_t j = 0; j < length; ++j) sum = sum + packet[j];
            }
        }
    } catch (const fuzzing::LineExhausted&) {
        // The line ran dry: what was read so far must still print.
    }
    command->printResponse();
    command->getResponse();
    return 0;
}
