// The flash bootloader of the simulated GPS, seen from the USB side: a HID
// device with 36-byte reports that answers the bootloader protocol's commands
// against a FlashModel, runs data phases both ways, and misbehaves on request
// so that the host library can be tested against every way a real target
// fails.
//
// Wire format of every report, both directions:
//   byte 0     report id: 1 command out, 2 data out, 3 command in, 4 data in
//   byte 1     padding
//   bytes 2-3  packet length, little-endian, 0..32 (0 is an abort)
//   bytes 4..  the packet
//
// How the target answers:
// - A command packet is tag, flags, reserved, parameter count, then the
//   parameters (32-bit little-endian). A wrong parameter count, or a packet too
//   short for its count, is answered with kStatus_InvalidArgument (4).
// - A tag that is not a command, or whose bit is clear in the available-commands
//   property, is answered with kStatus_UnknownCommand (10000). By default every
//   command but configure-quadspi is available: this target has no QuadSPI.
// - While the flash-security-state property is non-zero only get-property,
//   set-property, reset, flash-security-disable and flash-erase-all-unsecure
//   are served; the rest get 10001.
// - Ranges outside the flash, or touching the reserved flash region named by
//   the reserved-regions property (none by default; the whole-GPS simulation
//   reserves the bootloader's own 0x0..0x9FFF), get kStatusMemoryRangeInvalid
//   (10200). Erasing needs regions aligned to the flash's sector size, which
//   flash-sector-size reports (101 otherwise, nothing erased); programming a
//   cleared bit back to 1 fails with 105.
// - write-memory and receive-sb-file answer the command, then take data
//   packets until the announced byte count has arrived, then send the final
//   generic response. A flash write that fails mid-phase aborts the phase: a
//   zero-length command-in report, then the generic response with the flash's
//   status; the rest of the host's data packets are dropped. receive-sb-file
//   accepts the bytes and discards them.
// - read-memory and flash-read-resource answer with their own response tag
//   and the byte count, then send data-in packets of 32 bytes (the last one
//   shorter) as the host reads them, then a generic response.
// - A zero-length command report from the host (its abort) ends a data phase
//   in progress and is answered with a generic response of 10002; outside a
//   data phase it is ignored. A new command also ends any data phase.
// - reset and execute are answered, then the hook runs (the target itself
//   keeps serving; a whole-GPS simulation decides what a restart means).
//
// Reads block until a report is ready or the timeout passes on the Clock
// (negative: no limit, as hidapi). Writes are taken at once. Every call is
// thread-safe; the hooks run outside the target's lock on the thread that
// wrote the command.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "hidport/hidport.h"
#include "platform/Clock.h"
#include "sim/FlashModel.h"

namespace sim {

// The protocol's numbers, as the target uses them. Written here from the
// protocol, not taken from the host library's Command.h: the target is the
// host's independent peer, so a wrong number on the host's side fails a test
// instead of being agreed with.
namespace protocol {

enum ReportId : uint8_t {
    kReportId_CommandOut = 1,
    kReportId_DataOut = 2,
    kReportId_CommandIn = 3,
    kReportId_DataIn = 4,
};

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
    kProperty_CurrentVersion = 1,
    kProperty_AvailablePeripherals = 2,
    kProperty_FlashStartAddress = 3,
    kProperty_FlashSizeInBytes = 4,
    kProperty_FlashSectorSize = 5,
    kProperty_FlashBlockCount = 6,
    kProperty_AvailableCommands = 7,
    kProperty_CrcCheckStatus = 8,
    kProperty_VerifyWrites = 10,
    kProperty_MaxPacketSize = 11,
    kProperty_ReservedRegions = 12,
    kProperty_ValidateRegions = 13,
    kProperty_RamStartAddress = 14,
    kProperty_RamSizeInBytes = 15,
    kProperty_SystemDeviceId = 16,
    kProperty_FlashSecurityState = 17,
    kProperty_UniqueDeviceId = 18,
    kProperty_FlashFacSupport = 19,
    kProperty_FlashAccessSegmentSize = 20,
    kProperty_FlashAccessSegmentCount = 21,
    kProperty_FlashReadMargin = 22,
    kProperty_QspiInitStatus = 23,
    kProperty_TargetVersion = 24,
    kProperty_ExternalMemoryAttributes = 25,
};

enum Status : int32_t {
    kStatus_Success = 0,
    kStatus_InvalidArgument = 4,
    kStatus_FlashAlignmentError = 101,
    kStatus_FlashAccessError = 103,
    kStatus_FlashCommandFailure = 105,
    kStatus_QspiNotConfigured = 405,
    kStatus_UnknownCommand = 10000,
    kStatus_SecurityViolation = 10001,
    kStatus_AbortDataPhase = 10002,
    kStatus_MemoryRangeInvalid = 10200,
    kStatus_UnknownProperty = 10300,
    kStatus_ReadOnlyProperty = 10301,
    kStatus_InvalidPropertyValue = 10302,
    kStatus_AppCrcCheckInactive = 10402,
};

// Commands as bits of the available-commands property: bit (tag - 1).
constexpr uint32_t commandBit(uint8_t tag) {
    return tag >= 1 && tag <= 32 ? 1u << (tag - 1) : 0;
}

// The version word of current-version and target-version: a letter and three
// numbers, most significant first.
constexpr uint32_t versionWord(char letter, uint8_t major, uint8_t minor, uint8_t bugfix) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(letter)) << 24) |
           (static_cast<uint32_t>(major) << 16) | (static_cast<uint32_t>(minor) << 8) | bugfix;
}

}  // namespace protocol

