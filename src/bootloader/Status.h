// Status values of the bootloader protocol: 0 is success; see the status table
// (getStatusMessage) for the texts.
#pragma once

#include <cstdint>

namespace bootloader {

using status_t = int32_t;

enum : status_t {
    kStatus_Success = 0,
    kStatus_Fail = 1,
    kStatus_ReadOnly = 2,
    kStatus_OutOfRange = 3,
    kStatus_InvalidArgument = 4,
    kStatus_Timeout = 5,  // transports only; it has no text in the table
    kStatus_UnknownCommand = 10000,
    kStatus_SecurityViolation = 10001,
    kStatus_AbortDataPhase = 10002,
    kStatus_Ping = 10003,
    kStatus_NoResponse = 10004,
    kStatus_NoResponseExpected = 10005,
    kStatus_NoPingResponse = 10500,
    kStatus_InvalidPacketType = 10501,
    kStatus_InvalidCRC = 10502,
    kStatus_NoCommandResponse = 10503,
};

}  // namespace bootloader
