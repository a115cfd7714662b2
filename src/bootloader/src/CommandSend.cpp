// Running each command over a packetizer: the command packet, the response
// checks, and the data phases.
#include <cstdio>
#include <optional>

#include "bootloader/Command.h"
#include "bootloader/DataPacket.h"
#include "bootloader/Logger.h"
#include "bootloader/Packetizer.h"

namespace bootloader {

namespace {

std::string countText(const char* fmt, uint32_t done, uint32_t total) {
    char text[96];
    std::snprintf(text, sizeof text, fmt, done, total);
    return text;
}

}  // namespace

ResponsePacket sendCommandGetResponse(const CommandPacket& packet, Packetizer& packetizer) {
    status_t status = packetizer.writePacket(packet.bytes, packet.byteCount(), kPacketType_Command);
    if (status != kStatus_Success) {
        logError("sendCommandGetResponse.writePacket error %d.\n", status);
        return {};
    }
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    status = packetizer.readPacket(&bytes, &length, kPacketType_Command);
    if (status != kStatus_Success) {
        logError("sendCommandGetResponse.readPacket error %d.\n", status);
        return {};
    }
    return {bytes, length};
}

void Command::runPlainExchange(Packetizer& packetizer, const CommandPacket& packet,
                               uint8_t ownTag) {
    processResponse(sendCommandGetResponse(packet, packetizer), ownTag);
}

void Command::runDataOut(Packetizer& packetizer, DataProducer& producer, uint8_t ownTag,
                         std::initializer_list<uint32_t> paramsBeforeCount, bool pollForAbort) {
    const uint32_t count = producer.getDataSize();
    uint32_t params[3] = {};
    size_t n = 0;
    for (uint32_t p : paramsBeforeCount) params[n++] = p;
    CommandPacket packet =
        n == 0 ? CommandPacket(ownTag, kCommandFlag_HasDataPhase, {count})
               : CommandPacket(ownTag, kCommandFlag_HasDataPhase, {params[0], count});
    if (!processResponse(sendCommandGetResponse(packet, packetizer), ownTag)) {
        responseDetails = countText("Wrote %u of %u bytes.", 0, count);
        return;
    }
    // The final status takes the place of the first one.
    responseValues.pop_back();

    if (pollForAbort) packetizer.abortEnabled = true;
    uint32_t written = 0;
    DataPacket dataPacket(&producer);
    ResponsePacket finalResponse = dataPacket.sendTo(packetizer, &written);
    if (pollForAbort) packetizer.abortEnabled = false;

    processResponse(finalResponse, ownTag);
    responseDetails = countText("Wrote %u of %u bytes.", written, count);
}

uint32_t Command::runDataIn(Packetizer& packetizer, DataConsumer& consumer, uint32_t announced,
                            uint8_t ownTag) {
    uint32_t remaining = announced;
    uint32_t received = 0;
    DataPacket dataPacket(&consumer);
    ResponsePacket finalResponse = dataPacket.receiveFrom(packetizer, &remaining, &received);
    processResponse(finalResponse, ownTag);
    return received;
}

// --- Plain exchanges ------------------------------------------------------

void FlashEraseAll::sendTo(Packetizer& packetizer) {
    runPlainExchange(packetizer, CommandPacket(kTag, 0, {memoryId}), kTag);
}

void FlashEraseRegion::sendTo(Packetizer& packetizer) {
    runPlainExchange(packetizer, CommandPacket(kTag, 0, {startAddress, byteCount}), kTag);
}

void FillMemory::sendTo(Packetizer& packetizer) {
    runPlainExchange(packetizer, CommandPacket(kTag, 0, {startAddress, byteCount, pattern}), kTag);
}

void FlashSecurityDisable::sendTo(Packetizer& packetizer) {
    runPlainExchange(packetizer, CommandPacket(kTag, 0, {keyWord1, keyWord2}), kTag);
}

void Call::sendTo(Packetizer& packetizer) {
    runPlainExchange(packetizer, CommandPacket(kTag, 0, {callAddress, argument}), kTag);
}

void SetProperty::sendTo(Packetizer& packetizer) {
    runPlainExchange(packetizer, CommandPacket(kTag, 0, {propertyTag, value}), kTag);
}

void FlashEraseAllUnsecure::sendTo(Packetizer& packetizer) {
    runPlainExchange(packetizer, CommandPacket(kTag, 0, {}), kTag);
}

void FlashProgramOnce::sendTo(Packetizer& packetizer) {
    CommandPacket packet = byteCount == 8
                               ? CommandPacket(kTag, 0, {index, byteCount, dataWord1, dataWord2})
                               : CommandPacket(kTag, 0, {index, byteCount, dataWord1});
    runPlainExchange(packetizer, packet, kTag);
}

void ConfigureQuadSpi::sendTo(Packetizer& packetizer) {
    runPlainExchange(packetizer, CommandPacket(kTag, 0, {firstValue, secondValue}), kTag);
}

// The target may restart before it answers these two.
void Reset::sendTo(Packetizer& packetizer) {
    ResponsePacket response = sendCommandGetResponse(CommandPacket(kTag, 0, {}), packetizer);
    if (!response) {
        logWarning("Ignoring missing response from reset command.\n");
        responseValues.push_back(kStatus_Success);
        return;
    }
    processResponse(response);
}

void Execute::sendTo(Packetizer& packetizer) {
    ResponsePacket response = sendCommandGetResponse(
        CommandPacket(kTag, 0, {entryAddress, argument, stackPointer}), packetizer);
    if (!response) {
        logWarning("Ignoring missing response from execute command.\n");
        responseValues.push_back(kStatus_Success);
        return;
    }
    processResponse(response);
}

// --- get-property and flash-read-once -------------------------------------

void GetProperty::sendTo(Packetizer& packetizer) {
    if (property.tag == kProperty_ListProperties) {
        logInfo("The possible properties for the %s command are\n", getName().c_str());
        for (const auto& entry : kPropertyTable) {
            logInfo("    %d or '%s'\n", static_cast<int>(entry.tag), entry.name);
        }
        responseValues.push_back(kStatus_NoResponseExpected);
        return;
    }
    processGetPropertyResponse(
        sendCommandGetResponse(CommandPacket(kTag, 0, {property.tag, memoryId}), packetizer));
}

bool GetProperty::processGetPropertyResponse(const ResponsePacket& packet) {
    if (!packet || !packet.hasHeader() || packet.tag() == kCommandTag_GenericResponse) {
        return processResponse(packet);
    }
    noteTruncated(packet);
    if (packet.tag() != kCommandTag_GetPropertyResponse) {
        logError("Error: expected kCommandTag_GetPropertyResponse (0x%x), received 0x%x\n",
                 kCommandTag_GetPropertyResponse, packet.tag());
        responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    // A property answer has no data phase; a target that claims one is not
    // answering this command.
    if (packet.flags() & kCommandFlag_HasDataPhase) {
        logError("Error: get-property response announces a data phase\n");
        responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    uint32_t status = packet.param(0);
    responseValues.push_back(status);
    if (status != 0) return false;
    logDetail("Successful response to command '%s(%s)'\n", getName().c_str(), property.name);
    for (uint32_t i = 1; i < packet.paramCount(); ++i) responseValues.push_back(packet.param(i));
    describeProperty();
    return true;
}

void FlashReadOnce::sendTo(Packetizer& packetizer) {
    processFlashReadOnceResponse(
        sendCommandGetResponse(CommandPacket(kTag, 0, {index, byteCount}), packetizer));
}

bool FlashReadOnce::processFlashReadOnceResponse(const ResponsePacket& packet) {
    if (!packet || !packet.hasHeader() || packet.tag() == kCommandTag_GenericResponse) {
        return processResponse(packet);
    }
    noteTruncated(packet);
    if (packet.tag() != kCommandTag_FlashReadOnceResponse) {
        logError("Error: expected kCommandTag_FlashReadOnceResponse (0x%x), received 0x%x\n",
                 kCommandTag_FlashReadOnceResponse, packet.tag());
        responseValues.push_back(kStatus_UnknownCommand);
        return false;
    }
    uint32_t status = packet.param(0);
    responseValues.push_back(status);
    if (status != 0) return false;
    logDetail("Successful response to command '%s'\n", getName().c_str());
    for (uint32_t i = 1; i < packet.paramCount(); ++i) responseValues.push_back(packet.param(i));
    return true;
}

// --- Data phases ----------------------------------------------------------

void WriteMemory::sendTo(Packetizer& packetizer) {
    std::optional<SegmentDataProducer> fromSegment;
    HexDataProducer fromBytes;
    FileDataProducer fromFile;
    DataProducer* producer = nullptr;
    if (segment) {
        producer = &fromSegment.emplace(*segment);
    } else if (dataText.starts_with("{{")) {
        if (fromBytes.initFromString(dataText) == 0) return;
        producer = &fromBytes;
    } else if (!data.empty()) {
        fromBytes = HexDataProducer(data);
        producer = &fromBytes;
    } else {
        if (!fromFile.init(dataText, byteCountLimit)) return;
        producer = &fromFile;
    }
    runDataOut(packetizer, *producer, kTag, {startAddress}, false);
}

void ReceiveSbFile::sendTo(Packetizer& packetizer) {
    FileDataProducer producer;
    if (!producer.init(dataFile, 0)) return;
    runDataOut(packetizer, producer, kTag, {}, true);
}

namespace {

// Typed check of the two read commands: a generic response is checked as
// such; the command's own response passes on status 0.
bool processReadResponse(const ResponsePacket& packet, uint8_t responseTag, const char* errorFormat,
                         std::vector<uint32_t>& values, const std::string& name) {
    if (packet.tag() != responseTag) {
        logError(errorFormat, responseTag, packet.tag());
        // Recorded so that the command cannot end looking like a success.
        values.push_back(kStatus_UnknownCommand);
        return false;
    }
    uint32_t status = packet.param(0);
    if (status != 0) {
        values.push_back(status);
        return false;
    }
    logInfo("Successful response to command '%s'\n", name.c_str());
    return true;
}

}  // namespace

// A read command answered by a generic response: its status stands. A
// generic success announces no data, so it is not taken for one.
bool Command::genericInsteadOfData(const ResponsePacket& packet, uint8_t ownTag,
                                   uint8_t responseTag, const char* errorFormat) {
    if (processResponse(packet, ownTag)) {
        logError(errorFormat, responseTag, packet.tag());
        responseValues.back() = kStatus_UnknownCommand;
    }
    return false;
}

bool ReadMemory::processReadMemoryResponse(const ResponsePacket& packet) {
    if (!packet || !packet.hasHeader() || packet.tag() == kCommandTag_GenericResponse) {
        return genericInsteadOfData(packet, kTag, kCommandTag_ReadMemoryResponse,
                                    "Error: expected kCommandTag_ReadMemoryResponse (0x%x), "
                                    "received 0x%x\n");
    }
    noteTruncated(packet);
    return processReadResponse(
        packet, kCommandTag_ReadMemoryResponse,
        "Error: expected kCommandTag_ReadMemoryResponse (0x%x), received 0x%x\n", responseValues,
        getName());
}

bool FlashReadResource::processFlashReadResourceResponse(const ResponsePacket& packet) {
    if (!packet || !packet.hasHeader() || packet.tag() == kCommandTag_GenericResponse) {
        return genericInsteadOfData(packet, kTag, kCommandTag_FlashReadResourceResponse,
                                    "Error: expected kCommandTag_FlashReadResourceResponse "
                                    "(0x%x), received 0x%x\n");
    }
    noteTruncated(packet);
    return processReadResponse(
        packet, kCommandTag_FlashReadResourceResponse,
        "Error: expected kCommandTag_FlashReadResourceResponse (0x%x), received 0x%x\n",
        responseValues, getName());
}

namespace {

template <class ReadCommand, class Check>
void runRead(ReadCommand& command, Packetizer& packetizer, const CommandPacket& packet, Check check,
             std::vector<uint32_t>& values, std::string& details,
             const std::function<uint32_t(DataConsumer&, uint32_t)>& dataIn) {
    FileDataConsumer toFile;
    StdOutDataConsumer toStdOut;
    DataConsumer* consumer = &toStdOut;
    if (!command.dataFile.empty()) {
        if (!toFile.init(command.dataFile)) return;
        consumer = &toFile;
    }
    ResponsePacket response = sendCommandGetResponse(packet, packetizer);
    uint32_t received = 0;
    if (check(response)) received = dataIn(*consumer, response.param(1));
    values.push_back(received);
    details = countText("Read %u of %u bytes.", received, command.byteCount);
}

}  // namespace

void ReadMemory::sendTo(Packetizer& packetizer) {
    runRead(
        *this, packetizer, CommandPacket(kTag, 0, {startAddress, byteCount}),
        [this](const ResponsePacket& r) { return processReadMemoryResponse(r); }, responseValues,
        responseDetails,
        [&](DataConsumer& consumer, uint32_t announced) {
            return runDataIn(packetizer, consumer, announced, kTag);
        });
}

void FlashReadResource::sendTo(Packetizer& packetizer) {
    runRead(
        *this, packetizer, CommandPacket(kTag, 0, {startAddress, byteCount, option}),
        [this](const ResponsePacket& r) { return processFlashReadResourceResponse(r); },
        responseValues, responseDetails,
        [&](DataConsumer& consumer, uint32_t announced) {
            return runDataIn(packetizer, consumer, announced, kTag);
        });
}

}  // namespace bootloader