// Which responses of a command the response faults hit. A command without a
// data phase has a single response, which counts as both its first and last.
enum class FaultedResponse {
    All,
    First,  // the response to the command packet
    Last,   // the response that ends the command (after its data phase)
};

// Misbehaviour on request. Everything off by default; the faults stay in force
// until setFaults replaces them (openFailures counts itself down).
struct BootloaderFaults {
    static constexpr uint32_t kAllCommands = 0xFFFFFFFFu;

    // --- Faults on command responses (report id 3) ---
    // Commands whose responses are hit: protocol::commandBit(tag) set. Tags the
    // target does not know are hit only when this is kAllCommands.
    uint32_t commandMask = kAllCommands;
    FaultedResponse responses = FaultedResponse::All;
    // The command is carried out but nothing is answered. A read-memory or
    // flash-read-resource whose first response is withheld sends no data
    // either; a write-memory still takes its data.
    bool noResponse = false;
    // Non-zero: the response carries this tag instead of its own.
    uint8_t wrongResponseTag = 0;
    // Non-zero: a generic response names this command tag instead of the
    // command it answers.
    uint8_t mismatchedCommandTag = 0;
    // This many bytes of the packet are missing from the report, while its
    // length field still counts them (the read returns 4 + length - this).
    int shortReportMissingBytes = 0;
    // Non-zero: the response goes out under this report id (e.g. 4, data in).
    uint8_t wrongReportId = 0;
    // Non-negative: the report's length field says this instead (above 32, or
    // 0 for a zero-length report in place of the response).
    int lengthField = -1;
    // Zero-length command-in reports sent just before the response.
    int zeroLengthReportsBefore = 0;
    // The response becomes readable only this long (Clock time) after the
    // command arrived, as from a slow flash operation.
    int responseDelayMs = 0;

    // --- Faults in data phases (counted per phase, data packets either way) ---
    // After this many data packets the target goes silent for the rest of the
    // command: no more data, no final response (the next command is served).
    int silenceAfterDataPackets = -1;
    // After this many data packets the target aborts the phase: a zero-length
    // report (data in while sending, command in while receiving), then a
    // generic response with abortStatus.
    int abortAfterDataPackets = -1;
    int32_t abortStatus = protocol::kStatus_AbortDataPhase;
    // After this many data packets the device drops off the bus (unplug()).
    int unplugAfterDataPackets = -1;
    // Data-in packets lose shortReportMissingBytes as the responses do.
    bool shortDataPackets = false;

    // --- Faults of the link ---
    // The next this-many opens fail, as a node the system has not finished
    // setting up.
    int openFailures = 0;
    // The target takes nothing: writes wait out their timeout and fail with
    // -1, reads time out.
    bool hung = false;
    // Every read fails with -1 while writes still go through.
    bool readErrors = false;
};

class BootloaderTarget : public hidport::SimulatedHidDevice {
  public:
    static constexpr size_t kReportLength = 36;
    static constexpr uint32_t kMaxPacketSize = 32;
    static constexpr int kProgramOnceWords = 16;

    BootloaderTarget(uint16_t vendorId, uint16_t productId,
                     platform::Clock& clock = platform::sharedClock());
    ~BootloaderTarget() override;

    BootloaderTarget(const BootloaderTarget&) = delete;
    BootloaderTarget& operator=(const BootloaderTarget&) = delete;

