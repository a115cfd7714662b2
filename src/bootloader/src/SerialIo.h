// Byte I/O on an open POSIX serial port (non-blocking descriptor), shared by
// the UART peripheral and the bus bridge, and the byte trace they log.
#pragma once

#include <cstdint>

namespace bootloader::serialio {

// How long one read of `count` bytes may take: 10 ms plus 10 ms per byte, as
// a serial port's read timeouts are set for this protocol.
constexpr uint32_t readTimeoutMs(uint32_t count) {
    return 10 + 10 * count;
}

// Reads until `count` bytes came or `timeoutMs` passed. Returns the number of
// bytes read (fewer on timeout), or -1 when the port failed or hung up before
// anything came.
int readFor(int fd, uint8_t* buffer, uint32_t count, uint32_t timeoutMs);

// Writes all bytes, waiting at most `timeoutMs` for the port to take them.
// Returns the number of bytes written, or -1 on an error of the port.
int writeFor(int fd, const uint8_t* buffer, uint32_t count, uint32_t timeoutMs);

// Level-7 byte trace: `open`, each byte as "%02x" with " " between, `close`,
// every piece its own log call, as the trace has always been read. Nothing,
// not even a call, when the installed logger's filter level is below 7.
void trace(const char* open, const uint8_t* bytes, uint32_t count, const char* close);

}  // namespace bootloader::serialio
