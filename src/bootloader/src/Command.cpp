// Command objects: construction from an argument vector, argument checks,
// the generic response check and the result texts.
#include "bootloader/Command.h"

#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "bootloader/DataPacket.h"
#include "bootloader/Logger.h"

namespace bootloader {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

uint32_t hexWord(const std::string& text, size_t offset) {
    return static_cast<uint32_t>(std::strtoul(text.substr(offset, 8).c_str(), nullptr, 16));
}

template <class T>
std::unique_ptr<Command> make(std::vector<std::string>&& args) {
    return std::make_unique<T>(std::move(args));
}

}  // namespace

// --- Packets --------------------------------------------------------------

CommandPacket::CommandPacket(uint8_t tag, uint8_t flags, std::initializer_list<uint32_t> params) {
    bytes[0] = tag;
    bytes[1] = flags;
    bytes[2] = 0;
    for (uint32_t value : params) {
        if (paramCount == 7) break;
        uint8_t* p = bytes + 4 + 4 * paramCount;
        p[0] = static_cast<uint8_t>(value);
        p[1] = static_cast<uint8_t>(value >> 8);
        p[2] = static_cast<uint8_t>(value >> 16);
        p[3] = static_cast<uint8_t>(value >> 24);
        ++paramCount;
    }
    bytes[3] = static_cast<uint8_t>(paramCount);
}

uint32_t ResponsePacket::paramCount() const {
    if (!hasHeader()) return 0;
    uint32_t carried = (length - 4) / 4;
    return declaredParamCount() < carried ? declaredParamCount() : carried;
}