    // --- hidport::SimulatedHidDevice ---
    uint16_t vendorId() const override { return vendorId_; }
    uint16_t productId() const override { return productId_; }
    size_t outputReportLength() const override { return kReportLength; }
    // Fails while unplugged and while openFailures lasts. A new handle sees
    // only reports sent after it opened, as with a hidraw node.
    bool open() override;
    void close() override;
    // Hands over one input report (truncated to `length`): its byte count, 0
    // when none came within the timeout, -1 when unplugged or not open.
    int read(unsigned char* data, size_t length, int milliseconds) override;
    // Takes one output report at once and returns its length; -1 when
    // unplugged, not open, hung, or for a report longer than 36 bytes.
    int write(const unsigned char* data, size_t length, int milliseconds) override;

    // --- Its memory ---
    FlashModel& flash() { return flash_; }
    const FlashModel& flash() const { return flash_; }
    // The program-once field: 16 words, all ones until programmed. An index
    // addresses a word; a byte count of 8 covers that word and the next.
    uint32_t programOnceWord(int index) const;
    // The bytes that flash-read-resource reads: option 0 the 256-byte
    // information row, option 1 the 8-byte version id.
    std::vector<uint8_t> flashResource(uint32_t option) const;
    void setFlashResource(uint32_t option, std::vector<uint8_t> bytes);

    // --- Faults ---
    void setFaults(const BootloaderFaults& faults);
    BootloaderFaults faults() const;

    // --- Properties (what get-property answers) ---
    // Defaults: current-version Q1.4.0, USB HID, flash at 0 of 1 MiB in 4 KiB
    // sectors and 2 blocks, every command but configure-quadspi, CRC check
    // inactive, verify-writes on, max packet 32, no reserved regions,
    // validate-regions on, 256 KiB of RAM at 0x1FFF0000, a system device id,
    // unsecure, a unique id of four words, no FAC, read margin normal, target
    // version T1.0.0. Tags 0, 9, 20, 21, 23 and 25 are unknown (10300).
    void setProperty(uint32_t tag, std::vector<uint32_t> words);
    void removeProperty(uint32_t tag);                   // get-property then answers 10300
    std::vector<uint32_t> property(uint32_t tag) const;  // empty: unknown
    void setCurrentVersion(char letter, uint8_t major, uint8_t minor, uint8_t bugfix);
    // The sector size of its flash: what flash-sector-size answers and what
    // an erase region must be aligned to (101 otherwise, nothing erased).
    // False, changing nothing, for a size the flash cannot have.
    bool setFlashSectorSize(uint32_t bytes);
    // Flash the target refuses to erase or write: [start, end], end inclusive.
    // start == end clears it. Kept in the reserved-regions property.
    void setReservedFlashRegion(uint32_t start, uint32_t end);
    void setSecure(bool secure);  // flash-security-state
    bool secure() const;
    // The key flash-security-disable must present (default 0x01234567,
    // 0x89ABCDEF).
    void setBackdoorKey(uint32_t word1, uint32_t word2);

    // --- Restarts ---
    // Runs after the target has answered a reset (also when the noResponse
    // fault swallowed the answer). The target may be unplugged from inside;
    // an answer the host has not read yet is then lost, as from a device that
    // restarts before its answer went out, so a simulation that re-enumerates
    // should do so after a delay on its Clock.
    void setResetHook(std::function<void()> hook);
    // Runs after the target has answered an execute.
    void setExecuteHook(
        std::function<void(uint32_t entry, uint32_t argument, uint32_t stack)> hook);
    int resetCount() const;

    // --- The cable ---
    // Unplugged, every read and write fails with -1, blocked reads included,
    // and open fails. Plugging in again powers the target up afresh: no data
    // phase, nothing queued; the flash and properties stay.
    void unplug();
    void plugIn();
    bool pluggedIn() const;

    // --- What the host did ---
    bool isOpen() const;
    int openCount() const;                          // successful opens
    std::vector<uint8_t> receivedCommands() const;  // command tags, in order
    uint64_t dataPacketsReceived() const;
    uint64_t dataPacketsSent() const;
    int strayReports() const;  // reports the target could not use (ignored)

  private:
    using TimePoint = std::chrono::steady_clock::time_point;

    struct Report {
        std::array<uint8_t, kReportLength> bytes{};
        size_t size = kReportLength;  // what a read hands over
        TimePoint readyAt{};
        bool unplugAfter = false;  // the device drops off once this went out
    };

    enum class Phase { None, DataOut, DataIn };
    struct DataPhase {
        Phase kind = Phase::None;
        uint8_t tag = 0;
        uint32_t address = 0;
        uint32_t remaining = 0;
        int packets = 0;
        bool silent = false;          // a fault stopped it; nothing more goes out
        bool toFlash = false;         // write-memory programs, sb file discards
        std::vector<uint8_t> source;  // data-in from a resource (else flash)
        size_t sourceOffset = 0;
    };

