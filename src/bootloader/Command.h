// The bootloader protocol as the host knows it: the command, property,
// peripheral and status tables, the packets, and one class per command. A
// command is built from an argument vector by Command::create, run once over a
// Packetizer with sendTo, and then holds its outcome: responseValues (element
// 0 is the status) and a result text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/Status.h"

namespace bootloader {

class Packetizer;
class MemorySegment;
class DataProducer;
class DataConsumer;

// --- Tags and flags -------------------------------------------------------

enum CommandTag : uint8_t {
    kCommandTag_FlashEraseAll = 1,
    kCommandTag_FlashEraseRegion = 2,
    kCommandTag_ReadMemory = 3,
    kCommandTag_WriteMemory = 4,
    kCommandTag_FillMemory = 5,
    kCommandTag_FlashSecurityDisable = 6,
    kCommandTag_GetProperty = 7,
    kCommandTag_ReceiveSbFile = 8,
    kCommandTag_Execute = 9,
    kCommandTag_Call = 10,
    kCommandTag_Reset = 11,
    kCommandTag_SetProperty = 12,
    kCommandTag_FlashEraseAllUnsecure = 13,
    kCommandTag_FlashProgramOnce = 14,
    kCommandTag_FlashReadOnce = 15,
    kCommandTag_FlashReadResource = 16,
    kCommandTag_ConfigureQuadSpi = 17,

    kCommandTag_GenericResponse = 0xA0,
    kCommandTag_ReadMemoryResponse = 0xA3,
    kCommandTag_GetPropertyResponse = 0xA7,
    kCommandTag_FlashReadOnceResponse = 0xAF,
    kCommandTag_FlashReadResourceResponse = 0xB0,
};

constexpr uint8_t kCommandFlag_HasDataPhase = 0x01;

enum PropertyTag : uint32_t {
    kProperty_ListProperties = 0,
    kProperty_CurrentVersion = 1,
    kProperty_AvailablePeripherals = 2,
    kProperty_FlashStartAddress = 3,
    kProperty_FlashSizeInBytes = 4,
    kProperty_FlashSectorSize = 5,
    kProperty_FlashBlockCount = 6,
    kProperty_AvailableCommands = 7,
    kProperty_CrcCheckStatus = 8,
    kProperty_Reserved9 = 9,
    kProperty_VerifyWrites = 10,
    kProperty_MaxPacketSize = 11,
    kProperty_ReservedRegions = 12,
    kProperty_ValidateRegions = 13,
    kProperty_RamStartAddress = 14,
    kProperty_RamSizeInBytes = 15,
    kProperty_SystemDeviceId = 16,
    kProperty_FlashSecurityState = 17,
    kProperty_UniqueDeviceId = 18,
    kProperty_FacSupport = 19,
    kProperty_FlashAccessSegmentSize = 20,
    kProperty_FlashAccessSegmentCount = 21,
    kProperty_FlashReadMargin = 22,
    kProperty_QspiInitStatus = 23,
    kProperty_TargetVersion = 24,
    kProperty_ExternalMemoryAttributes = 25,
    kProperty_Invalid = 255,
};

// --- Tables ---------------------------------------------------------------

struct CommandEntry {
    uint32_t tag;
    uint32_t mask;  // bit of the available-commands property: 1 << (tag - 1)
    const char* name;
};

struct PropertyEntry {
    uint32_t tag;
    const char* name;
};

struct PeripheralEntry {
    uint32_t mask;
    const char* name;
};

struct StatusEntry {
    int32_t code;
    const char* message;
};

extern const CommandEntry kCommandTable[17];
extern const PropertyEntry kPropertyTable[26];
extern const PropertyEntry kInvalidPropertyEntry;  // 255 "invalid-property"
extern const PeripheralEntry kPeripheralTable[7];
// Ends with the entry {0x7FFFFFFF, ""}.
extern const StatusEntry kStatusTable[];

// Text of a status code, or "Unknown error code (%d)".
std::string getStatusMessage(int32_t code);

// The strict number parse: false for an empty or negative text and unless the
// whole text is one unsigned 32-bit number (0x.. hexadecimal, 0.. octal, else
// decimal). `value` receives what was parsed even when false is returned,
// except for empty and negative texts, which leave it untouched.
bool stringToUint(const std::string& text, uint32_t* value);

// The plain parse: the same bases, no checks; text that is not a number is 0.
uint32_t parseNumber(const std::string& text);

// --- Packets --------------------------------------------------------------

// A command packet as built here: 4 header bytes and up to 7 parameters.
struct CommandPacket {
    CommandPacket(uint8_t tag, uint8_t flags, std::initializer_list<uint32_t> params);
    uint32_t byteCount() const { return 4 + 4 * paramCount; }

