// Command::create over any argument vector (the input split on NUL bytes),
// the number parses under it, and the result texts of what it built.
#include <cstdlib>
#include <cstring>

#include "FuzzCheck.h"
#include "FuzzSupport.h"
#include "bootloader/Command.h"

using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::installDiscardingLogger();
    std::vector<std::string> args = fuzzing::splitOnNul(data, size);

    for (const std::string& arg : args) {
        uint32_t strict = 0;
        // What the strict parse accepts, the plain one reads the same.
        if (bootloader::stringToUint(arg, &strict)) check(bootloader::parseNumber(arg) == strict);
    }
    if (size >= 8) {
        int32_t code;
        uint64_t bytes;
        std::memcpy(&code, data, sizeof code);
        std::memcpy(&bytes, data, sizeof bytes);
        check(!bootloader::getStatusMessage(code).empty());
        check(!bootloader::formatSize(bytes).empty());
    }

    const std::vector<std::string> copy = args;
    std::unique_ptr<bootloader::Command> command = bootloader::Command::create(std::move(args));
    if (!command) return 0;
    check(command->getName() == copy[0]);
    check(command->getArgCount() == copy.size());
    check(command->getResponseValues().empty());
    command->printResponse();
    check(!command->getResponse().empty());
    return 0;
}