    // Everything below runs with mutex_ held. The target's code is spread by
    // seam: the device and dispatch (BootloaderTarget.cpp), the command
    // handlers (BootloaderCommands.cpp), responses and data phases
    // (BootloaderReports.cpp), what tests set and read (BootloaderTargetSettings.cpp).
    void handleCommand(const uint8_t* packet, uint32_t length);
    void handleDataOut(const uint8_t* packet, uint32_t length);
    void handleHostAbort();
    void dispatch(uint8_t tag, const uint32_t* params, uint8_t count);

    // One handler per command (BootloaderCommands.cpp), found by tag in
    // kCommands with the parameter counts it takes.
    using Handler = void (BootloaderTarget::*)(uint8_t tag, const uint32_t* params, uint8_t count);
    struct Command {
        uint8_t least;
        uint8_t most;
        Handler handle;
    };
    static const Command kCommands[protocol::kCommandTag_ConfigureQuadSpi + 1];
    void onFlashEraseAll(uint8_t tag, const uint32_t* params, uint8_t count);  // and -unsecure
    void onFlashEraseRegion(uint8_t tag, const uint32_t* params, uint8_t count);
    void onReadMemory(uint8_t tag, const uint32_t* params, uint8_t count);
    void onWriteMemory(uint8_t tag, const uint32_t* params, uint8_t count);
    void onFillMemory(uint8_t tag, const uint32_t* params, uint8_t count);
    void onReceiveSbFile(uint8_t tag, const uint32_t* params, uint8_t count);
    void onFlashSecurityDisable(uint8_t tag, const uint32_t* params, uint8_t count);
    void onGetProperty(uint8_t tag, const uint32_t* params, uint8_t count);
    void onSetProperty(uint8_t tag, const uint32_t* params, uint8_t count);
    void onConfigureQuadSpi(uint8_t tag, const uint32_t* params, uint8_t count);
    void onExecute(uint8_t tag, const uint32_t* params, uint8_t count);
    void onCall(uint8_t tag, const uint32_t* params, uint8_t count);
    void onReset(uint8_t tag, const uint32_t* params, uint8_t count);
    void onFlashProgramOnce(uint8_t tag, const uint32_t* params, uint8_t count);
    void onFlashReadOnce(uint8_t tag, const uint32_t* params, uint8_t count);
    void onFlashReadResource(uint8_t tag, const uint32_t* params, uint8_t count);

    bool respond(uint8_t commandTag, uint8_t responseTag, std::vector<uint32_t> params, bool first,
                 bool last, uint8_t flags = 0);
    bool generic(uint8_t commandTag, int32_t status, bool first = true, bool last = true);
    void queueZeroLength(uint8_t reportId);
    void startDataOut(uint8_t tag, uint32_t address, uint32_t count, bool toFlash);
    void startDataIn(uint8_t tag, uint32_t address, uint32_t count, std::vector<uint8_t> source);
    bool checkDataPhaseFaults();  // after a data packet; true when the phase ended
    void produceDataIn();
    // A data packet of `bytes` went through: ends the phase with its final
    // response once all came, else applies the data-phase faults.
    void packetDone(uint32_t bytes);
    void endPhase() { phase_ = DataPhase{}; }
    void dropOffBus();
    bool faultHits(uint8_t commandTag, bool first, bool last) const;
    int32_t checkWritable(uint32_t address, uint64_t length) const;
    uint32_t propertyWord(uint32_t tag, size_t index, uint32_t fallback) const;
    bool isSecure() const;

    const uint16_t vendorId_;
    const uint16_t productId_;
    platform::Clock& clock_;
    FlashModel flash_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    BootloaderFaults faults_;
    std::map<uint32_t, std::vector<uint32_t>> properties_;
    std::array<uint32_t, kProgramOnceWords> programOnce_;
    std::map<uint32_t, std::vector<uint8_t>> resources_;
    uint32_t backdoorKey_[2] = {0x01234567u, 0x89ABCDEFu};
    std::deque<Report> queue_;
    DataPhase phase_;
    bool plugged_ = true;
    int openHandles_ = 0;
    int opens_ = 0;
    int resets_ = 0;
    int stray_ = 0;
    uint64_t dataReceived_ = 0;
    uint64_t dataSent_ = 0;
    std::vector<uint8_t> commands_;
    std::function<void()> resetHook_;
    std::function<void(uint32_t, uint32_t, uint32_t)> executeHook_;
    // Hooks due once the lock is released (set while handling a command).
    bool resetPending_ = false;
    bool executePending_ = false;
    uint32_t executeArgs_[3] = {0, 0, 0};
};

}  // namespace sim