uint32_t ResponsePacket::param(uint32_t index) const {
    if (index >= paramCount()) return 0;
    const uint8_t* p = bytes + 4 + 4 * index;
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// --- Command --------------------------------------------------------------

Command::Command(std::vector<std::string> a) : args(std::move(a)) {}

std::unique_ptr<Command> Command::create(std::vector<std::string> args) {
    using Factory = std::unique_ptr<Command> (*)(std::vector<std::string> &&);
    static const struct {
        const char* name;
        Factory factory;
    } kFactories[] = {
        {"reset", make<Reset>},
        {"get-property", make<GetProperty>},
        {"set-property", make<SetProperty>},
        {"flash-erase-region", make<FlashEraseRegion>},
        {"flash-erase-all", make<FlashEraseAll>},
        {"flash-erase-all-unsecure", make<FlashEraseAllUnsecure>},
        {"read-memory", make<ReadMemory>},
        {"write-memory", make<WriteMemory>},
        {"fill-memory", make<FillMemory>},
        {"receive-sb-file", make<ReceiveSbFile>},
        {"execute", make<Execute>},
        {"call", make<Call>},
        {"flash-security-disable", make<FlashSecurityDisable>},
        {"flash-program-once", make<FlashProgramOnce>},
        {"flash-read-once", make<FlashReadOnce>},
        {"flash-read-resource", make<FlashReadResource>},
        {"configure-quadspi", make<ConfigureQuadSpi>},
    };
    if (args.empty()) return nullptr;
    for (const auto& f : kFactories) {
        if (args[0] == f.name) {
            std::unique_ptr<Command> command = f.factory(std::move(args));
            if (!command->init()) return nullptr;
            return command;
        }
    }
    return nullptr;
}

std::string Command::getArg(size_t index) const {
    return index < args.size() ? args[index] : std::string();
}

void Command::noteTruncated(const ResponsePacket& packet) {
    if (packet.hasHeader() && packet.declaredParamCount() > packet.paramCount()) {
        logWarning("Warning: response announces %u parameters but carries %u\n",
                   packet.declaredParamCount(), packet.paramCount());
    }
}

bool Command::processResponse(const ResponsePacket& packet, uint32_t expectedTag) {
    if (!packet) {
        logDetail("processResponse: null packet\n");
        responseValues.push_back(kStatus_NoResponse);
        return false;
    }
    if (packet.length == 0) {
        logError("Error: received a data phase abort instead of a response\n");
        responseValues.push_back(kStatus_AbortDataPhase);
        return false;
    }
    if (!packet.hasHeader()) {
        logError("Error: response packet of %u bytes is too short\n", packet.length);
        responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    noteTruncated(packet);
    if (packet.tag() != kCommandTag_GenericResponse) {
        logError("Error: expected kCommandTag_GenericResponse (0x%x), received 0x%x\n",
                 kCommandTag_GenericResponse, packet.tag());
        responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    if (packet.param(1) != expectedTag) {
        logError("Error: expected commandTag 0x%x, received 0x%x\n", expectedTag, packet.param(1));
        responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    uint32_t status = packet.param(0);
    responseValues.push_back(status);
    if (status != 0) return false;
    logInfo("Successful generic response to command '%s'\n", getName().c_str());
    return true;
}

void Command::printResponse() const {
    if (responseValues.empty()) {
        // The command never reached the target (its data file could not be
        // opened, say); the reason was logged when it happened.
        logInfo("No response status: the command was not sent.\n");
    } else {
        int32_t status = static_cast<int32_t>(responseValues[0]);
        logInfo("Response status = %d (0x%x) %s\n", status, status,
                getStatusMessage(status).c_str());
        for (size_t i = 1; i < responseValues.size(); ++i) {
            logInfo("Response word %d = %ld (0x%lx)\n", static_cast<int>(i),
                    static_cast<long>(responseValues[i]),
                    static_cast<unsigned long>(responseValues[i]));
        }
    }
    if (!responseDetails.empty()) logInfo("%s\n", responseDetails.c_str());
    if (Logger* logger = getLogger(); logger && logger->passes(kLogJson)) {
        logJson("%s", getResponse().c_str());
    }
}

std::string Command::getResponse() const {
    Json::Value root(Json::objectValue);
    root["command"] = getName();
    if (!responseValues.empty()) {
        int32_t status = static_cast<int32_t>(responseValues[0]);
        Json::Value statusObject(Json::objectValue);
        statusObject["value"] = status;
        statusObject["description"] =
            format("%d (0x%X) %s", status, status, getStatusMessage(status).c_str());
        root["status"] = statusObject;
    }
    Json::Value response(Json::arrayValue);
    for (size_t i = 1; i < responseValues.size(); ++i) {
        response.append(Json::Value(static_cast<Json::UInt>(responseValues[i])));
    }
    root["response"] = response;
    Json::StyledWriter writer;
    return writer.write(root);
}

// --- Argument checks ------------------------------------------------------

bool FlashEraseAll::init() {
    if (args.size() != 1 && args.size() != 2) return false;
    memoryId = args.size() == 2 ? parseNumber(args[1]) : 0;
    return true;
}

bool FlashEraseRegion::init() {
    if (args.size() != 3) return false;
    startAddress = parseNumber(args[1]);
    byteCount = parseNumber(args[2]);
    return true;
}

bool ReadMemory::init() {
    if (args.size() != 3 && args.size() != 4) return false;
    if (!stringToUint(args[1], &startAddress)) return false;
    if (!stringToUint(args[2], &byteCount)) return false;
    if (args.size() == 4) dataFile = args[3];
    return true;
}

WriteMemory::WriteMemory(uint32_t start, std::vector<uint8_t> bytes)
    : Command({"write-memory", format("0x%08x", start)}),
      startAddress(start),
      data(std::move(bytes)) {}

WriteMemory::WriteMemory(uint32_t start, const MemorySegment& memorySegment)
    : Command({"write-memory", format("0x%08x", start)}),
      startAddress(start),
      segment(&memorySegment) {}

bool WriteMemory::init() {
    if (args.size() != 3 && args.size() != 4) return false;
    startAddress = parseNumber(args[1]);
    dataText = args[2];
    if (args.size() == 4) byteCountLimit = parseNumber(args[3]);
    if (dataText.starts_with("{{")) {
        HexDataProducer hex;
        if (hex.initFromString(dataText) == 0) return false;
    }
    return true;
}

bool FillMemory::init() {
    if (args.size() != 4 && args.size() != 5) return false;
    if (!stringToUint(args[1], &startAddress) || !stringToUint(args[2], &byteCount) ||
        !stringToUint(args[3], &pattern)) {
        return false;
    }
    if (args.size() == 5) {
        if (args[4] == "byte") {
            uint32_t b = pattern & 0xFF;
            pattern = b | (b << 8) | (b << 16) | (b << 24);
        } else if (args[4] == "short") {
            uint32_t h = pattern & 0xFFFF;
            pattern = h | (h << 16);
        } else if (args[4] != "word") {
            return false;
        }
    }
    return true;
}

bool FlashSecurityDisable::init() {
    if (args.size() != 2 || args[1].size() != 16) return false;
    keyWord1 = hexWord(args[1], 0);
    keyWord2 = hexWord(args[1], 8);
    return true;
}

bool GetProperty::init() {
    if (args.size() != 2 && args.size() != 3) return false;
    property = kInvalidPropertyEntry;
    uint32_t tag = 0;
    if (stringToUint(args[1], &tag)) {
        for (const auto& entry : kPropertyTable) {
            if (entry.tag == tag) property = entry;
        }
    } else {
        for (const auto& entry : kPropertyTable) {
            if (args[1] == entry.name) property = entry;
        }
    }
    memoryId = 0;
    if (args.size() == 3) stringToUint(args[2], &memoryId);  // leniency kept on purpose
    return true;
}

bool ReceiveSbFile::init() {
    if (args.size() != 2) return false;
    dataFile = args[1];
    return true;
}

bool Execute::init() {
    if (args.size() != 4) return false;
    entryAddress = parseNumber(args[1]);
    argument = parseNumber(args[2]);
    stackPointer = parseNumber(args[3]);
    return true;
}

bool Call::init() {
    if (args.size() != 3) return false;
    callAddress = parseNumber(args[1]);
    argument = parseNumber(args[2]);
    return true;
}

bool Reset::init() {
    return args.size() == 1;
}

bool SetProperty::init() {
    if (args.size() != 3) return false;
    propertyTag = parseNumber(args[1]);
    return stringToUint(args[2], &value);
}

bool FlashEraseAllUnsecure::init() {
    return args.size() == 1;
}

bool FlashProgramOnce::init() {
    if (args.size() != 4) return false;
    index = parseNumber(args[1]);
    byteCount = parseNumber(args[2]);
    if (byteCount != 4 && byteCount != 8) return false;
    const std::string& text = args[3];
    if (text.size() != 8 && text.size() != 16) return false;
    // Eight bytes need both words: a text of eight characters cannot give them.
    if (byteCount == 8 && text.size() != 16) return false;
    dataWord1 = hexWord(text, 0);
    if (byteCount == 8) dataWord2 = hexWord(text, 8);
    return true;
}

bool FlashReadOnce::init() {
    if (args.size() != 3) return false;
    index = parseNumber(args[1]);
    byteCount = parseNumber(args[2]);
    return byteCount == 4 || byteCount == 8;
}

bool FlashReadResource::init() {
    if (args.size() != 4 && args.size() != 5) return false;
    startAddress = parseNumber(args[1]);
    byteCount = parseNumber(args[2]);
    option = parseNumber(args[3]);
    if (args.size() == 5) dataFile = args[4];
    return true;
}

bool ConfigureQuadSpi::init() {
    if (args.size() != 3) return false;
    firstValue = parseNumber(args[1]);
    secondValue = parseNumber(args[2]);
    return true;
}

// --- Get-property texts ---------------------------------------------------

void GetProperty::describeProperty() {
    // Value words after the status.
    const size_t words = responseValues.size() > 0 ? responseValues.size() - 1 : 0;
    auto w = [&](size_t i) { return i <= words ? responseValues[i] : 0u; };
    auto onOff = [](uint32_t v, const char* on, const char* off) { return v ? on : off; };
    // Names for the set bits of a mask, ", " between; bits without a name are
    // left out rather than read past the table.
    auto listBits = [](uint32_t mask, auto nameOf, size_t count) {
        std::string text;
        mask &= count >= 32 ? 0xFFFFFFFFu : ((1u << count) - 1);
        for (size_t i = 0; i < count && mask; ++i) {
            if (mask & (1u << i)) {
                mask &= ~(1u << i);
                text += nameOf(i);
                if (mask) text += ", ";
            }
        }
        return text;
    };
    auto range = [](uint32_t start, uint32_t end) {
        uint64_t size = start == end ? 0 : static_cast<uint64_t>(end) - start + 1;
        return format("0x%X-0x%X (%s)", start, end, formatSize(size).c_str());
    };

    size_t needed = 1;
    switch (property.tag) {
        case kProperty_ListProperties:
        case kProperty_Reserved9:
        case kProperty_UniqueDeviceId:
            needed = 0;
            break;
        case kProperty_ReservedRegions:
            needed = 4;
            break;
        case kProperty_ExternalMemoryAttributes:
            needed = w(1) ? 6 : 1;
            break;
        default:
            break;
    }
    if (words < needed) {
        logWarning("Warning: the response to '%s' carries %u value words, %u expected\n",
                   property.name, static_cast<unsigned>(words), static_cast<unsigned>(needed));
        return;
    }

    std::string& d = responseDetails;
    uint32_t w1 = w(1);
    switch (property.tag) {
        case kProperty_CurrentVersion:
        case kProperty_TargetVersion:
            d = format(property.tag == kProperty_CurrentVersion ? "Current Version = %c%d.%d.%d"
                                                                : "Target Version = %c%d.%d.%d",
                       static_cast<char>(w1 >> 24), (w1 >> 16) & 0xFF, (w1 >> 8) & 0xFF, w1 & 0xFF);
            break;
        case kProperty_AvailablePeripherals:
            d = "Available Peripherals = " +
                listBits(
                    w1, [](size_t i) { return kPeripheralTable[i].name; }, 7);
            break;
        case kProperty_FlashStartAddress:
            d = format("Flash Start Address = 0x%08X", w1);
            break;
        case kProperty_FlashSizeInBytes:
            d = "Flash Size = " + formatSize(w1);
            break;
        case kProperty_FlashSectorSize:
            d = "Flash Sector Size = " + formatSize(w1);
            break;
        case kProperty_FlashBlockCount:
            d = format("Flash Block Count = %d", static_cast<int>(w1));
            break;
        case kProperty_AvailableCommands:
            d = "Available Commands = " +
                listBits(
                    w1, [](size_t i) { return kCommandTable[i].name; }, 17);
            break;
        case kProperty_CrcCheckStatus:
            d = "CRC Check Status = " + getStatusMessage(static_cast<int32_t>(w1));
            break;
        case kProperty_VerifyWrites:
            d = format("Verify Writes Flag = %s", onOff(w1, "ON", "OFF"));
            break;
        case kProperty_MaxPacketSize:
            d = "Max Packet Size = " + formatSize(w1);
            break;
        case kProperty_ReservedRegions:
            d = "Reserved Regions = Flash: " + range(w(1), w(2)) + ", RAM: " + range(w(3), w(4));
            break;
        case kProperty_ValidateRegions:
            d = format("Validate Regions Flag = %s", onOff(w1, "ON", "OFF"));
            break;
        case kProperty_RamStartAddress:
            d = format("RAM Start Address = 0x%08X", w1);
            break;
        case kProperty_RamSizeInBytes:
            d = "RAM Size = " + formatSize(w1);
            break;
        case kProperty_SystemDeviceId:
            d = format("System Device ID = 0x%08X", w1);
            break;
        case kProperty_FlashSecurityState:
            d = format("Flash Security State = %s", onOff(w1, "SECURE", "UNSECURE"));
            break;
        case kProperty_UniqueDeviceId:
            d = "Unique Device ID =";
            for (size_t i = 1; i <= words; ++i) {
                d += format(" %04X %04X", w(i) >> 16, w(i) & 0xFFFF);
            }
            break;
        case kProperty_FacSupport:
            d = format("Flash Access Controller (FAC) Support Flag = %s",
                       onOff(w1, "SUPPORTED", "UNSUPPORTED"));
            break;
        case kProperty_FlashAccessSegmentSize:
            d = "Flash Access Segment Size = " + formatSize(w1);
            break;
        case kProperty_FlashAccessSegmentCount:
            d = format("Flash Access Segment Count = %d", static_cast<int>(w1));
            break;
        case kProperty_FlashReadMargin: {
            static const char* const kMargins[] = {"NORMAL", "USER", "FACTORY"};
            d = "Flash read margin level = " +
                (w1 < 3 ? std::string(kMargins[w1]) : format("UNKNOWN (%d)", static_cast<int>(w1)));
            break;
        }
        case kProperty_QspiInitStatus:
            d = "QSPI Init Status = " + getStatusMessage(static_cast<int32_t>(w1));
            break;
        case kProperty_ExternalMemoryAttributes:
            if (w1 == 0) break;
            d = format("%s Attributes: ", memoryId == 1 ? "QuadSPI" : "UNKNOWN");
            if (w1 & 0x1) d += format("Start Address = 0x%08x  ", w(2));
            if (w1 & 0x2)
                d += format("Total Size = %s  ", formatSize(uint64_t{w(3)} * 1024).c_str());
            if (w1 & 0x4) d += format("Page Size = %s  ", formatSize(w(4)).c_str());
            if (w1 & 0x8) d += format("Sector Size = %s  ", formatSize(w(5)).c_str());
            if (w1 & 0x10) d += format("Block Size = %s ", formatSize(w(6)).c_str());
            break;
        default:
            break;
    }
}

}  // namespace bootloader