    uint32_t paramCount = 0;
    uint8_t bytes[4 + 4 * 7] = {};
};

// A response packet as it came from the packetizer (it points into the
// packetizer's buffer and is valid until the next transfer). The parameter
// accessors never read past the bytes that arrived: a parameter the packet
// announces but does not carry reads as absent.
struct ResponsePacket {
    const uint8_t* bytes = nullptr;  // null: no packet
    uint32_t length = 0;

    explicit operator bool() const { return bytes != nullptr; }
    bool hasHeader() const { return bytes && length >= 4; }
    uint8_t tag() const { return hasHeader() ? bytes[0] : 0; }
    uint8_t flags() const { return hasHeader() ? bytes[1] : 0; }
    uint32_t declaredParamCount() const { return hasHeader() ? bytes[3] : 0; }
    uint32_t paramCount() const;
    uint32_t param(uint32_t index) const;  // 0 when absent
};

// Writes the command packet and reads the response; a transport failure is
// logged and gives no packet.
ResponsePacket sendCommandGetResponse(const CommandPacket& packet, Packetizer& packetizer);

// --- Commands -------------------------------------------------------------

class Command {
  public:
    explicit Command(std::vector<std::string> args);
    virtual ~Command() = default;

    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Builds the command named by args[0] and checks its arguments; null when
    // the name is unknown or an argument is refused. Nothing is logged.
    // Takes the vector by value: a caller that moves it in (a megabyte of hex
    // text for a firmware image) saves a copy.
    static std::unique_ptr<Command> create(std::vector<std::string> args);

    virtual bool init() { return true; }
    virtual std::string getArg(size_t index) const;
    virtual std::string getName() const { return getArg(0); }
    virtual size_t getArgCount() const { return args.size(); }
    virtual void sendTo(Packetizer&) {}
    virtual const std::vector<uint32_t>& getResponseValues() const { return responseValues; }
    // The result as JSON (command, status, response words).
    virtual std::string getResponse() const;
    // The check every response gets: a generic response answering
    // `expectedTag`. Appends the status (or 10004 / 10000) and logs.
    virtual bool processResponse(const ResponsePacket& packet, uint32_t expectedTag);

    const std::string& getResponseDetails() const { return responseDetails; }
    // Logs the status, the response words, the result text and (at level 1)
    // the JSON text.
    void printResponse() const;

  protected:
    std::vector<std::string> args;
    std::vector<uint32_t> responseValues;
    std::string responseDetails;

