// The bootloader target of the simulated GPS behind the serial framing: the
// same commands, flash and faults as the USB target (a BootloaderTarget does
// the command work), wrapped in frames as a target's UART, SPI, I2C or CAN
// port carries them. It is a pure byte machine: the host's bytes go in with
// receive, the target's bytes come out with takeOutput; the pty target and
// the bus bridge move them.
//
// Frames (both ways): 5A, type, length (LE16, 0..32), CRC-16 XMODEM (LE16)
// over the first four bytes and the payload, payload. Types: A1 ACK, A2 NAK,
// A3 ACK-abort, A4 command, A5 data, A6 ping, A7 ping response; ACK, NAK,
// ACK-abort and ping are the two bytes 5A and the type alone.
//
// How the target speaks:
// - Every command or data frame from the host is answered with ACK, or NAK
//   when its CRC is wrong (the host then sends it again). A frame whose
//   length field says more than 32 is not a frame: its start byte is skipped.
// - A data frame the target cannot take (the flash refused it, or an abort
//   fault) is answered with ACK-abort, and the final response follows.
// - Responses and data-in packets go out one frame at a time; the next waits
//   for the host's ACK. A NAK gets the frame again; an ACK-abort from the
//   host ends a data-in phase (the target answers 10002).
// - A new command frame drops whatever the target still had to say.
// - A ping is answered at once with the framing version and options.
//
// Thread-safe: the serving thread feeds it while tests look at the flash,
// the counters and the faults. The BootloaderTarget's restart hooks run with
// the engine's lock held and must not call back into the engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "sim/BootloaderTarget.h"

namespace sim {

// The serial framing, written here from the protocol rather than taken from
// the host library's packetizer: the target is the host's independent peer,
// so a slip in the host's framing fails a test instead of being agreed with.
namespace framing {

enum : uint8_t {
    kStartByte = 0x5A,
    kAck = 0xA1,
    kNak = 0xA2,
    kAckAbort = 0xA3,
    kCommand = 0xA4,
    kData = 0xA5,
    kPing = 0xA6,
    kPingResponse = 0xA7,
};

constexpr size_t kHeaderSize = 6;
constexpr uint32_t kMaxPayload = 32;

// A whole command or data frame with its CRC.
std::vector<uint8_t> frame(uint8_t type, const uint8_t* payload, uint32_t length);
// The CRC of a frame: over header bytes 0..3, then the payload.
uint16_t frameCrc(const uint8_t* header, const uint8_t* payload, uint32_t length);

}  // namespace framing

// Misbehaviour of the serial link, on top of the BootloaderTarget's faults.
// Counts of -1 mean "every one"; positive counts are used up one by one.
struct SerialFaults {
    // The frame faults (bad CRC, length, type, silence) hit only frames of
    // this type (framing::kCommand or framing::kData); 0: both.
    uint8_t frameType = 0;
    // The target's next this-many frames carry a wrong CRC.
    int badCrcFrames = 0;
    // Non-negative: the next frame announces this length and carries that
    // many payload bytes (its own, then zeros). One frame.
    int lengthField = -1;
    // Non-zero: frames carry this packet type instead of their own.
    uint8_t packetType = 0;
    // Non-negative: the next frame stops after this many bytes, and from
    // then on the target sends nothing until the faults are set again.
    int silenceAfterBytes = -1;
    // Non-zero: everything the target sends starts with this byte instead
    // of 0x5A (acknowledgements and ping answers too).
    uint8_t startByte = 0;
    // Noise (never 0x5A) sent ahead of everything the target sends.
    int garbageBytes = 0;
    // The host's next this-many command or data frames are answered with NAK
    // (their content is dropped).
    int nakFrames = 0;
    // Nothing goes out at all; what comes in is still taken.
    bool silent = false;
    // Pings are not answered, or answered with a wrong CRC.
    bool ignorePing = false;
    bool badPingCrc = false;
};

struct SerialTargetStats {
    int commandFrames = 0;  // command frames taken (CRC good)
    int dataFrames = 0;     // data frames taken
    int badCrcFrames = 0;   // host frames whose CRC was wrong
    int naksSent = 0;       // for a wrong CRC or by the fault
    int ackAbortsSent = 0;
    int framesSent = 0;  // command and data frames, resends included
    int acks = 0;        // from the host
    int naks = 0;
    int ackAborts = 0;
    int pings = 0;
    uint64_t strayBytes = 0;  // host bytes outside any frame
};

class SerialTargetEngine {
  public:
    static constexpr uint32_t kPingVersion = 0x50010300;  // 'P' 1.3.0
    static constexpr size_t kMaxHostBytesKept = 4 * 1024 * 1024;

    explicit SerialTargetEngine(platform::Clock& clock = platform::sharedClock());
    ~SerialTargetEngine();

    SerialTargetEngine(const SerialTargetEngine&) = delete;
    SerialTargetEngine& operator=(const SerialTargetEngine&) = delete;

    // Bytes from the host.
    void receive(const uint8_t* data, size_t length);
    // Lets the target say what became due since (a delayed answer).
    void poll();
    // Moves up to `max` bytes of the target's output to `out`.
    size_t takeOutput(uint8_t* out, size_t max);
    size_t outputSize() const;

    // The command side: flash, properties, command faults.
    BootloaderTarget& target() { return target_; }
    FlashModel& flash() { return target_.flash(); }

    void setFaults(const SerialFaults& faults);
    SerialFaults faults() const;
    SerialTargetStats stats() const;
    // Everything the host sent, in order (the first kMaxHostBytesKept bytes).
    std::vector<uint8_t> hostBytes() const;
    void clearHostBytes();

  private:
    struct Report {
        std::array<uint8_t, BootloaderTarget::kReportLength> bytes{};
        size_t size = 0;
    };
    struct OutFrame {
        uint8_t type = 0;
        uint32_t lengthField = 0;
        std::vector<uint8_t> payload;
    };

    // All below with mutex_ held.
    void parse();
    void takeFrame(uint8_t type, const uint8_t* payload, uint32_t length);
    void pump();
    bool readReport(Report& report);
    void emitFrame(const OutFrame& frame);
    void emitSync(uint8_t type);
    void emitPingResponse();
    void emit(const std::vector<uint8_t>& bytes);
    bool frameFaultHits(uint8_t type) const;
    bool quiet() const { return faults_.silent || silenced_; }

    mutable std::mutex mutex_;
    BootloaderTarget target_;
    SerialFaults faults_;
    SerialTargetStats stats_;
    std::vector<uint8_t> input_;
    std::deque<uint8_t> output_;
    std::deque<Report> stash_;  // reports read ahead of their turn
    OutFrame lastFrame_;
    bool awaitingAck_ = false;
    bool silenced_ = false;
    std::vector<uint8_t> hostBytes_;
};

}  // namespace sim