    // Runs a plain exchange: send, check the generic response.
    void runPlainExchange(Packetizer& packetizer, const CommandPacket& packet, uint8_t ownTag);
    // Command with a data-out phase (write-memory, receive-sb-file): the first
    // response, the data, the final response, and "Wrote %d of %d bytes.".
    void runDataOut(Packetizer& packetizer, DataProducer& producer, uint8_t ownTag,
                    std::initializer_list<uint32_t> paramsBeforeCount, bool pollForAbort);
    // Command with a data-in phase (read-memory, flash-read-resource), after
    // its typed check passed: the data, the final response.
    uint32_t runDataIn(Packetizer& packetizer, DataConsumer& consumer, uint32_t announced,
                       uint8_t ownTag);
    // A read command answered by a generic response instead of its own.
    bool genericInsteadOfData(const ResponsePacket& packet, uint8_t ownTag, uint8_t responseTag,
                              const char* errorFormat);
    // Logs when a response announces more parameters than it carries.
    static void noteTruncated(const ResponsePacket& packet);
};

#define QUORTA_COMMAND_COMMON(ClassName, Tag)                                 \
  public:                                                                     \
    explicit ClassName(std::vector<std::string> a) : Command(std::move(a)) {} \
    static constexpr uint8_t kTag = Tag;                                      \
    using Command::processResponse;                                           \
    bool processResponse(const ResponsePacket& packet) {                      \
        return processResponse(packet, kTag);                                 \
    }

class FlashEraseAll : public Command {
    QUORTA_COMMAND_COMMON(FlashEraseAll, kCommandTag_FlashEraseAll)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t memoryId = 0;
};

class FlashEraseRegion : public Command {
    QUORTA_COMMAND_COMMON(FlashEraseRegion, kCommandTag_FlashEraseRegion)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t startAddress = 0;
    uint32_t byteCount = 0;
};

class ReadMemory : public Command {
    QUORTA_COMMAND_COMMON(ReadMemory, kCommandTag_ReadMemory)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    bool processReadMemoryResponse(const ResponsePacket& packet);
    uint32_t startAddress = 0;
    uint32_t byteCount = 0;
    std::string dataFile;  // empty: standard output
};

class WriteMemory : public Command {
    QUORTA_COMMAND_COMMON(WriteMemory, kCommandTag_WriteMemory)
    // Built in code from bytes or from a memory segment (which must outlive
    // the command); `create` never uses these.
    WriteMemory(uint32_t startAddress, std::vector<uint8_t> data);
    WriteMemory(uint32_t startAddress, const MemorySegment& segment);
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t startAddress = 0;
    std::string dataText;         // a file path, or hex digits between "{{" and "}}"
    uint32_t byteCountLimit = 0;  // for a file: 0 = the whole file
    std::vector<uint8_t> data;
    const MemorySegment* segment = nullptr;
};

class FillMemory : public Command {
    QUORTA_COMMAND_COMMON(FillMemory, kCommandTag_FillMemory)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t startAddress = 0;
    uint32_t byteCount = 0;
    uint32_t pattern = 0;
};

class FlashSecurityDisable : public Command {
    QUORTA_COMMAND_COMMON(FlashSecurityDisable, kCommandTag_FlashSecurityDisable)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t keyWord1 = 0;
    uint32_t keyWord2 = 0;
};

class GetProperty : public Command {
    QUORTA_COMMAND_COMMON(GetProperty, kCommandTag_GetProperty)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    bool processGetPropertyResponse(const ResponsePacket& packet);
    PropertyEntry property = {kProperty_Invalid, "invalid-property"};
    uint32_t memoryId = 0;

  private:
    void describeProperty();
};

class ReceiveSbFile : public Command {
    QUORTA_COMMAND_COMMON(ReceiveSbFile, kCommandTag_ReceiveSbFile)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    std::string dataFile;
};

class Execute : public Command {
    QUORTA_COMMAND_COMMON(Execute, kCommandTag_Execute)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t entryAddress = 0;
    uint32_t argument = 0;
    uint32_t stackPointer = 0;
};

class Call : public Command {
    QUORTA_COMMAND_COMMON(Call, kCommandTag_Call)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t callAddress = 0;
    uint32_t argument = 0;
};

class Reset : public Command {
    QUORTA_COMMAND_COMMON(Reset, kCommandTag_Reset)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
};

class SetProperty : public Command {
    QUORTA_COMMAND_COMMON(SetProperty, kCommandTag_SetProperty)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t propertyTag = 0;
    uint32_t value = 0;
};

class FlashEraseAllUnsecure : public Command {
    QUORTA_COMMAND_COMMON(FlashEraseAllUnsecure, kCommandTag_FlashEraseAllUnsecure)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
};

class FlashProgramOnce : public Command {
    QUORTA_COMMAND_COMMON(FlashProgramOnce, kCommandTag_FlashProgramOnce)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t index = 0;
    uint32_t byteCount = 0;
    uint32_t dataWord1 = 0;
    uint32_t dataWord2 = 0;
};

class FlashReadOnce : public Command {
    QUORTA_COMMAND_COMMON(FlashReadOnce, kCommandTag_FlashReadOnce)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    bool processFlashReadOnceResponse(const ResponsePacket& packet);
    uint32_t index = 0;
    uint32_t byteCount = 0;
};

class FlashReadResource : public Command {
    QUORTA_COMMAND_COMMON(FlashReadResource, kCommandTag_FlashReadResource)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    bool processFlashReadResourceResponse(const ResponsePacket& packet);
    uint32_t startAddress = 0;
    uint32_t byteCount = 0;
    uint32_t option = 0;
    std::string dataFile;  // empty: standard output
};

class ConfigureQuadSpi : public Command {
    QUORTA_COMMAND_COMMON(ConfigureQuadSpi, kCommandTag_ConfigureQuadSpi)
    bool init() override;
    void sendTo(Packetizer& packetizer) override;
    uint32_t firstValue = 0;
    uint32_t secondValue = 0;
};

#undef QUORTA_COMMAND_COMMON

}  // namespace bootloader
